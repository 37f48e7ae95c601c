"""Directives that take the `spatial` command's own texts into the site, so that they
cannot go stale: its --help texts and its table of exit statuses."""

from __future__ import annotations

import os
import re

from docutils import nodes
from docutils.parsers.rst import Directive

HELP_COLUMNS = "92"


def parser_for(command: str):
    from spatial_intent.cli.main import parser

    top = parser()
    if not command:
        return top
    for action in top._subparsers._group_actions:  # the subcommands' parsers
        if command in action.choices:
            return action.choices[command]
    raise ValueError(f"spatial has no command {command!r}")


class SpatialHelp(Directive):
    """`spatial COMMAND --help`, as the program prints it."""

    optional_arguments = 1

    def run(self):
        command = self.arguments[0] if self.arguments else ""
        saved = os.environ.get("COLUMNS")
        os.environ["COLUMNS"] = HELP_COLUMNS
        try:
            text = parser_for(command).format_help()
        except ValueError as e:
            raise self.error(str(e)) from None
        finally:
            if saved is None:
                del os.environ["COLUMNS"]
            else:
                os.environ["COLUMNS"] = saved
        shown = f"$ spatial {command + ' ' if command else ''}--help\n{text}"
        block = nodes.literal_block(shown, shown)
        block["language"] = "text"
        return [block]


class SpatialExitCodes(Directive):
    """The exit statuses every command shares, as a table."""

    def run(self):
        from spatial_intent.cli.main import EXIT_CODES

        rows = re.findall(r"^\s+(\d+)\s+(.+)$", EXIT_CODES, re.M)
        if not rows:
            raise self.error("no exit statuses found in spatial_intent.cli.main.EXIT_CODES")
        table = nodes.table()
        group = nodes.tgroup(cols=2)
        table += group
        group += nodes.colspec(colwidth=1)
        group += nodes.colspec(colwidth=8)
        head = nodes.thead()
        group += head
        head += self.row("status", "meaning")
        body = nodes.tbody()
        group += body
        for status, meaning in rows:
            body += self.row(status, meaning)
        return [table]

    @staticmethod
    def row(*cells: str) -> nodes.row:
        row = nodes.row()
        for cell in cells:
            entry = nodes.entry()
            entry += nodes.paragraph(text=cell)
            row += entry
        return row


def setup(app):
    app.add_directive("spatial-help", SpatialHelp)
    app.add_directive("spatial-exit-codes", SpatialExitCodes)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
