"""The scripted bodies of the fake `where` that a sandbox writes.

Every fake is a small /bin/sh script. It appends its arguments to the file
`state/calls` (the argument count, then each argument, all NUL-terminated),
then does what its body says; the default body copies the prepared bytes to
standard error and standard output and exits with the prepared code.

On Windows the fake is the test `where.exe` beside the interpreter (built
with the native tests), one program driven by environment variables. Each
body below has its Windows form in WINDOWS_BODIES; the call record has the
same format, read with CommandLineToArgvW in the child.
"""

import shlex
import shutil
import sys
from pathlib import Path

TOOLS = {name: shutil.which(name) for name in ("cat", "sleep", "readlink", "mv")}

SCRIPT_HEAD = """\
#!/bin/sh
S=@STATE@
CAT=@CAT@
SLEEP=@SLEEP@
READLINK=@READLINK@
MV=@MV@
OUT=@OUT@
ERR=@ERR@
CODE=@CODE@
printf '%s\\0' "$#" "$@" >> "$S/calls"
"""

# What the fake does after recording its arguments.
ERR_THEN_OUT = '"$CAT" "$ERR" >&2\n"$CAT" "$OUT"\nexit $CODE\n'
OUT_THEN_ERR = '"$CAT" "$OUT"\n"$CAT" "$ERR" >&2\nexit $CODE\n'
# Prints, closes both streams, and only exits a while later.
CLOSE_THEN_EXIT_LATE = '"$CAT" "$OUT"\nexec >&- 2>&-\n"$SLEEP" 0.1\nexit $CODE\n'
# Prints, then dies of SIGKILL.
KILLED_AFTER_PRINTING = '"$CAT" "$OUT"\nkill -9 $$\n"$SLEEP" 5\n'
# Echoes its argument as the path it found.
ECHO_ARGUMENT = "printf '/found/%s\\n' \"$1\"\n"
# Writes its pid (atomically) and becomes a long sleep, keeping that pid.
WRITE_PID_AND_HANG = (
    "printf '%s' \"$$\" > \"$S/pid.tmp\"\n"
    '"$MV" "$S/pid.tmp" "$S/pid"\n'
    'exec "$SLEEP" 60\n'
)


ON_WINDOWS = sys.platform == "win32"
WINDOWS_WHERE = Path(sys.executable).parent / "where.exe"

# The Windows forms of the bodies: variables for the test where.exe, with
# @STATE@ standing for the sandbox's state directory.
WINDOWS_BODIES = {
    ERR_THEN_OUT: {},
    OUT_THEN_ERR: {"OUT_FIRST": "1"},
    CLOSE_THEN_EXIT_LATE: {"CLOSE_MS": "100"},
    KILLED_AFTER_PRINTING: {"CRASH": "1"},
    ECHO_ARGUMENT: {"ECHO": "1", "ECHO_PREFIX": "/found/"},
    WRITE_PID_AND_HANG: {"PID_FILE": "@STATE@/pid", "SLEEP_MS": "60000"},
}
WINDOWS_VARIABLES = [
    "CALLS", "PID_FILE", "WAIT_FILE", "SLEEP_MS", "OUT_HEX", "UNSEEN_HEX", "OUT_FILE", "ERR_FILE",
    "ERR_HEX", "ERR_BYTES", "OUT_FIRST", "ECHO", "ECHO_PREFIX", "CLOSE_MS", "CRASH", "EXIT",
    "ARGV", "STDIN", "EVENT", "GRANDCHILD", "WAIT", "MARKER", "LATE_HEX", "REPORT_ENV", "SEARCH",
    "CONSOLE_TEXT", "CONSOLE_REPORT", "WINDOW_REPORT", "REALLOC", "CHANGE_CONSOLE", "BACKGROUND",
]


def wait_for_file_body(marker, *, announce=None, seen="/seen", unseen="/not-seen"):
    """A body that waits (at most about 10 s) for `state/<marker>` to appear.

    It prints `seen` when the file appeared and `unseen` when it did not. With
    `announce`, it first writes its pid to `state/<announce>`.
    """
    if ON_WINDOWS:
        body = {"WAIT_FILE": f"@STATE@/{marker}", "OUT_HEX": (seen + "\n").encode().hex(),
                "UNSEEN_HEX": (unseen + "\n").encode().hex()}
        if announce:
            body["PID_FILE"] = f"@STATE@/{announce}"
        return body
    lines = []
    if announce:
        lines += [
            f"printf '%s' \"$$\" > \"$S/{announce}.tmp\"",
            f'"$MV" "$S/{announce}.tmp" "$S/{announce}"',
        ]
    lines += [
        "i=0",
        f'while [ ! -e "$S/{marker}" ] && [ $i -lt 1000 ]; do "$SLEEP" 0.01; i=$((i+1)); done',
        f'if [ -e "$S/{marker}" ]; then printf \'%s\\n\' {shlex.quote(seen)};'
        f" else printf '%s\\n' {shlex.quote(unseen)}; fi",
        "exit 0",
    ]
    return "\n".join(lines) + "\n"


def parse_calls(data):
    """The argument lists recorded in a `calls` file, as lists of bytes."""
    fields = data.split(b"\0")
    calls = []
    i = 0
    while i < len(fields) - 1:
        count = int(fields[i])
        calls.append(fields[i + 1 : i + 1 + count])
        i += 1 + count
    return calls
