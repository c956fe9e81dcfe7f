// The driving side's journal, text conversions, modules and entity work.
#include <cstdarg>
#include <cwchar>
#include <locale>
#include "common/hostimpl.h"

namespace kvhost {
namespace {

struct Journal {
  std::vector<std::wstring> lines;
  std::function<void(const std::wstring&)> listener;
};

Journal& theJournal() {
  static auto* j = new Journal;
  return *j;
}

AcRxDynamicLinker* linker() { return AcRxDynamicLinker::cast(acrxSysRegistry()->at(ACRX_DYNAMIC_LINKER)); }

// Outside any command a change of the driving side locks its document for
// the change and is one undo step of its own.
class ChangeScope {
 public:
  explicit ChangeScope(AcDbDatabase* db) : m_lock(db), m_pDb(db) { beginUndoGroup(m_pDb); }
  ~ChangeScope() { endUndoGroup(m_pDb); }

 private:
  AcAxDocLock m_lock;
  AcDbDatabase* m_pDb;
};

}  // namespace

const std::vector<std::wstring>& journal() { return theJournal().lines; }
void clearJournal() { theJournal().lines.clear(); }
void writeJournal(const std::wstring& line) {
  Journal& j = theJournal();
  j.lines.push_back(line);
  if (j.listener) j.listener(line);
}
void setJournalListener(std::function<void(const std::wstring&)> listener) { theJournal().listener = std::move(listener); }

void journalf(const wchar_t* format, ...) {
  wchar_t line[1024];
  va_list args;
  va_start(args, format);
  vswprintf(line, sizeof line / sizeof line[0], format, args);
  va_end(args);
  writeJournal(line);
}

namespace {
const uint32_t kReplacement = 0xFFFD;

bool isScalarValue(uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }
}  // namespace

std::string toUtf8(const std::wstring& s) {
  std::string out;
  for (wchar_t wc : s) {
    auto c = static_cast<uint32_t>(wc);
    if (!isScalarValue(c)) c = kReplacement;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Bytes that are not UTF-8 (a Latin-1 script, a cut or overlong sequence)
// become U+FFFD one byte at a time, so that no text after them is lost.
std::wstring fromUtf8(const std::string& s) {
  std::wstring out;
  for (size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    const size_t extra = c < 0x80 ? 0 : c >= 0xC2 && c < 0xE0 ? 1 : c >= 0xE0 && c < 0xF0 ? 2 : c >= 0xF0 && c < 0xF5 ? 3 : 4;
    uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
    bool valid = extra < 4 && i + extra < s.size();
    for (size_t k = 1; valid && k <= extra; ++k) {
      auto next = static_cast<unsigned char>(s[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    static const uint32_t kShortest[] = {0, 0x80, 0x800, 0x10000};
    if (valid && (code < kShortest[extra] || !isScalarValue(code))) valid = false;
    out += static_cast<wchar_t>(valid ? code : kReplacement);
    i += valid ? extra + 1 : 1;
  }
  return out;
}

bool loadModule(const std::wstring& fileName) { return linker()->loadModule(fileName.c_str(), false); }
bool unloadModule(const std::wstring& fileName) { return linker()->unloadModule(fileName.c_str()); }
std::wstring lastModuleError() { return linker()->lastError(); }

void quit() {
  for (AcApDocument* doc : documents()) closeDocument(doc);
  linker()->unloadAllModules();
}

AcDbObjectId addEntity(AcApDocument* doc, AcDbEntity* entity) {
  if (doc == nullptr || entity == nullptr || !isOpenDocument(doc)) {
    delete entity;
    return AcDbObjectId::kNull;
  }
  AcDbDatabase* db = doc->database();
  ChangeScope scope(db);
  AcDbObjectId id;
  if (!isWriteLocked(db) || db->addAcDbObject(id, entity) != Acad::eOk) {
    delete entity;
    return AcDbObjectId::kNull;
  }
  entity->close();
  doc->setDbmod(doc->dbmod() + 1);
  return id;
}

Acad::ErrorStatus modifyObject(AcDbObjectId id, const std::function<void(AcDbObject*)>& change) {
  if (id.isNull()) return Acad::eNullObjectId;
  ChangeScope scope(id.database());
  AcDbObjectPointer<AcDbObject> object(id, AcDb::kForWrite);
  if (!object) return object.openStatus();
  change(object.object());
  if (AcApDocument* doc = acDocManagerPtr()->document(id.database())) doc->setDbmod(doc->dbmod() + 1);
  return Acad::eOk;
}

Acad::ErrorStatus eraseObject(AcDbObjectId id, bool erase) {
  if (id.isNull()) return Acad::eNullObjectId;
  ChangeScope scope(id.database());
  AcDbObjectPointer<AcDbObject> object(id, AcDb::kForWrite, true);
  if (!object) return object.openStatus();
  Acad::ErrorStatus es = object->erase(erase);
  if (es == Acad::eOk)
    if (AcApDocument* doc = acDocManagerPtr()->document(id.database())) doc->setDbmod(doc->dbmod() + 1);
  return es;
}

AcDbObjectIdArray entities(AcApDocument* doc) {
  AcDbObjectIdArray out;
  if (doc == nullptr || !isOpenDocument(doc)) return out;
  AcDbObjectIdArray all = doc->database()->objectIds();
  for (int i = 0; i < all.length(); ++i) {
    AcDbStub* stub = all[i].stub();
    if (AcDbEntity::cast(stub->object)) out.append(all[i]);
  }
  return out;
}

int undoGroupCount(AcApDocument* doc) { return doc ? undoGroupCount(doc->database()) : 0; }

}  // namespace kvhost
