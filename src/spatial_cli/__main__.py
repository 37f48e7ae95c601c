"""spatial: check, inspect, replay and picture recorded sessions of spatial intent
records, one record a line (what to_jsonl writes). `-` reads standard input."""

from __future__ import annotations

import argparse
import signal
import sys

from .records import InputError


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="spatial", description=__doc__)
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    check = commands.add_parser("check", help="report every line that is not a valid record",
                                description="Reads every line of every FILE and reports each refused one as "
                                            "FILE:LINE: the reason, then a summary a file. Exit 0 when every line "
                                            "is a valid record, 1 when any is refused, 2 when a file cannot be read.")
    check.add_argument("files", nargs="+", metavar="FILE")

    info = commands.add_parser("info", help="what is in a recording",
                               description="Records, time span, frame rate and intervals, tracking, pointing, "
                                           "select presses, grounded targets, reference-space changes and events.")
    info.add_argument("file", metavar="FILE")
    info.add_argument("--json", action="store_true", help="one JSON object, for scripts")

    replay = commands.add_parser("replay", help="push recorded frames into a timeline and pair utterances",
                                 description="Pushes the frames of FRAMES into an IntentTimeline in order, paced "
                                             "by their own timestamps, submits the utterances at their times and "
                                             "writes each event's line to standard output. Events already in the "
                                             "input are passed over. `-` follows a live stream.")
    replay.add_argument("frames", metavar="FRAMES")
    replay.add_argument("--rate", type=float, default=1.0, help="pace scale (2 is twice as fast; 0 does not wait)")
    replay.add_argument("--say", action="append", default=[], metavar="SECONDS:TEXT",
                        help="an utterance, seconds after the first frame (repeatable)")
    replay.add_argument("--utterances", metavar="FILE", help="utterances, one SECONDS<TAB>TEXT a line")
    replay.add_argument("--capacity", type=int, default=240, help="frames the timeline keeps (default 240)")
    replay.add_argument("--max-age-ms", type=float, default=2000.0,
                        help="how old a frame may be to pair with an utterance (default 2000)")

    plot = commands.add_parser("plot", help="the session as a picture (needs matplotlib)",
                               description="A top view of the head's path and facing, the pointing rays and the "
                                           "hit points coloured by host_id, and a time strip of the grounded "
                                           "target and the select state with the events marked.")
    plot.add_argument("files", nargs="+", metavar="FILE", help="frames, and events if any (several files merge)")
    plot.add_argument("-o", "--output", required=True, metavar="PICTURE.png")
    plot.add_argument("--title", default="")
    return top


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        if args.command == "check":
            from . import check
            return check.run(args.files)
        if args.command == "info":
            from . import info
            return info.run(args.file, args.json)
        if args.command == "replay":
            from . import replay
            if args.rate < 0 or args.capacity < 1 or args.max_age_ms < 0:
                print("spatial replay: --rate, --max-age-ms must not be negative and --capacity at least 1",
                      file=sys.stderr)
                return 2
            try:
                said = replay.utterances(args.say, args.utterances)
            except ValueError:
                print("spatial replay: an utterance's time is not a number of seconds", file=sys.stderr)
                return 2
            return replay.run(args.frames, args.rate, said, args.capacity, args.max_age_ms)
        from . import plot
        plot.draw(args.files, args.output, args.title)
        return 0
    except InputError as e:
        print(f"spatial {args.command}: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"spatial {args.command}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:  # the reader went away (| head): nothing more to say
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        return 0


if __name__ == "__main__":
    sys.exit(main())
