"""The recogniser's live mode with an end-pointer that can be set: raw audio on standard
input (16 kHz, mono, signed 16-bit little-endian), one JSON line per utterance on
standard output in the recogniser's own format ({"b","d","p","t","w"}), with a judge's
scores added.

    python -m spatial_intent.listen [-vad_window S] [-vad_ratio R] [-vad_mode 0-3]
                                    [-confidence yes|no] [-rivals yes] [-join S] [-background yes]
                                    [-NAME VALUE ...] live -

`pocketsphinx live` fixes its end-pointer: a 0.3 s window and the loosest voice-activity
mode, so under steady noise (white, 10 dB below the speech) speech never ends and
nothing at all is heard. Here the end-pointer is set: `-vad_mode` (0 loosest to 3
strictest, default 2), `-vad_window` (seconds, default 0.3) and `-vad_ratio`. Each
utterance is then decoded as one block when it ends; `-vad_lead` and `-vad_tail` add
that much of the audio before and after it, and `-vad_whole yes` decodes it as a whole
utterance (the `single` mode's normalisation). The defaults are what the speech
benchmark (make bench-speech) measured best.

What the listener adds to the decoder's result:
- Each word's begin where its sound begins inside the span the decoder gave it: the
  decoder hands the pause before a word to the word, and a word said after a pause
  would otherwise be paired with what was pointed at during the pause.
- `-confidence yes` (the default, with a grammar): "c", each word's acoustic score
  against the recogniser's phone loop over the same frames, and the utterance's;
  with `-rivals yes` also "alt", for a word that competes with others for its place
  ("that", "it"), each rival's score on the word's audio against its own
  (speech.Rejection reads them).
- `-join S` (default 1 s, with a JSGF grammar): an utterance that is no sentence of the
  grammar (the end-pointer closed it in a pause: "put that ... there") is held that
  long and, when the user goes on, heard again with the pause and what follows.
- `-background yes`: each utterance decoded a second time with the recogniser's general
  English language model, what it heard added as "bg" (speech.background_refuses).

Every other `-NAME VALUE` is the decoder's own parameter (-jsgf, -dither, -beam, ...)."""

from __future__ import annotations

import array
import collections
import ctypes
import json
import math
import os
import re
import sys
from dataclasses import dataclass

WINDOW_S, RATIO, MODE, LEAD_S, TAIL_S = 0.3, 0.9, 2, 0.1, 0.0
RATE = 16_000
FRAME_RATE = 100  # the decoder's frames a second
FILES = ("jsgf", "fsg", "lm", "dict", "fdict", "kws", "mllr", "lda")
LONGEST_S = 30.0  # an utterance longer than this is decoded in pieces of this length
JOIN_S = 1.0
FRAME_SAMPLES = RATE // FRAME_RATE
ONSET_HOP = 80  # samples: a word's onset is found to 5 ms
HOPS_PER_S = RATE / ONSET_HOP
# A word's onset is looked for only where it stands this far above the floor: under
# steady noise a weak first consonant ("th", "h") is lost in it, and the onset found
# would be the vowel's, later than the word. Its sound begins this far above the floor.
RISE_DB, QUIET_DB = 25.0, 3.0
LOOK_BACK = 16  # hops: 80 ms
# Words that compete for one place in a command: a pronoun or a demonstrative for a thing,
# one place adverb or the other. The audio decides between them.
COMPETING = (("this", "that", "these", "those", "it", "them"), ("here", "there"))
DEFAULT_SEARCH = b"_default"
PHONE_LM = "en-us-phone.lm.bin"  # beside the acoustic model: the phone loop a word is judged against
MARGIN_FRAMES = 5  # audio either side of a word when its competitors are scored on it
SCALE = 1e-3  # scores are given in thousands of the recogniser's log units a frame
# The decoder's markers that are not words (sentence bounds, silence, noises), and the
# pronunciation variant a dictionary word was matched with ("that(2)").
FILLER = re.compile(r"^(<.*>|\[.*\]|\+\+.*\+\+)$")
VARIANT = re.compile(r"\(\d+\)$")


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
            ("ps_endpointer_speech_end", d, [p]),
            ("ps_get_config", p, [p]), ("ps_config_str", ctypes.c_char_p, [p, ctypes.c_char_p]),
            ("ps_activate_search", i, [p, ctypes.c_char_p]),
            ("ps_add_allphone_file", i, [p, ctypes.c_char_p, ctypes.c_char_p]),
            ("ps_add_jsgf_string", i, [p, ctypes.c_char_p, ctypes.c_char_p]),
            ("ps_lookup_word", p, [p, ctypes.c_char_p]),
            ):
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
    confidence: bool = True
    rivals: bool = False
    join: float = JOIN_S


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
        confidence = options.pop("confidence", "yes").lower().startswith(("y", "t", "1"))
        rivals = options.pop("rivals", "no").lower().startswith(("y", "t", "1"))
        join = float(options.pop("join", JOIN_S))
    except ValueError as e:
        raise ListenError(f"an end-pointer setting is not a number: {e}") from None
    if not (0.03 <= window <= 10 and 0 < ratio <= 1 and 0 <= mode <= 3 and 0 <= tail <= window
            and 0 <= lead <= 5 and 0 <= join <= 5):
        raise ListenError("-vad_window is 0.03 to 10 s, -vad_ratio above 0 up to 1, -vad_mode 0 to 3, "
                          "-vad_lead 0 to 5 s, -vad_tail 0 up to the window, -join 0 to 5 s")
    return options, EndPointer(window, ratio, mode, lead, tail, whole, background, confidence, rivals, join)


def loudness(audio: bytes) -> list[float]:
    """The level of each ONSET_HOP of the audio, in dB."""
    samples = array.array("h", audio[:len(audio) - len(audio) % 2])
    if sys.byteorder == "big":
        samples.byteswap()
    levels = []
    for at in range(0, len(samples) - ONSET_HOP + 1, ONSET_HOP):
        hop = samples[at:at + ONSET_HOP]
        levels.append(10 * math.log10(sum(v * v for v in hop) / ONSET_HOP + 1.0))
    return levels


def onset(levels: list[float], floor: float, first: int, last: int) -> int:
    """Where the sound of a word begins, in hops, given the span [first, last) the
    recogniser gave it: where the level rises out of the floor to the word's own, which
    may be inside the span (the recogniser gave the pause before it to the word) or up
    to LOOK_BACK before it (it gave the word's first sound to the pause). `first` where
    the word runs on from the one before (no quiet within LOOK_BACK) or stands clear of
    no floor (noise)."""
    span = levels[first:last]
    if not span:
        return first
    peak = max(span)
    if peak - floor < RISE_DB:
        return first
    k = first + next(i for i, level in enumerate(span) if level >= floor + (peak - floor) / 2)
    earliest = max(0, first - LOOK_BACK)
    while k > earliest and levels[k - 1] > floor + QUIET_DB:
        k -= 1
    if k == earliest and k > 0 and levels[k - 1] > floor + QUIET_DB:
        return first  # sound all the way back: words running into each other
    return k


class Judge:
    """How sure the recogniser is of what the grammar heard: each word's acoustic score
    against the recogniser's phone loop over the same frames (a word forced onto
    talk, or onto silence, scores far below the phones that were said), and with
    `rivals`, for a word that competes with others for its place ("that" or "it", "here"
    or "there"), each competitor's score over the word's audio against its own: a
    decoding of the word's audio per competitor, so only when asked for."""

    def __init__(self, lib: ctypes.CDLL, decoder: int, rivals: bool) -> None:
        self.lib, self.decoder = lib, decoder
        # The search a decoder makes of its own grammar (ps_current_search would say so,
        # but leaks the iterator it finds the name with).
        self.main = DEFAULT_SEARCH
        config = lib.ps_get_config(decoder)
        hmm = (lib.ps_config_str(config, b"hmm") or b"").decode()
        phones = os.path.join(os.path.dirname(hmm.rstrip("/")), PHONE_LM)
        if not os.path.exists(phones):
            raise ListenError(f"-confidence needs the phone model {phones}: apt install pocketsphinx-en-us")
        if lib.ps_add_allphone_file(decoder, b"phones", phones.encode()) < 0:
            raise ListenError(f"the recogniser could not load the phone model {phones}")
        self.rivals: dict[str, tuple[str, ...]] = {}
        for group in COMPETING if rivals else ():
            known = [w for w in group if _in_dictionary(lib, decoder, w)]
            for word in known:
                grammar = f"#JSGF V1.0;\ngrammar w;\npublic <w> = {word};\n".encode()
                if lib.ps_add_jsgf_string(decoder, f"word_{word}".encode(), grammar) < 0:
                    raise ListenError(f"the recogniser could not take the word {word!r}")
                self.rivals[word] = tuple(w for w in known if w != word)

    def _use(self, search: bytes) -> None:
        if self.lib.ps_activate_search(self.decoder, search) < 0:
            raise ListenError(f"the recogniser could not switch to its {search.decode()} search")

    def score(self, words: list[dict[str, object]], path: list[Segment], audio: bytes, whole: bool) -> float:
        """Adds "c" to each word and "alt" to each competing one; returns the
        utterance's own "c". `path`: the grammar's segments, one for each of `words`."""
        lib = self.lib
        try:
            self._use(b"phones")
            run(lib, self.decoder, audio, whole)
            loop = segments(lib, self.decoder)
            for word, segment in zip(words, path):
                word["c"] = round((segment.acoustic - _over(loop, segment.first, segment.last))
                                  / (segment.last + 1 - segment.first) * SCALE, 3)
            for word, segment in zip(words, path):
                said = VARIANT.sub("", segment.word)
                rivals = self.rivals.get(said)
                if not rivals:
                    continue
                lo = max(0, segment.first - MARGIN_FRAMES) * FRAME_SAMPLES * 2
                hi = (segment.last + 1 + MARGIN_FRAMES) * FRAME_SAMPLES * 2
                piece = audio[lo:hi]
                own = self._path(said, piece)
                if own is None:
                    continue
                n = len(piece) // 2 // FRAME_SAMPLES or 1
                word["alt"] = {r: round((s - own) / n * SCALE, 3) for r in rivals
                               if (s := self._path(r, piece)) is not None}
            total = sum(segment.acoustic for segment in path)
            first, last = path[0].first, path[-1].last
            return round((total - _over(loop, first, last)) / (last + 1 - first) * SCALE, 3)
        finally:
            self._use(self.main)

    def _path(self, word: str, audio: bytes) -> int | None:
        self._use(f"word_{word}".encode())
        run(self.lib, self.decoder, audio, True)
        if [VARIANT.sub("", w) for w in (self.lib.ps_get_hyp(self.decoder, None) or b"").decode().split()] != [word]:
            return None
        return sum(segment.acoustic for segment in segments(self.lib, self.decoder))


def _in_dictionary(lib: ctypes.CDLL, decoder: int, word: str) -> bool:
    """Whether the decoder's dictionary has the word (the pronunciation the library
    hands back is the caller's to free)."""
    pronunciation = lib.ps_lookup_word(decoder, word.encode())
    if not pronunciation:
        return False
    libc = ctypes.CDLL(None)
    libc.free.argtypes = [ctypes.c_void_p]
    libc.free(pronunciation)
    return True


def _over(loop: list[Segment], first: int, last: int) -> float:
    """The phone loop's acoustic score over frames first..last, a segment that straddles
    either end counted in proportion."""
    total = 0.0
    for segment in loop:
        inside = min(segment.last, last) + 1 - max(segment.first, first)
        if inside > 0:
            total += segment.acoustic * inside / (segment.last + 1 - segment.first)
    return total


@dataclass(frozen=True)
class Segment:
    """One segment of the decoder's best path: a word or a marker, its frames (first and
    last), its acoustic score and its posterior."""

    word: str
    first: int
    last: int
    acoustic: int
    posterior: float


def segments(lib: ctypes.CDLL, decoder: int) -> list[Segment]:
    """The best path's segments, in order."""
    logmath = lib.ps_get_logmath(decoder)
    found = []
    seg = lib.ps_seg_iter(decoder)
    while seg:
        sf, ef, ascr = ctypes.c_int(), ctypes.c_int(), ctypes.c_int32()
        lib.ps_seg_frames(seg, ctypes.byref(sf), ctypes.byref(ef))
        posterior = lib.logmath_exp(logmath, lib.ps_seg_prob(seg, ctypes.byref(ascr), None, None))
        found.append(Segment((lib.ps_seg_word(seg) or b"").decode("utf-8", "replace"), sf.value, ef.value,
                             ascr.value, posterior))
        seg = lib.ps_seg_next(seg)
    return found


def result(lib: ctypes.CDLL, decoder: int, path: list[Segment], start_s: float, end_s: float,
           audio: bytes = b"") -> dict[str, object]:
    """The decoder's result as a line's object; each word's begin moved to where its
    sound begins in `audio` (the utterance's), when it has audio."""
    hyp = lib.ps_get_hyp(decoder, None) or b""
    levels = loudness(audio) if audio else []
    floor = sorted(levels)[len(levels) // 10] if levels else 0.0
    hops = FRAME_SAMPLES // ONSET_HOP
    words = []
    for segment in path:
        begin = segment.first * hops
        if levels and not FILLER.match(segment.word):
            begin = onset(levels, floor, begin, (segment.last + 1) * hops)
        words.append({"b": round(start_s + begin / HOPS_PER_S, 3),
                      "d": round((segment.last + 1) / FRAME_RATE - begin / HOPS_PER_S, 3),
                      "p": round(segment.posterior, 3), "t": segment.word})
    return {"b": round(start_s, 3), "d": round(end_s - start_s, 3),
            "p": round(lib.logmath_exp(lib.ps_get_logmath(decoder), lib.ps_get_prob(decoder)), 3),
            "t": hyp.decode("utf-8", "replace"), "w": words}


def run(lib: ctypes.CDLL, decoder: int, audio: bytes, whole: bool) -> None:
    if lib.ps_start_utt(decoder) < 0 or lib.ps_process_raw(decoder, audio, len(audio) // 2, 0, int(whole)) < 0 \
            or lib.ps_end_utt(decoder) < 0:
        raise ListenError("the recogniser failed on the audio")


@dataclass
class Decoders:
    lib: ctypes.CDLL
    decoder: int
    whole: bool
    background: int | None = None
    judge: Judge | None = None
    sentences: re.Pattern[str] | None = None  # the grammar's sentences, words each followed by a space

    def decode(self, audio: bytes, start_s: float, end_s: float) -> tuple[str, bool]:
        """One utterance decoded as one block: its line, and whether it may be a command
        cut short by a pause (`_unfinished`)."""
        lib = self.lib
        run(lib, self.decoder, audio, self.whole)
        path = segments(lib, self.decoder)
        heard = result(lib, self.decoder, path, start_s, end_s, audio)
        unfinished = self.sentences is not None and self._unfinished(str(heard["t"]))
        if self.judge is not None and path:
            heard["c"] = self.judge.score(heard["w"], path, audio, self.whole)  # type: ignore[arg-type]
        if self.background is not None:
            run(lib, self.background, audio, self.whole)
            heard["bg"] = (lib.ps_get_hyp(self.background, None) or b"").decode("utf-8", "replace")
        return json.dumps(heard, separators=(",", ":")), unfinished

    def _unfinished(self, hyp: str) -> bool:
        """Whether what was heard is no sentence of the grammar: a command cut short by a
        pause ("put that"), or nothing at all (the decoder's lattice of a sentence cut
        short may have no end the grammar allows)."""
        assert self.sentences is not None
        heard = [VARIANT.sub("", w) for w in hyp.split()]
        return not heard or self.sentences.fullmatch("".join(w + " " for w in heard)) is None


_TOKEN = re.compile(r"<[^>]+>|/[^/]*/|\{[^}]*\}|[()\[\]|*+]|[^\s()\[\]|*+<>/{};=]+")


def sentences(path: str) -> re.Pattern[str] | None:
    """The sentences a JSGF grammar's public rule accepts, as a regular expression over
    its words each followed by a space; None for a grammar this reading does not follow
    (then no utterance is held for a pause)."""
    try:
        with open(path, encoding="utf-8") as f:
            text = re.sub(r"//[^\n]*|/\*.*?\*/", " ", f.read(), flags=re.S)
    except (OSError, UnicodeDecodeError):
        return None
    rules, public = {}, None
    for statement in text.split(";"):
        found = re.fullmatch(r"\s*(public\s+)?<([^>]+)>\s*=(.*)", statement, flags=re.S)
        if found:
            rules[found.group(2)] = _TOKEN.findall(found.group(3))
            public = public or (found.group(2) if found.group(1) else None)
    if public is None:
        return None

    def expand(name: str, depth: int) -> str:
        if name not in rules or depth > 20:
            raise ValueError(name)
        out = []
        for token in rules[name]:
            if token in ("*", "+"):
                out.append(token)
            elif token in ("(", ")", "|"):
                out.append({"(": "(?:", ")": ")", "|": "|"}[token])
            elif token == "[":
                out.append("(?:")
            elif token == "]":
                out.append(")?")
            elif token.startswith("<"):
                out.append("(?:" + expand(token[1:-1], depth + 1) + ")")
            elif not token.startswith(("/", "{")):
                out.append("(?:" + re.escape(token.lower()) + " )")
        return "".join(out)

    try:
        return re.compile(expand(public, 0))
    except (ValueError, re.error):
        return None


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


@dataclass
class Held:
    """An utterance that stopped mid-command, kept for `-join` seconds in case the user
    goes on after a pause ("put that ... there")."""

    audio: bytes
    started: float
    ended: float
    line: str


def listen(argv: list[str]) -> int:
    options, ep = parse(argv)
    for name in FILES:  # the library crashes on some it cannot open, rather than refusing them
        if name in options:
            try:
                open(options[name], "rb").close()
            except OSError as e:
                raise ListenError(f"-{name} {options[name]}: {e.strerror}") from None
    lib = _library()
    decoders = Decoders(lib, start(lib, options), ep.whole)
    # The background: the same decoder's settings, its general language model for the grammar.
    if ep.background:
        decoders.background = start(lib, {k: v for k, v in options.items()
                                          if k not in ("jsgf", "fsg", "kws", "keyphrase")})
    grammar = any(k in options for k in ("jsgf", "fsg"))
    if ep.confidence and grammar:
        decoders.judge = Judge(lib, decoders.decoder, ep.rivals)
    if ep.join and "jsgf" in options:
        decoders.sentences = sentences(options["jsgf"])
    endpointer = lib.ps_endpointer_init(ep.window, ep.ratio, ep.mode, RATE, 0.0)
    if not endpointer:
        raise ListenError("the end-pointer could not start")
    size = lib.ps_vad_frame_size(lib.ps_endpointer_vad(endpointer))
    frame = ctypes.create_string_buffer(size * 2)
    started = 0.0
    heard = bytearray()
    source = sys.stdin.buffer
    frame_s = size / RATE
    kept = int((ep.lead + ep.window + ep.join + 1) / frame_s)  # enough for the lead, the tail and a pause
    recent: collections.deque[tuple[float, bytes]] = collections.deque(maxlen=kept)
    read_s = 0.0
    held: Held | None = None

    joined: tuple[Held, int, float] | None = None  # what was held, where the new speech begins in `heard`, when

    def finish(audio: bytes, begun: float, ended: float) -> None:
        nonlocal held, joined
        line, unfinished = decoders.decode(audio, begun, ended)
        if unfinished and joined is not None:
            # Joined, it still makes no command: what was held stands as it was heard, and
            # what followed the pause is heard on its own.
            before, offset, fresh = joined
            print(before.line, flush=True)
            line, unfinished = decoders.decode(audio[offset:], fresh, ended)
            audio, begun = audio[offset:], fresh
        joined = None
        if unfinished and ep.join:
            held = Held(audio, begun, ended, line)
        else:
            print(line, flush=True)

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
                if held is not None:  # the user went on: the pause and what follows join what was held
                    heard = bytearray(held.audio + b"".join(d for at, d in recent
                                                            if held.ended - frame_s / 2 <= at < started - frame_s / 2))
                    joined = (held, len(heard), started)
                    started, held = held.started, None
                else:
                    heard = bytearray(b"".join(d for at, d in recent
                                               if started - ep.lead - frame_s / 2 <= at < started - frame_s / 2))
                    started -= len(heard) / 2 / RATE
            heard += ctypes.string_at(speech, count * 2)
            if not lib.ps_endpointer_in_speech(endpointer):
                ended = lib.ps_endpointer_speech_end(endpointer)
                heard += b"".join(d for at, d in recent if ended - frame_s / 2 <= at < ended + ep.tail)
                finish(bytes(heard), started, ended)
            elif len(heard) >= LONGEST_S * RATE * 2:  # speech that never ends: heard in pieces
                print(decoders.decode(bytes(heard), started, started + len(heard) / 2 / RATE)[0], flush=True)
                started += len(heard) / 2 / RATE
                heard, joined = bytearray(), None
        elif held is not None and read_s - held.ended > ep.join and not lib.ps_endpointer_in_speech(endpointer):
            print(held.line, flush=True)  # no more came: what was said stands as it was heard
            held = None
        if len(data) < size * 2:
            break
    if lib.ps_endpointer_in_speech(endpointer):  # the audio ended mid-utterance
        print(decoders.decode(bytes(heard), started, read_s)[0], flush=True)
    elif held is not None:
        print(held.line, flush=True)
    lib.ps_endpointer_free(endpointer)
    lib.ps_free(decoders.decoder)
    if decoders.background is not None:
        lib.ps_free(decoders.background)
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
