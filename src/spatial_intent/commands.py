"""Spoken commands: a small vocabulary (verbs, references to things, places) and the
names of the scene's objects, from which a JSGF grammar for the recogniser is built,
and against which what the recogniser heard is read back as a command or as talk.

A grammar forces every sound onto one of its sentences. So the grammar built here has
a second branch beside the commands: a loop over common English words that are not
in the command vocabulary. Talk that is not a command is heard as some run of those
words, and `CommandGrammar.command` refuses it: such an utterance yields no event.
How many words the loop has is the trade between commands lost to it (and the
recogniser's speed) and talk heard as commands. JSGF weights on the two branches would
be the natural knob, but the recogniser shipped here leaves them without effect: a
weight of 1e-6 on the loop changed one result in ninety."""

from __future__ import annotations

import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

# Verbs that take a thing, and verbs that take a thing and a place: the default
# vocabulary; a host gives its own (`CommandGrammar(verbs=..., placing=...)`).
VERBS = ("open", "close", "delete", "select", "show", "hide", "remove")
PLACING = ("put", "move", "copy", "drop")
QUESTIONS = ("what is", "what are")
DEMONSTRATIVES = ("this", "that", "these", "those")
PRONOUNS = ("it", "them")
PLACE_WORDS = ("here", "there")
RELATIONS = ("on", "next to", "under", "behind")

# The loop that talk is heard as: sixteen frequent English words. A word that a command
# has too is left out of the loop, or a command could slip into it word by word. The
# count is a measured trade (commands accepted and talk accepted of 60 and 30 sentences,
# and the recogniser's time for their 270 s of audio): no loop 44, 17, 3 s; eight
# words 40, 6, 12 s; these sixteen 40, 1, 30 s; fifty 28, 0, 150 s.
FILLER = tuple("""
a about all and be but can do for from get go good have he how
""".split())
# Fifty, for a quieter place where speed matters less than never hearing talk as a command.
FILLER_LONG = FILLER + tuple("""
i if in just know like me my no not now of oh okay one or out really right so some think
time up want was we well when will with yeah yes you
""".split())

_WORD = re.compile(r"[a-z]+(?:'[a-z]+)*")


def _listed(values: Sequence[str], what: str) -> list[str]:
    if isinstance(values, str):
        raise ValueError(f"{what} are a list of names, not one string: {values!r}")
    return list(values)


def _phrase(value: object, what: str) -> str:
    """A name as the recogniser hears it: lower-case words of letters, one space apart."""
    if not isinstance(value, str):
        raise ValueError(f"the {what} {value!r} is not a string")
    name = " ".join(value.lower().split())
    if not name or not all(_WORD.fullmatch(w) for w in name.split()):
        raise ValueError(f"the {what} {name!r} is not words of letters a to z: spell it out")
    return name


@dataclass(frozen=True)
class Command:
    """What a command said: its verb, and its words (the deictic ones among them are
    what `speech.ground` pairs with the frame in force when each was spoken)."""

    verb: str
    words: tuple[str, ...]


@dataclass
class CommandGrammar:
    """The commands over `objects` (the scene's things, by the names a user says), with
    the host's `verbs` that take a thing ("open that") and `placing` verbs that take a
    thing and a place ("put that there"), and the loop over `filler` words that talk is
    heard as (none: no loop, and every sound is heard as some command)."""

    objects: Sequence[str]
    filler: Sequence[str] = FILLER
    verbs: Sequence[str] = VERBS
    placing: Sequence[str] = PLACING
    rules: dict[str, list[str]] = field(init=False)

    def __post_init__(self) -> None:
        names = [_phrase(o, "object name") for o in _listed(self.objects, "objects")]
        if not names:
            raise ValueError("a command grammar needs at least one object name")
        self.verbs = tuple(dict.fromkeys(_phrase(v, "verb") for v in _listed(self.verbs, "verbs")))
        self.placing = tuple(dict.fromkeys(_phrase(v, "verb") for v in _listed(self.placing, "placing")))
        if not self.verbs and not self.placing:
            raise ValueError("a command grammar needs at least one verb")
        both = set(self.verbs) & set(self.placing)
        if both:
            raise ValueError(f"the verb {sorted(both)[0]!r} is given both as taking a thing and as taking a place")
        references = {*DEMONSTRATIVES, *PRONOUNS, *PLACE_WORDS, "the", *(w for r in RELATIONS for w in r.split()),
                      *(w for q in QUESTIONS for w in q.split())}
        for verb in (*self.verbs, *self.placing):
            clash = [w for w in verb.split() if w in references]
            if clash:
                raise ValueError(f"the verb {verb!r} has {clash[0]!r}, a word commands use to refer or ask")
        for word in self.filler:
            if not isinstance(word, str) or not _WORD.fullmatch(word):
                raise ValueError(f"the filler word {word!r} is not a word of letters a to z")
        self.rules = {
            "object": sorted(set(names)),
            "thing": [*DEMONSTRATIVES, *PRONOUNS, "the <object>", "this <object>", "that <object>"],
            "place": [*PLACE_WORDS, *(f"{r} <thing>" for r in RELATIONS)],
            "command": [*([f"({' | '.join(self.verbs)}) <thing>"] if self.verbs else []),
                        *([f"({' | '.join(self.placing)}) <thing> <place>"] if self.placing else []),
                        f"({' | '.join(QUESTIONS)}) <thing>"],
        }
        vocabulary = self.vocabulary()
        self.rules["filler"] = [w for w in dict.fromkeys(self.filler) if w not in vocabulary]
        self._command = re.compile(self._pattern("command"))

    def jsgf(self, name: str = "commands") -> str:
        """The grammar, public rule `name`: a command, or a run of filler words."""
        if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", name):
            raise ValueError(f"the grammar's name {name!r} is not a JSGF rule name (letters, digits, _)")
        loop = " | <filler>+" if self.rules["filler"] else ""
        lines = ["#JSGF V1.0;", f"grammar {name};", f"public <{name}> = <command>{loop};"]
        lines += [f"<{rule}> = {' | '.join(alternatives)};" for rule, alternatives in self.rules.items()
                  if loop or rule != "filler"]
        return "\n".join(lines) + "\n"

    def vocabulary(self) -> set[str]:
        """Every word a command may have."""
        return {word for rule, alternatives in self.rules.items() if rule != "filler" for a in alternatives
                for word in re.findall(r"(?<![<a-z'])[a-z']+", a)}

    def command(self, words: Iterable[str]) -> Command | None:
        """The command these words say, or None when they are not one (talk, or the
        filler loop's words)."""
        said = tuple(w.lower() for w in words)
        text = " ".join(said)
        if not self._command.fullmatch(text):
            return None
        # The longest verb that begins the text: "pick up that" is "pick up", not "pick".
        verb = max((v for v in (*QUESTIONS, *self.verbs, *self.placing) if text.startswith(v + " ")), key=len)
        return Command(verb, said)

    def _pattern(self, rule: str) -> str:
        """A regular expression over the space-joined words that `rule` accepts."""
        alternatives = []
        for alternative in self.rules[rule]:
            out, previous = "", None
            for token in re.findall(r"<[a-z]+>|[()|]|[a-z']+", alternative):
                starts = token not in (")", "|")
                if starts and previous is not None and previous not in ("(", "|"):
                    out += " "
                out += {"(": "(?:", ")": ")", "|": "|"}.get(token) or (
                    self._pattern(token[1:-1]) if token.startswith("<") else re.escape(token))
                previous = token
            alternatives.append(out)
        return "(?:" + "|".join(alternatives) + ")"

    def sentences(self, rng, count: int) -> list[str]:  # type: ignore[no-untyped-def]
        """`count` commands drawn from the grammar with `rng` (random.Random)."""
        def draw(rule: str) -> str:
            choice = rng.choice(self.rules[rule])
            choice = re.sub(r"\(([^)]*)\)", lambda m: rng.choice(m.group(1).split(" | ")), choice)
            return re.sub(r"<([a-z]+)>", lambda m: draw(m.group(1)), choice)
        return [draw("command") for _ in range(count)]
