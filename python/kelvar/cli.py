"""The ``kelvar`` command: where each named command lives.

    kelvar [--fuzzy] NAME...

prints one line per name, ``NAME<TAB>PATH`` or ``NAME<TAB>not found``, in the
order given. A command built into the command interpreter counts as found; its
path is the text of ``get_cmd_exe_path()``. The exit status is 0 when every
name was found, 1 when any was not, and 2 for a usage error.
"""

from __future__ import annotations

import argparse
import codecs
import errno
import io
import os
import sys
from collections.abc import Sequence

import _kelvar

NOT_FOUND = "not found"

_ERROR_HANDLER = "kelvar.cli.unencodable"


def _unencodable(error: UnicodeError) -> tuple[str | bytes, int]:
    """Writes what the output encoding cannot hold without losing the line.

    A name that the operating system handed over as bytes that are not valid
    in the file system encoding arrives with those bytes smuggled in as lone
    surrogates (U+DC80 to U+DCFF, the "surrogateescape" handler); where the
    output uses that same encoding they are written back as the original
    bytes, so the line names the command exactly as it was typed. Anything
    else the encoding cannot hold (a path on a terminal with a narrow code
    page, say) is written as a backslash escape.
    """
    if not isinstance(error, UnicodeEncodeError):
        raise error
    chunk = error.object[error.start : error.end]
    same_encoding = (
        codecs.lookup(error.encoding).name == codecs.lookup(sys.getfilesystemencoding()).name
    )
    if same_encoding and all(0xDC80 <= ord(c) <= 0xDCFF for c in chunk):
        return bytes(ord(c) - 0xDC00 for c in chunk), error.end
    return codecs.backslashreplace_errors(error)


codecs.register_error(_ERROR_HANDLER, _unencodable)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kelvar",
        description=(
            "Tell where each command lives, the way the Windows command prompt "
            "finds it: the first program that `where` reports, or the command "
            "interpreter for its built-in commands."
        ),
        epilog="Exit status: 0 when every name was found, 1 otherwise, 2 for a usage error.",
    )
    parser.add_argument(
        "--fuzzy",
        action="store_true",
        help="also match programs whose names contain NAME (where is asked for *NAME*)",
    )
    parser.add_argument(
        "--version",
        action="version",
        version=f"kelvar {_kelvar.get_version()}",
    )
    parser.add_argument("names", nargs="+", metavar="NAME", help="a command to look up")
    return parser


def lookup(name: str, fuzzy: bool) -> str | None:
    """The path of one command, or None when it is not found.

    A name that holds lone surrogates has no UTF-8 form and so cannot be
    looked up; it is reported as not found, with a note on standard error.
    """
    try:
        return _kelvar.find_executable(name, fuzzy)[1]
    except UnicodeEncodeError:
        print(
            f"kelvar: {name!a} cannot be looked up: it is not valid text",
            file=sys.stderr,
        )
        return None


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    out = sys.stdout
    if isinstance(out, io.TextIOWrapper):
        out.reconfigure(errors=_ERROR_HANDLER)
    all_found = True
    try:
        for name in args.names:
            path = lookup(name, args.fuzzy)
            all_found = all_found and path is not None
            out.write(f"{name}\t{NOT_FOUND if path is None else path}\n")
        out.flush()
    except OSError as error:
        # On Windows a write to a pipe whose reader is gone fails with EINVAL
        # from the C runtime, not with EPIPE.
        reader_gone = isinstance(error, BrokenPipeError) or (
            sys.platform == "win32" and error.errno == errno.EINVAL
        )
        if not reader_gone:
            raise
        # The reader went away (`kelvar ... | head -1`): stop quietly, and keep
        # the interpreter's final flush from failing again on the same pipe.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, out.fileno())
        except (OSError, ValueError):
            pass
        return 1
    except KeyboardInterrupt:
        return 130
    return 0 if all_found else 1
