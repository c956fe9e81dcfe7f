"""The corpus test: real drawings opened in kovahost, a line added and an entity recoloured by a command,
saved as DXF and through the binary form, then checked by ezdxf against the original (compare_dxf.py).

run_corpus.py KOVAHOST DIR...   drawings that ezdxf writes now, one per feature and per DXF version, and
                                every .dxf under each DIR that exists (a DIR that does not is reported as
                                skipped). Prints one line per failing drawing; exits 1 when one fails."""
import multiprocessing
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
VERSIONS = ["R12", "R2000", "R2004", "R2007", "R2010", "R2013", "R2018"]


def features(doc):
    """What each written drawing holds: one function a feature."""
    import ezdxf
    msp = doc.modelspace()

    def blocks():
        block = doc.blocks.new("PART")
        block.add_circle((0, 0), 1)
        block.add_attdef("TAG", (0, 0))
        nested = doc.blocks.new("OUTER")
        nested.add_blockref("PART", (1, 1))
        msp.add_blockref("PART", (5, 5)).add_attrib("TAG", "value", (5, 5))
        msp.add_blockref("OUTER", (9, 9))

    def xdata():
        doc.appids.new("KOVA_TEST")
        msp.add_line((0, 0), (1, 1)).set_xdata("KOVA_TEST", [(1000, "text"), (1040, 2.5), (1070, 3)])

    def layers():
        doc.linetypes.add("DASHEDX", [0.75, 0.5, -0.25], description="dashed")
        doc.layers.add("OFF", color=3).off()
        doc.layers.add("FROZEN", linetype="DASHEDX").freeze()
        doc.layers.add("LOCKED").lock()
        doc.styles.add("NARROW", font="arial.ttf")
        msp.add_line((0, 0), (3, 3), dxfattribs={"layer": "FROZEN", "linetype": "DASHEDX", "color": 5})
        msp.add_text("styled", dxfattribs={"style": "NARROW", "height": 2.5, "rotation": 30, "layer": "OFF"})

    def geometry():
        msp.add_arc((0, 0), 2, 10, 80)
        msp.add_circle((1, 1), 3, dxfattribs={"thickness": 2, "extrusion": (0, 0, -1)})
        msp.add_polyline2d([(0, 0), (1, 0), (1, 1)])
        msp.add_polyline3d([(0, 0, 0), (1, 0, 1), (1, 1, 2)])
        msp.add_line((-1e15, 1e-12, 0), (1e15, -7.123456789012345, 3))
        msp.add_text("Grüße \u03a9", dxfattribs={"height": 1.5})
        if doc.dxfversion > "AC1009":
            msp.add_lwpolyline([(0, 0), (2, 0), (2, 2)], dxfattribs={"const_width": 0.1})
            msp.add_ellipse((0, 0), (3, 0), 0.5)
            msp.add_spline([(0, 0), (1, 2), (3, 1), (4, 4)])
            msp.add_mtext("multi\\Pline text", dxfattribs={"char_height": 0.7})
            hatch = msp.add_hatch(color=2)
            hatch.paths.add_polyline_path([(0, 0), (5, 0), (5, 5)], is_closed=True)

    def dimensions():
        doc.dimstyles.new("DIMX", dxfattribs={"dimtxt": 0.5})
        dim = msp.add_linear_dim(base=(0, 3), p1=(0, 0), p2=(5, 0), dimstyle="DIMX")
        dim.render()

    def layouts():
        msp.add_line((0, 0), (1, 0))
        if doc.dxfversion > "AC1009":
            layout = doc.layouts.new("Second")
            layout.add_circle((2, 2), 1)
            doc.layouts.get("Layout1").add_line((0, 0), (4, 4))

    def objects():
        line = msp.add_line((0, 0), (2, 0))
        if doc.dxfversion > "AC1009":
            line.new_extension_dict()
            doc.groups.new("PAIR").extend([line, msp.add_circle((0, 0), 1)])
            record = doc.rootdict.add_xrecord("KOVA_DATA")
            record.reset([(1, "kept"), (40, 1.25)])
            image_def = doc.add_image_def("picture.png", size_in_pixel=(64, 32))
            msp.add_image(image_def, (0, 0), (6.4, 3.2))

    return {"blocks": blocks, "xdata": xdata, "layers": layers, "geometry": geometry,
            "dimensions": dimensions, "layouts": layouts, "objects": objects}


def write_ezdxf_drawings(folder):
    import ezdxf
    files = []
    for version in VERSIONS:
        for name in features(ezdxf.new(version)):
            doc = ezdxf.new(version, setup=True)
            features(doc)[name]()
            path = os.path.join(folder, "ezdxf-%s-%s.dxf" % (name, version))
            doc.saveas(path)
            files.append(path)
    return files


def write_bare_drawing(folder):
    """A file as small programs write one: a header (points among its variables) and entities, no tables."""
    path = os.path.join(folder, "bare-R12.dxf")
    header = ["$ACADVER", "1", "AC1009", "$INSBASE", "10", "1.5", "20", "-2", "30", "0", "$EXTMIN", "10", "0", "20",
              "0", "30", "0", "$EXTMAX", "10", "10", "20", "5", "30", "0", "$LTSCALE", "40", "2.5", "$CLAYER", "8", "walls"]
    groups = ["0", "SECTION", "2", "HEADER"]
    for item in header:
        groups += ["9", item] if item.startswith("$") else [item]
    groups += ["0", "ENDSEC", "0", "SECTION", "2", "ENTITIES", "0", "LINE", "5", "20", "8", "walls", "62", "3", "10", "0",
               "20", "0", "30", "0", "11", "10", "21", "5", "31", "0", "0", "ENDSEC", "0", "EOF"]
    with open(path, "w") as f:
        f.write("\n".join(groups) + "\n")
    return path


def check(job):
    import io
    import contextlib
    import compare_dxf
    kovahost, original, work = job
    name = original.replace("/", "_")
    try:
        handle = compare_dxf.first_entity(original)
    except Exception:  # noqa: BLE001 - a file ezdxf does not read is no drawing to check
        handle = None
    if not handle:
        return "skipped"  # not a drawing ezdxf reads, or one without an entity with a handle to recolour
    saved, binary, again = (os.path.join(work, name + suffix) for suffix in (".dxf", ".kvdwg", ".again.dxf"))
    script = os.path.join(work, name + ".kvs")
    with open(script, "w") as f:
        f.write("open %s\ncommand EDIT\n  line 0 0 1 1\n  color %s 1\nend\nsave %s %s\nsave %s %s\n"
                "open %s\nsave %s %s\n" % (original, handle, original, saved, original, binary, binary, binary, again))
    run = subprocess.run([kovahost, script], capture_output=True, text=True)
    if run.returncode != 0:
        return "%s: kovahost: %s" % (original, run.stdout[-300:].strip().replace("\n", " | "))
    for path in (saved, again):
        out = io.StringIO()
        try:
            with contextlib.redirect_stdout(out):
                failed = compare_dxf.compare(original, path, handle, "1")
        except Exception as e:  # noqa: BLE001 - a saved file ezdxf cannot read fails the check
            failed, out = 1, io.StringIO("ezdxf: %r" % e)
        if failed:
            lines = out.getvalue().strip().split("\n")
            return "%s (%s): %s" % (original, os.path.basename(path), " | ".join(lines[:4]))
        os.remove(path)
    for path in (script, binary, saved):
        if os.path.exists(path):
            os.remove(path)
    return None


def main(kovahost, dirs):
    with tempfile.TemporaryDirectory() as work:
        files = write_ezdxf_drawings(work) + [write_bare_drawing(work)]
        for folder in dirs:
            if not os.path.isdir(folder):
                print("skipped %s: not installed" % folder)
                continue
            files += sorted(os.path.join(root, n) for root, _, names in os.walk(folder) for n in names
                            if n.lower().endswith(".dxf"))
        with multiprocessing.Pool(os.cpu_count()) as pool:
            results = pool.map(check, [(kovahost, f, work) for f in files])
    failures = [r for r in results if r and r != "skipped"]
    for failure in failures:
        print(failure)
    print("%d drawings, %d without an entity to recolour, %d failed"
          % (len(files), results.count("skipped"), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
