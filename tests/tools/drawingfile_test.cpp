// Drawings saved and opened again in both file forms (the host's binary one
// and ASCII DXF), with the hub linked so that marked commands leave an undo
// marker in the drawing; bad files; safe saves; and the saved files read and
// drawn by an independent reader (ezdxf).
#include <gtest/gtest.h>
#include <KOVANotification.h>
#include <kvhost.h>
#include <dbinternal.h>
#include <markers.h>
#include <memfiler.h>
#include <programs.h>
#include <systemfiles.h>
#include <testfiles.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {
using namespace testfiles;
using markers::entry;
using markers::markerCounter;
typedef std::vector<std::string> Files;

const wchar_t kModule[] = L"KOVANotification10.arx";

std::string hex(AcDbObjectId id) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(id.handle()));
  return buf;
}
// What an object files out: all it is, owner and handles included.
std::string record(AcDbObjectId id) {
  AcDbObjectPointer<AcDbObject> object(id, AcDb::kForRead);
  if (!object) return "none";
  const std::vector<unsigned char> bytes = markers::dwgRecord(object.object());
  return std::string(bytes.begin(), bytes.end());
}

// The class of the drawing's undo marker, or "proxy" and the class it stands for.
std::wstring markerClass(AcApDocument* doc) {
  AcDbObjectPointer<AcDbObject> object(markers::markerId(doc->database()), AcDb::kForRead);
  if (!object) return L"none";
  if (auto* proxy = AcDbProxyObject::cast(object.object())) return std::wstring(L"proxy ") + proxy->originalClassName();
  return object->isA()->name();
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}
// The file without the listing of the marker's class.
std::string unlisted(std::string text) {
  const size_t at = text.find("  0\nCLASS\n  1\nKOVA_UNDO_OBJECT\n");
  EXPECT_NE(at, std::string::npos);
  return at == std::string::npos ? text : text.erase(at, text.find("  0\n", at + 4) - at);
}

// A client editor reactor: while one is registered, commands are marked.
class Client : public KOVAEditorReactorBase {};

class DrawingFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kvhost::loadModule(kModule)) << narrow(kvhost::lastModuleError());
    doc = kvhost::newDocument(L"plan");
    client = std::make_unique<Client>();
    dir = newFolder("drawingfile_test");
  }
  void TearDown() override {
    client.reset();
    kvhost::quit();
    std::filesystem::remove_all(dir);
  }
  std::wstring path(const std::string& name) const { return widen(dir + "/" + name); }
  AcApDocument* reopen(const std::wstring& file) {
    Acad::ErrorStatus es = Acad::eOk;
    AcApDocument* opened = kvhost::openDocument(file, &es);
    EXPECT_EQ(es, Acad::eOk) << narrow(file);
    return opened;
  }
  // The drawing saved to the file named, opened from it again.
  AcApDocument* throughFile(AcApDocument* drawing, const std::string& name) {
    EXPECT_EQ(kvhost::saveDocument(drawing, path(name)), Acad::eOk) << name;
    return reopen(path(name));
  }
  // A line on a layer with a colour, a circle, a text and an erased line,
  // a header variable, then two marked commands.
  void fill() {
    auto* line = new AcDbLine(AcGePoint3d(1, 2, 0), AcGePoint3d(3.25, -4, 0.5));
    line->setLayer(L"walls");
    line->setColorIndex(1);
    lineId = kvhost::addEntity(doc, line);
    circleId = kvhost::addEntity(doc, new AcDbCircle(AcGePoint3d(5, 5, 0), 2.5));
    textId = kvhost::addEntity(doc, new AcDbText(AcGePoint3d(0, 10, 0), L"Grüße x^2"));
    kvhost::eraseObject(kvhost::addEntity(doc, new AcDbLine));
    kvhost::setSysVar(L"CLAYER", L"walls");
    kvhost::runCommand(L"MOVE");
    kvhost::runCommand(L"COPY");
  }
  static void setColor(AcDbObjectId id, Adesk::UInt16 c) {
    kvhost::modifyObject(id, [c](AcDbObject* o) { AcDbEntity::cast(o)->setColorIndex(c); });
  }
  AcDbObjectId addToDictionary(const wchar_t* key, AcDbObject* object) {
    AcDbObjectId id;
    EXPECT_EQ(kvhost::modifyObject(doc->database()->namedObjectsDictionaryId(), [&](AcDbObject* nod) {
      AcDbDictionary::cast(nod)->setAt(key, object, id);
      object->close();
    }), Acad::eOk);
    return id;
  }

  AcApDocument* doc = nullptr;
  std::unique_ptr<Client> client;
  std::string dir;
  AcDbObjectId lineId, circleId, textId;
};

// Records are typed by their DXF name: in a file that does not list the
// marker's class, or lists it under another class name, the marker is still
// read by the registered class (as a proxy it would share its name with the
// real markers of the drawing at the next save).
TEST_F(DrawingFiles, WhatIsSavedIsWhatOpensAgainInBothForms) {
  fill();
  const AcDbObjectId project = addToDictionary(L"PROJECT", new AcDbDictionary);
  kvhost::eraseObject(kvhost::addEntity(doc, new AcDbLine));  // the highest handle, not saved
  // Characters beyond two bytes and those a DXF line cannot carry as they
  // are, a literal escape of older releases; a real that fifteen digits do not give back.
  kvhost::modifyObject(textId, [](AcDbObject* o) { AcDbText::cast(o)->setTextString(L"^ ^J \U0001D11E\tx\ny \\U+0041"); });
  kvhost::modifyObject(circleId, [](AcDbObject* o) { AcDbCircle::cast(o)->setRadius(0.1 + 0.2); });
  const std::pair<std::string, std::function<std::string(std::string)>> files[] = {
      {"plan.kvdwg", nullptr}, {"plan.dxf", nullptr}, {"unlisted.dxf", unlisted},
      {"owned.dxf", [](std::string t) {  // a standard entry too, as some programs write them
         t = replaced(t, "  3\nPROJECT\n350\n", "  3\nPROJECT\n360\n");
         return replaced(t, "  3\nACAD_GROUP\n350\n", "  3\nACAD_GROUP\n360\n"); }},
      {"renamed.dxf", [](std::string t) { return replaced(t, "  2\nKOVAUndoObject\n", "  2\nOldUndoObject\n"); }},
      {"misnamed.dxf", [](std::string t) { return replaced(t, "  2\nKOVAUndoObject\n", "  2\nAcDbDictionary\n"); }},
      {"aligned.dxf", [](std::string t) { return replaced(t, " 40\n2.5\n", " 40\n2.5\n100\nAcDbText\n"); }},
      {"reordered.dxf", [](std::string t) {  // the circle listed before the line: still in handle order
         const size_t line = t.find("  0\nLINE\n"), circle = t.find("  0\nCIRCLE\n"), next = t.find("  0\n", circle + 1);
         return t.substr(0, line) + t.substr(circle, next - circle) + t.substr(line, circle - line) + t.substr(next); }}};
  for (const auto& [name, edit] : files) {
    SCOPED_TRACE(name);
    kvhost::activateDocument(doc);
    ASSERT_EQ(kvhost::saveDocument(doc, path(name)), Acad::eOk);
    EXPECT_EQ(doc->dbmod(), 0);
    if (name == "plan.dxf") {  // the frame's standard objects, each of its type
      const std::string text = readFile(path(name));
      for (const auto& [type, count] : {std::pair{"LAYOUT", 2}, {"MATERIAL", 3}, {"MLEADERSTYLE", 1}, {"ACDBPLACEHOLDER", 1}}) {
        const std::string record = "  0\n" + std::string(type) + "\n";
        int found = 0;
        for (size_t at = text.find(record); at != std::string::npos; at = text.find(record, at + 1)) ++found;
        EXPECT_EQ(found, count) << type;
      }
    }
    if (edit) writeFile(path(name), edit(readFile(path(name))));
    AcApDocument* back = reopen(path(name));
    ASSERT_NE(back, nullptr);
    AcDbDatabase* db = back->database();
    AcDbObjectIdArray ids = kvhost::entities(back);
    ASSERT_EQ(ids.length(), 3);  // the erased line was not saved
    const AcDbObjectId saved[] = {lineId, circleId, textId};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(record(ids[i]), record(saved[i]));
    EXPECT_EQ(record(entry(db->namedObjectsDictionaryId(), L"PROJECT")), record(project));
    EXPECT_TRUE(entry(db->namedObjectsDictionaryId(), L"ACAD_GROUP").isNull());  // the frame's, built at each save
    EXPECT_STREQ(db->headerSysVar(L"CLAYER"), L"walls");
    EXPECT_EQ(markerClass(back), L"KOVAUndoObject");
    EXPECT_EQ(markerCounter(back), 2);
    // Saved again unchanged, the same file (a DXF file tells when it was saved).
    ASSERT_EQ(kvhost::saveDocument(back, path("again-" + name)), Acad::eOk);
    EXPECT_TRUE(name != "plan.kvdwg" || readFile(path("again-" + name)) == readFile(path(name)));
    // Handles go on above everything the drawing and the file used; reading is no undo step.
    EXPECT_GE(db->handseed(), doc->database()->handseed());
    const AcDbHandle added = kvhost::addEntity(back, new AcDbLine).handle();
    EXPECT_EQ(added, db->handseed() - 1);
    EXPECT_EQ(kvhost::undoGroupCount(back), 1);
    // The reopened marker goes on counting, and the next round trip keeps it.
    kvhost::runCommand(L"ERASE");
    AcApDocument* third = throughFile(back, "again-" + name);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(markerCounter(third), 3);
    EXPECT_EQ(kvhost::entities(third).length(), 4);
  }
  // A drawing saved by an earlier version of the writer, without the frame, opens as it was.
  writeFile(path("earlier.dxf"), readFile(L"" KOVA_EARLIER_DXF).substr(1));  // a fuzz input: a byte, then the file
  AcApDocument* earlier = reopen(path("earlier.dxf"));
  ASSERT_NE(earlier, nullptr);
  EXPECT_EQ(kvhost::entities(earlier).length(), 2);
  EXPECT_EQ(markerCounter(earlier), 2);
}

// Another program's file holding a subclass's groups where the reader does
// not look for them (a damaged or missing marker, a foreign subclass before
// the object's own, a group under another subclass): what the session then
// makes of the object is what the saved file gives back in both forms, and
// the file's groups are kept.
TEST_F(DrawingFiles, AnObjectsDataGoesWhereTheReaderFindsIt) {
  fill();
  ASSERT_EQ(kvhost::saveDocument(doc, path("plan.dxf")), Acad::eOk);
  const std::string plan = readFile(path("plan.dxf"));
  const std::string entity = "100\nAcDbEntity\n  8\nwalls\n 62\n1\n100\nAcDbLine\n";
  // The edit, and a text the saved file still holds.
  const std::tuple<const char*, std::string, std::string, const char*> cases[] = {
      {"the entity's marker damaged", entity, "100\nAcDbEntitx\n  8\nwalls\n 62\n1\n100\nAcDbLine\n", "AcDbEntitx\n  8\nwalls"},
      {"no entity marker", entity, "  8\nwalls\n 62\n1\n100\nAcDbLine\n", "  8\nwalls"},
      {"the entity's groups under its class's marker", entity,
       "100\nAcDbEntity\n100\nAcDbLine\n  8\nwalls\n 62\n1\n", "AcDbLine\n  8\nwalls"},
      {"a foreign subclass before the line's", "100\nAcDbLine\n", "100\nAcDbFoo\n 11\n9\n100\nAcDbLine\n",
       "AcDbFoo\n 11\n9\n"},
      {"the marker's subclass damaged", "100\nKOVA_UNDO_OBJECT\n", "100\nKOVA_UNDO_OBJECX\n", "KOVA_UNDO_OBJECX"},
  };
  for (const auto& [what, from, to, kept] : cases) {
    SCOPED_TRACE(what);
    writeFile(path("edited.dxf"), replaced(plan, from, to));
    AcApDocument* drawing = reopen(path("edited.dxf"));
    ASSERT_NE(drawing, nullptr);
    kvhost::activateDocument(drawing);
    const AcDbObjectId line = drawing->database()->getObjectId(lineId.handle());
    setColor(line, 3);
    kvhost::modifyObject(line, [](AcDbObject* o) { AcDbLine::cast(o)->setEndPoint(AcGePoint3d(7, 8, 9)); });
    kvhost::runCommand(L"MOVE");
    for (const char* name : {"saved.dxf", "saved.kvdwg"}) {
      AcApDocument* back = throughFile(drawing, name);
      ASSERT_NE(back, nullptr);
      AcApDocument* again = throughFile(back, "again.dxf");
      ASSERT_NE(again, nullptr);
      for (AcApDocument* reopened : {back, again}) {
        EXPECT_EQ(record(reopened->database()->getObjectId(lineId.handle())), record(line)) << name;
        EXPECT_EQ(markerCounter(reopened), markerCounter(drawing)) << name;
      }
      EXPECT_NE(readFile(path("again.dxf")).find(kept), std::string::npos) << name;
      kvhost::closeDocument(again);
      kvhost::closeDocument(back);
    }
    kvhost::closeDocument(drawing);
  }
}

// Without its class the marker is kept as a proxy, saved again as it was
// (its class listed), and is a marker again when its class comes back.
TEST_F(DrawingFiles, AMarkerWithoutItsClassTravelsAsAProxyAndComesBackWithIt) {
  fill();
  const Files files = {"marked.kvdwg", "marked.dxf"};
  for (const std::string& name : files) ASSERT_EQ(kvhost::saveDocument(doc, path(name)), Acad::eOk);
  client.reset();
  ASSERT_TRUE(kvhost::unloadModule(kModule));
  // The marker's record, up to the next one (a DXF file tells when it was saved).
  auto marker = [](const std::string& text) {
    const size_t at = text.find("  0\nKOVA_UNDO_OBJECT\n");
    return at == std::string::npos ? text : text.substr(at, text.find("  0\n", at + 4) - at);
  };
  std::vector<AcApDocument*> opened{doc};
  for (const std::string& name : files) {
    SCOPED_TRACE(name);
    opened.push_back(reopen(path(name)));
    ASSERT_NE(opened.back(), nullptr);
    EXPECT_EQ(markerClass(opened.back()).rfind(L"proxy KOVAUndoObject", 0), 0u);
    EXPECT_TRUE(name != "marked.dxf" || markerCounter(opened.back()) == 2);  // read from its DXF groups
    ASSERT_EQ(kvhost::saveDocument(opened.back(), path("re-" + name)), Acad::eOk);
    EXPECT_EQ(marker(readFile(path("re-" + name))), marker(readFile(path(name))));
  }
  // One object of the class, which is registered, then a proxy's.
  for (const auto& [name, wasProxy] : {std::pair{"marked.dxf", "0"}, {"re-marked.dxf", "1"}})
    EXPECT_NE(readFile(path(name)).find("  0\nCLASS\n  1\nKOVA_UNDO_OBJECT\n  2\nKOVAUndoObject\n  3\nKOVA_ORBAPP\n 90\n0\n"
                                        " 91\n1\n280\n" + std::string(wasProxy) + "\n"),
              std::string::npos) << name;
  // A proxy holding a DWG record goes to DXF as another program's proxy, the end of its data marked.
  ASSERT_EQ(kvhost::saveDocument(opened[1], path("proxy.dxf")), Acad::eOk);
  const std::string saved = readFile(path("proxy.dxf"));
  const size_t proxy = saved.find("  0\nACAD_PROXY_OBJECT\n"), end = saved.find("\n  0\n", proxy + 4);
  ASSERT_NE(proxy, std::string::npos);
  EXPECT_EQ(saved.substr(end - 6, 7), "\n 94\n0\n");
  // Its class listed second, the proxy names it by its number among the classes.
  writeFile(path("proxy-second.dxf"),
            replaced(replaced(saved, "  0\nCLASS\n", "  0\nCLASS\n  1\nKV_OTHER\n  2\nKvOther\n  3\n\n 90\n0\n  0\nCLASS\n"),
                     "\n 91\n500\n", "\n 91\n501\n"));
  // With the class back, the proxies in memory (kept as a DWG record or as
  // DXF groups) and the files saved without it give the marker back.
  struct Resurrected : AcDbDatabaseReactor {
    void proxyResurrectionCompleted(const AcDbDatabase*, const ACHAR*, AcDbObjectIdArray& ids) override {
      count += ids.length();
    }
    int count = 0;
  } resurrected;
  for (AcApDocument* d : opened) d->database()->addReactor(&resurrected);
  const bool loaded = kvhost::loadModule(kModule);
  for (AcApDocument* d : opened) d->database()->removeReactor(&resurrected);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(resurrected.count, 3);  // the marker of each drawing
  for (const std::string& name : files) opened.push_back(reopen(path("re-" + name)));
  for (const char* name : {"proxy.dxf", "proxy-second.dxf"}) opened.push_back(reopen(path(name)));
  for (AcApDocument* d : opened) {
    ASSERT_NE(d, nullptr);
    SCOPED_TRACE(narrow(d->fileName()));
    EXPECT_EQ(markerClass(d), L"KOVAUndoObject");
    EXPECT_EQ(markerCounter(d), 2);
  }
}

// A file without tables, whose frame each save builds, keeps its header's
// variables in their groups through both forms; a value the session
// changes goes in its group.
TEST_F(DrawingFiles, AFileWithoutTablesKeepsItsHeaderVariablesInTheirGroups) {
  const std::string extents = "  9\n$EXTMIN\n 10\n-1.5\n 20\n0.0\n 30\n0.0\n";
  writeFile(path("bare.dxf"), "  0\nSECTION\n  2\nHEADER\n  9\n$ACADVER\n  1\nAC1009\n" + extents +
                                  "  9\n$LTSCALE\n 40\n2.5\n  0\nENDSEC\n  0\nSECTION\n  2\nENTITIES\n  0\nLINE\n"
                                  "  8\n0\n 10\n0\n 20\n0\n 30\n0\n 11\n1\n 21\n1\n 31\n0\n  0\nENDSEC\n  0\nEOF\n");
  AcApDocument* drawing = reopen(path("bare.dxf"));
  ASSERT_NE(drawing, nullptr);
  kvhost::activateDocument(drawing);
  for (const char* name : {"bare.kvdwg", "saved.dxf"}) ASSERT_EQ(kvhost::saveDocument(drawing, path(name)), Acad::eOk);
  kvhost::setSysVar(L"LTSCALE", L"4");
  ASSERT_EQ(kvhost::saveDocument(drawing, path("changed.dxf")), Acad::eOk);
  for (const auto& [from, to] : {std::pair{"bare.kvdwg", "binary.dxf"}, {"saved.dxf", "again.dxf"}}) {
    AcApDocument* back = reopen(path(from));
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(kvhost::saveDocument(back, path(to)), Acad::eOk);
  }
  for (const auto& [name, scale] : {std::pair{"saved.dxf", "2.5"}, {"binary.dxf", "2.5"}, {"again.dxf", "2.5"},
                                    {"changed.dxf", "4"}}) {
    const std::string saved = readFile(path(name));
    EXPECT_NE(saved.find(extents), std::string::npos) << name;
    EXPECT_NE(saved.find("$LTSCALE\n 40\n" + std::string(scale) + "\n"), std::string::npos) << name;
    EXPECT_EQ(saved.find("$LTSCALE"), saved.rfind("$LTSCALE")) << name;
  }
}

// ---- Layers ----

// A file with a layer table (layers on and off, frozen, locked, not plotted,
// with a lineweight and with xdata), a text style with xdata and a line on
// the layer that is off; in a release with subclass markers, or without
// (and then with objects, one another program's proxy).
std::string layerFile(bool markers) {
  auto record = [&](const std::string& type, const char* handle, const char* owner, const std::string& subclass,
                    const std::string& groups) {
    std::string text = "  0\n" + type + "\n  5\n" + handle + "\n";
    if (markers) text += "330\n" + std::string(owner) + "\n" + subclass;
    return text + groups;
  };
  const std::string layer = "100\nAcDbSymbolTableRecord\n100\nAcDbLayerTableRecord\n";
  const std::string lineweights = markers ? "290\n0\n370\n25\n" : "";
  return "  0\nSECTION\n  2\nHEADER\n  9\n$ACADVER\n  1\n" + std::string(markers ? "AC1015" : "AC1009") +
         "\n  9\n$HANDSEED\n  5\n30\n  9\n$CLAYER\n  8\n0\n  0\nENDSEC\n  0\nSECTION\n  2\nTABLES\n" +
         record("TABLE", "2", "0", "100\nAcDbSymbolTable\n", "") + "  2\nLAYER\n 70\n4\n" +
         record("LAYER", "10", "2", layer, "  2\n0\n 70\n0\n 62\n7\n  6\nContinuous\n") +
         record("LAYER", "11", "2", layer, "  2\nOFF\n 70\n0\n 62\n-3\n  6\nContinuous\n") +
         record("LAYER", "12", "2", layer, "  2\nFROZEN\n 70\n1\n 62\n7\n  6\nDASHED\n") +
         record("LAYER", "13", "2", layer, "  2\nLOCKED\n 70\n4\n 62\n1\n  6\nContinuous\n" + lineweights +
                "1001\nKOVA\n1000\non a layer\n") +
         "  0\nENDTAB\n" + record("TABLE", "3", "0", "100\nAcDbSymbolTable\n", "") + "  2\nSTYLE\n 70\n1\n" +
         record("STYLE", "14", "3", "100\nAcDbSymbolTableRecord\n100\nAcDbTextStyleTableRecord\n",
                "  2\nStandard\n 70\n0\n 40\n0.0\n 41\n1.0\n  3\ntxt\n1001\nKOVA\n1000\non a style\n") +
         "  0\nENDTAB\n  0\nENDSEC\n  0\nSECTION\n  2\nENTITIES\n" +
         record("LINE", "20", "1F", "100\nAcDbEntity\n", "  8\nOFF\n") + (markers ? "100\nAcDbLine\n" : "") +
         " 10\n0\n 20\n0\n 30\n0\n 11\n1\n 21\n1\n 31\n0\n  0\nENDSEC\n" +
         (markers ? "  0\nSECTION\n  2\nOBJECTS\n  0\nDICTIONARY\n  5\nC\n330\n0\n100\nAcDbDictionary\n281\n1\n"
                    // Another program's proxy: its data is no record of the host's form.
                    "  0\nACAD_PROXY_OBJECT\n  5\nD\n330\nC\n100\nAcDbProxyObject\n 90\n499\n 91\n500\n 70\n0\n 93\n12\n"
                    "310\nABCD\n 94\n0\n  0\nENDSEC\n"
                  : "") +
         "  0\nEOF\n";
}
// The file as a save writes it unchanged: a release without objects gets the
// drawing's root dictionary, with the handle after the file's.
std::string savedUnchanged(const std::string& file, bool markers) {
  if (markers) return file;
  return replaced(replaced(file, "$HANDSEED\n  5\n30\n", "$HANDSEED\n  5\n31\n"), "  0\nEOF\n",
                  "  0\nSECTION\n  2\nOBJECTS\n  0\nDICTIONARY\n  5\n30\n281\n1\n  0\nENDSEC\n  0\nEOF\n");
}

// A drawing's layers, one a line.
std::string layersOf(AcApDocument* drawing) {
  std::string text;
  for (const kvhost::Layer& l : kvhost::layers(drawing))
    text += narrow(l.name) + " " + std::to_string(l.handle) + " color=" + std::to_string(l.color) + (l.off ? " off" : "") +
            (l.frozen ? " frozen" : "") + (l.locked ? " locked" : "") + (l.plotted ? "" : " unplotted") + " " +
            std::to_string(l.lineWeight) + " " + narrow(l.linetype) + "\n";
  return text;
}

TEST_F(DrawingFiles, LayersAreReadWithTheirStateAndAnUnchangedDrawingIsSavedAsTheFileWas) {
  fill();
  EXPECT_EQ(layersOf(doc), "0 0 color=7 -3 Continuous\nDefpoints 0 color=7 unplotted -3 Continuous\n"
                           "walls 0 color=7 -3 Continuous\n");  // built at each save
  for (bool markers : {true, false}) {
    SCOPED_TRACE(markers ? "with subclass markers" : "without");
    const std::string original = layerFile(markers);
    writeFile(path("layers.dxf"), original);
    AcApDocument* drawing = reopen(path("layers.dxf"));
    ASSERT_NE(drawing, nullptr);
    EXPECT_EQ(layersOf(drawing), std::string("0 16 color=7 -3 Continuous\nOFF 17 color=3 off -3 Continuous\n"
                                             "FROZEN 18 color=7 frozen -3 DASHED\n") +
                                     (markers ? "LOCKED 19 color=1 locked unplotted 25 Continuous\n"
                                              : "LOCKED 19 color=1 locked -3 Continuous\n"));
    for (const char* name : {"same.dxf", "same.kvdwg"}) ASSERT_EQ(kvhost::saveDocument(drawing, path(name)), Acad::eOk);
    EXPECT_EQ(readFile(path("same.dxf")), savedUnchanged(original, markers));
    AcApDocument* binary = reopen(path("same.kvdwg"));
    ASSERT_NE(binary, nullptr);
    EXPECT_EQ(layersOf(binary), layersOf(drawing));
    ASSERT_EQ(kvhost::saveDocument(binary, path("again.dxf")), Acad::eOk);
    EXPECT_EQ(readFile(path("again.dxf")), savedUnchanged(original, markers));
    kvhost::closeDocument(binary);
    kvhost::closeDocument(drawing);
  }
}

// A dictionary's entries stay in the file's order, sorted or not, each with
// its code (some writers give an owned object as 360); what the session adds
// (the hub's dictionary, by a marked command) comes after them.
TEST_F(DrawingFiles, ADictionaryKeepsItsEntriesInTheFilesOrder) {
  const std::string entries = "281\n1\n  3\nZZ\n360\nD\n  3\nAA\n350\nE\n";
  writeFile(path("ordered.dxf"), replaced(layerFile(true), "281\n1\n  0\nACAD_PROXY_OBJECT", entries +
      "  0\nXRECORD\n  5\nE\n330\nC\n100\nAcDbXrecord\n  1\nkept\n  0\nACAD_PROXY_OBJECT"));
  AcApDocument* drawing = reopen(path("ordered.dxf"));
  ASSERT_NE(drawing, nullptr);
  kvhost::activateDocument(drawing);
  kvhost::runCommand(L"WORK");
  for (const char* name : {"saved.dxf", "saved.kvdwg"}) {
    AcApDocument* back = throughFile(drawing, name);
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(kvhost::saveDocument(back, path(name + std::string(".dxf"))), Acad::eOk);
    EXPECT_NE(readFile(path(name + std::string(".dxf"))).find(entries + "  3\nKOVA_UNDO_DICTIONARY\n350\n"), std::string::npos) << name;
  }
}

// A layer's state changed in a session is saved in the place of the group
// that holds it, and read back so from both forms.
TEST_F(DrawingFiles, ALayersChangedStateGoesWhereItsRecordHeldIt) {
  const std::string original = layerFile(true);
  auto layer = [](std::function<void(AcDbLayerTableRecord*)> f) {
    return [f](AcDbObject* o) { f(AcDbLayerTableRecord::cast(o)); };
  };
  const std::tuple<const char*, AcDbHandle, std::function<void(AcDbObject*)>, std::string, std::string> cases[] = {
      {"turned on", 0x11, layer([](auto* l) { l->setIsOff(false); }), " 62\n-3\n", " 62\n3\n"},
      {"recoloured while off", 0x11, layer([](auto* l) { l->setColorIndex(5); }), " 62\n-3\n", " 62\n-5\n"},
      {"turned off", 0x10, layer([](auto* l) { l->setIsOff(true); }), " 62\n7\n  6\nContinuous\n  0\nLAYER\n  5\n11",
       " 62\n-7\n  6\nContinuous\n  0\nLAYER\n  5\n11"},
      {"thawed", 0x12, layer([](auto* l) { l->setIsFrozen(false); }), "FROZEN\n 70\n1\n", "FROZEN\n 70\n0\n"},
      {"unlocked", 0x13, layer([](auto* l) { l->setIsLocked(false); }), "LOCKED\n 70\n4\n", "LOCKED\n 70\n0\n"},
      {"frozen and locked", 0x12, layer([](auto* l) { l->setIsLocked(true); }), "FROZEN\n 70\n1\n", "FROZEN\n 70\n5\n"},
      {"another lineweight", 0x13, layer([](auto* l) { l->setLineWeight(50); }), "370\n25\n", "370\n50\n"},
      {"a lineweight where it had none", 0x12, layer([](auto* l) { l->setLineWeight(13); }), "DASHED\n",
       "DASHED\n370\n13\n"},
      {"plotted again", 0x13, layer([](auto* l) { l->setIsPlottable(true); }), "290\n0\n", ""},
      // Values a record cannot hold are refused and change nothing.
      {"red, not 0 or 256", 0x10, layer([](auto* l) { l->setColorIndex(0), l->setColorIndex(256), l->setColorIndex(1); }),
       " 62\n7\n  6\nContinuous\n  0\nLAYER\n  5\n11", " 62\n1\n  6\nContinuous\n  0\nLAYER\n  5\n11"},
      {"the default lineweight, not -4", 0x13, layer([](auto* l) { l->setLineWeight(-4), l->setLineWeight(-3); }),
       "370\n25\n", ""},
  };
  for (const auto& [what, handle, change, from, to] : cases) {
    SCOPED_TRACE(what);
    writeFile(path("layers.dxf"), original);
    AcApDocument* drawing = reopen(path("layers.dxf"));
    ASSERT_NE(drawing, nullptr);
    kvhost::activateDocument(drawing);
    ASSERT_EQ(kvhost::modifyObject(drawing->database()->getObjectId(handle), change), Acad::eOk);
    for (const char* name : {"changed.dxf", "changed.kvdwg"}) ASSERT_EQ(kvhost::saveDocument(drawing, path(name)), Acad::eOk);
    EXPECT_EQ(readFile(path("changed.dxf")), replaced(original, from, to));
    for (const char* name : {"changed.dxf", "changed.kvdwg"}) {
      AcApDocument* back = reopen(path(name));
      ASSERT_NE(back, nullptr);
      EXPECT_EQ(layersOf(back), layersOf(drawing)) << name;
      kvhost::closeDocument(back);
    }
    kvhost::closeDocument(drawing);
  }
}

// An entity put on a layer the file's table lacks: the save adds its record
// (a handle from the seed, the table's count one more), once, in both forms.
TEST_F(DrawingFiles, ASaveAddsTheRecordOfALayerTheTableLacks) {
  const std::string record =
      "  0\nLAYER\n  5\n30\n330\n2\n100\nAcDbSymbolTableRecord\n100\nAcDbLayerTableRecord\n  2\nwalls\n 70\n0\n 62\n7\n"
      "  6\nContinuous\n370\n-3\n  0\nENDTAB\n";
  const std::string markerless = "  0\nLAYER\n  5\n31\n  2\nwalls\n 70\n0\n 62\n7\n  6\nContinuous\n  0\nENDTAB\n";
  // The layer, the current layer, the release, whether a record is added.
  const std::tuple<const wchar_t*, const wchar_t*, bool, bool> cases[] = {
      {L"walls", L"OFF", true, true}, {L"walls", L"OFF", false, true},
      {L"off", L"OFF", true, false},  // the table's OFF, in another case
      {L"OFF", L"walls", true, true},
  };
  for (const auto& [name, current, markers, added] : cases) {
    SCOPED_TRACE(narrow(name) + (markers ? "" : " without markers"));
    const std::string original = layerFile(markers);
    writeFile(path("layers.dxf"), original);
    AcApDocument* drawing = reopen(path("layers.dxf"));
    ASSERT_NE(drawing, nullptr);
    kvhost::activateDocument(drawing);
    const std::wstring layerName = name;
    kvhost::modifyObject(drawing->database()->getObjectId(0x20), [&](AcDbObject* o) { AcDbEntity::cast(o)->setLayer(layerName.c_str()); });
    kvhost::setSysVar(L"CLAYER", current);
    for (const char* file : {"added.dxf", "added.kvdwg"}) ASSERT_EQ(kvhost::saveDocument(drawing, path(file)), Acad::eOk);
    std::string expected = replaced(replaced(savedUnchanged(original, markers), "  8\nOFF\n", "  8\n" + narrow(name) + "\n"),
                                    "$CLAYER\n  8\n0\n", "$CLAYER\n  8\n" + narrow(current) + "\n");
    if (added) {
      const std::string seed = markers ? "  5\n30\n" : "  5\n31\n", next = markers ? "  5\n31\n" : "  5\n32\n";
      expected = replaced(replaced(replaced(expected, "$HANDSEED\n" + seed, "$HANDSEED\n" + next), "LAYER\n 70\n4\n",
                                   "LAYER\n 70\n5\n"),
                          "  0\nENDTAB\n", markers ? record : markerless);
    }
    const std::string saved = readFile(path("added.dxf"));
    EXPECT_EQ(saved, expected);
    ASSERT_EQ(kvhost::saveDocument(drawing, path("again.dxf")), Acad::eOk);
    EXPECT_EQ(readFile(path("again.dxf")), saved);
    AcApDocument* binary = reopen(path("added.kvdwg"));
    ASSERT_NE(binary, nullptr);
    ASSERT_EQ(kvhost::saveDocument(binary, path("binary.dxf")), Acad::eOk);
    EXPECT_EQ(readFile(path("binary.dxf")), saved);
    EXPECT_EQ(layersOf(binary).find("walls " + std::to_string(markers ? 0x30 : 0x31) + " color=7 -3 Continuous\n") !=
                  std::string::npos,
              added);
    kvhost::closeDocument(binary);
    kvhost::closeDocument(drawing);
  }
}

// An object of a client's class that cannot file itself out.
class Unwritable : public AcDbObject {
 public:
  static AcRxClass* desc() {
    static AcRxClass* cls = newAcRxClass(L"KovaUnwritable", L"AcDbObject", 0, 0, 0, nullptr, L"KOVA_UNWRITABLE", L"KOVA_TEST");
    return cls;
  }
  AcRxClass* isA() const override { return desc(); }
  Acad::ErrorStatus dwgOutFields(AcDbDwgFiler*) const override { return Acad::eNotImplementedYet; }
  Acad::ErrorStatus dxfOutFields(AcDbDxfFiler*) const override { return Acad::eNotImplementedYet; }
};

// A save that would lose something of the drawing is refused, says what,
// and leaves the file as it was; the binary form holds any header value.
TEST_F(DrawingFiles, ASaveThatWouldLoseSomethingIsRefusedAndSaysWhat) {
  Unwritable::desc();  // registered before there is an object of it
  const std::string status = std::to_string(static_cast<int>(Acad::eNotImplementedYet));
  // What is done to the drawing (what it says then), the forms it refuses.
  const std::tuple<const char*, std::function<std::string()>, Files> cases[] = {
      {"an object its class cannot file", [&] {
         const AcDbObjectId id = addToDictionary(L"CLIENT", new Unwritable);
         return "the KOVA_UNWRITABLE " + hex(id) + " (KovaUnwritable) cannot be written (" + status + ") and would be lost";
       }, {"kept.dxf", "kept.kvdwg"}},
      {"a header value its group cannot take", [] {
         kvhost::setSysVar(L"INSUNITS", L"inches");
         return std::string("the header variable $INSUNITS cannot be written as \"inches\" (its group 70 holds a number) "
                            "and would be lost");
       }, {"kept.dxf"}},
      {"a layer's lineweight in a release before 13", [&] {
         writeFile(path("kept.dxf"), layerFile(false));
         kvhost::closeDocument(doc);
         doc = reopen(path("kept.dxf"));
         kvhost::activateDocument(doc);
         kvhost::modifyObject(doc->database()->getObjectId(0x12),
                              [](AcDbObject* o) { AcDbLayerTableRecord::cast(o)->setLineWeight(13); });
         return std::string("the LAYER 12 has a lineweight, which a file of release AC1009 cannot hold, and would be lost");
       }, {"kept.dxf"}},
      {"the named object dictionary erased", [&] {  // by a client
         kvhost::eraseObject(doc->database()->namedObjectsDictionaryId());
         return std::string("the named object dictionary is erased, and a file without it could not be opened again");
       }, {"kept.dxf", "kept.kvdwg"}},
      {"a header variable DXF cannot name", [] {
         kvhost::setSysVar(L"MY VAR", L"1");
         return std::string("the header variable $MY VAR has a name a DXF file cannot hold and would be lost");
       }, {"kept.dxf"}},
  };
  for (const auto& [what, change, refused] : cases) {
    SCOPED_TRACE(what);
    TearDown();
    SetUp();
    fill();
    for (const char* name : {"kept.dxf", "kept.kvdwg"}) ASSERT_EQ(kvhost::saveDocument(doc, path(name)), Acad::eOk);
    const std::string said = change();
    for (const char* name : {"kept.dxf", "kept.kvdwg"}) {
      const bool refuses = std::count(refused.begin(), refused.end(), name) == 1;
      const std::string before = readFile(path(name));
      EXPECT_EQ(kvhost::saveDocument(doc, path(name)) != Acad::eOk, refuses) << name << narrow(kvhost::lastSaveError());
      EXPECT_EQ(narrow(kvhost::lastSaveError()), refuses ? said : "") << name;
      EXPECT_TRUE(!refuses || readFile(path(name)) == before) << name;
    }
  }
  // A save that fails before it reaches the drawing does not give the last one's reason.
  ASSERT_NE(kvhost::saveDocument(doc, path("kept.dxf")), Acad::eOk);  // the variable DXF cannot name
  EXPECT_EQ(kvhost::saveDocument(doc, L""), Acad::eInvalidInput);
  EXPECT_EQ(kvhost::lastSaveError(), L"");
}

// Hears what the hub forwards of a drawing's entities (of the host's
// entity proxy class): each modified or erased.
class Heard : public KOVADatabaseReactorBase {
 public:
  void objectModified(const AcDbDatabase*, const AcDbObject* o) override { heard(L"modified", o); }
  void objectErased(const AcDbDatabase*, const AcDbObject* o, Adesk::Boolean erased) override {
    heard(erased ? L"erased" : L"unerased", o);
  }
  void heard(const wchar_t* what, const AcDbObject* o) {
    if (AcDbProxyEntity::cast(o)) lines.push_back(what);
  }
  std::vector<std::wstring> lines;
};

// An entity of a type the host does not model, read from another program's
// file, takes part in every operation as an entity; the file's groups of it
// that the host does not model are saved as they were.
TEST_F(DrawingFiles, AnUnmodelledEntityTakesPartAsEveryEntityDoes) {
  const std::string arc =
      "  0\nSECTION\n  2\nHEADER\n  9\n$ACADVER\n  1\nAC1015\n  9\n$HANDSEED\n  5\n30\n  0\nENDSEC\n"
      "  0\nSECTION\n  2\nTABLES\n  0\nENDSEC\n  0\nSECTION\n  2\nENTITIES\n  0\nARC\n  5\n20\n100\nAcDbEntity\n"
      "  8\n0\n 62\n3\n370\n25\n100\nAcDbCircle\n 10\n1\n 20\n2\n 30\n0\n 40\n5\n100\nAcDbArc\n 50\n10\n 51\n80\n"
      "1001\nACAD\n1000\n\xC4\xD6\n"  // a text of the file's code page (Windows-1252) only
      "  0\nENDSEC\n  0\nEOF\n";
  auto erase = [](bool on) { return [on](AcDbObjectId id) { kvhost::eraseObject(id, on); }; };
  auto color = [](int c) { return [c](AcDbObjectId id) { setColor(id, static_cast<Adesk::UInt16>(c)); }; };
  auto layer = [](AcDbObjectId id) {
    kvhost::modifyObject(id, [](AcDbObject* o) { AcDbEntity::cast(o)->setLayer(L"walls"); });
  };
  auto inCommand = [](std::function<void(AcDbObjectId)> f, bool rollBack = false) {
    return [f, rollBack](AcDbObjectId id) {
      kvhost::runCommand(L"WORK", [&] {
        f(id);
        if (rollBack) g_ReactorManager.setPostUndoOnCommandFinish(true);
      });
      kvhost::runPendingCommands();
    };
  };
  // What is done, the entity then (colour, layer, erased), after _UNDO 1, what clients heard.
  const std::tuple<const char*, std::function<void(AcDbObjectId)>, const char*, const char*, const wchar_t*> cases[] = {
      {"recoloured outside a command", color(5), "5 0 live", "3 0 live", L"modified"},
      {"put on a layer in a command", inCommand(layer), "3 walls live", "3 0 live", L"modified"},
      {"erased outside a command", erase(true), "3 0 erased", "3 0 live", L"erased,modified"},
      {"erased in a command", inCommand(erase(true)), "3 0 erased", "3 0 live", L"erased,modified"},
      {"erased, then unerased in a command",
       [&](AcDbObjectId id) { erase(true)(id), inCommand(erase(false))(id); }, "3 0 live", "3 0 erased",
       L"erased,modified,unerased,modified"},
      // Undone, the entity is as it was before the command: modified (by its restored state), then unerased.
      {"erased in a command the hub rolls back", inCommand(erase(true), true), "3 0 live", "3 0 live",
       L"erased,modified,modified,unerased"},
  };
  auto state = [](AcDbObjectId id) {
    AcDbEntityPointer e(id, AcDb::kForRead, true);
    return !e ? std::string("none")
              : std::to_string(e->colorIndex()) + " " + narrow(e->layer()) + (id.isErased() ? " erased" : " live");
  };
  for (const auto& [what, action, after, undone, heard] : cases) {
    SCOPED_TRACE(what);
    writeFile(path("arc.dxf"), arc);
    AcApDocument* drawing = reopen(path("arc.dxf"));
    ASSERT_NE(drawing, nullptr);
    kvhost::activateDocument(drawing);
    const AcDbObjectId id = drawing->database()->getObjectId(0x20);
    ASSERT_EQ(kvhost::entities(drawing).length(), 1);
    kvhost::setPickfirst(kvhost::entities(drawing));
    EXPECT_EQ(kvhost::pickfirst().length(), 1);
    Heard client;
    action(id);
    EXPECT_EQ(state(id), after);
    std::wstring lines;
    for (const std::wstring& line : client.lines) lines += (lines.empty() ? L"" : L",") + line;
    EXPECT_EQ(lines, heard);
    // Saved now, the record keeps what the host does not model, with what it does as it is.
    ASSERT_EQ(kvhost::saveDocument(drawing, path("arc-saved.dxf")), Acad::eOk);
    const std::string saved = readFile(path("arc-saved.dxf"));
    EXPECT_EQ(saved.find("  0\nARC\n") != std::string::npos, state(id).find("erased") == std::string::npos);
    if (state(id) == "5 0 live") {
      EXPECT_NE(saved.find("  8\n0\n 62\n5\n370\n25\n100\nAcDbCircle\n 10\n1\n 20\n2\n 30\n0\n 40\n5\n100\nAcDbArc\n"),
                std::string::npos);
      EXPECT_NE(saved.find("1001\nACAD\n1000\n\xC4\xD6\n"), std::string::npos);
    }
    kvhost::executeString(L"_UNDO 1");
    EXPECT_EQ(state(id), undone);
    kvhost::closeDocument(drawing);
  }
}

// What a proxy keeps is told by its class name's tag and the record's magic,
// whatever the class is called: taken for the other form, the proxy would be
// saved without what it holds.
TEST(ProxyRecords, DxfGroupsAreToldFromADwgRecord) {
  kvhost::DxfProxyRecord nameless, back;
  const std::unique_ptr<AcDbProxyObject::Record> groups(kvhost::makeDxfProxyRecord(nameless));
  EXPECT_TRUE(kvhost::readDxfProxyRecord(*groups, back));
  EXPECT_FALSE(kvhost::readDxfProxyRecord({L"Shelf|dxf", {1, 2, 3}}, back));  // a DWG record of a class so named
  EXPECT_FALSE(kvhost::readDxfProxyRecord({L"dxf", groups->bytes}, back));
}

Files cutShort(const std::string& good, size_t step) {
  Files cuts;
  for (size_t n = 0; n + 1 < good.size(); n += step) cuts.push_back(good.substr(0, n));
  return cuts;
}
// A drawing whose only object, its dictionary, has an empty record.
std::string emptyRecord(const std::string& good) {
  kvhost::DwgMemoryFiler out(AcDb::kFileFiler, nullptr);
  out.writeBytes(good.data(), 10);  // the header and version of a good file
  out.writeUInt64(2);
  out.writeUInt32(0);
  out.writeUInt64(1);
  out.writeUInt32(1);
  out.writeUInt64(1);
  out.writeString(L"AcDbDictionary");
  out.writeUInt32(0);
  return std::string(out.bytes().begin(), out.bytes().end());
}

// The drawing with its marker's record cut before the counter, its length made to agree.
std::string markerCutShort(std::string dwg) {
  const size_t at = dwg.find("KOVAUndoObject") + 14;
  EXPECT_EQ(dwg[at], 14);
  dwg[at] = 10;
  return dwg.erase(at + 4 + 10, 4);
}

TEST_F(DrawingFiles, BadFilesOfBothFormsAreRefusedAndLeaveNothingBehind) {
  fill();
  for (const char* name : {"good.kvdwg", "good.dxf"}) ASSERT_EQ(kvhost::saveDocument(doc, path(name)), Acad::eOk);
  const std::string dwg = readFile(path("good.kvdwg")), dxf = readFile(path("good.dxf"));
  const std::string earlier = readFile(L"" KOVA_EARLIER_DXF).substr(1);  // written before files had a frame
  std::string longText = dwg;
  longText[longText.find("Grüße") - 1] = 0x7f;  // the text's length, far beyond its record
  for (const char* folder : {"/folder.kvdwg", "/folder.dxf"}) ASSERT_TRUE(std::filesystem::create_directory(dir + folder));
  // The file's extension, the files, the answers allowed (none listed: any failure).
  const std::tuple<const char*, const char*, Files, std::vector<Acad::ErrorStatus>> cases[] = {
      {"cut short", "kvdwg", cutShort(dwg, 1), {Acad::eBadDwgHeader, Acad::eDwgNeedsRecovery}},
      {"not a drawing", "kvdwg", {"", "hello, world\n", dxf}, {Acad::eBadDwgHeader}},
      {"the header over other bytes", "kvdwg", {dwg.substr(0, 10) + std::string(40, '\xff'), dwg.substr(0, 10) + dxf}, {}},
      {"a version from the future", "kvdwg", {dwg.substr(0, 8) + '\x09' + dwg.substr(9)}, {Acad::eInvalidFileVersion}},
      // The lengths around a record are right, what is inside it is not.
      {"a text length beyond its record", "kvdwg", {longText}, {Acad::eDwgNeedsRecovery}},
      {"an empty record", "kvdwg", {emptyRecord(dwg)}, {Acad::eDwgNeedsRecovery}},
      {"a record its class reads short without saying so", "kvdwg", {markerCutShort(dwg)}, {Acad::eDwgNeedsRecovery}},
      {"not a drawing", "dxf",
       {"", "hello, world\n", std::string("AutoCAD Binary DXF\r\n\x1a\0", 22), "  0\nLINE\n  0\nEOF\n", dwg}, {Acad::eBadDwgHeader}},
      {"cut short", "dxf", cutShort(dxf, 7), {}},
      {"without its EOF", "dxf", {dxf.substr(0, dxf.rfind("  0\nEOF")), earlier.substr(0, earlier.rfind("  0\nEOF"))}, {}},
      // Groups of every kind of number, at the ends of their ranges.
      {"not a number", "dxf",
       {replaced(dxf, "\n 40\n2.5\n", "\n 40\nwide\n"), replaced(dxf, "\n 40\n2.5\n", "\n 40\n2.5\n 79\nwide\n"),
        replaced(dxf, "\n 40\n2.5\n", "\n 40\n2.5\n400\nwide\n"),
        replaced(dxf, "\n 40\n2.5\n", "\n 40\n2.5\n460\nwide\n"), replaced(dxf, "\n 10\n1\n 20\n2\n", "\n 10\n1\n 20\nwide\n")},
       {}},
      {"the marker's counter group missing", "dxf", {replaced(dxf, "\n 90\n2\n", "\n 70\n2\n")}, {}},
      {"a damaged marker where its class is not listed", "dxf",
       {replaced(unlisted(dxf), "100\nKOVA_UNDO_OBJECT\n 70\n", "100\nKOVA_UNDO_OBJECT\n 69\n")}, {Acad::eInvalidDxfCode}},
      // A save would write the entries in the places of the groups of their codes, where these stand.
      {"a dictionary entry without its key or its handle", "dxf",
       {replaced(dxf, "  3\nKOVA_UNDO_DICTIONARY\n", "  2\nKOVA_UNDO_DICTIONARY\n"),
        replaced(dxf, "  3\nKOVA_UNDO_OBJECT\n", "  3\nKOVA_UNDO_OBJECT\n350\n1\n  3\nKOVA_UNDO_OBJECT\n"),
        replaced(dxf, "  3\nKOVA_UNDO_OBJECT\n350\n", "  3\nKOVA_UNDO_OBJECT\n350\nX"),
        std::string(dxf).insert(dxf.find("  0\n", dxf.find("OBJECTS\n  0\nDICTIONARY\n") + 12), "  3\nNO ENTRY\n")},
       {Acad::eInvalidDxfCode}},
      {"the structure broken", "dxf", {replaced(dxf, "ENTITIES", "ENTITIES\n  0\nENDSEC")}, {}},
      {"a handle twice", "dxf", {replaced(dxf, "CIRCLE\n  5\n" + hex(circleId), "CIRCLE\n  5\n" + hex(lineId))}, {}},
      // A type name cut short there would read as another type.
      {"a NUL inside a line", "dxf", {replaced(dxf, "CIRCLE\n", {"CIRCLE\0x\n", 9})}, {}},
      {"the header after the records", "dxf",
       {replaced(dxf, "  0\nEOF", dxf.substr(dxf.find("  0\nSECTION"), dxf.find("  0\nENDSEC") + 11) + "  0\nEOF")}, {}},
      {"more after its EOF", "dxf", {dxf + "  0\nLINE\n"}, {Acad::eDwgNeedsRecovery}},
      // A variable whose name a save that builds the tables could not write back.
      {"a header variable DXF cannot name, in a file without tables", "dxf",
       {replaced(dxf, "$INSUNITS\n", "$MY UNITS\n")}, {Acad::eDwgNeedsRecovery}},
  };
  for (const auto& [what, form, files, answers] : cases) {
    SCOPED_TRACE(std::string(form) + ": " + what);
    for (size_t i = 0; i < files.size(); ++i) {
      writeFile(path(std::string("bad.") + form), files[i]);
      Acad::ErrorStatus es = Acad::eOk;
      EXPECT_EQ(kvhost::openDocument(path(std::string("bad.") + form), &es), nullptr) << "file " << i;
      EXPECT_TRUE(answers.empty() ? es != Acad::eOk : std::count(answers.begin(), answers.end(), es) == 1)
          << "file " << i << ": " << es;
    }
  }
  for (const char* name : {"missing.kvdwg", "missing.dxf", "folder.kvdwg", "folder.dxf"}) {
    Acad::ErrorStatus es = Acad::eOk;
    EXPECT_EQ(kvhost::openDocument(path(name), &es), nullptr);
    EXPECT_EQ(es, Acad::eFileNotFound) << name;
  }
  EXPECT_EQ(kvhost::documents().size(), 1u);
}

// ---- Saves ----

// Where a save goes: the file, or a name that stands for it.
enum class Name { kFile, kLink, kRelativeLinks };

TEST_F(DrawingFiles, ASaveReplacesTheFileWithAWholeNewOneOrLeavesItAsItWas) {
  using namespace systemfiles;
  if (!kModesOwnersLinksAndLimits) GTEST_SKIP() << "file modes, owners, links and size limits are Linux's";
  // The file (its form by its extension), the name saved to, the file's mode,
  // whether another open drawing was read from the file.
  const std::tuple<const char*, Name, unsigned, bool> cases[] = {
      {"plain.kvdwg", Name::kFile, 0644, false}, {"private.dxf", Name::kFile, 0600, false},
      {"linked.dxf", Name::kLink, 0640, false},  {"chained.kvdwg", Name::kRelativeLinks, 0600, false},
      {"held.dxf", Name::kFile, 0644, true},     {"heldlinked.kvdwg", Name::kLink, 0644, true}};
  const bool root = runningAsRoot();  // only root may give a file away
  for (const auto& [base, how, mode, openElsewhere] : cases) {
    SCOPED_TRACE(base);
    TearDown();
    SetUp();
    fill();
    const std::string file = dir + "/" + base, link = dir + "/link-" + base, middle = std::string("middle-") + base;
    ASSERT_EQ(kvhost::saveDocument(doc, widen(file)), Acad::eOk);
    ASSERT_TRUE(setMode(file, mode));
    ASSERT_TRUE(!root || giveTo(file, 4321));
    ASSERT_TRUE(how != Name::kRelativeLinks || makeLink(base, dir + "/" + middle));
    ASSERT_TRUE(how == Name::kFile || makeLink(how == Name::kLink ? file : middle, link));
    const std::string name = how == Name::kFile ? file : link, old = readFile(file);
    ASSERT_TRUE(!openElsewhere || kvhost::openDocument(widen(file)) != nullptr);
    kvhost::activateDocument(doc);
    ASSERT_EQ(kvhost::modifyObject(lineId, [](AcDbObject* o) { AcDbEntity::cast(o)->setColorIndex(5); }), Acad::eOk);
    ASSERT_EQ(kvhost::eraseObject(circleId), Acad::eOk);
    ASSERT_EQ(kvhost::eraseObject(circleId, false), Acad::eOk);
    {
      FileSizeLimit limit(64);
      EXPECT_NE(kvhost::saveDocument(doc, widen(name)), Acad::eOk);
    }
    EXPECT_EQ(readFile(file), old);
    EXPECT_EQ(doc->dbmod(), 3);  // still unsaved: three changes
    EXPECT_EQ(kvhost::saveDocument(doc, widen(name)), openElsewhere ? Acad::eFileSharingViolation : Acad::eOk);
    EXPECT_EQ(isLink(name), how != Name::kFile);
    EXPECT_EQ(modeOf(file), mode);
    EXPECT_TRUE(!root || ownerOf(file) == 4321u);
    AcApDocument* back = openElsewhere ? nullptr : reopen(widen(file));
    EXPECT_TRUE(openElsewhere ? readFile(file) == old : back && record(kvhost::entities(back)[0]) == record(lineId));
    // Nothing is left beside the file.
    for (const auto& left : std::filesystem::directory_iterator(dir)) {
      const std::string n = left.path().filename().string();
      EXPECT_TRUE(n == base || n == "link-" + std::string(base) || n == middle) << n;
    }
  }
}

// A save that cannot write says why; a long name saves; what a killed save
// left beside the file goes with the next save, and only that.
TEST_F(DrawingFiles, ASaveNamesWhyItFailedAndCleansUpAfterAKilledOne) {
  fill();
  const std::string locked = dir + "/locked", longName = std::string(250, 'n') + ".dxf";
  ASSERT_TRUE(systemfiles::makeFolder(locked, 0500));
  // Root writes into any folder; without modes the folder is not locked.
  const bool locks = systemfiles::kModesOwnersLinksAndLimits && !systemfiles::runningAsRoot();
  std::vector<std::pair<std::string, const char*>> failures = {
      {dir + "/missing/plan.dxf", "the folder does not exist"}, {locked + "/plan.dxf", locks ? "permission denied" : ""}};
  if (*systemfiles::kFolderOfNoNewFiles)
    failures.push_back({std::string(systemfiles::kFolderOfNoNewFiles) + "/plan.dxf", "the folder takes no new files"});
  for (const auto& [name, why] : failures) {
    EXPECT_EQ(kvhost::saveDocument(doc, widen(name)), *why ? Acad::eFileAccessErr : Acad::eOk) << name;
    EXPECT_EQ(narrow(kvhost::lastSaveError()), why);
  }
  const std::string killed = dir + "/plan.kvdwg.kvsave999999999.1",
                    running = dir + "/plan.kvdwg.kvsave" + std::to_string(getpid()) + ".1";  // this process runs
  for (const std::string& left : {killed, running}) std::ofstream(left) << "half";
  // Where a path may not be as long as the name and its temporary one beside it need, the name is not tried.
  const bool longFits = dir.size() + longName.size() + 40 < systemfiles::kMaxPathBytes;
  ASSERT_TRUE(!longFits || kvhost::saveDocument(doc, path(longName)) == Acad::eOk);
  // The same through a link to a long name that is no UTF-8 at all, as a link's may be.
  const bool rawLink = longFits && systemfiles::kModesOwnersLinksAndLimits;
  ASSERT_TRUE(!rawLink || systemfiles::makeLink(std::string(250, '\x80') + ".dxf", dir + "/raw.dxf"));
  EXPECT_TRUE(!rawLink || kvhost::saveDocument(doc, path("raw.dxf")) == Acad::eOk);
  // A chain of as many links as the system follows (40) saves; one more is refused as a loop.
  for (int i = 1; rawLink && i <= 41; ++i)
    ASSERT_TRUE(systemfiles::makeLink(i == 1 ? longName : "chain" + std::to_string(i - 1) + ".dxf",
                                      dir + "/chain" + std::to_string(i) + ".dxf"));
  EXPECT_TRUE(!rawLink || kvhost::saveDocument(doc, path("chain40.dxf")) == Acad::eOk);
  EXPECT_TRUE(!rawLink || kvhost::saveDocument(doc, path("chain41.dxf")) == Acad::eFileAccessErr);
  ASSERT_EQ(kvhost::saveDocument(doc, path("plan.kvdwg")), Acad::eOk);
  EXPECT_EQ(kvhost::lastSaveError(), L"");
  EXPECT_FALSE(std::filesystem::exists(killed));
  EXPECT_TRUE(std::filesystem::exists(running));
  EXPECT_TRUE(!longFits || reopen(path(longName)) != nullptr);
}

// A save without a name goes to the drawing's own file; a drawing that has
// none yet is saved to no file whose name merely matches its own.
TEST_F(DrawingFiles, ASaveWithoutANameGoesOnlyToTheDrawingsOwnFile) {
  fill();
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  writeFile(L"plan", "someone else's file");
  for (const wchar_t* line : {L"QSAVE", L"_SAVE", L"SAVEAS"})
    EXPECT_EQ(kvhost::executeString(line), kvhost::CommandOutcome::kFailed) << narrow(line);
  EXPECT_EQ(readFile(L"plan"), "someone else's file");
  EXPECT_EQ(kvhost::executeString(L"SAVEAS " + path("named.dxf")), kvhost::CommandOutcome::kEnded);
  ASSERT_EQ(kvhost::modifyObject(lineId, [](AcDbObject* o) { AcDbEntity::cast(o)->setColorIndex(6); }), Acad::eOk);
  EXPECT_EQ(kvhost::executeString(L"QSAVE"), kvhost::CommandOutcome::kEnded);
  AcApDocument* back = reopen(path("named.dxf"));
  EXPECT_TRUE(back && record(kvhost::entities(back)[0]) == record(lineId));
  std::filesystem::current_path(before);
}

// ---- The independent reader ----

// Runs a program in dir; what it said, its output and error output together.
int run(const std::string& program, const std::vector<std::string>& arguments, const std::string& dir,
        std::string& output) {
  const std::wstring out = tempPath(L"said.out"), err = tempPath(L"said.err");
  const int status = programs::run(std::filesystem::absolute(program).string(), arguments, dir, narrow(out), narrow(err));
  output = readFile(out) + readFile(err);
  removeFile(out), removeFile(err);
  return status;
}

std::string readDxf(std::vector<std::string> arguments, std::string& out) {
  const std::string here = std::filesystem::temp_directory_path().string();
  if (run(KOVA_PYTHON, {"-c", "import ezdxf, matplotlib"}, here, out) != 0)
    return "no ezdxf or matplotlib (Debian python3-ezdxf, python3-matplotlib): " + out;
  arguments.insert(arguments.begin(), KOVA_READ_DXF_SCRIPT);
  return run(KOVA_PYTHON, arguments, here, out) == 0 ? "" : "ezdxf: " + out;
}
#define READ_DXF(arguments, out)                                          \
  if (std::string why = readDxf(arguments, out); why.rfind("no ", 0) == 0) \
    GTEST_SKIP() << why;                                                  \
  else                                                                    \
    ASSERT_EQ(why, "")

// Wine cannot capture a Linux program's output, so the Windows build has no
// reader: its tests leave the drawings they saved in the folder
// KOVA_WINDOWS_DRAWINGS names, and the Linux build's tests read them there
// too. The drawings for the reader of a file this run saved as name: this
// run's and the one the Windows build left; none on Windows.
Files forTheReader(const std::string& file, const std::string& name) {
  const char* windows = std::getenv("KOVA_WINDOWS_DRAWINGS");
  const std::string left = windows && *windows ? std::string(windows) + "/" + name : "";
  if (*KOVA_PYTHON == '\0') {
    if (!left.empty()) {
      std::filesystem::create_directories(windows);
      std::filesystem::copy_file(file, left, std::filesystem::copy_options::overwrite_existing);
    }
    return {};
  }
  if (left.empty()) return {file};
  EXPECT_TRUE(std::filesystem::exists(left)) << "the Windows build left no " << left;
  return {file, left};
}
#define SKIP_WITHOUT_READER(files)                                                           \
  if (files.empty())                                                                         \
  GTEST_SKIP() << "the reader runs on the Linux side; with KOVA_WINDOWS_DRAWINGS set, these " \
                  "drawings are left there for it"

TEST_F(DrawingFiles, EzdxfReadsTheSavedDrawingAsItIsAndShowsIt) {
  fill();
  const std::string file = narrow(path("ezdxf.dxf"));
  ASSERT_EQ(kvhost::saveDocument(doc, widen(file)), Acad::eOk);
  const Files reads = forTheReader(file, "ezdxf.dxf");
  SKIP_WITHOUT_READER(reads);
  std::string out;
  for (const std::string& read : reads) {
    SCOPED_TRACE(read);
    READ_DXF({read}, out);
    EXPECT_EQ(out, "version AC1024\n"
                   "entity LINE handle=" + hex(lineId) + " layer=walls color=1 start=(1,2,0) end=(3.25,-4,0.5)\n"
                   "entity CIRCLE handle=" + hex(circleId) + " layer=0 color=256 center=(5,5,0) radius=2.5\n"
                   "entity TEXT handle=" + hex(textId) + " layer=0 color=256 insert=(0,10,0) text=Grüße x^2\n"
                   "layer 0 color=7\nlayer Defpoints color=7 unplotted\nlayer walls color=7\n"
                   "layout Model plotter=none_device\nlayout Layout1 plotter=none_device\n"
                   "dictionary KOVA_UNDO_DICTIONARY: KOVA_UNDO_OBJECT\n"
                   "marker KOVA_UNDO_OBJECT version=1 counter=2\n");
    // Drawn where the line, the circle and the text are, and nowhere else.
    READ_DXF(Files({"--picture", read, file + ".png", "-2", "-6", "10", "14", "2.125,-1", "5,7.5", "2.5,5", "0.4,11", "5,5",
                    "8,-4"}), out);
    EXPECT_EQ(out, "2.125,-1 drawn\n5,7.5 drawn\n2.5,5 drawn\n0.4,11 drawn\n5,5 background\n8,-4 background\n");
  }
}

// Every example script, with each of its drawings saved as DXF before it is
// closed or the script ends: a strict reader repairs and adds nothing.
TEST(ExampleDrawings, NeedNoRepairInAnotherReader) {
  const ScratchFolder scratch("dxf_examples");
  const std::string& dir = scratch.path();
  Files saved, files{"--audit"};
  std::string out;
  for (const auto& example : std::filesystem::directory_iterator(KOVA_EXAMPLES_DIR)) {
    const std::string name = example.path().filename().string();
    if (example.path().extension() != ".kvs") continue;
    SCOPED_TRACE(name);
    std::ifstream in(example.path());
    std::ofstream script(dir + "/" + name);
    std::vector<std::string> open;
    int drawings = 0;  // named in the script's order, whatever the order of the folder's listing
    auto save = [&](const std::string& drawing) {
      saved.push_back(name + "." + std::to_string(drawings++) + ".dxf");
      script << "save " << drawing << " " << dir << "/" << saved.back() << "\n";  // scripts may change folder
    };
    for (std::string line; std::getline(in, line); script << line << "\n") {
      std::string op, drawing;
      std::istringstream(line) >> op >> drawing;
      if (op == "new" || op == "open") open.push_back(drawing);
      if (op == "close") save(drawing), open.erase(std::find(open.begin(), open.end(), drawing));
    }
    for (const std::string& drawing : open) save(drawing);
    script.close();
    ASSERT_EQ(run(KOVAHOST_PROGRAM, {name}, dir, out), 0) << out;
  }
  for (const std::string& file : saved)
    for (const std::string& read : forTheReader(dir + "/" + file, file)) files.push_back(read);
  SKIP_WITHOUT_READER(Files(files.begin() + 1, files.end()));
  READ_DXF(files, out);
  std::istringstream lines(out);
  int checked = 0;
  for (std::string line; std::getline(lines, line); ++checked)
    EXPECT_NE(line.find(": 0 errors, 0 fixes, created [], header added []"), std::string::npos) << line;
  EXPECT_GE(checked, 7);
}

}  // namespace

// Binary DXF reads as the ASCII DXF of the same drawing, in a release
// without markers and one with them; ezdxf writes both forms at test time.
TEST_F(DrawingFiles, BinaryDxfOpensAsItsAsciiForm) {
  std::string out;
  if (*KOVA_PYTHON == '\0') GTEST_SKIP() << "ezdxf writes the drawings on the Linux side";
  const std::string here = std::filesystem::temp_directory_path().string();
  if (run(KOVA_PYTHON, {"-c", "import ezdxf"}, here, out) != 0) GTEST_SKIP() << "no ezdxf (Debian python3-ezdxf): " << out;
  for (const char* release : {"R12", "R2010"}) {
    SCOPED_TRACE(release);
    const std::string ascii = narrow(path(std::string(release) + ".dxf")), binary = narrow(path(std::string(release) + "-binary.dxf"));
    const std::string script =
        "import ezdxf, sys\n"
        "d = ezdxf.new(sys.argv[1]); d.layers.add('walls', color=2); m = d.modelspace()\n"
        "m.add_line((1, 2.5), (3, -4e-7, 0.1), dxfattribs={'layer': 'walls', 'color': 3})\n"
        "m.add_circle((5, 5), 1 / 3); m.add_text('Grüße', dxfattribs={'insert': (0, 10)}); m.add_arc((0, 0), 2, 10, 80)\n"
        "for i in range(2000): m.add_line((i, 0), (i, 1))  # read in several pieces\n"
        "d.saveas(sys.argv[2]); d.saveas(sys.argv[3], fmt='bin')\n";
    writeFile(path("write.py"), script);
    ASSERT_EQ(run(KOVA_PYTHON, {narrow(path("write.py")), release, ascii, binary}, here, out), 0) << out;
    AcApDocument* fromAscii = reopen(widen(ascii));
    AcApDocument* fromBinary = reopen(widen(binary));
    ASSERT_NE(fromAscii, nullptr);
    ASSERT_NE(fromBinary, nullptr);
    const AcDbObjectIdArray a = kvhost::entities(fromAscii), b = kvhost::entities(fromBinary);
    ASSERT_EQ(a.length(), 2004);
    ASSERT_EQ(b.length(), a.length());
    for (int i = 0; i < a.length(); ++i) EXPECT_EQ(record(b[i]), record(a[i])) << i;
    EXPECT_EQ(fromBinary->database()->objectIds().length(), fromAscii->database()->objectIds().length());
    // Saved as DXF, the binary drawing is its ASCII form's.
    const std::wstring saved = path(std::string(release) + "-saved.dxf");
    ASSERT_EQ(kvhost::saveDocument(fromBinary, saved), Acad::eOk);
    AcApDocument* again = reopen(saved);
    ASSERT_NE(again, nullptr);
    const AcDbObjectIdArray c = kvhost::entities(again);
    ASSERT_EQ(c.length(), a.length());
    for (int i = 0; i < a.length(); ++i) EXPECT_EQ(record(c[i]), record(a[i])) << i;
  }
}
