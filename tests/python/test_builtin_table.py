"""is_windows_builtin: membership of the lower-cased name in the table of the
83 commands built into the Windows command interpreter."""

import itertools
import re
import string
from pathlib import Path

import pytest

import _kelvar

# Written out apart from the module's table, in a list shared with the native
# tests and the benchmarks.
ENTRIES = re.findall(r'"([a-z]+)"',
                     (Path(__file__).parents[1] / "builtin_commands.inc").read_text())
# A guard on the list above: 83 distinct names with the known spread of lengths.
assert len(set(ENTRIES)) == 83
assert sorted(len(e) for e in ENTRIES) == sorted(
    [2] * 6 + [3] * 10 + [4] * 20 + [5] * 18 + [6] * 10 + [7] * 7 + [8] * 9 + [9, 10, 11])

is_builtin = _kelvar.is_windows_builtin


def every_casing(entry):
    for upper in itertools.product((False, True), repeat=len(entry)):
        yield "".join(c.upper() if u else c for c, u in zip(entry, upper))


@pytest.mark.parametrize("entry", ENTRIES)
def test_every_entry_in_every_casing_is_a_member(entry):
    casings = list(every_casing(entry))
    assert len(casings) == 2 ** len(entry)
    assert [c for c in casings if is_builtin(c) is not True] == []


NON_MEMBERS = {
    "where": "where",
    "leading blank": " dir",
    "trailing blank": "dir ",
    "trailing line feed": "dir\n",
    "trailing CR LF": "cls\r\n",
    "leading tab": "\tcd",
    "inner blank": "d ir",
    "suffix .exe": "dir.exe",
    "suffix .EXE": "CMD.EXE",
    "suffix .bat": "set.bat",
    "Windows directory prefix": "C:\\Windows\\System32\\cmd",
    "relative prefix": ".\\dir",
    "POSIX prefix": "/bin/echo",
    "empty": "",
    "prefix of an entry": "di",
    "one letter": "d",
    "entry plus a letter": "dirs",
    "letter plus an entry": "xdir",
    "two entries": "cdmd",
    "substring of an entry": "ask",
    "trailing NUL": "dir\0",
    "inner NUL": "d\0ir",
    "hyphen": "d-ir",
    "digit": "dir2",
    "dotted capital I then F": "\u0130F",
    "dotted capital I then f": "\u0130f",
    "dotless small i": "\u0131f",
    "long s (casefolds to s)": "\u017fet",
    "fi ligature (casefolds to fi)": "\ufb01nd",
    "fullwidth capitals": "\uff24\uff29\uff32",
    "fullwidth small letters": "\uff44\uff49\uff52",
    "mathematical bold": "\U0001d41d\U0001d422\U0001d42b",
    "combining accent": "dir\u0301",
    "Cyrillic lookalike of copy": "\u0441\u043e\u0440\u0443",
    "Kelvin sign in place of another letter": "\u212amd",
    "Angstrom sign": "\u212bssoc",
    "zero width space": "d\u200bir",
    "soft hyphen": "d\u00adir",
}


@pytest.mark.parametrize("command", NON_MEMBERS.values(), ids=NON_MEMBERS.keys())
def test_non_members(command):
    assert is_builtin(command) is False


def test_kelvin_sign_lower_cases_to_k():
    # Where else it may stand is the native tests' business: this is that it
    # crosses into the module intact.
    assert is_builtin("TAS\u212a\u212aILL") is True


@pytest.mark.parametrize("command", [b"dir", bytearray(b"dir"), None, 1, ["dir"], memoryview(b"dir")],
                         ids=lambda v: type(v).__name__)
def test_non_str_is_refused_naming_command(command):
    with pytest.raises(TypeError, match="command"):
        is_builtin(command)


# ---------------------------------------------------------------------------
# Lower-casing against Python's str.lower() over every code point

def all_code_points():
    """Every code point that a str can hold and UTF-8 can encode."""
    return itertools.chain(range(0xD800), range(0xE000, 0x110000))


@pytest.fixture(scope="module")
def lowers_to_letter():
    """For each ASCII letter, the code points whose str.lower() is that letter,
    and the set of code points whose str.lower() is made of ASCII letters only."""
    by_letter = {}
    only_ascii_letters = set()
    for c in all_code_points():
        low = chr(c).lower()
        if low.isascii() and low.isalpha():
            only_ascii_letters.add(c)
            if len(low) == 1:
                by_letter.setdefault(low, []).append(chr(c))
    return by_letter, only_ascii_letters


def test_every_character_that_lower_cases_to_a_letter_of_an_entry_matches(lowers_to_letter):
    by_letter, only_ascii_letters = lowers_to_letter
    # Every entry is made of ASCII letters, so these are all the characters
    # that can take part in a match.
    assert only_ascii_letters == {ord(c) for c in string.ascii_letters} | {0x212A}
    wrong = []
    for entry in ENTRIES:
        for i, letter in enumerate(entry):
            for char in by_letter[letter]:
                command = entry[:i] + char + entry[i + 1:]
                if is_builtin(command) is not True:
                    wrong.append(command)
    assert wrong == []


@pytest.mark.parametrize("entry, position", [("if", 0), ("driverquery", 8), ("mklink", 1)])
def test_one_position_over_every_code_point_agrees_with_str_lower(lowers_to_letter, entry, position):
    # "if": U+0130 lower-cases to "i" + U+0307 and must not match; only I and
    # i give an entry. Any other mapping of some code point to a letter (a
    # byte taken for a character, a simple instead of a full mapping) shows.
    # The second case puts the character past the first eight bytes, the
    # third where a k stands, so that neighbours of the Kelvin sign show.
    # The rest of the name is lower-case ASCII, so the name lower-cases to
    # the entry exactly when the character does to its letter (the table of
    # those, made once, keeps the sweep cheap under the sanitizers).
    head, tail = entry[:position], entry[position + 1:]
    letter = set(lowers_to_letter[0][entry[position]])
    disagree = [hex(ord(ch)) for ch in map(chr, all_code_points())
                if is_builtin(head + ch + tail) is not (ch in letter)]
    assert disagree == []
