// The reactor manager's registries, the dispatchers it keeps for them and
// the registration of the client bases.
#include <gtest/gtest.h>
#include <climits>
#include <memory>
#include <recorders.h>

namespace {

using namespace rec;

template <class R>
class Registry : public ::testing::Test {
 protected:
  R r[6];
  void TearDown() override {
    for (R& each : r) hubRemove(&each);
  }
};
using Kinds = ::testing::Types<AcEditorReactor, AcDbDatabaseReactor, AcApDocManagerReactor>;
TYPED_TEST_SUITE(Registry, Kinds);

const int kRemove = INT_MIN;
const int kNull = -1;  // the reactor of a step that passes none
struct Step {
  int reactor, priority;  // priority kRemove: removed instead
  std::vector<int> listed;
};

TYPED_TEST(Registry, ListsByAscendingPriorityThenRegistration) {
  const Step steps[] = {
      {0, 0, {0}}, {1, -1, {1, 0}}, {2, 0, {1, 0, 2}}, {3, 7, {1, 0, 2, 3}}, {4, 3, {1, 0, 2, 4, 3}},
      {5, -5, {5, 1, 0, 2, 4, 3}},
      // Registering again moves a reactor behind the others of its priority.
      {0, 3, {5, 1, 2, 4, 0, 3}}, {0, 0, {5, 1, 2, 0, 4, 3}}, {2, 0, {5, 1, 0, 2, 4, 3}},
      // Removed: the last of a priority, one of several, one never there, twice; none passed.
      {4, kRemove, {5, 1, 0, 2, 3}}, {0, kRemove, {5, 1, 2, 3}}, {0, kRemove, {5, 1, 2, 3}},
      {kNull, kRemove, {5, 1, 2, 3}}, {kNull, 5, {5, 1, 2, 3}},
      // A priority whose last reactor left comes back anew.
      {4, 3, {5, 1, 2, 4, 3}}, {1, 3, {5, 2, 4, 1, 3}}, {0, -1, {5, 0, 2, 4, 1, 3}},
  };
  TypeParam* r = this->r;
  for (const Step& step : steps) {
    SCOPED_TRACE(::testing::Message() << "reactor " << step.reactor << " priority " << step.priority);
    TypeParam* reactor = step.reactor == kNull ? nullptr : &r[step.reactor];
    if (step.priority == kRemove)
      hubRemove(reactor);
    else
      hubAdd(reactor, step.priority);
    AcArray<TypeParam*> out;
    out.append(&r[3]);  // the listing replaces what the array held
    hubList(out);
    std::vector<int> at;
    for (TypeParam* p : out) at.push_back(static_cast<int>(p - r));
    EXPECT_EQ(at, step.listed);
  }
}

// The database and editor dispatchers come and go with their clients; the
// document dispatcher lives with the module.
TEST(Dispatchers, TheDocumentDispatcherStaysWhenItsLastClientLeaves) {
  const auto* dispatcher = g_ReactorManager.docReactorDispatcher();
  delete new PlainDoc("client");
  EXPECT_EQ(g_ReactorManager.docReactorDispatcher(), dispatcher);
  EXPECT_EQ(kvhost::attachedReactors().documentManager, 1);
}

std::vector<AcDbDatabaseReactor*> dbList() {
  AcArray<AcDbDatabaseReactor*> out;
  hubList(out);
  return {out.begin(), out.end()};
}

TEST(ClientBases, RegisterAtMinusOneInConstructionOrderForTheirWholeLife) {
  PlainDb plain("plain", 0);
  auto first = std::make_unique<BaseDb>("first");
  BaseDb second("second");
  EXPECT_EQ(dbList(), (std::vector<AcDbDatabaseReactor*>{first.get(), &second, &plain}));
  second.registerAt(5);
  first.reset();
  EXPECT_EQ(dbList(), (std::vector<AcDbDatabaseReactor*>{&plain, &second}));

  // Copies are not registered and leave the original registered.
  KOVADatabaseReactorBase db;
  KOVADocReactorBase doc;
  {
    KOVADatabaseReactorBase dbCopy(db), dbOther;
    KOVADocReactorBase docCopy(doc);
    dbOther = db;
    docCopy = doc;
    EXPECT_EQ(dbList(), (std::vector<AcDbDatabaseReactor*>{&db, &dbOther, &plain, &second}));
  }
  EXPECT_EQ(dbList(), (std::vector<AcDbDatabaseReactor*>{&db, &plain, &second}));
  AcArray<AcApDocManagerReactor*> docs;
  hubList(docs);
  EXPECT_EQ(std::vector<AcApDocManagerReactor*>(docs.begin(), docs.end()), std::vector<AcApDocManagerReactor*>{&doc});
}

}  // namespace
