"""The module's surface as the tests hold it: the eight functions in the
order of registration (and of `__all__`), each with its text signature, its
parameters, the type of its result and its documentation proper (what
`__doc__` holds once the interpreter has taken the "name(...)\n--\n\n"
header off the stored text). The one copy for every test that needs it."""

from typing import NamedTuple


class Function(NamedTuple):
    text_signature: str
    parameters: tuple
    result: type
    doc: str


SURFACE = {
    "fib": Function(
        "(n)", ("n",), int,
        "Calculate fibonacci number using recursive approach\n\n# Arguments\n* `n` - The "
        "position in fibonacci sequence (u32)\n\n# Returns\nThe nth fibonacci number\n\n# Examples"
        "\n```\nlet result = fib(10);\nassert_eq!(result, 55);\n```"),
    "sum_as_arr": Function(
        "(arr)", ("arr",), int,
        "Sum array elements\n\n# Arguments\n* `arr` - Vector of integers to sum\n\n# "
        "Returns\nSum of all elements in the array\n\n# Examples\n```\nlet result = sum_as_arr(vec!"
        "[1, 2, 3, 4, 5]);\nassert_eq!(result, 15);\n```"),
    "find_executable": Function(
        "(name, fuzzy)", ("name", "fuzzy"), tuple,
        "Find executable path for commands cross-platform\n\n# Arguments\n* `name` "
        "- Name of the command to find\n* `fuzzy` - Whether to use fuzzy matching\n\n# Returns\nTuple "
        "containing (command_name, Option<path>)"),
    "is_windows_builtin": Function(
        "(command)", ("command",), bool,
        "Check if a command is a Windows built-in command\n\n# Arguments\n* "
        "`command` - The command name to check\n\n# Returns\nTrue if the command is a Windows "
        "built-in, false otherwise"),
    "get_cmd_exe_path": Function(
        "()", (), str,
        "Get Windows cmd.exe path for built-in commands\n\n# Returns\nStatic "
        "string representing the cmd.exe path for built-ins"),
    "get_version": Function("()", (), str, "Get library version information"),
    "is_windows": Function("()", (), bool, "Check if running on Windows"),
    "get_executable_extension": Function("()", (), str, "Get platform-specific executable extension"),
}

NAMES = list(SURFACE)
WITH_ARGUMENTS = [name for name, function in SURFACE.items() if function.parameters]
WITHOUT_ARGUMENTS = [name for name, function in SURFACE.items() if not function.parameters]
