"""Plays random, mostly well-formed kovahost scripts and checks what a session must keep.

script_fuzz.py KOVAHOST [--seconds N] [--seed S] [--corpus DIR]

Each script uses the statements of kovahost --help: loads and unloads of the example modules,
drawings made, saved, closed and opened, entities added and changed by handles that exist and
that do not, nested commands and modeless blocks, cancels, failures and roll-backs. Each ends,
when it gets there, by saving a drawing in both file forms and opening it again. Checked for
every script, played in a fresh folder with its own TMPDIR:
  - kovahost ends with 0 or 1 (a statement failed), never by a signal or a sanitizer's report;
  - a drawing opened from what was saved holds the entities that were saved;
  - nothing is left in TMPDIR, and the folder holds only the script and the files it saved.
The scripts of the corpus folder are played first. A failing script is kept as failed-SEED.kvs
in the current folder. Exits 1 on the first failure, 0 when the time is up.
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

MODULES = ["TraceClient.arx", "PropertyPanel.arx", "RuleChecker.arx", "DocumentGuard.arx", "MinimalClient.arx"]
WORDS = ["door", "A", "caf\u00e9", "\u5e73\u9762", "\"#1\"", "\"quoted words\"", "x" * 40, "B"]


class Generator:
    def __init__(self, rnd):
        self.r = rnd
        self.drawings = []
        self.saved = []

    def number(self):
        return self.r.choice(["0", "1", "-3.5", "10", "150", "2.25", "7", "1e12" if self.r.random() < 0.3 else "3", "zero" if self.r.random() < 0.1 else "4"])

    def handle(self):
        return "%X" % self.r.randint(2, 7) if self.r.random() < 0.97 else self.r.choice(["1", "FF", "-1"])

    def drawing(self):
        return self.r.choice(self.drawings) if self.drawings else "nowhere"

    def statement(self, depth):
        r = self.r
        kind = r.choices(["entity", "change", "block", "drawing", "module", "command-line", "misc"],
                         [30, 20, 12, 10, 6, 6, 6])[0]
        if kind == "entity":
            return r.choice(["line %s %s %s %s" % tuple(self.number() for _ in range(4)),
                             "circle %s %s %s" % (self.number(), self.number(), r.choice(["1", "150", "2.5", "1e12", "0"])),
                             "text %s %s %s" % (self.number(), self.number(), " ".join(r.sample(WORDS, 2)))])
        if kind == "change":
            return r.choice(["color %s %d" % (self.handle(), r.randint(0, 256)), "layer %s %s" % (self.handle(), r.choice(["walls", "forbidden", "0"])),
                             "radius %s %s" % (self.handle(), self.number()), "erase " + self.handle(),
                             "unerase " + self.handle(), "pick " + " ".join(self.handle() for _ in range(r.randint(0, 3)))])
        if kind == "block" and depth < 4:
            head = r.choice(["command DRAW", "command EDIT", "command 'ZOOM", "modeless PALETTE"])
            body = [self.statement(depth + 1) for _ in range(r.randint(0, 4))]
            if head.startswith("command") and r.random() < 0.3:
                body.append(r.choice(["cancel", "fail", "rollback"]))
            return "\n".join([head] + ["  " + line for line in "\n".join(body).split("\n") if line] + ["end"])
        if kind == "drawing":
            choice = r.random()
            if choice < 0.4 or not self.drawings:
                name = "d%d" % r.randint(0, 3)
                self.drawings.append(name)
                return "new " + name
            if choice < 0.6:
                file_name = "%s.%s" % (self.drawing(), r.choice(["dxf", "dwg"]))
                self.saved.append(file_name)
                return "save %s %s" % (self.drawing(), file_name)
            if choice < 0.75 and self.saved:
                return "open " + r.choice(self.saved)
            if choice < 0.8:
                name = self.drawing()
                if name in self.drawings:
                    self.drawings.remove(name)
                return "close " + name
            return "activate " + self.drawing()
        if kind == "module":
            return "%s %s" % (r.choice(["load", "load", "unload"]), r.choice(MODULES))
        if kind == "command-line":
            return "exec " + r.choice(["_UNDO 1", "U", "REGEN", "_UNDO 2"])
        return r.choice(["state", "echo hello", "lock %s" % self.drawing(), "unlock %s" % self.drawing(),
                         "setvar CLAYER walls", "setenv KOVA_FUZZ 1"])

    def script(self):
        r = self.r
        lines = ["tempdir"] + ["load " + m for m in r.sample(MODULES, r.randint(0, 3))] + ["new d0"]
        self.drawings.append("d0")
        lines += [self.statement(0) for _ in range(r.randint(1, 12))]
        # The round trip: a drawing of its own, saved in both forms and opened again.
        lines += ["new rt", "command DRAW"]
        lines += ["  line %d %d %d %d" % tuple(r.randint(-50, 50) for _ in range(4)) for _ in range(r.randint(1, 3))]
        lines += ["  circle %d %d %d" % (r.randint(-9, 9), r.randint(-9, 9), r.randint(1, 99))]
        lines += ["  text 0 0 %s" % " ".join(r.sample(WORDS, 2)), "end", "activate rt", "state"]
        lines += ["save rt rt.dxf", "save rt rt.dwg", "close rt", "open rt.dxf", "open rt.dwg", "state"]
        return "\n".join(lines) + "\n"


def entity_lines(out, drawing):
    """The entity lines of the drawing in the last state printed that has it."""
    blocks = re.split(r"^state: \d+ drawings?.*$", out, flags=re.M)
    for block in reversed(blocks):
        m = re.search(r"^state: drawing %s: .*\n((?:state:   .*\n)*)" % re.escape(drawing), block, flags=re.M)
        if m:
            return [re.sub(r" redrawn \d+$", "", line) for line in m.group(1).splitlines()]
    return None


def check(kovahost, script, name):
    """What is wrong with the session of the script; None when nothing is."""
    work = tempfile.mkdtemp(prefix="kovafuzz.")
    try:
        tmp = os.path.join(work, "tmp")
        os.mkdir(tmp)
        with open(os.path.join(work, name), "w", encoding="utf-8") as f:
            f.write(script)
        env = dict(os.environ, TMPDIR=tmp, ASAN_OPTIONS="detect_leaks=1", UBSAN_OPTIONS="print_stacktrace=1")
        run = subprocess.run([kovahost, name], cwd=work, env=env, capture_output=True, timeout=120)
        out, err = run.stdout.decode("utf-8", "replace"), run.stderr.decode("utf-8", "replace")
        if run.returncode not in (0, 1) or "Sanitizer" in err or "runtime error" in err:
            return "status %d\n%s" % (run.returncode, err[-4000:])
        if run.returncode == 0:
            saved = entity_lines(out, "rt")
            for reopened in ("rt.dxf", "rt.dwg"):
                if entity_lines(out, reopened) != saved:
                    return "%s does not hold what was saved:\n%s\n%s" % (reopened, saved, entity_lines(out, reopened))
        if os.listdir(tmp):
            return "left in TMPDIR: %s" % os.listdir(tmp)
        extra = [f for f in os.listdir(work) if f not in (name, "tmp")]
        if extra:
            return "left beside the script: %s" % extra
        return None
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main(argv):
    kovahost = os.path.abspath(argv[1])
    seconds = float(argv[argv.index("--seconds") + 1]) if "--seconds" in argv else 20
    seed = int(argv[argv.index("--seed") + 1]) if "--seed" in argv else int(time.time())
    corpus = argv[argv.index("--corpus") + 1] if "--corpus" in argv else None
    played = 0
    for entry in sorted(os.listdir(corpus)) if corpus else []:
        with open(os.path.join(corpus, entry), encoding="utf-8") as f:
            wrong = check(kovahost, f.read(), "s.kvs")
        if wrong:
            print("error: corpus script %s: %s" % (entry, wrong))
            return 1
        played += 1
    end = time.time() + seconds
    while time.time() < end:
        script = Generator(random.Random(seed)).script()
        wrong = check(kovahost, script, "s.kvs")
        if wrong:
            with open("failed-%d.kvs" % seed, "w", encoding="utf-8") as f:
                f.write(script)
            print("error: seed %d (kept as failed-%d.kvs): %s" % (seed, seed, wrong))
            return 1
        played += 1
        seed += 1
    print("%d scripts played, 0 failed" % played)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
