// NoRed in the host: attached through the hub, a red change rolled back,
// and gone when unloaded.
#include <gtest/gtest.h>
#include <kvhost.h>

namespace {

using kvhost::CommandOutcome;
using kvhost::CommandRecord;

class NoRed : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kvhost::loadModule(L"" HUB_MODULE)) << kvhost::toUtf8(kvhost::lastModuleError());
    ASSERT_TRUE(kvhost::loadModule(L"" CLIENT_MODULE)) << kvhost::toUtf8(kvhost::lastModuleError());
    doc = kvhost::newDocument(L"plan");
    line = kvhost::addEntity(doc, new AcDbLine(AcGePoint3d(0, 0, 0), AcGePoint3d(10, 0, 0)));
  }
  void TearDown() override {
    // No call into a client threw or faulted: the hub's guard would have hidden it.
    for (const kvhost::ClientFailure& f : kvhost::clientFailures())
      ADD_FAILURE() << kvhost::toUtf8(f.module + L": " + f.clientClass + L" in " + f.notification + L": " + f.message);
    kvhost::clearClientFailures();
    kvhost::quit();
  }

  void color(Adesk::UInt16 index) {
    kvhost::modifyObject(line, [&](AcDbObject* obj) { AcDbEntity::cast(obj)->setColorIndex(index); });
  }
  // As a client changes an entity: opened for write, closed at the end of the scope.
  void restyle(const ACHAR* layer, Adesk::UInt16 index) {
    AcDbEntityPointer entity(line, AcDb::kForWrite);
    ASSERT_TRUE(entity) << "status " << entity.openStatus();
    entity->setLayer(layer);
    entity->setColorIndex(index);
  }
  Adesk::UInt16 colorNow() {
    AcDbEntityPointer entity(line, AcDb::kForRead);
    return entity->colorIndex();
  }
  std::wstring layerNow() {
    AcDbEntityPointer entity(line, AcDb::kForRead);
    return entity->layer();  // the entity's own text, copied before it closes
  }

  AcApDocument* doc = nullptr;
  AcDbObjectId line;
};

TEST_F(NoRed, RollsBackARedChangeAndKeepsAnyOther) {
  kvhost::clearCommandRecord();
  kvhost::runCommand(L"CHANGE", [&] { color(1); });
  EXPECT_EQ(colorNow(), 256);
  // The hub posted one undo step, which undid the command's group.
  const std::vector<CommandRecord>& ran = kvhost::commandRecord();
  ASSERT_EQ(ran.size(), 4u);
  EXPECT_EQ(ran[0].text, L"CHANGE");
  EXPECT_EQ(ran[0].outcome, CommandOutcome::kEnded);
  EXPECT_EQ(ran[1].kind, CommandRecord::Kind::kPosted);
  EXPECT_EQ(ran[1].text, L"_UNDO 1\n");
  EXPECT_EQ(ran[3].kind, CommandRecord::Kind::kUndoStep);
  EXPECT_EQ(ran[3].groupsUndone, 1);
  // The hub's undo marker, made by that command, went with it.
  EXPECT_EQ(kvhost::undoMarkerCounter(doc), std::nullopt);

  kvhost::runCommand(L"CHANGE", [&] { color(3); });
  EXPECT_EQ(colorNow(), 3);
  EXPECT_EQ(kvhost::undoMarkerCounter(doc), 1);

  // Layer and colour changed in one command, undone together.
  kvhost::runCommand(L"RESTYLE", [&] { restyle(L"walls", 1); });
  EXPECT_EQ(colorNow(), 3);
  EXPECT_EQ(layerNow(), L"0");
  kvhost::runCommand(L"RESTYLE", [&] { restyle(L"walls", 5); });
  EXPECT_EQ(colorNow(), 5);
  EXPECT_EQ(layerNow(), L"walls");
}

TEST_F(NoRed, AttachesThroughTheHubAndLeavesNothingWhenUnloaded) {
  // One editor and one database dispatcher of the hub, beside the document one.
  EXPECT_EQ(kvhost::attachedReactors(doc).editor, 1);
  EXPECT_EQ(kvhost::attachedReactors(doc).database, 1);
  ASSERT_TRUE(kvhost::unloadModule(L"NoRed.arx"));
  EXPECT_EQ(kvhost::attachedReactors(doc).editor, 0);
  EXPECT_EQ(kvhost::attachedReactors(doc).database, 0);
  EXPECT_FALSE(kvhost::isModuleMapped(L"NoRed.arx"));
}

}  // namespace
