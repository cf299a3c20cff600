"""The ``kelvar`` command: where each named command lives.

    kelvar [--fuzzy] NAME...

prints one line per name, ``NAME<TAB>PATH`` or ``NAME<TAB>not found``, in the
order given. A command built into the command interpreter counts as found; its
path is the text of ``get_cmd_exe_path()``. Control characters in a name (a
tab or a line feed, say) are written as backslash escapes, so that each name
keeps to its one line. With ``--fuzzy`` the first match in ``PATH`` order
wins, not the closest name. The exit status is 0 when every name was found;
1 when any was not, and also when the reader of the output went away before
everything was written (`kelvar ... | head -1`), whatever was found; 2 for a
usage error; 3 when the results could not be written otherwise (standard
output closed or full); and 130 when the run was interrupted (Ctrl+C).
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

# Exit statuses. A reader that went away has no status of its own: it shares
# the one of a name not found, whatever was found, so that a pipeline cut
# short by `head` does not pass for a full success.
ALL_FOUND = 0
SOME_NOT_FOUND = 1
READER_GONE = 1
OUTPUT_FAILED = 3
INTERRUPTED = 130  # 128 + SIGINT, as shells report a run ended by Ctrl+C

# A tab or a line feed in a name would break the one line per name; every C0
# control character and DEL is written as an escape instead.
_NAME_ESCAPES = {code: f"\\x{code:02x}" for code in [*range(0x20), 0x7F]}
_NAME_ESCAPES.update({0x09: "\\t", 0x0A: "\\n", 0x0D: "\\r"})

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
        epilog=(
            "Exit status: 0 when every name was found; 1 when any was not, or when "
            "the reader of the output went away before it was all written; 2 for a "
            "usage error; 3 when the results could not be written otherwise "
            "(standard output closed or full); 130 when interrupted (Ctrl+C)."
        ),
    )
    parser.add_argument(
        "--fuzzy",
        action="store_true",
        help=(
            "also match programs whose names contain NAME (where is asked for "
            "*NAME*); the first match in PATH order wins, not the closest name"
        ),
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


def _output_failed(why: str) -> int:
    print(f"kelvar: cannot write the results: {why}", file=sys.stderr)
    return OUTPUT_FAILED


def _silence_stdout(out: io.TextIOBase) -> None:
    """Keeps the interpreter's final flush of standard output from failing
    again on a stream that already failed."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, out.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    out = sys.stdout
    if out is None:
        # Started with standard output closed (`kelvar NAME >&-`).
        return _output_failed("standard output is closed")
    if isinstance(out, io.TextIOWrapper):
        out.reconfigure(errors=_ERROR_HANDLER)
    all_found = True
    try:
        for name in args.names:
            path = lookup(name, args.fuzzy)
            all_found = all_found and path is not None
            out.write(f"{name.translate(_NAME_ESCAPES)}\t{NOT_FOUND if path is None else path}\n")
        out.flush()
    except OSError as error:
        # On Windows a write to a pipe whose reader is gone fails with EINVAL
        # from the C runtime, not with EPIPE.
        reader_gone = isinstance(error, BrokenPipeError) or (
            sys.platform == "win32" and error.errno == errno.EINVAL
        )
        _silence_stdout(out)
        if reader_gone:
            # The reader went away (`kelvar ... | head -1`): stop quietly.
            return READER_GONE
        # Full (`kelvar NAME > /dev/full`) or otherwise unwritable.
        return _output_failed(error.strerror or str(error))
    except KeyboardInterrupt:
        return INTERRUPTED
    return ALL_FOUND if all_found else SOME_NOT_FOUND
