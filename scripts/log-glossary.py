#!/usr/bin/env python3
"""The English glossary of folian's log lines, made from the sources.

Finds every line the program (src/*.cpp: log_info, log_error, log_raw and the
usage errors on standard error), the launcher (scripts/folian-run), the bundle
tool (scripts/folian-bundle: its problems and usage errors) and the build
script (scripts/folian-build: its failures) can write, and matches each with
its row in docs/log-lines.tsv: the English, and for an error or a refusal its
cause and fix.  Writes docs/log-lines.md (every line) and the table of
docs/troubleshooting.md (the errors and refusals), between its marker
comments.  A line that begins with the name of what it is about, passed in by
its callers, is shown once per name they pass, so that it can be found by the
words it begins with.

  scripts/log-glossary.py           rewrite both; rows for new lines are added
                                    to the data file with the English left empty
  scripts/log-glossary.py --check   write nothing; fail, naming each problem,
                                    when a line has no row or no English, a row
                                    has no line left, an error lacks its fix, or
                                    a written table differs from the sources
"""
import argparse
import ast
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "docs" / "log-lines.tsv"
GLOSSARY = ROOT / "docs" / "log-lines.md"
TROUBLESHOOTING = ROOT / "docs" / "troubleshooting.md"
BEGIN, END = "<!-- troubleshooting:begin -->", "<!-- troubleshooting:end -->"
HEADER = "program\tline\tenglish\tcause and fix"
# The order of a user's way: build, bundle, start on the reader.
PROGRAMS = ("folian-build", "folian-bundle", "folian", "folian-run")
# Levels whose lines tell of something to put right.
NEEDS_FIX = {"error", "refusal", "usage"}


class Line:
    def __init__(self, program, key, level, where, variants=None):
        self.program, self.key, self.level, self.where = program, key, level, [where]
        self.variants = variants or [key]  # the line as shown: one per name it begins with


class Found:
    def __init__(self):
        self.lines = {}  # (program, key) -> Line, in the order found
        self.problems = []

    def add(self, program, key, level, where, variants=None):
        line = self.lines.get((program, key))
        if line is None:
            self.lines[(program, key)] = Line(program, key, level, where, variants)
            return
        if where not in line.where:
            line.where.append(where)
        for v in variants or []:
            if v not in line.variants:
                line.variants.append(v)


# --- folian: C++ ---------------------------------------------------------

C_STRING = re.compile(r'"((?:\\.|[^"\\\n])*)"')
C_CALL = re.compile(r"\b(log_info|log_error|log_raw|fputs|fprintf)\s*\(")
C_LEVEL = {"log_info": "info", "log_error": "error", "log_raw": "engine"}


def without_comments(text):
    """The source with its comments blanked out, line breaks kept."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        elif text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def c_literals(text, at):
    """Adjacent string literals from at: their joined text and where they end."""
    parts = []
    while True:
        m = re.compile(r"\s*").match(text, at)
        s = C_STRING.match(text, m.end())
        if not s:
            break
        parts.append(s.group(1))
        at = s.end()
    if not parts:
        return None, at
    decoded = re.sub(r"\\(.)", lambda m: {"n": "\n", "t": "\t"}.get(m[1], m[1]), "".join(parts))
    return decoded, at


def scan_cpp(found):
    for path in sorted((ROOT / "src").glob("*.cpp")):
        if path.name == "log.cpp":
            continue
        text = without_comments(path.read_text())
        for m in C_CALL.finditer(text):
            call, at = m[1], m.end()
            where = "%s:%d" % (path.relative_to(ROOT), text.count("\n", 0, m.start()) + 1)
            if call == "fprintf":
                s = re.compile(r"\s*stderr\s*,").match(text, at)
                if not s:
                    continue  # into a file the program writes, not a message
                at = s.end()
            fmt, end = c_literals(text, at)
            if call == "fputs" and not (fmt and re.compile(r"\s*,\s*stderr\b").match(text, end)):
                continue  # the usage text, or not to standard error
            if fmt is None:
                found.problems.append("%s: %s without a literal format: its lines cannot be "
                                      "listed" % (where, call))
                continue
            fmt = fmt[:-1] if fmt.endswith("\n") else fmt
            found.add("folian", fmt.replace("\n", "\\n"), C_LEVEL.get(call, "usage"),
                      path.stem)


# --- folian-run: POSIX sh ------------------------------------------------

SH_TEXT = r'(?:\$\([^)]*\)|\\.|[^"\\])*'  # inside "...", a $(...) may hold quotes
SH_CALLS = [
    # say and complain print "folian-run: TEXT" on the terminal.
    (re.compile(r'\bsay "(%s)"' % SH_TEXT), "info"),
    (re.compile(r'\bcomplain "(%s)"' % SH_TEXT), "refusal"),
    (re.compile(r'\blog_put "(\[启动器\]\[错误\]%s)"' % SH_TEXT), "error"),
    (re.compile(r'\blog_put "(\[启动器\] %s)"' % SH_TEXT), "info"),
    # The end of a run, and why a start did not get as far as folian.
    (re.compile(r"\bprintf '([^'\n]*[^\x00-\x7f][^'\n]*)'"), "info"),
    (re.compile(r"\bput_state ended '([^'\n]*)'"), "error"),
]


def scan_sh(found):
    path = ROOT / "scripts" / "folian-run"
    for line in path.read_text().splitlines():
        if line.lstrip().startswith("#"):
            continue
        for pattern, level in SH_CALLS:
            for m in pattern.finditer(line):
                terminal = m[0].startswith(("say", "complain"))
                found.add("folian-run", "folian-run: " * terminal + m[1], level, "folian-run")


# --- folian-bundle and folian-build: Python ------------------------------


def py_text(node, functions):
    """What an expression prints: literal text as it is, format directives
    kept, anything computed as …; a call of a function of the script that
    picks one of several texts gives each of them."""
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and \
            node.func.id in functions:
        returned = [n.value for n in ast.walk(functions[node.func.id])
                    if isinstance(n, ast.Return) and n.value is not None]
        texts = []
        for r in returned:
            choices = r.value.values if isinstance(r, ast.Subscript) and \
                isinstance(r.value, ast.Dict) else [r]
            texts += [t for c in choices for t in py_text(c, functions)]
        return texts
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return [node.value]
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Mod):
        return py_text(node.left, functions)
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Add):
        return [a + b for a in py_text(node.left, functions)
                for b in py_text(node.right, functions)]
    if isinstance(node, ast.JoinedStr):
        return ["".join(v.value if isinstance(v, ast.Constant) else "…" for v in node.values)]
    return ["…"]


def guards(function, node):
    """(parameter, must equal, literal) for each comparison of a parameter
    with a literal that an if around node tests with and."""
    found = []
    for branch in ast.walk(function):
        if not isinstance(branch, ast.If) or not any(n is node for s in branch.body
                                                     for n in ast.walk(s)):
            continue
        tests = branch.test.values if isinstance(branch.test, ast.BoolOp) and \
            isinstance(branch.test.op, ast.And) else [branch.test]
        for c in tests:
            if isinstance(c, ast.Compare) and isinstance(c.left, ast.Name) and \
                    len(c.ops) == 1 and isinstance(c.ops[0], (ast.Eq, ast.NotEq)) and \
                    isinstance(c.comparators[0], ast.Constant):
                found.append((c.left.id, isinstance(c.ops[0], ast.Eq), c.comparators[0].value))
    return found


def caller_literals(tree, function, name, node):
    """The texts a parameter of function can hold where node is: each literal
    its callers pass for it (those whose arguments the ifs around node let
    through), or a name a for loop in function takes from a literal list of
    tuples.  None when any of them is computed."""
    if function is None:
        return None
    params = [a.arg for a in function.args.args]
    if name in params:
        offset = params[0] == "self"
        i = params.index(name) - offset
        required = len(params) - offset - len(function.args.defaults)
        conditions = guards(function, node)
        values = []
        for call in ast.walk(tree):
            f = call.func if isinstance(call, ast.Call) else None
            if not (isinstance(f, ast.Attribute) and f.attr == function.name or
                    isinstance(f, ast.Name) and f.id == function.name):
                continue
            if len(call.args) < required:
                continue  # another class's method of the same name
            passed = {params[k + offset]: a.value for k, a in enumerate(call.args)
                      if k + offset < len(params) and isinstance(a, ast.Constant)}
            if any(p in passed and (passed[p] == value) != equal
                   for p, equal, value in conditions):
                continue  # this caller never reaches node
            arg = call.args[i]
            if not (isinstance(arg, ast.Constant) and isinstance(arg.value, str)):
                return None
            values.append(arg.value)
        return values or None
    for loop in ast.walk(function):
        if isinstance(loop, ast.For) and isinstance(loop.target, ast.Tuple) and \
                isinstance(loop.iter, (ast.Tuple, ast.List)):
            names = [getattr(e, "id", None) for e in loop.target.elts]
            if name in names:
                k = names.index(name)
                items = [e.elts[k] for e in loop.iter.elts if isinstance(e, ast.Tuple)]
                if items and all(isinstance(e, ast.Constant) and isinstance(e.value, str)
                                 for e in items):
                    return [e.value for e in items]
    return None


def to_stderr(call):
    return any(k.arg == "file" and ast.unparse(k.value) == "sys.stderr" for k in call.keywords)


def scan_py(found, program):
    tree = ast.parse((ROOT / "scripts" / program).read_text())
    functions = {f.name: f for f in tree.body if isinstance(f, ast.FunctionDef)}
    enclosing = {}  # call -> the function it is made in
    for f in ast.walk(tree):
        if isinstance(f, ast.FunctionDef):
            for n in ast.walk(f):
                enclosing[n] = f  # the innermost, as inner functions come later
    calls = sorted((n for n in ast.walk(tree) if isinstance(n, ast.Call)),
                   key=lambda n: (n.lineno, n.col_offset))
    for node in calls:
        f = node.func
        name = f.attr if isinstance(f, ast.Attribute) else f.id if isinstance(f, ast.Name) else ""
        owner = ast.unparse(f.value) if isinstance(f, ast.Attribute) else ""
        texts, level, names = [], None, None
        if name == "error" and owner == "parser":
            texts = ["%s: error: %s" % (program, t) for t in py_text(node.args[0], functions)]
            level = "usage"
        elif program == "folian-bundle" and name == "problem" and len(node.args) == 3:
            what = py_text(node.args[0], {})[0]
            texts = ["%s …: %s" % (what, t) for t in py_text(node.args[2], functions)]
            level = "refusal"
            if isinstance(node.args[0], ast.Name):
                names = caller_literals(tree, enclosing.get(node), node.args[0].id, node)
        elif program == "folian-bundle" and name == "print" and to_stderr(node):
            texts, level = py_text(node.args[0], functions), "error"
        elif program == "folian-build" and (name == "Failure" or
                                            name == "append" and owner == "problems"):
            texts = ["folian-build: " + t for t in py_text(node.args[0], functions)]
            level = "error" if name == "Failure" else "refusal"
            text = node.args[0]
            if isinstance(text, ast.BinOp) and isinstance(text.op, ast.Mod) and \
                    isinstance(text.right, ast.Tuple) and isinstance(text.right.elts[0], ast.Name):
                names = caller_literals(tree, enclosing.get(node), text.right.elts[0].id, node)
        for t in texts:
            if not t.strip("… "):
                continue  # a line passed on whole, found where it is made
            variants = None
            if names:  # the name it begins with, each one it can be
                head = re.match(r"(folian-build: )?(…|%s)", t)
                variants = [t[:head.start(2)] + n + t[head.end(2):] for n in names] \
                    if head else None
            found.add(program, t, level, program, variants)


def scan():
    found = Found()
    scan_py(found, "folian-build")
    scan_py(found, "folian-bundle")
    scan_cpp(found)
    scan_sh(found)
    for line in found.lines.values():
        line.variants = [v for v in line.variants
                         if v == line.key or (line.program, v) not in found.lines] or [line.key]
    order = {p: i for i, p in enumerate(PROGRAMS)}
    found.lines = dict(sorted(found.lines.items(), key=lambda kv: order[kv[0][0]]))
    return found


# --- the data and the tables ---------------------------------------------


def read_data():
    rows, problems = {}, []
    for number, raw in enumerate(DATA.read_text().splitlines(), 1):
        if not raw.strip() or raw.startswith("#") or raw == HEADER:
            continue
        cells = raw.split("\t")
        if len(cells) != 4:
            problems.append("%s:%d: %d columns, not 4" % (DATA.name, number, len(cells)))
            continue
        if (cells[0], cells[1]) in rows:
            problems.append("%s:%d: a second row for %s" % (DATA.name, number, cells[1]))
        rows[(cells[0], cells[1])] = (cells[2], cells[3])
    return rows, problems


def shown(line):
    """The line as a reader meets it: each value filled in as …, once per
    name it can begin with."""
    out = []
    for text in line.variants:
        if line.program == "folian-run":
            text = re.sub(r"\$\{[^}]*\}|\$\([^)]*\)|\$\w+", "…", text)
        text = re.sub(r"%[-+ #0]*(?:\d+|\*)?(?:\.(?:\d+|\*))?(?:hh|h|ll|l|z)?[a-zA-Z%]",
                      lambda m: "%" if m[0] == "%%" else "…", text)
        out.append("`%s`" % text)
    return "<br>".join(out)


def cell(text):
    return text.replace("|", "\\|")


def glossary(lines, rows):
    out = ["# folian's log lines in English",
           "",
           "Made by `scripts/log-glossary.py` from the sources and `docs/log-lines.tsv`;",
           "do not edit. `…` stands for a value filled in when the line is written.",
           "folian starts each line with the seconds since its start (`[  12.345] `),",
           "and an error's with `[错误]` after them. Levels: `info` an information",
           "line; `error` an error; `refusal` a check that failed or a command",
           "refused; `usage` a wrong command line; `engine` a line of the engine's",
           "own log. The errors, refusals and usage errors, with their cause and fix,",
           "are in [troubleshooting.md](troubleshooting.md).",
           "",
           "%d lines." % len(lines),
           "",
           "| Line | Level | English | Program (module) |",
           "|---|---|---|---|"]
    for line in lines:
        english = rows.get((line.program, line.key), ("", ""))[0]
        where = line.program if line.where == [line.program] else "%s (%s)" % (
            line.program, ", ".join(line.where))
        out.append("| %s | %s | %s | %s |" % (shown(line), line.level, cell(english), where))
    return "\n".join(out) + "\n"


def troubleshooting(lines, rows):
    out = ["| Line | Program | Cause, and what to do |", "|---|---|---|"]
    for line in lines:
        if line.level in NEEDS_FIX:
            english, fix = rows.get((line.program, line.key), ("", ""))
            out.append("| %s | %s | %s %s |" % (shown(line), line.program, cell(english),
                                                  cell(fix)))
    return "\n".join(out) + "\n"


def with_table(readme, table):
    begin, end = readme.find(BEGIN), readme.find(END)
    if begin < 0 or end < begin:
        return None
    return readme[:begin + len(BEGIN)] + "\n" + table + readme[end:]


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--check", action="store_true", help="write nothing; fail on any problem")
    args = ap.parse_args()

    found = scan()
    rows, problems = read_data()
    problems = found.problems + problems
    lines = list(found.lines.values())
    for line in lines:
        row = rows.get((line.program, line.key))
        if row is None:
            problems.append("%s: no row in %s for %s" % (line.where[0], DATA.name, line.key))
        elif not row[0]:
            problems.append("%s: no English for %s" % (line.where[0], line.key))
        elif line.level in NEEDS_FIX and not row[1]:
            problems.append("%s: no cause and fix for the %s %s" % (line.where[0], line.level,
                                                                    line.key))
    for program, key in rows:
        if (program, key) not in found.lines:
            problems.append("%s: a row for a line %s no longer writes: %s" % (DATA.name, program,
                                                                              key))

    outputs = {GLOSSARY: glossary(lines, rows)}
    page = with_table(TROUBLESHOOTING.read_text(), troubleshooting(lines, rows))
    if page is None:
        problems.append("%s: no %s ... %s" % (TROUBLESHOOTING.relative_to(ROOT), BEGIN, END))
    else:
        outputs[TROUBLESHOOTING] = page
    if args.check:
        for path, text in outputs.items():
            if not path.exists() or path.read_text() != text:
                problems.append("%s is out of date: run scripts/log-glossary.py" %
                                path.relative_to(ROOT))
    else:
        new = [line for line in lines if (line.program, line.key) not in rows]
        if new:
            with DATA.open("a") as f:
                f.writelines("%s\t%s\t\t\n" % (line.program, line.key) for line in new)
        for path, text in outputs.items():
            path.write_text(text)
    for p in problems:
        print("log-glossary: " + p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
