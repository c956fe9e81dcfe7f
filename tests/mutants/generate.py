"""Faults made mechanically from the sources, one change of one line each:
comparisons replaced by their neighbours, conditions negated, boolean
constants flipped, increments and +/- 1 dropped, call statements removed,
returned values replaced by the type's default (unless they are that
already), && and || swapped.

Comments, string and character literals and preprocessor lines are never
changed. A fault's id is its file, its kind and a digest of the line it
changes, with a counter for lines of the same text, so that it names the
same change after lines move."""
import hashlib, os, re

NEIGHBOURS = {"<": ["<=", ">"], "<=": ["<", ">="], ">": [">=", "<"], ">=": [">", "<="],
              "==": ["!="], "!=": ["=="]}
COMPARISON = re.compile(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)")
LOGICAL = re.compile(r"(?<=\s)(&&|\|\|)(?=\s)")
BOOLEAN = re.compile(r"\b(true|false)\b")
STEP = re.compile(r"\+\+|--")
PLUS_ONE = re.compile(r"\s[+-] 1\b(?!\.)")
CONDITION = re.compile(r"\b(if|while) \(")
RETURN_VALUE = re.compile(r"^(\s*)return (?!\{\}|;)(.+);\s*$")
# Values that are already what {} makes of their type.
DEFAULT_VALUES = re.compile(r"(Acad::)?eOk|0|0u|false|nullptr|NULL")
# A statement that is one call: a name, member or qualified name, then
# arguments to the end of the line.
CALL = re.compile(r"^\s*(::)?[A-Za-z_][\w:]*((\.|->)[A-Za-z_]\w*)*\(.*\);\s*$")
NOT_CALLS = re.compile(r"^\s*(return|if|while|for|switch|case|delete|new|throw|using|typedef|static_assert)\b")


def masked(text):
    """The text with comments and literals blanked, same length and lines."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i)); i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j])); i = j
        elif c in "\"'":
            raw = c == '"' and i > 0 and text[i - 1] == "R"
            if raw:
                close = ")" + text[i + 1:text.find("(", i)] + '"'
                j = text.find(close, i) + len(close)
            else:
                j = i + 1
                while j < n and text[j] != c and text[j] != "\n":
                    j += 2 if text[j] == "\\" else 1
                j += 1
            out.append(c + " " * (j - i - 2) + c); i = j
        else:
            out.append(c); i += 1
    return "".join(out)


def closing(line, start):
    """The index of the parenthesis closing the one at start, or -1."""
    depth = 0
    for k in range(start, len(line)):
        depth += {"(": 1, ")": -1}.get(line[k], 0)
        if depth == 0:
            return k
    return -1


def line_mutations(code):
    """(kind, column, old, new) for one masked line of code."""
    for m in COMPARISON.finditer(code):
        for other in NEIGHBOURS[m.group(1)]:
            yield "cmp", m.start(), m.group(1), other
    for m in LOGICAL.finditer(code):
        yield "logic", m.start(), m.group(1), "||" if m.group(1) == "&&" else "&&"
    for m in BOOLEAN.finditer(code):
        yield "bool", m.start(), m.group(1), "false" if m.group(1) == "true" else "true"
    if not code.lstrip().startswith("for ("):
        for m in STEP.finditer(code):
            yield "step", m.start(), m.group(0), ""
    for m in PLUS_ONE.finditer(code):
        yield "one", m.start(), m.group(0), ""
    for m in CONDITION.finditer(code):
        open_at = m.end() - 1
        end = closing(code, open_at)
        # A condition that declares or assigns would not build negated.
        if end > 0 and not re.search(r"[^=!<>]=[^=]|;", code[open_at:end + 1]):
            yield "not", open_at, code[open_at:end + 1], "(!" + code[open_at:end + 1] + ")"
    m = RETURN_VALUE.match(code)
    if m and "[" not in m.group(2)[:1] and not DEFAULT_VALUES.fullmatch(m.group(2).strip()):
        yield "ret", len(m.group(1)), code[len(m.group(1)):].rstrip(), "return {};"
    if CALL.match(code) and not NOT_CALLS.match(code) and code.count("(") == code.count(")"):
        body = code.strip()
        yield "call", code.index(body), body, ";"


def generate(root, folders):
    """Every generated fault: dicts of id, path, line, column, old, new, what."""
    faults = []
    for folder in folders:
        for top, _, names in sorted(os.walk(os.path.join(root, folder))):
            for name in sorted(names):
                if name.endswith((".cpp", ".h")):
                    faults += file_faults(root, os.path.join(top, name))
    return faults


def file_faults(root, path):
    rel = os.path.relpath(path, root)
    text = open(path, encoding="utf-8").read()
    seen, faults = {}, []
    lines, masked_lines = text.split("\n"), masked(text).split("\n")
    for number, (line, code) in enumerate(zip(lines, masked_lines), 1):
        if code.lstrip().startswith("#"):
            continue
        for kind, column, old, new in line_mutations(code):
            old = line[column:column + len(old)]  # the real text under the mask
            key = "%s:%s:%s" % (rel, kind, hashlib.sha1((line.strip() + "|%d|%s" % (column - len(line) + len(line.lstrip()), new)).encode()).hexdigest()[:8])
            seen[key] = seen.get(key, 0) + 1
            ident = key if seen[key] == 1 else "%s.%d" % (key, seen[key])
            faults.append({"id": ident, "path": path, "line": number, "column": column, "old": old, "new": new,
                           "what": "%s:%d: %s -> %s" % (rel, number, old.strip(), new)})
    return faults


def folder_of(fault, root):
    return os.path.relpath(fault["path"], root).split(os.sep)[0]


def planted(fault):
    """The file's text with the fault planted, or None when its line changed."""
    with open(fault["path"], "rb") as fh:
        original = fh.read()
    lines = original.decode("utf-8").split("\n")
    line = lines[fault["line"] - 1]
    col = fault["column"]
    if line[col:col + len(fault["old"])] != fault["old"]:
        return original, None
    lines[fault["line"] - 1] = line[:col] + fault["new"] + line[col + len(fault["old"]):]
    return original, "\n".join(lines).encode("utf-8")


def read_equivalents(path):
    """id -> reason, from lines 'id: reason'."""
    result = {}
    if os.path.exists(path):
        for line in open(path, encoding="utf-8"):
            if line.strip() and not line.startswith("#"):
                ident, _, reason = line.partition(": ")
                result[ident.strip()] = reason.strip()
    return result
