// What a script statement that names a handle costs as the drawing grows:
// kovahost's 'color' finds the entity by its handle and changes it in one
// undo step. The time per statement is the same at a thousand entities and
// at a million, the hub loaded as in a session.
#include <benchmark/benchmark.h>
#include <kvhost.h>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

struct Drawing {
  AcApDocument* doc = nullptr;
  AcDbHandle first = 0;
  int entities = 0;
};

// One drawing of each size, made once and kept for every run.
Drawing& drawing(int entities) {
  static std::map<int, Drawing> made;
  Drawing& d = made[entities];
  if (d.doc) return d;
  static const bool hub = [] {
    kvhost::setClientCallWatch(false);
    return kvhost::loadModule(L"KOVANotification10.arx");
  }();
  if (!hub) {
    std::fprintf(stderr, "cannot load the hub: %ls\n", kvhost::lastModuleError().c_str());
    std::exit(1);
  }
  d.doc = kvhost::newDocument(L"bench" + std::to_wstring(entities));
  kvhost::setUndoRecording(d.doc, false);  // the drawing is built, not edited
  for (int i = 0; i < entities; ++i) {
    AcDbObjectId id = kvhost::addEntity(d.doc, new AcDbLine(AcGePoint3d(i, 0, 0), AcGePoint3d(i, 1, 0)));
    if (i == 0) d.first = id.handle();
  }
  kvhost::setUndoRecording(d.doc, true);
  kvhost::clearJournal();
  d.entities = entities;
  return d;
}

// What kovahost's 'color HANDLE N' does; out of line, so that callgrind can
// count it alone (--toggle-collect='*colorStatement*').
[[gnu::noinline]] void colorStatement(const Drawing& d, AcDbHandle handle, Adesk::UInt16 color) {
  AcDbObjectId id = kvhost::findObject(d.doc, handle);
  kvhost::modifyObject(id, [&](AcDbObject* obj) { AcDbEntity::cast(obj)->setColorIndex(color); });
}

void BM_ColorByHandle(benchmark::State& state) {
  Drawing& d = drawing(static_cast<int>(state.range(0)));
  kvhost::activateDocument(d.doc);
  AcDbHandle step = 0;
  for (auto _ : state) {
    // Handles spread over the whole drawing, as a script's statements are.
    const AcDbHandle handle = d.first + (step++ * 7919) % static_cast<AcDbHandle>(d.entities);
    colorStatement(d, handle, static_cast<Adesk::UInt16>(1 + step % 255));
  }
  kvhost::clearJournal();
}
BENCHMARK(BM_ColorByHandle)->Arg(1000)->Arg(1000000)->Iterations(20000);

}  // namespace
