"""Reads drawings saved by the host with ezdxf, an independent reader; exits non-zero when it refuses a file.

read_dxf.py FILE             the model-space entities, the layers, the layouts' plotters, the undo marker's
                             dictionary and counter
read_dxf.py --audit FILE...  for each file, what ezdxf had to repair or add to it: audit errors and fixes,
                             objects and header variables that the file does not hold
read_dxf.py --picture FILE PNG X0 Y0 X1 Y1 X,Y...
                             renders the window X0 Y0 X1 Y1 of the model space to PNG and tells, for each
                             point X,Y, whether the picture shows something there or the background"""
import sys

import ezdxf


def point(p):
    return "(%g,%g,%g)" % (p[0], p[1], p[2])


def show(path):
    doc = ezdxf.readfile(path)
    print("version", doc.dxfversion)
    shapes = {"LINE": lambda e: "start=%s end=%s" % (point(e.dxf.start), point(e.dxf.end)),
              "CIRCLE": lambda e: "center=%s radius=%g" % (point(e.dxf.center), e.dxf.radius),
              "TEXT": lambda e: "insert=%s text=%s" % (point(e.dxf.insert), e.dxf.text)}
    for e in doc.modelspace():
        print("entity %s handle=%s layer=%s color=%d %s" % (e.dxftype(), e.dxf.handle, e.dxf.layer, e.dxf.color,
                                                             shapes[e.dxftype()](e)))
    for layer in doc.layers:
        print("layer %s color=%d%s" % (layer.dxf.name, layer.dxf.color, "" if layer.dxf.plot else " unplotted"))
    for name in doc.layouts.names_in_taborder():
        print("layout %s plotter=%s" % (name, doc.layouts.get(name).dxf_layout.dxf.get("plot_configuration_file")))
    if "KOVA_UNDO_DICTIONARY" in doc.rootdict:
        marks = doc.rootdict["KOVA_UNDO_DICTIONARY"]
        print("dictionary KOVA_UNDO_DICTIONARY:", " ".join(sorted(marks.keys())))
        marker = marks["KOVA_UNDO_OBJECT"]
        # The record's first group (0) carries the same name as its subclass
        # marker (100); the counter is in the subclass.
        tags = [sub for sub in marker.xtags.subclasses if sub[0] == (100, "KOVA_UNDO_OBJECT")][0]
        values = {tag.code: tag.value for tag in tags}
        print("marker %s version=%d counter=%d" % (marker.dxftype(), values[70], values[90]))


def groups(path):
    """A file's groups as they stand in it: (code, value) pairs of text."""
    with open(path, "rb") as f:
        lines = [line.strip() for line in f.read().decode("latin-1").split("\n")]
    return list(zip(lines[0::2], lines[1::2]))


def held(path):
    """The handles of a file's records, the names of its header variables and of its sections."""
    pairs = groups(path)
    handles, variables, sections, section = set(), set(), set(), None
    for (code, value), before in zip(pairs, [""] + [v for _, v in pairs]):
        if code == "2" and before == "SECTION":
            section = value
            sections.add(value)
        elif section == "HEADER" and code == "9":
            variables.add(value)
        elif section != "HEADER" and code in ("5", "105"):
            handles.add(value.upper())
    return handles, variables, sections


def audit(path):
    handles, variables, _ = held(path)
    doc = ezdxf.readfile(path)
    auditor = doc.audit()
    created = sorted("%s %s" % (h, doc.entitydb[h].dxftype()) for h in doc.entitydb.keys() if h.upper() not in handles)
    added = sorted(set(doc.header.varnames()) - variables)
    print("%s: %d errors, %d fixes, created [%s], header added [%s]"
          % (path.split("/")[-1], len(auditor.errors), len(auditor.fixes), ", ".join(created), ", ".join(added)))
    for entry in auditor.errors + auditor.fixes:
        print("  ", entry.message)


def picture(path, png, x0, y0, x1, y1, *points):
    import logging
    import matplotlib
    matplotlib.use("Agg")
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)  # the text style's font is not here
    import matplotlib.image
    import matplotlib.pyplot as plt
    from ezdxf.addons.drawing import Frontend, RenderContext
    from ezdxf.addons.drawing.properties import LayoutProperties
    from ezdxf.addons.drawing.matplotlib import MatplotlibBackend

    doc = ezdxf.readfile(path)
    x0, y0, x1, y1 = (float(v) for v in (x0, y0, x1, y1))
    fig = plt.figure(figsize=(1, 1), dpi=400)
    ax = fig.add_axes([0, 0, 1, 1])
    # Black on white: the model space's usual colours are white on black.
    layout = LayoutProperties.from_layout(doc.modelspace())
    layout.set_colors("#ffffff")
    Frontend(RenderContext(doc), MatplotlibBackend(ax)).draw_layout(doc.modelspace(), layout_properties=layout)
    ax.set_aspect("auto")
    ax.set_xlim(x0, x1)
    ax.set_ylim(y0, y1)
    fig.set_size_inches(1, 1)
    fig.savefig(png, dpi=400, facecolor="#ffffff")
    image = matplotlib.image.imread(png)
    background = image[0][0].tolist()
    for x, y in (tuple(float(v) for v in p.split(",")) for p in points):
        col = int((x - x0) / (x1 - x0) * (image.shape[1] - 1))
        row = int((y1 - y) / (y1 - y0) * (image.shape[0] - 1))
        near = image[max(row - 2, 0):row + 3, max(col - 2, 0):col + 3].reshape(-1, image.shape[2]).tolist()
        print("%g,%g %s" % (x, y, "drawn" if any(pixel != background for pixel in near) else "background"))


if __name__ == "__main__":
    if sys.argv[1] == "--audit":
        for name in sys.argv[2:]:
            audit(name)
    elif sys.argv[1] == "--picture":
        picture(*sys.argv[2:])
    else:
        show(sys.argv[1])
