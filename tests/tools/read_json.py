"""Reads kovahost's JSON outputs with Python's json module; says what is wrong with them, prefixed "error:".

read_json.py lines JSON [TEXT]  each line of JSON one object: seq counting from 0, a kind, and the event that
                                is the same line of TEXT (the text output of the same session); statement lines
                                say where in the script they stand, and name no client (the script is not one)
read_json.py timeline FILE      the trace events: time never going back, slices properly nested and all ended;
                                prints each slice and instant as the path of the slices it lies in
"""
import json
import re
import sys


def same_session(line):
    """A line as another run of the same session prints it: temporary folders differ."""
    return re.sub(r"kovahost\.\w{6}", "kovahost.XXXXXX", line)


def lines(path, text_path=None):
    text = open(text_path, encoding="utf-8").read().split("\n") if text_path else None
    with open(path, encoding="utf-8") as f:  # strict: a byte that is not UTF-8 fails
        for seq, line in enumerate(f):
            event = json.loads(line)
            misplaced = event["kind"] == "statement" and ("at" not in event or "class" in event)
            if event["seq"] != seq or not isinstance(event["kind"], str) or (text and same_session(event["event"]) != same_session(text[seq])) or misplaced:
                print("error: line %d: %s" % (seq, line.strip()))


def timeline(path):
    with open(path, encoding="utf-8") as f:
        events = json.load(f)["traceEvents"]
    stack, last = [], -1
    for e in (e for e in events if e["ph"] != "M"):
        if e["ts"] < last or not isinstance(e["pid"], int) or not isinstance(e["tid"], int):
            print("error: time or place wrong at", e["name"])
        last = e["ts"]
        if e["ph"] == "E":
            if stack and stack[-1] == e["name"]:
                stack.pop()
            else:
                print("error: slices cross at", e["name"])
            continue
        if e["ph"] not in ("B", "i", "C"):
            print("error: phase", e["ph"])
        print("/".join(stack + [e["name"]]))
        if e["ph"] == "B":
            stack.append(e["name"])
    if stack:
        print("error: %d slices never end" % len(stack))


if __name__ == "__main__":
    {"lines": lines, "timeline": timeline}[sys.argv[1]](*sys.argv[2:])
