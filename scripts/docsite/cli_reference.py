"""The ``kavri`` command's arguments, read from its parser, and their Markdown reference.

:func:`read_parser` walks ``kavri.cli.build_parser()``: the top-level options, then every
command with its usage line and every argument and option with its metavar and help. The
Markdown reference (:func:`markdown_reference`) and the man page (:mod:`.manpage`) are both
written from that one walk, so neither can list an option the command lacks or miss one it
has.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass

__all__ = ["Argument", "Command", "Reference", "read_parser", "markdown_reference"]

# Usage lines are wrapped at this width, whatever the terminal that builds the pages.
USAGE_WIDTH = 88


@dataclass(frozen=True)
class Argument:
    """One argument of a command: ``names`` are its option strings (empty for a positional
    argument), ``metavar`` what follows them ("FILE", "{tpdf,none}", "" for a flag)."""

    names: tuple[str, ...]
    metavar: str
    help: str
    required: bool
    excludes: tuple[str, ...] = ()

    @property
    def label(self) -> str:
        """How the argument is written: ``--chain FILE``, ``-h, --help``, ``IN``."""
        if not self.names:
            return self.metavar
        shown = ", ".join(self.names)
        return f"{shown} {self.metavar}" if self.metavar else shown


@dataclass(frozen=True)
class Command:
    name: str
    summary: str
    description: str
    usage: str
    arguments: tuple[Argument, ...]


@dataclass(frozen=True)
class Reference:
    prog: str
    description: str
    usage: str
    options: tuple[Argument, ...]
    commands: tuple[Command, ...]


def _usage(parser: argparse.ArgumentParser) -> str:
    formatter = argparse.HelpFormatter(parser.prog, width=USAGE_WIDTH)
    formatter.add_usage(parser.usage, parser._actions, parser._mutually_exclusive_groups, prefix="")
    return formatter.format_help().strip()


def _arguments(parser: argparse.ArgumentParser) -> tuple[Argument, ...]:
    formatter = argparse.HelpFormatter(parser.prog, width=USAGE_WIDTH)
    exclusive: dict[int, tuple[str, ...]] = {}
    for group in parser._mutually_exclusive_groups:
        names = tuple(a.option_strings[-1] for a in group._group_actions if a.option_strings)
        for action in group._group_actions:
            exclusive[id(action)] = tuple(n for n in names if n not in action.option_strings)
    found = []
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction) or action.help == argparse.SUPPRESS:
            continue
        if action.option_strings:
            metavar = (
                "" if action.nargs == 0 else formatter._format_args(action, action.dest.upper())
            )
        else:
            metavar = formatter._format_args(action, action.dest)
        found.append(
            Argument(
                tuple(action.option_strings),
                metavar,
                formatter._expand_help(action) if action.help else "",
                bool(action.required),
                exclusive.get(id(action), ()),
            )
        )
    return tuple(found)


def read_parser(parser: argparse.ArgumentParser) -> Reference:
    """Every command, argument and option of ``parser``, in the order it defines them."""
    commands = []
    for action in parser._actions:
        if not isinstance(action, argparse._SubParsersAction):
            continue
        summaries = {choice.dest: choice.help or "" for choice in action._choices_actions}
        for name, sub in action.choices.items():
            commands.append(
                Command(
                    name,
                    summaries.get(name, ""),
                    sub.description or "",
                    _usage(sub),
                    _arguments(sub),
                )
            )
    return Reference(
        parser.prog, parser.description or "", _usage(parser), _arguments(parser), tuple(commands)
    )


def _cell(text: str) -> str:
    return text.replace("|", "\\|").replace("\n", " ")


def _table(arguments: tuple[Argument, ...]) -> list[str]:
    lines = ["| argument | meaning |", "|---|---|"]
    for argument in arguments:
        meaning = argument.help[:1].upper() + argument.help[1:] if argument.help else ""
        if argument.required and argument.names:
            meaning += " (required)"
        if argument.excludes:
            meaning += f" (not with {', '.join(f'`{n}`' for n in argument.excludes)})"
        lines.append(f"| `{_cell(argument.label)}` | {_cell(meaning)} |")
    return lines


def markdown_reference(reference: Reference) -> str:
    """The reference as Markdown: a section per command with its usage and a table of its
    arguments, headed by the options of ``kavri`` itself."""
    lines = ["```text", reference.usage, "```", "", *_table(reference.options), ""]
    for command in reference.commands:
        lines += [
            f"### {reference.prog} {command.name}",
            "",
            f"{command.summary[:1].upper()}{command.summary[1:]}.",
            "",
        ]
        if command.description:
            lines += [command.description, ""]
        lines += ["```text", command.usage, "```", "", *_table(command.arguments), ""]
    return "\n".join(lines)
