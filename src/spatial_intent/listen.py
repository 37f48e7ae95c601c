"""The recogniser's live mode with an end-pointer that can be set: raw audio on standard
input (16 kHz, mono, signed 16-bit little-endian), one JSON line per utterance on
standard output in the recogniser's own format ({"b","d","p","t","w"}).

    python -m spatial_intent.listen [-vad_window S] [-vad_ratio R] [-vad_mode 0-3]
                                    [-background yes] [-NAME VALUE ...] live -

`pocketsphinx live` fixes its end-pointer: a 0.3 s window and the loosest voice-activity
mode, so under steady noise (white, 10 dB below the speech) speech never ends and
nothing at all is heard. Here the end-pointer is set: `-vad_mode` (0 loosest to 3
strictest, default 2), `-vad_window` (seconds, default 0.3) and `-vad_ratio`. Each
utterance is then decoded as one block when it ends; `-vad_lead` and `-vad_tail` add
that much of the audio before and after it, and `-vad_whole yes` decodes it as a whole
utterance (the `single` mode's normalisation). The defaults are what the speech
benchmark (make bench-speech) measured best: more silence around an utterance helped
single sentences and lost more than it won over the corpus. `-background yes` decodes each
utterance a second time with the recogniser's general English language model instead of
the grammar, and adds what that heard as "bg" (text) to the line: talk that the grammar
forced onto a command is heard there as a longer run of words than the command has
(speech.background_refuses). Every other `-NAME VALUE` is the decoder's own parameter
(-jsgf, -dither, -beam, ...)."""

from __future__ import annotations

import collections
import ctypes
import json
import sys
from dataclasses import dataclass

WINDOW_S, RATIO, MODE, LEAD_S, TAIL_S = 0.3, 0.9, 2, 0.0, 0.0
RATE = 16_000
FRAME_RATE = 100  # the decoder's frames a second
FILES = ("jsgf", "fsg", "lm", "dict", "fdict", "kws", "mllr", "lda")
LONGEST_S = 30.0  # an utterance longer than this is decoded in pieces of this length


class ListenError(Exception):
    pass


def _library() -> ctypes.CDLL:
    try:
        lib = ctypes.CDLL("libpocketsphinx.so.5")
    except OSError:
        raise ListenError("libpocketsphinx is not installed: apt install pocketsphinx pocketsphinx-en-us") from None
    p, i, d = ctypes.c_void_p, ctypes.c_int, ctypes.c_double
    for name, result, arguments in (
            ("ps_config_init", p, [p]), ("ps_config_free", i, [p]), ("ps_config_set_str", p, [p, ctypes.c_char_p, ctypes.c_char_p]),
            ("ps_default_search_args", None, [p]), ("ps_init", p, [p]), ("ps_free", i, [p]),
            ("ps_start_utt", i, [p]), ("ps_end_utt", i, [p]),
            ("ps_process_raw", i, [p, p, ctypes.c_size_t, i, i]),
            ("ps_get_hyp", ctypes.c_char_p, [p, p]), ("ps_get_prob", ctypes.c_int32, [p]),
            ("ps_get_logmath", p, [p]), ("logmath_exp", d, [p, ctypes.c_int]),
            ("ps_seg_iter", p, [p]), ("ps_seg_next", p, [p]), ("ps_seg_word", ctypes.c_char_p, [p]),
            ("ps_seg_frames", None, [p, ctypes.POINTER(i), ctypes.POINTER(i)]),
            ("ps_seg_prob", ctypes.c_int32, [p, p, p, p]), ("ps_seg_free", None, [p]),
            ("ps_endpointer_init", p, [d, d, i, i, d]), ("ps_endpointer_free", i, [p]),
            ("ps_endpointer_vad", p, [p]), ("ps_vad_frame_size", ctypes.c_size_t, [p]),
            ("ps_endpointer_process", p, [p, p]),
            ("ps_endpointer_end_stream", p, [p, p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)]),
            ("ps_endpointer_in_speech", i, [p]), ("ps_endpointer_speech_start", d, [p]),
            ("ps_endpointer_speech_end", d, [p])):
        function = getattr(lib, name)
        function.restype, function.argtypes = result, arguments
    return lib


@dataclass(frozen=True)
class EndPointer:
    window: float = WINDOW_S
    ratio: float = RATIO
    mode: int = MODE
    lead: float = LEAD_S
    tail: float = TAIL_S
    whole: bool = False
    background: bool = False


def parse(argv: list[str]) -> tuple[dict[str, str], EndPointer]:
    if argv[-2:] != ["live", "-"]:
        raise ListenError("usage: python -m spatial_intent.listen [-NAME VALUE ...] live -")
    pairs = argv[:-2]
    if len(pairs) % 2 or any(not name.startswith("-") for name in pairs[::2]):
        raise ListenError(f"options come as -NAME VALUE pairs, not {' '.join(pairs)!r}")
    options = dict(zip((n[1:] for n in pairs[::2]), pairs[1::2]))
    try:
        window = float(options.pop("vad_window", WINDOW_S))
        ratio = float(options.pop("vad_ratio", RATIO))
        mode = int(options.pop("vad_mode", MODE))
        lead = float(options.pop("vad_lead", LEAD_S))
        tail = float(options.pop("vad_tail", TAIL_S))
        whole = options.pop("vad_whole", "no").lower().startswith(("y", "t", "1"))
        background = options.pop("background", "no").lower().startswith(("y", "t", "1"))
    except ValueError as e:
        raise ListenError(f"an end-pointer setting is not a number: {e}") from None
    if not (0.03 <= window <= 10 and 0 < ratio <= 1 and 0 <= mode <= 3 and 0 <= tail <= window
            and 0 <= lead <= 5):
        raise ListenError("-vad_window is 0.03 to 10 s, -vad_ratio above 0 up to 1, -vad_mode 0 to 3, "
                          "-vad_lead 0 to 5 s, -vad_tail 0 up to the window")
    return options, EndPointer(window, ratio, mode, lead, tail, whole, background)


def result(lib: ctypes.CDLL, decoder: int, start_s: float, end_s: float) -> dict[str, object]:
    logmath = lib.ps_get_logmath(decoder)
    hyp = lib.ps_get_hyp(decoder, None) or b""
    words = []
    seg = lib.ps_seg_iter(decoder)
    while seg:
        sf, ef = ctypes.c_int(), ctypes.c_int()
        lib.ps_seg_frames(seg, ctypes.byref(sf), ctypes.byref(ef))
        words.append({"b": round(start_s + sf.value / FRAME_RATE, 3),
                      "d": round((ef.value + 1 - sf.value) / FRAME_RATE, 3),
                      "p": round(lib.logmath_exp(logmath, lib.ps_seg_prob(seg, None, None, None)), 3),
                      "t": (lib.ps_seg_word(seg) or b"").decode("utf-8", "replace")})
        seg = lib.ps_seg_next(seg)
    return {"b": round(start_s, 3), "d": round(end_s - start_s, 3),
            "p": round(lib.logmath_exp(logmath, lib.ps_get_prob(decoder)), 3),
            "t": hyp.decode("utf-8", "replace"), "w": words}


def run(lib: ctypes.CDLL, decoder: int, audio: bytes, whole: bool) -> None:
    if lib.ps_start_utt(decoder) < 0 or lib.ps_process_raw(decoder, audio, len(audio) // 2, 0, int(whole)) < 0 \
            or lib.ps_end_utt(decoder) < 0:
        raise ListenError("the recogniser failed on the audio")


def decode(lib: ctypes.CDLL, decoder: int, audio: bytes, start_s: float, end_s: float, whole: bool,
           background: int | None = None) -> str:
    """One utterance decoded as one block; `whole`, as a whole utterance; with a
    `background` decoder, decoded by it too."""
    run(lib, decoder, audio, whole)
    heard = result(lib, decoder, start_s, end_s)
    if background is not None:
        run(lib, background, audio, whole)
        heard["bg"] = (lib.ps_get_hyp(background, None) or b"").decode("utf-8", "replace")
    return json.dumps(heard, separators=(",", ":"))


def start(lib: ctypes.CDLL, options: dict[str, str]) -> int:
    config = lib.ps_config_init(None)
    for name, value in options.items():
        if not lib.ps_config_set_str(config, name.encode(), value.encode()):
            lib.ps_config_free(config)
            raise ListenError(f"the recogniser has no parameter -{name}")
    lib.ps_default_search_args(config)
    decoder = lib.ps_init(config)  # holds the configuration on its own
    lib.ps_config_free(config)
    if not decoder:
        raise ListenError("the recogniser could not start (its reasons are above)")
    return int(decoder)


def listen(argv: list[str]) -> int:
    options, ep = parse(argv)
    for name in FILES:  # the library crashes on some it cannot open, rather than refusing them
        if name in options:
            try:
                open(options[name], "rb").close()
            except OSError as e:
                raise ListenError(f"-{name} {options[name]}: {e.strerror}") from None
    lib = _library()
    decoder = start(lib, options)
    # The background: the same decoder's settings, its general language model for the grammar.
    background = start(lib, {k: v for k, v in options.items() if k not in ("jsgf", "fsg", "kws", "keyphrase")}) \
        if ep.background else None
    endpointer = lib.ps_endpointer_init(ep.window, ep.ratio, ep.mode, RATE, 0.0)
    if not endpointer:
        raise ListenError("the end-pointer could not start")
    size = lib.ps_vad_frame_size(lib.ps_endpointer_vad(endpointer))
    frame = ctypes.create_string_buffer(size * 2)
    started = 0.0
    heard = bytearray()
    source = sys.stdin.buffer
    frame_s = size / RATE
    kept = int((ep.lead + ep.window + 1) / frame_s)  # enough for the lead and the tail
    recent: collections.deque[tuple[float, bytes]] = collections.deque(maxlen=kept)
    read_s = 0.0
    while True:
        data = source.read(size * 2)
        recent.append((read_s, data))
        read_s += len(data) / 2 / RATE
        was_speaking = lib.ps_endpointer_in_speech(endpointer)
        if len(data) == size * 2:
            ctypes.memmove(frame, data, len(data))
            speech = lib.ps_endpointer_process(endpointer, frame)
            count = size
        elif len(data) >= 2:
            ctypes.memmove(frame, data, len(data) - len(data) % 2)
            out = ctypes.c_size_t()
            speech = lib.ps_endpointer_end_stream(endpointer, frame, len(data) // 2, ctypes.byref(out))
            count = out.value
        else:
            break
        if speech:
            if not was_speaking:
                started = lib.ps_endpointer_speech_start(endpointer)
                heard = bytearray(b"".join(d for at, d in recent
                                           if started - ep.lead - frame_s / 2 <= at < started - frame_s / 2))
                started -= len(heard) / 2 / RATE
            heard += ctypes.string_at(speech, count * 2)
            if not lib.ps_endpointer_in_speech(endpointer):
                ended = lib.ps_endpointer_speech_end(endpointer)
                heard += b"".join(d for at, d in recent if ended - frame_s / 2 <= at < ended + ep.tail)
                print(decode(lib, decoder, bytes(heard), started, ended, ep.whole, background), flush=True)
            elif len(heard) >= LONGEST_S * RATE * 2:  # speech that never ends: heard in pieces
                print(decode(lib, decoder, bytes(heard), started, started + len(heard) / 2 / RATE, ep.whole,
                             background), flush=True)
                started += len(heard) / 2 / RATE
                heard = bytearray()
        if len(data) < size * 2:
            break
    if lib.ps_endpointer_in_speech(endpointer):  # the audio ended mid-utterance
        print(decode(lib, decoder, bytes(heard), started, read_s, ep.whole, background), flush=True)
    lib.ps_endpointer_free(endpointer)
    lib.ps_free(decoder)
    if background is not None:
        lib.ps_free(background)
    return 0


def main() -> int:
    try:
        return listen(sys.argv[1:])
    except ListenError as e:
        print(f"ERROR: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
