#!/usr/bin/env python3
"""Checks that the shipped .m files and the module names suit both hosts, GNU Octave and MATLAB.

    shipped_code_scan.py SOURCE_DIR

Names: every module in modules.txt, every .m file under inst/ (private/ included) and every
function those files define must be an identifier both hosts accept: a letter, then letters,
digits and underscores, at most 63 characters (MATLAB's namelengthmax), and no keyword of
either host. A file's first function carries the file's name, which is how both hosts find it.

Code: the code of inst/**/*.m uses none of the Octave-only syntax and functions in RULES and
OCTAVE_ONLY_FUNCTIONS. Comments are not code, nor are the %! test blocks (MATLAB reads them as
comments); single-quoted strings are blanked before the rules are applied.

Prints one line per finding, FILE:LINE: what, and exits with 1 where there is any.
"""

import pathlib
import re
import sys

MATLAB_KEYWORDS = {
    "break", "case", "catch", "classdef", "continue", "else", "elseif", "end", "for",
    "function", "global", "if", "otherwise", "parfor", "persistent", "return", "spmd",
    "switch", "try", "while",
}
OCTAVE_KEYWORDS = MATLAB_KEYWORDS | {
    "do", "until", "unwind_protect", "unwind_protect_cleanup", "end_unwind_protect",
    "end_try_catch", "endfor", "endfunction", "endif", "endswitch", "endwhile", "endparfor",
    "endspmd", "endclassdef", "endenumeration", "endevents", "endmethods", "endproperties",
    "enumeration", "events", "methods", "properties", "arguments", "endarguments",
}
IDENTIFIER = re.compile(r"[A-Za-z][A-Za-z0-9_]{0,62}\Z")

# Functions (and variables) that exist in Octave only. A variable may not take one of these
# names either: the scan could not tell it from a call.
OCTAVE_ONLY_FUNCTIONS = [
    "printf", "puts", "fputs", "fdisp", "fflush", "stdout", "stderr", "columns", "rows",
    "chol2inv", "cholinv", "sumsq", "postpad", "prepad", "nthargout", "isargout",
    "print_usage", "merge", "ifelse", "lookup", "index", "rindex", "substr", "unlink",
    "is_function_handle", "OCTAVE_VERSION", "ostrsplit", "tolower", "toupper", "toascii",
    "issquare", "vec", "vech", "sizeof", "argv", "program_name", "pkg",
]

# (pattern over a code line with its strings blanked, what it is)
RULES = [
    (re.compile(r"#"), "'#': an Octave comment"),
    (re.compile(r"!"), "'!' or '!=': MATLAB's not is '~'"),
    (re.compile(r"\b(endif|endfor|endwhile|endfunction|endswitch|endparfor|end_try_catch|"
                r"end_unwind_protect|unwind_protect_cleanup|unwind_protect|until)\b"),
     "an Octave-only keyword"),
    (re.compile(r"^\s*do\b"), "an Octave do-until loop"),
    (re.compile(r"\+\+|--"), "'++' or '--': an Octave increment or decrement"),
    (re.compile(r"(\+|-|\*|/|\\|\^|\||&)=(?!=)"),
     "an Octave compound assignment ('+=', '-=', '*=', ...)"),
    (re.compile(r"\*\*"), "'**': Octave's power operator"),
    (re.compile(r"\\\s*$"), "'\\' at the end of a line: Octave's old continuation"),
    (re.compile(r"(?<![\w.])__\w+"), "an identifier starting with '__' (Octave internals)"),
    (re.compile(r"(?<![\w.])(" + "|".join(OCTAVE_ONLY_FUNCTIONS) + r")\b"),
     "an Octave-only function"),
]
FUNCTION_LINE = re.compile(
    r"^\s*function\b\s*(?:(?:\[[^\]]*\]|[A-Za-z_]\w*)\s*=\s*)?([A-Za-z_]\w*(?:\.\w+)*)\s*(\(.*)?$")


def blank_strings(lines):
    """Each line's code with comments cut and strings blanked, and what the walk saw.

    Returns (code_lines, findings), findings as (line_number, what). A quote starts a
    string unless it follows an identifier, a number, a closing bracket, '.' or another
    transpose without a space; there it is a transpose. '...' ends a line's code, and
    %{ ... %} lines are a block comment. Brackets are tracked across lines to tell
    indexing a call's result, f(x)(1), from concatenation, [f(x) (1)], and to let an
    anonymous function's parameters, @(x) (x + 1), be followed by its body.
    """
    code_lines, findings = [], []
    stack = []            # open brackets: '(', '[', '{', or '@(' for anonymous parameters
    block_comment = 0
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if stripped in ("%{", "#{"):
            block_comment += 1
            code_lines.append("")
            continue
        if block_comment:
            if stripped in ("%}", "#}"):
                block_comment -= 1
            code_lines.append("")
            continue
        out = []
        last_closed_anonymous = False
        i = 0
        while i < len(line):
            ch = line[i]
            if ch == "%" or line.startswith("...", i):
                break
            if ch == "'":
                transpose = out and out[-1] not in " \t" and (
                    out[-1].isalnum() or out[-1] in "_)]}.'")
                if transpose:
                    out.append(ch)
                    i += 1
                    continue
                j = i + 1
                while j < len(line):
                    if line[j] == "'":
                        if line.startswith("''", j):
                            j += 2
                            continue
                        break
                    j += 1
                out.append("''")
                i = j + 1
                continue
            if ch == '"':
                findings.append((number, "a double-quoted string (a string object in MATLAB)"))
                j = i + 1
                while j < len(line) and line[j] != '"':
                    j += 2 if line[j] == "\\" else 1
                out.append("''")
                i = j + 1
                continue
            if ch in "([{":
                before = "".join(out)
                tail = before.rstrip(" \t")
                spaced = len(tail) < len(before)
                inner = stack[-1] if stack else None
                if tail.endswith(")") and not last_closed_anonymous and (
                        not spaced or inner not in ("[", "{")):
                    findings.append((number, "indexing a call's result, f(x)(1): not in MATLAB"))
                stack.append("@(" if ch == "(" and tail.endswith("@") else ch)
            elif ch in ")]}":
                last_closed_anonymous = bool(stack) and stack[-1] == "@("
                if stack:
                    stack.pop()
                out.append(ch)
                i += 1
                continue
            if not ch.isspace():
                last_closed_anonymous = False
            out.append(ch)
            i += 1
        code_lines.append("".join(out))
    return code_lines, findings


def check_name(name, what, where, findings):
    if not IDENTIFIER.match(name) or name in OCTAVE_KEYWORDS:
        findings.append(f"{where}: {what} '{name}' is not an identifier both hosts accept "
                        "(a letter, then letters, digits, underscores; at most 63 characters; "
                        "no keyword)")


def scan(root):
    findings = []
    modules = 0
    for number, line in enumerate((root / "modules.txt").read_text().splitlines(), 1):
        fields = line.split("#", 1)[0].split()
        if not fields:
            continue
        where = f"modules.txt:{number}"
        if len(fields) != 2 or fields[1] not in ("public", "private"):
            findings.append(f"{where}: expected 'NAME public' or 'NAME private', got '{line}'")
            continue
        check_name(fields[0], "module name", where, findings)
        modules += 1

    files = sorted((root / "inst").rglob("*.m"))
    for path in files:
        rel = path.relative_to(root)
        check_name(path.stem, "file name", str(rel), findings)
        code, walk = blank_strings(path.read_text().splitlines())
        findings += [f"{rel}:{number}: {what}" for number, what in walk]
        first_function = True
        for number, text in enumerate(code, 1):
            where = f"{rel}:{number}"
            for pattern, what in RULES:
                match = pattern.search(text)
                if match:
                    findings.append(f"{where}: {what}: {match.group(0).strip()!r} in {text.strip()!r}")
            declared = FUNCTION_LINE.match(text)
            if declared:
                name, args = declared.group(1), declared.group(2) or ""
                check_name(name, "function name", where, findings)
                if first_function and name != path.stem:
                    findings.append(f"{where}: the first function is '{name}', the file "
                                    f"'{path.name}'")
                first_function = False
                if "=" in args:
                    findings.append(f"{where}: a default argument value (Octave only)")

    if modules == 0 or not files:
        findings.append(f"{root}: found {modules} modules and {len(files)} .m files to scan")
    return findings, modules, len(files)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    findings, modules, files = scan(pathlib.Path(sys.argv[1]))
    for finding in findings:
        print(finding)
    print(f"{len(findings)} findings in {modules} module names and {files} .m files")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
