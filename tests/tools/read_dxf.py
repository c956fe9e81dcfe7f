"""Reads a drawing saved by the host with ezdxf's strict loader and prints
what the DXF test checks: the model-space entities, the undo marker's
dictionary and the marker's counter. Exits non-zero when ezdxf refuses it."""
import sys

import ezdxf


def point(p):
    return "(%g,%g,%g)" % (p[0], p[1], p[2])


def main(path):
    doc = ezdxf.readfile(path)
    print("version", doc.dxfversion)
    for e in doc.modelspace():
        kind = e.dxftype()
        line = "entity %s handle=%s layer=%s color=%d" % (kind, e.dxf.handle, e.dxf.layer, e.dxf.color)
        if kind == "LINE":
            line += " start=%s end=%s" % (point(e.dxf.start), point(e.dxf.end))
        elif kind == "CIRCLE":
            line += " center=%s radius=%g" % (point(e.dxf.center), e.dxf.radius)
        elif kind == "TEXT":
            line += " insert=%s text=%s" % (point(e.dxf.insert), e.dxf.text)
        print(line)
    root = doc.rootdict
    if "KOVA_UNDO_DICTIONARY" in root:
        marks = root["KOVA_UNDO_DICTIONARY"]
        print("dictionary KOVA_UNDO_DICTIONARY:", " ".join(sorted(marks.keys())))
        marker = marks["KOVA_UNDO_OBJECT"]
        # The record's first group (0) carries the same name as its subclass
        # marker (100); the counter is in the subclass.
        tags = [sub for sub in marker.xtags.subclasses if sub[0] == (100, "KOVA_UNDO_OBJECT")][0]
        values = {tag.code: tag.value for tag in tags}
        print("marker %s version=%d counter=%d" % (marker.dxftype(), values[70], values[90]))


if __name__ == "__main__":
    main(sys.argv[1])
