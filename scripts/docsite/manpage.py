"""The man page kavri(1), written in troff from the command's argument parser.

    python scripts/docsite/manpage.py [OUT]       (default: standard output)

Every command and option comes from ``kavri.cli.build_parser()`` (through
:func:`docsite.cli_reference.read_parser`); the sections around them (exit status,
environment, files, examples) are written here. ``make docs`` puts the page in the site as
``kavri.1``; read it with ``man -l build/site/kavri.1``.
"""

from __future__ import annotations

import sys
from pathlib import Path

if __package__ in (None, ""):
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from docsite.cli_reference import Argument, Reference, read_parser  # noqa: E402

__all__ = ["escape", "manpage"]

# Characters of the help texts that troff spells by name.
_NAMED = {
    "×": r"\[mu]",
    "…": r"\&...",
    "≥": r"\[>=]",
    "≤": r"\[<=]",
    "→": r"\[->]",
    "—": r"\[em]",
    "–": r"\[en]",
    "±": r"\[+-]",
}


def escape(text: str) -> str:
    """Text as troff prints it literally: backslashes and hyphens escaped, a leading dot or
    quote kept from being read as a request, other characters beyond ASCII by name or by
    code point."""
    out = []
    for char in text.replace("\\", r"\e").replace("-", r"\-"):
        if ord(char) < 128:
            out.append(char)
        else:
            out.append(_NAMED.get(char, f"\\[u{ord(char):04X}]"))
    escaped = "".join(out)
    if escaped.startswith((".", "'")):
        escaped = r"\&" + escaped
    return escaped


def _sentence(text: str) -> str:
    text = text[:1].upper() + text[1:]
    return text if text.endswith(".") else text + "."


def _argument(argument: Argument) -> list[str]:
    if argument.names:
        names = ", ".join(rf"\fB{escape(name)}\fR" for name in argument.names)
        label = f"{names} \\fI{escape(argument.metavar)}\\fR" if argument.metavar else names
    else:
        label = rf"\fI{escape(argument.metavar)}\fR"
    meaning = _sentence(argument.help) if argument.help else ""
    if argument.required and argument.names:
        meaning += " Required."
    if argument.excludes:
        meaning += f" Not with {', '.join(argument.excludes)}."
    return [".TP", label, escape(meaning.strip())]


def _usage(usage: str) -> list[str]:
    return [".PP", ".nf", *(escape(line) for line in usage.splitlines()), ".fi"]


_EXIT_STATUS = [
    ("0", "success"),
    (
        "1",
        "a failure, named by one line on standard error beginning 'kavri: error:' "
        "(a bad chain or setting, a file that cannot be read or written); nothing written. "
        "In batch and augment, 1 when any file failed; the others are still written",
    ),
    (
        "2",
        "a malformed command line: an unknown option, or a value that is not of the "
        "option's type; the usage and one error line go to standard error",
    ),
    (
        "130, 143",
        "stopped by SIGINT or SIGTERM between chunks; no output or temporary file is left",
    ),
    ("141", "the reader of standard output went away (a broken pipe)"),
]

_FILES = [
    (
        "OUT_DIR/.kavri-batch.json",
        "the record of a batch or augment run: what each output "
        "was made from, so that a rerun skips what is complete",
    ),
    ("OUT_DIR/augment.jsonl", "one line per augmented output with the concrete chain drawn for it"),
    (
        ".kavri-tmp.d/",
        "a hidden folder beside an output while it is written, holding the "
        "temporary file that is renamed into place when complete",
    ),
]

_EXAMPLES = [
    "kavri process take.wav out.wav --preset vocal",
    "kavri process take.wav out.wav --effect highpass:frequency_hz=80 "
    "--effect compressor:ratio=3,makeup_db=4",
    "kavri process talk.wav talk.mp3 --preset vocal --loudness -16 --peak-ceiling -1.5",
    "kavri batch recordings/ processed/ --preset mastering --jobs 4",
    "kavri augment takes/ augmented/ --chain augment.json --variants 3 --seed 7",
    "kavri meter *.wav --json > levels.json",
]


def manpage(reference: Reference, version: str) -> str:
    """The man page of the command ``reference`` describes, as troff."""
    prog = reference.prog
    lines = [
        f'.TH {prog.upper()} 1 "" "{escape(prog)} {escape(version)}" "User Commands"',
        ".nh",
        ".SH NAME",
        f"{escape(prog)} \\- process, batch, augment and meter audio files with a native "
        "effects engine",
        ".SH SYNOPSIS",
        rf".B {escape(prog)}",
        r"\fICOMMAND\fR [\fIOPTIONS\fR] [\fIARGUMENTS\fR]",
        ".SH DESCRIPTION",
        escape(_sentence(reference.description)),
        "Each command reads its options, checks all of them before any audio is read, and "
        "makes one library call. Files are streamed through the chain in chunks, in memory "
        "that does not grow with their length, and written atomically. Reports, warnings "
        "and progress go to standard error, so that standard output can carry audio.",
        ".PP",
        "A chain is given as "
        + escape("--chain FILE")
        + " (JSON), "
        + escape("--preset NAME")
        + " or one or more "
        + escape("--effect TYPE[:key=value,...]")
        + "; effects given after a chain file or preset run after it. "
        + escape("'kavri effects'")
        + " lists the effect types, "
        + escape("'kavri effects TYPE'")
        + " one type's keys, defaults and ranges.",
        ".SH OPTIONS",
        *_usage(reference.usage),
    ]
    for argument in reference.options:
        lines += _argument(argument)
    lines.append(".SH COMMANDS")
    for command in reference.commands:
        lines += [
            f'.SS "{escape(prog)} {escape(command.name)}"',
            escape(_sentence(command.summary)),
        ]
        if command.description:
            lines += [".PP", escape(command.description)]
        lines += _usage(command.usage)
        for argument in command.arguments:
            lines += _argument(argument)
    lines.append(".SH EXIT STATUS")
    for status, meaning in _EXIT_STATUS:
        lines += [".TP", rf"\fB{escape(status)}\fR", escape(_sentence(meaning))]
    lines += [
        ".SH ENVIRONMENT",
        ".TP",
        r"\fBKAVRI_AVAILABLE_MEMORY\fR",
        "A byte count the engine takes as the memory available to a call, when it is lower "
        "than what the machine has; it can only make the memory guard stricter.",
        ".SH FILES",
    ]
    for path, meaning in _FILES:
        lines += [".TP", rf"\fI{escape(path)}\fR", escape(_sentence(meaning))]
    lines.append(".SH EXAMPLES")
    for example in _EXAMPLES:
        lines += [".PP", ".nf", escape(example), ".fi"]
    lines += [
        ".SH SEE ALSO",
        r"\fBsox\fR(1), \fBffmpeg\fR(1); the documentation site built by "
        + escape("'make docs'")
        + ".",
        "",
    ]
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    from kavri import __version__
    from kavri.cli import build_parser

    text = manpage(read_parser(build_parser()), __version__)
    if argv:
        Path(argv[0]).write_text(text, encoding="ascii")
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
