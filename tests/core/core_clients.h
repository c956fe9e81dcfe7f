// Recording clients for the core tests: database and document reactors that
// note every notification they hear, built either on the hub's client bases
// or directly on the host's reactor classes, with a hook to act inside one.
#pragma once
#include <KOVANotification.h>
#include <kvhost.h>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

namespace core {

// Everything every client heard, in order: "<client> <notification>".
inline std::vector<std::string>& heard() {
  static std::vector<std::string> lines;
  return lines;
}

// The clients, in order, that heard one notification.
inline std::vector<std::string> whoHeard(const std::string& notification) {
  std::vector<std::string> who;
  for (const std::string& line : heard()) {
    size_t space = line.find(' ');
    if (line.compare(space + 1, std::string::npos, notification) == 0) who.push_back(line.substr(0, space));
  }
  return who;
}

inline AcDbDatabaseReactor* dbDispatcher() {
  return static_cast<AcDbDatabaseReactor*>(g_ReactorManager.dbReactorDispatcher());
}

// How often the database dispatcher stands among the database's reactors.
inline int attachments(const AcDbDatabase* db) {
  int n = 0;
  for (AcDbDatabaseReactor* r : db->reactors())
    if (r != nullptr && r == dbDispatcher()) ++n;
  return n;
}

template <class Base>
class Recorder : public Base {
 public:
  // Clients on the hub's bases registered themselves; the others register here.
  Recorder(std::string name, int priority) : m_name(std::move(name)) {
    if (!kOnHubBase || priority != kBasePriority) registerAt(priority);
  }
  ~Recorder() override {
    if constexpr (std::is_base_of_v<AcDbDatabaseReactor, Base>)
      g_ReactorManager.removeDbReactor(this);
    else
      g_ReactorManager.removeDocReactor(this);
  }
  void registerAt(int priority) {
    if constexpr (std::is_base_of_v<AcDbDatabaseReactor, Base>)
      g_ReactorManager.addDbReactor(this, priority);
    else
      g_ReactorManager.addDocReactor(this, priority);
  }

  static constexpr int kBasePriority = -1;
  static constexpr bool kOnHubBase =
      std::is_base_of_v<KOVADatabaseReactorBase, Base> || std::is_base_of_v<KOVADocReactorBase, Base>;
  const std::string& name() const { return m_name; }
  // Called after the notification is recorded, with its name.
  std::function<void(const std::string&)> hook;

 protected:
  void note(const char* notification) {
    heard().push_back(m_name + " " + notification);
    if (hook) hook(notification);
  }

 private:
  std::string m_name;
};

template <class Base>
class DbClient : public Recorder<Base> {
 public:
  using Recorder<Base>::Recorder;
  const AcDbDatabase* lastDb = nullptr;
  const AcDbObject* lastObject = nullptr;
  int lastFlag = -1;

  void objectAppended(const AcDbDatabase* db, const AcDbObject* o) override { got(db, o, "objectAppended"); }
  void objectUnAppended(const AcDbDatabase* db, const AcDbObject* o) override { got(db, o, "objectUnAppended"); }
  void objectReAppended(const AcDbDatabase* db, const AcDbObject* o) override { got(db, o, "objectReAppended"); }
  void objectOpenedForModify(const AcDbDatabase* db, const AcDbObject* o) override {
    got(db, o, "objectOpenedForModify");
  }
  void objectModified(const AcDbDatabase* db, const AcDbObject* o) override { got(db, o, "objectModified"); }
  void objectErased(const AcDbDatabase* db, const AcDbObject* o, Adesk::Boolean erased) override {
    lastFlag = erased;
    got(db, o, "objectErased");
  }
  void headerSysVarWillChange(const AcDbDatabase* db, const ACHAR*) override {
    got(db, nullptr, "headerSysVarWillChange");
  }
  void headerSysVarChanged(const AcDbDatabase* db, const ACHAR*, Adesk::Boolean ok) override {
    lastFlag = ok;
    got(db, nullptr, "headerSysVarChanged");
  }
  void proxyResurrectionCompleted(const AcDbDatabase* db, const ACHAR*, AcDbObjectIdArray& ids) override {
    lastFlag = ids.length();
    got(db, nullptr, "proxyResurrectionCompleted");
  }
  void goodbye(const AcDbDatabase* db) override { got(db, nullptr, "goodbye"); }

 private:
  void got(const AcDbDatabase* db, const AcDbObject* o, const char* notification) {
    lastDb = db;
    lastObject = o;
    this->note(notification);
  }
};

template <class Base>
class DocClient : public Recorder<Base> {
 public:
  using Recorder<Base>::Recorder;
  AcApDocument* lastDoc = nullptr;

  void documentCreateStarted(AcApDocument* d) override { got(d, "documentCreateStarted"); }
  void documentCreated(AcApDocument* d) override { got(d, "documentCreated"); }
  void documentToBeDestroyed(AcApDocument* d) override { got(d, "documentToBeDestroyed"); }
  void documentDestroyed(const ACHAR*) override { got(nullptr, "documentDestroyed"); }
  void documentCreateCanceled(AcApDocument* d) override { got(d, "documentCreateCanceled"); }
  void documentLockModeWillChange(AcApDocument* d, AcAp::DocLockMode, AcAp::DocLockMode, AcAp::DocLockMode,
                                  const ACHAR*) override {
    got(d, "documentLockModeWillChange");
  }
  void documentLockModeChangeVetoed(AcApDocument* d, const ACHAR*) override { got(d, "documentLockModeChangeVetoed"); }
  void documentLockModeChanged(AcApDocument* d, AcAp::DocLockMode, AcAp::DocLockMode, AcAp::DocLockMode,
                               const ACHAR*) override {
    got(d, "documentLockModeChanged");
  }
  void documentBecameCurrent(AcApDocument* d) override { got(d, "documentBecameCurrent"); }
  void documentToBeActivated(AcApDocument* d) override { got(d, "documentToBeActivated"); }
  void documentToBeDeactivated(AcApDocument* d) override { got(d, "documentToBeDeactivated"); }
  void documentActivationModified(bool) override { got(nullptr, "documentActivationModified"); }
  void documentActivated(AcApDocument* d) override { got(d, "documentActivated"); }

 private:
  void got(AcApDocument* d, const char* notification) {
    lastDoc = d;
    this->note(notification);
  }
};

// Clients on the hub's bases (priority -1) and plain host reactors.
using BaseDb = DbClient<KOVADatabaseReactorBase>;
using PlainDb = DbClient<AcDbDatabaseReactor>;
using BaseDoc = DocClient<KOVADocReactorBase>;
using PlainDoc = DocClient<AcApDocManagerReactor>;

inline AcDbLine* newLine(double x = 0) { return new AcDbLine(AcGePoint3d(x, 0, 0), AcGePoint3d(x + 1, 1, 0)); }

// Moves a line, which opens it for modify and modifies it.
inline Acad::ErrorStatus moveLine(AcDbObjectId id, double x) {
  return kvhost::modifyObject(id, [x](AcDbObject* o) { AcDbLine::cast(o)->setStartPoint(AcGePoint3d(x, 0, 0)); });
}

}  // namespace core
