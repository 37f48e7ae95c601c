"""spatial: check, inspect, replay, picture and serve to agents sessions of spatial intent
records, one record a line (what to_jsonl writes). `-` reads standard input."""

from __future__ import annotations

import argparse
import math
import os
import signal
import sys
from typing import NoReturn

from .. import __version__
from .records import InputError, Utterance, diagnose, opened

EXIT_CODES = """exit status, for every command:
  0  every line read was a valid record (and the command did its work)
  1  some lines were refused (each reported as FILE:LINE: why), the rest used
  2  the command could not run: a bad argument, or input that cannot be read"""

INT64_MAX = 2**63 - 1


class Parser(argparse.ArgumentParser):
    """Usage errors in one line, naming the command and what was wrong."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")


def finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def not_negative(text: str) -> float:
    value = finite(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is negative")
    return value


SLOWEST = 0.001


def rate(text: str) -> float:
    value = not_negative(text)
    if 0 < value < SLOWEST:
        raise argparse.ArgumentTypeError(f"{text!r} is slower than {SLOWEST:g} (0 does not wait)")
    return value


def max_age_ms(text: str) -> float:
    value = not_negative(text)
    if value * 1e6 > INT64_MAX:
        raise argparse.ArgumentTypeError(f"{text!r} is beyond the 64-bit nanosecond range ({INT64_MAX / 1e6:.0f} ms)")
    return value


def capacity(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if not 1 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"{text!r} is not between 1 and 2**64 - 1")
    return value


def object_names(text: str) -> list[str]:
    from ..commands import CommandGrammar

    names = [name.strip() for name in text.split(",")]
    try:
        CommandGrammar(names)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    return names


def verb_names(text: str) -> list[str]:
    from ..commands import CommandGrammar

    verbs = [verb.strip() for verb in text.split(",")] if text.strip() else []
    try:
        CommandGrammar(["thing"], verbs=verbs, placing=["put"] if not verbs else [])
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    return verbs


def seconds_after(text: str) -> float:
    try:
        return Utterance.seconds_from(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def said(text: str) -> Utterance:
    seconds, colon, words = text.partition(":")
    if not colon:
        raise argparse.ArgumentTypeError(f"{text!r} is not SECONDS:TEXT")
    if not words.strip():
        raise argparse.ArgumentTypeError(f"{text!r} has no text after the time")
    try:
        return Utterance(Utterance.seconds_from(seconds), words, "--say")
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def parser() -> argparse.ArgumentParser:
    top = Parser(prog="spatial", description=__doc__, epilog=EXIT_CODES,
                 formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version", version=f"spatial {__version__} (spatial-intent)")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)

    def command(name: str, summary: str, description: str) -> argparse.ArgumentParser:
        return commands.add_parser(name, help=summary, description=description, epilog=EXIT_CODES,
                                   formatter_class=argparse.RawDescriptionHelpFormatter)

    check = command("check", "report every line that is not a valid record",
                    "Reads every line of every FILE and reports each refused one as FILE:LINE: the reason, "
                    "then a summary a file.")
    check.add_argument("files", nargs="+", metavar="FILE")

    info = command("info", "what is in a recording",
                   "Records, time span, frame rate and intervals, tracking, pointing, select presses, grounded "
                   "targets, reference-space changes and events.")
    info.add_argument("file", metavar="FILE")
    info.add_argument("--json", action="store_true", help="one JSON object, for scripts")

    replay = command("replay", "push recorded frames into a timeline and pair utterances",
                     "Pushes the frames of FRAMES into an IntentTimeline in order, paced by their own timestamps, "
                     "submits the utterances at their times and writes each event's line to standard output. "
                     "Events already in the input are passed over. `-` follows a live stream.")
    replay.add_argument("frames", metavar="FRAMES")
    replay.add_argument("--rate", type=rate, default=1.0, help="pace scale (2 is twice as fast; 0 does not wait)")
    replay.add_argument("--say", type=said, action="append", default=[], metavar="SECONDS:TEXT",
                        help="an utterance, seconds after the first frame (repeatable)")
    replay.add_argument("--utterances", action="append", default=[], metavar="FILE",
                        help="utterances, one SECONDS<TAB>TEXT a line (repeatable)")
    replay.add_argument("--audio", metavar="FILE",
                        help="the session's recorded speech: each deictic word (this, that, these, those, here, "
                             "there) becomes an event at the time it was spoken, an utterance without one an event "
                             "at its start (needs pocketsphinx; sox for audio other than 16 kHz mono 16-bit WAV). "
                             "`-` reads raw samples from standard input: 16 kHz, mono, signed 16-bit little-endian")
    replay.add_argument("--audio-start", type=seconds_after, metavar="SECONDS",
                        help="where the audio's first sample lies, in seconds after the first frame (default 0; "
                             "with --audio)")
    grammar = replay.add_mutually_exclusive_group()
    grammar.add_argument("--grammar", metavar="FILE.jsgf",
                         help="the recogniser's grammar (JSGF), when there is one (with --audio)")
    grammar.add_argument("--objects", type=object_names, metavar="NAME,NAME",
                         help="the scene's objects, by the names a user says: listen for spoken commands about "
                              "them (put that there, what is this, open the NAME, ...), and drop talk that is not "
                              "one (with --audio)")
    replay.add_argument("--verbs", type=verb_names, metavar="VERB,VERB",
                        help="with --objects, the verbs that take a thing (default: open, close, delete, select, "
                             "show, hide, remove)")
    replay.add_argument("--placing", type=verb_names, metavar="VERB,VERB",
                        help="with --objects, the verbs that take a thing and a place (default: put, move, copy, "
                             "drop)")
    replay.add_argument("--background", action="store_true",
                        help="with --objects, decode each utterance a second time with the recogniser's general "
                             "English model and drop a command that it heard as talk (slower)")
    replay.add_argument("--capacity", type=capacity, default=240, help="frames the timeline keeps (default 240)")
    replay.add_argument("--max-age-ms", type=max_age_ms, default=2000.0,
                        help="how old a frame may be to pair with an utterance (default 2000)")

    plot = command("plot", "the session as a picture (needs matplotlib)",
                   "A top view of the head's path and facing, the pointing rays and the hit points coloured by "
                   "host_id, and a time strip of the grounded target and the select state with the events marked.")
    plot.add_argument("files", nargs="+", metavar="FILE", help="frames, and events if any (several files merge)")
    plot.add_argument("-o", "--output", required=True, metavar="PICTURE.png")
    plot.add_argument("--title", default="")
    plot.add_argument("--apart", action="store_true",
                      help="each FILE in a column of its own, side by side, instead of merged (for sessions of "
                           "two hosts; a host's session file holds its frames and events)")
    mcp = command("mcp", "serve a session to agents over the Model Context Protocol",
                  "Follows the record files a host writes (FILE, or every .jsonl file in FOLDER, new ones "
                  "included) and serves them to an agent over the Model Context Protocol: the spatial context at "
                  "any moment by the timeline's own pairing rule, what the user points and looks at now, the "
                  "events of the last seconds and the next one, as tools and subscribable resources. Over "
                  "standard input and output (how an agent starts it); over Streamable HTTP on loopback with "
                  "--http. End of input, SIGTERM or Ctrl-C end it.")
    mcp.add_argument("files", nargs="+", metavar="FILE|FOLDER")
    mcp.add_argument("--capacity", type=capacity, default=5400,
                     help="frames the server's timeline keeps (default 5400: a minute at 90 Hz)")
    mcp.add_argument("--max-age-ms", type=max_age_ms, default=2000.0,
                     help="how old a frame may be to be in force at a moment (default 2000, as the host's)")
    mcp.add_argument("--no-follow", dest="follow", action="store_false",
                     help="read the files once and serve what they hold, without watching for more")
    mcp.add_argument("--http", metavar="[HOST:]PORT",
                     help="serve Streamable HTTP at http://HOST:PORT/mcp instead (loopback only; port 0 picks one)")
    mcp.add_argument("--token-file", metavar="FILE",
                     help="with --http: where the bearer token is written, readable by its owner alone (default: "
                          "spatial-mcp-token in $XDG_RUNTIME_DIR, else in a private temporary folder)")
    return top


def inputs(args: argparse.Namespace) -> list[str]:
    """Every argument the command reads from."""
    if args.command in ("check", "plot"):
        return list(args.files)
    if args.command == "info":
        return [args.file]
    if args.command == "mcp":
        return list(args.files)
    return [args.frames, *args.utterances, *([args.audio] if args.audio else [])]


def main(argv: list[str] | None = None) -> int:
    top = parser()
    args = top.parse_args(argv)
    if inputs(args).count("-") > 1:
        top.exit(2, f"spatial {args.command}: standard input (-) can be read once, but is named twice\n")
    if args.command == "replay" and not args.audio:
        for given, option in ((args.grammar, "--grammar"), (args.objects, "--objects"),
                              (args.audio_start, "--audio-start")):
            if given is not None:
                top.exit(2, f"spatial replay: {option} goes with --audio, which is not given "
                            "(see spatial replay --help)\n")
    if args.command == "replay":
        for given, option in ((args.verbs, "--verbs"), (args.placing, "--placing"),
                              (args.background or None, "--background")):
            if given is not None and args.objects is None:
                top.exit(2, f"spatial replay: {option} goes with --objects, which is not given\n")
        if args.objects is not None:
            from ..commands import PLACING, VERBS, CommandGrammar
            try:
                CommandGrammar(args.objects, verbs=VERBS if args.verbs is None else args.verbs,
                               placing=PLACING if args.placing is None else args.placing)
            except ValueError as e:
                top.exit(2, f"spatial replay: {e}\n")
    try:
        if args.command == "check":
            from . import check
            return check.run(args.files)
        if args.command == "info":
            from . import info
            return info.run(args.file, args.json)
        if args.command == "mcp":
            if "-" in args.files:
                top.exit(2, "spatial mcp: standard input carries the protocol (name the record files)\n")
            if args.token_file and not args.http:
                top.exit(2, "spatial mcp: --token-file goes with --http, which is not given\n")
            from .. import mcp
            code = mcp.run(args.files, args.capacity, round(args.max_age_ms * 1e6), args.http, args.token_file,
                           args.follow)
            # The server's threads may be inside a write to a client that stopped reading: the
            # process ends here, without waiting for them at the interpreter's shutdown.
            sys.stderr.flush()
            os._exit(code)
        if args.command == "replay":
            from . import replay
            utterances = replay.utterances(args.say, args.utterances)
            if args.audio:
                if args.frames != "-":  # a mistyped FRAMES is said before minutes of recognition
                    with opened(args.frames):
                        pass
                utterances = sorted(utterances + replay.heard(args.audio, args.audio_start or 0.0, args.grammar,
                                                               args.objects, args.verbs, args.placing,
                                                               args.background),
                                    key=lambda u: u.seconds)
            return replay.run(args.frames, args.rate, utterances, args.capacity, args.max_age_ms)
        from . import plot
        return plot.run(args.files, args.output, args.title, args.apart)
    except InputError as e:
        diagnose(f"spatial {args.command}: {e}")
        return 2
    except KeyboardInterrupt:
        diagnose(f"spatial {args.command}: interrupted")
        return 130
    except BrokenPipeError:  # the reader went away (| head): nothing more to say
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        return 0
