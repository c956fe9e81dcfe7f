// Redraws: an entity closed with its graphics marked modified is redrawn.
#include <iterator>
#include <map>
#include "common/journal.h"
#include "database/dbinternal.h"

namespace kvhost {
namespace {

std::map<const AcDbStub*, int>& redraws() {
  static auto* counts = new std::map<const AcDbStub*, int>;
  return *counts;
}

// The display redraws what the database marks modified and forgets the
// entities of a database that goes.
class Display : public DatabaseWatcher {
 public:
  void graphicsModified(AcDbObject* entity) override {
    ++redraws()[entity->stub()];
    journalf(L"redraw %llX", static_cast<unsigned long long>(entity->objectId().handle()));
  }
  void goodbye(AcDbDatabase* db) override {
    for (auto it = redraws().begin(); it != redraws().end();)
      it = it->first->db == db ? redraws().erase(it) : std::next(it);
  }
};

// Attached as the host is loaded.
[[maybe_unused]] const bool kDisplayAttached = databaseWatchers().add(new Display);

}  // namespace

int redrawCount(AcDbObjectId id) {
  auto it = redraws().find(id.stub());
  return it == redraws().end() ? 0 : it->second;
}

}  // namespace kvhost
