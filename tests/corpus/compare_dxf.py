"""Checks drawings opened, edited and saved by the host against their originals, with ezdxf as the
independent reader.

compare_dxf.py ORIGINAL SAVED HANDLE COLOR
    SAVED holds every entity, table record, block, object, xdata and header variable of ORIGINAL, equal
    in every group, except that the entity HANDLE has the colour COLOR and that one LINE was added;
    ezdxf's audit of SAVED reports no error and no fix that the original did not need already. Prints what differs; exits 1 when anything does.
compare_dxf.py --first-entity FILE
    the handle of the first model-space entity of FILE (none: nothing printed)"""
import os
import re
import sys

import ezdxf

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from read_dxf import groups, held  # noqa: E402 - what a file holds (what ezdxf adds is not)


def messages(auditor, handles):
    """What an audit reports, with the handles of what ezdxf added on loading (not the file's HANDLES) as #?."""
    return [re.sub(r"#([0-9A-Fa-f]+)", lambda m: m.group(0) if m.group(1).upper() in handles else "#?", e.message)
            for e in auditor.errors + auditor.fixes]

# The handle seed moves with the added line; ezdxf sets the creation and update times as it loads.
IGNORED = {"$HANDSEED", "$TDCREATE", "$TDUPDATE", "$TDUCREATE", "$TDUUPDATE"}


def state(doc, handles, variables):
    """Every object the file holds (its HANDLES) by handle: its type, its attributes and its xdata; its header
    (its VARIABLES)."""
    objects = {}
    for handle, e in doc.entitydb.items():
        if handle.upper() not in handles:
            continue
        # A link to what ezdxf added on loading is not the file's.
        attribs = {k: tuple(v) if hasattr(v, "isclose") else v for k, v in e.dxfattribs().items()
                   if not (isinstance(v, str) and v.upper() not in handles and (v in doc.entitydb or k == "owner"))}
        xdata = {}
        if getattr(e, "xdata", None):
            xdata = {app: [tuple(t) for t in tags] for app, tags in e.xdata.data.items()}
        objects[handle.upper()] = (e.dxftype(), attribs, xdata)
    header = {name: tuple(v) if hasattr(v, "isclose") else v for name, v in
              ((n, doc.header[n]) for n in doc.header.varnames() if n not in IGNORED and n in variables)}
    return objects, header


def owner_in_file(path, handle):
    """The owner (group 330) that the file gives the record HANDLE, or None."""
    pairs = groups(path)
    for at, (code, value) in enumerate(pairs):
        if code == "5" and value.upper() == handle:
            code, value = next(((c, v) for c, v in pairs[at + 1:] if c in ("0", "330")), ("0", ""))
            return value.upper() if code == "330" else None
    return None


def first_entity(path):
    """The first model-space entity that the file gives a handle (files of R12 may give none)."""
    handles = held(path)[0]
    for e in ezdxf.readfile(path).modelspace():
        if e.dxf.handle.upper() in handles:
            return e.dxf.handle
    return None


def compare(original, saved, handle, color):
    source_handles, source_variables, source_sections = held(original)
    saved_handles, saved_variables, _ = held(saved)
    source = ezdxf.readfile(original)
    before, before_header = state(source, source_handles, source_variables)
    source_audit = source.audit()
    # What the original itself needs repaired is no fault of the save.
    known = set(messages(source_audit, source_handles))
    doc = ezdxf.readfile(saved)
    after, after_header = state(doc, saved_handles, saved_variables)
    # A file without tables is saved in a frame each save builds, of a later release: the owners and the
    # variables the frame gives are added, not changed, and the release is the frame's.
    framed = "TABLES" not in source_sections
    problems = []
    handle = handle.upper()
    for h, (kind, attribs, xdata) in before.items():
        if h not in after:
            problems.append("lost %s %s" % (kind, h))
            continue
        kind2, attribs2, xdata2 = after[h]
        if h == handle:
            attribs = dict(attribs, color=int(color))
            attribs2 = dict(attribs2)
        if framed:
            attribs2 = {k: v for k, v in attribs2.items() if k != "owner" or k in attribs}
        if kind != kind2 or attribs != attribs2 or xdata != xdata2:
            changed = sorted(k for k in set(attribs) | set(attribs2) if attribs.get(k) != attribs2.get(k))
            problems.append("changed %s %s: %s%s" % (kind, h, ", ".join(changed), " xdata" if xdata != xdata2 else ""))
    added = [(h, v[0]) for h, v in after.items() if h not in before]
    lines = [a for a in added if a[1] == "LINE"]
    if len(lines) != 1:
        problems.append("added entities: %s" % added)
    elif doc.dxfversion > "AC1009":  # releases that name owners
        owner = owner_in_file(saved, lines[0][0])
        if owner != doc.modelspace().block_record_handle.upper():
            problems.append("the added line is not the model space's: owner %s" % owner)
    names = set(before_header) - {"$ACADVER"} if framed else set(before_header) | set(after_header)
    for name in names:
        if before_header.get(name) != after_header.get(name):
            problems.append("header %s: %r -> %r" % (name, before_header.get(name), after_header.get(name)))
    auditor = doc.audit()
    problems += ["audit: " + message for message in messages(auditor, saved_handles) if message not in known]
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    if sys.argv[1] == "--first-entity":
        print(first_entity(sys.argv[2]) or "")
    else:
        sys.exit(compare(*sys.argv[1:5]))
