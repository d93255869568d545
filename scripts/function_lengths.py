#!/usr/bin/env python3
"""Lists the longest functions of the project's C++ and Python sources.

  function_lengths.py [--top N] [--over LINES] [PATH...]

A function's length counts every line from the start of its signature to its closing brace
(C++) or its last statement (Python), blank and comment lines included. C++ is read with a
brace scanner, not a compiler: preprocessor lines, comments, strings and character literals
are skipped, and a brace block counts as a function body when the text before it ends like
a parameter list (constructors' initialiser lists, trailing return types and lambdas
assigned at namespace level included). Lambdas and local classes count as part of the
function around them.
"""
import argparse
import ast
import bisect
import os
import re
import sys

CPP_EXT = (".cpp", ".hpp", ".h", ".cc")
DEFAULT_DIRS = ("proto", "core", "net", "py", "tests", "bench", "examples", "python", "scripts")
SKIP_DIRS = {"build", ".venv", ".git", "__pycache__"}
DIRECTIVE = re.compile(r"^[ \t]*#(?:.*\\\n)*.*", re.M)  # a preprocessor line and its continuations


def blank_out(text):
    """The text with preprocessor lines, comments, string and char literals replaced by spaces
    (newlines kept): a macro's braces are no function's."""
    text = DIRECTIVE.sub(lambda m: re.sub(r".", " ", m.group()), text)
    out = list(text)
    i, n = 0, len(text)

    def wipe(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            wipe(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            wipe(i, j)
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                i += 1
                continue
            close = ")" + m.group(1) + '"'
            j = text.find(close, i + m.end())
            j = n if j < 0 else j + len(close)
            wipe(i, j)
            i = j
        elif c == '"' or (c == "'" and not (i > 0 and text[i - 1].isalnum())):
            # a digit separator (1'000) follows an alphanumeric: not a literal
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            wipe(i, min(j + 1, n))
            i = j + 1
        else:
            i += 1
    return "".join(out)


def looks_like_function(header):
    h = " ".join(header.split())
    h = re.sub(r"\)\s*->[^{]*$", ")", h)  # trailing return type
    h = re.sub(r"(\s*\b(const|noexcept|override|final|mutable|volatile)\b(\([^)]*\))?|\s*&&?)*$", "", h)
    return h.endswith(")") and "(" in h


def cpp_functions(path):
    text = blank_out(open(path, encoding="utf-8", errors="replace").read())
    line_at = [0] + [k + 1 for k, ch in enumerate(text) if ch == "\n"]

    def line_of(idx):
        return bisect.bisect_right(line_at, idx)

    stack = []  # per open brace: (is it a function body, its first line, the signature)
    depth_fn = 0  # function bodies open: braces inside one belong to it
    last_stop = 0  # just past the last ; { or } outside parentheses: where a signature starts
    paren = 0
    for k, ch in enumerate(text):
        if ch == "(":
            paren += 1
        elif ch == ")":
            paren -= 1
        elif ch == ";" and paren == 0:
            last_stop = k + 1
        elif ch == "{":
            header = text[last_stop:k]
            is_fn = depth_fn == 0 and paren == 0 and looks_like_function(header)
            start = last_stop + (len(header) - len(header.lstrip()))
            if is_fn:
                depth_fn += 1
            stack.append((is_fn, line_of(start), " ".join(header.split())))
            if paren == 0:  # braces inside parentheses (a default argument) end no header
                last_stop = k + 1
        elif ch == "}":
            if stack:
                is_fn, start_line, name = stack.pop()
                if is_fn:
                    depth_fn -= 1
                    yield name, start_line, line_of(k) - start_line + 1
            if paren == 0:
                last_stop = k + 1


def py_functions(path):
    try:
        tree = ast.parse(open(path, encoding="utf-8").read(), path)
    except SyntaxError:
        return
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield node.name, node.lineno, node.end_lineno - node.lineno + 1


def files(roots):
    for r in roots:
        if os.path.isfile(r):
            yield r
            continue
        for d, subs, names in os.walk(r):
            subs[:] = sorted(s for s in subs if s not in SKIP_DIRS)
            for nm in sorted(names):
                if nm.endswith(CPP_EXT + (".py",)):
                    yield os.path.join(d, nm)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--top", type=int, default=10)
    ap.add_argument("--over", type=int, default=None, help="list every function longer than this, exit 1 if any")
    ap.add_argument("paths", nargs="*")
    a = ap.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    roots = a.paths or [os.path.join(root, d) for d in DEFAULT_DIRS if os.path.isdir(os.path.join(root, d))]
    found = []
    for f in files(roots):
        gen = py_functions(f) if f.endswith(".py") else cpp_functions(f)
        for name, line, length in gen:
            found.append((length, os.path.relpath(f), line, name))
    found.sort(key=lambda t: (-t[0], t[1], t[2]))
    shown = [t for t in found if t[0] > a.over] if a.over is not None else found[: a.top]
    for length, f, line, name in shown:
        print(f"{length:5d}  {f}:{line}  {name[:100]}")
    return 1 if a.over is not None and shown else 0


if __name__ == "__main__":
    sys.exit(main())
