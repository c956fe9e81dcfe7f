// Drawing files in the host's own binary form: a header, then every object
// of the database as its class name and its DWG record.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include "common/hostimpl.h"
#include "database/memfiler.h"

namespace {

const char kMagic[8] = {'K', 'V', 'D', 'W', 'G', '\r', '\n', '\x1a'};
const Adesk::UInt16 kFileVersion = 1;

bool endsWith(const std::wstring& s, const std::wstring& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool isDxfName(const std::wstring& name) {
  std::wstring lower;
  for (wchar_t c : name) lower += static_cast<wchar_t>(std::towlower(c));
  return endsWith(lower, L".dxf");
}

// Writes an object's record as if it were open for read.
std::vector<unsigned char> recordOf(AcDbObject* object, AcDbDatabase* db, Acad::ErrorStatus& es) {
  kvhost::DwgMemoryFiler filer(AcDb::kFileFiler, db);
  es = Acad::eOk;
  if (auto* proxy = AcDbProxyObject::cast(object)) return proxy->record()->bytes;
  AcDbObject::OpenState saved = object->openState();
  object->openState().readers += 1;
  es = object->dwgOutFields(&filer);
  if (es == Acad::eOk) es = filer.filerStatus();
  object->openState() = saved;
  return filer.bytes();
}

// The file a name stands for: a save through a symbolic link replaces the
// file the link points at and leaves the link as it is. False for a loop.
bool followLinks(std::string path, std::string& target) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      target = path;
      return true;
    }
    std::vector<char> buf(static_cast<size_t>(info.st_size) + PATH_MAX);
    ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n <= 0) return false;
    std::string link(buf.data(), static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    path = link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
  }
  return false;
}

// A new file written beside the one it replaces, with the old file's mode
// and owner, that takes its place only once it is complete. Until then the
// old file stays as it was; a replacement that does not take it is removed.
class Replacement {
 public:
  explicit Replacement(const std::string& target) : m_target(target) {
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
      m_path = target + ".kvsave" + std::to_string(getpid()) + "." + std::to_string(++counter);
      m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (m_fd < 0 && errno != EEXIST) break;
    }
  }
  ~Replacement() {
    if (m_fd < 0) return;
    ::close(m_fd);
    ::unlink(m_path.c_str());
  }
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;

  bool write(const std::string& contents) {
    if (m_fd < 0) return false;
    struct stat old;
    if (::stat(m_target.c_str(), &old) == 0) {
      // The owner where this process may give it, else the group at least;
      // where neither is allowed the file becomes this user's, as with any editor.
      bool owned = ::fchown(m_fd, old.st_uid, old.st_gid) == 0 ||
                   ::fchown(m_fd, static_cast<uid_t>(-1), old.st_gid) == 0;
      static_cast<void>(owned);
      if (::fchmod(m_fd, old.st_mode & 07777) != 0) return false;
    }
    for (size_t done = 0; done < contents.size();) {
      ssize_t n = ::write(m_fd, contents.data() + done, contents.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return ::fsync(m_fd) == 0;
  }
  bool commit() {
    int fd = m_fd;
    if (fd < 0) return false;
    m_fd = -1;
    if (::close(fd) == 0 && ::rename(m_path.c_str(), m_target.c_str()) == 0) return true;
    ::unlink(m_path.c_str());
    return false;
  }

 private:
  std::string m_target, m_path;
  int m_fd = -1;
};

// Another open document whose drawing was read from, or last saved to, the
// file a save would replace (through links too); null when there is none.
AcApDocument* holderOf(const std::wstring& fileName, const AcApDocument* saving) {
  struct stat target;
  if (::stat(kvhost::toUtf8(fileName).c_str(), &target) != 0) return nullptr;
  for (AcApDocument* other : kvhost::documents()) {
    const ACHAR* name = nullptr;
    if (other == saving || other->database()->getFilename(name) != Acad::eOk || name == nullptr || *name == 0) continue;
    struct stat held;
    bool same = ::stat(kvhost::toUtf8(name).c_str(), &held) == 0 && held.st_dev == target.st_dev &&
                held.st_ino == target.st_ino;
    if (same) return other;
  }
  return nullptr;
}

}  // namespace

namespace kvhost {

Acad::ErrorStatus replaceFile(const std::wstring& fileName, const std::string& contents) {
  std::string target;
  if (!followLinks(toUtf8(fileName), target)) return Acad::eFileAccessErr;
  Replacement replacement(target);
  return replacement.write(contents) && replacement.commit() ? Acad::eOk : Acad::eFileAccessErr;
}

Acad::ErrorStatus readFile(const std::wstring& fileName, std::string& contents) {
  struct stat info;
  const std::string path = toUtf8(fileName);
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return Acad::eFileNotFound;
  std::ifstream in(path, std::ios::binary);
  if (!in) return Acad::eFileNotFound;
  contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.bad() ? Acad::eFileAccessErr : Acad::eOk;
}

Acad::ErrorStatus saveDocument(AcApDocument* doc, const std::wstring& fileName) {
  if (doc == nullptr || !isOpenDocument(doc)) return Acad::eNoDocument;
  if (AcApDocument* other = holderOf(fileName, doc)) {
    journalf(L"save of %ls to %ls refused: the file is open in %ls", doc->fileName(), fileName.c_str(),
             other->fileName());
    return Acad::eFileSharingViolation;
  }
  AcDbDatabase* db = doc->database();
  notifyEventReactors([&](AcRxEventReactor* r) { r->beginSave(db, fileName.c_str()); });
  Acad::ErrorStatus es = isDxfName(fileName) ? db->dxfOut(fileName.c_str()) : db->saveAs(fileName.c_str());
  if (es != Acad::eOk) {
    notifyEventReactors([&](AcRxEventReactor* r) { r->abortSave(db); });
    journalf(L"save of %ls to %ls failed (%d)", doc->fileName(), fileName.c_str(), static_cast<int>(es));
    return es;
  }
  doc->setDbmod(0);
  notifyEventReactors([&](AcRxEventReactor* r) { r->saveComplete(db, fileName.c_str()); });
  journalf(L"saved %ls to %ls", doc->fileName(), fileName.c_str());
  return Acad::eOk;
}

AcApDocument* openDocument(const std::wstring& fileName, Acad::ErrorStatus* status) {
  std::vector<ACHAR> name(fileName.begin(), fileName.end());
  name.push_back(0);
  notifyEditorReactors([&](AcEditorReactor* r) { r->beginDwgOpen(name.data()); });
  auto* db = new AcDbDatabase(false);
  Acad::ErrorStatus es = isDxfName(fileName) ? db->dxfIn(fileName.c_str()) : db->readDwgFile(fileName.c_str());
  if (status) *status = es;
  if (es != Acad::eOk) {
    delete db;
    journalf(L"open of %ls failed (%d)", fileName.c_str(), static_cast<int>(es));
    return nullptr;
  }
  notifyEventReactors([&](AcRxEventReactor* r) { r->dwgFileOpened(db, name.data()); });
  notifyEditorReactors([&](AcEditorReactor* r) { r->endDwgOpen(fileName.c_str(), db); });
  AcApDocument* doc = createDocument(db, fileName, false);
  notifyEventReactors([&](AcRxEventReactor* r) { r->initialDwgFileOpenComplete(db); });
  return doc;
}

}  // namespace kvhost

Acad::ErrorStatus AcDbDatabase::saveAs(const ACHAR* fileName) {
  if (fileName == nullptr || *fileName == 0) return Acad::eInvalidInput;
  kvhost::DwgMemoryFiler out(AcDb::kFileFiler, this);
  out.writeBytes(kMagic, sizeof kMagic);
  out.writeUInt16(kFileVersion);
  out.writeUInt64(handseed());
  auto header = kvhost::headerSysVars(this);
  out.writeUInt32(static_cast<Adesk::UInt32>(header.size()));
  for (auto& var : header) {
    out.writeString(var.first.c_str());
    out.writeString(var.second.c_str());
  }
  out.writeUInt64(namedObjectsDictionaryId().handle());
  AcDbObjectIdArray ids = objectIds();
  out.writeUInt32(static_cast<Adesk::UInt32>(ids.length()));
  for (int i = 0; i < ids.length(); ++i) {
    AcDbObject* object = ids[i].stub()->object;
    auto* proxy = AcDbProxyObject::cast(object);
    Acad::ErrorStatus filing = Acad::eOk;
    std::vector<unsigned char> record = recordOf(object, this, filing);
    if (filing != Acad::eOk) return filing;  // a drawing with a record missing is no drawing
    out.writeUInt64(ids[i].handle());
    out.writeString(proxy ? proxy->originalClassName() : object->isA()->name());
    out.writeUInt32(static_cast<Adesk::UInt32>(record.size()));
    out.writeBytes(record.data(), record.size());
  }
  const auto& bytes = out.bytes();
  Acad::ErrorStatus es = kvhost::replaceFile(fileName, std::string(bytes.begin(), bytes.end()));
  if (es == Acad::eOk) kvhost::setDatabaseFileName(this, fileName);
  return es;
}

Acad::ErrorStatus AcDbDatabase::readDwgFile(const ACHAR* fileName) {
  if (fileName == nullptr) return Acad::eInvalidInput;
  if (!objectIds(true).isEmpty()) return Acad::eAlreadyInDb;
  std::string contents;
  if (Acad::ErrorStatus es = kvhost::readFile(fileName, contents); es != Acad::eOk) return es;
  kvhost::DwgMemoryFiler filer(AcDb::kFileFiler, this, std::vector<unsigned char>(contents.begin(), contents.end()));
  char magic[sizeof kMagic] = {};
  Adesk::UInt16 version = 0;
  filer.readBytes(magic, sizeof magic);
  filer.readUInt16(&version);
  if (filer.filerStatus() != Acad::eOk || !std::equal(magic, magic + sizeof magic, kMagic)) return Acad::eBadDwgHeader;
  if (version > kFileVersion) return Acad::eInvalidFileVersion;
  Adesk::UInt64 seed = 0, nodHandle = 0;
  Adesk::UInt32 headerCount = 0, objectCount = 0;
  filer.readUInt64(&seed);
  filer.readUInt32(&headerCount);
  for (Adesk::UInt32 i = 0; i < headerCount && filer.filerStatus() == Acad::eOk; ++i) {
    std::wstring name, value;
    filer.readString(name);
    filer.readString(value);
    if (filer.filerStatus() == Acad::eOk) setHeaderSysVar(name.c_str(), value.c_str());
  }
  filer.readUInt64(&nodHandle);
  filer.readUInt32(&objectCount);
  for (Adesk::UInt32 i = 0; i < objectCount && filer.filerStatus() == Acad::eOk; ++i) {
    Adesk::UInt64 handle = 0;
    Adesk::UInt32 length = 0;
    std::wstring className;
    filer.readUInt64(&handle);
    filer.readString(className);
    filer.readUInt32(&length);
    std::vector<unsigned char> record(std::min<size_t>(length, filer.bytes().size()));
    if (filer.filerStatus() != Acad::eOk || record.size() != length || handle == 0) return Acad::eDwgNeedsRecovery;
    filer.readBytes(record.data(), record.size());
    if (filer.filerStatus() != Acad::eOk) return Acad::eDwgNeedsRecovery;
    AcDbStub* stub = kvhost::stubForHandle(this, handle);
    if (stub->object != nullptr) return Acad::eDwgNeedsRecovery;  // the same handle twice
    auto place = [&](AcDbObject* object) {
      object->bindStub(stub);
      object->setNewObject(false);
      object->openState() = AcDbObject::OpenState();
      stub->object = object;
    };
    AcRxClass* cls = AcRxClass::cast(acrxClassDictionary()->at(className.c_str()));
    if (AcDbObject* object = cls ? AcDbObject::cast(cls->create()) : nullptr) {
      place(object);
      Acad::ErrorStatus filing = kvhost::restoreFromRecord(object, this, record, AcDb::kFileFiler);
      if (filing == Acad::eOk) continue;
      stub->object = nullptr;
      delete object;
      // A record newer than its class here stays a proxy, as one of an unknown class does.
      if (filing != Acad::eMakeMeProxy) return Acad::eDwgNeedsRecovery;
    }
    place(new AcDbProxyObject(new AcDbProxyObject::Record{className, record}));
  }
  if (filer.filerStatus() != Acad::eOk) return Acad::eDwgNeedsRecovery;
  AcDbObjectId nod = getObjectId(nodHandle);
  if (!AcDbDictionary::cast(nod.stub()->object)) return Acad::eDwgNeedsRecovery;
  kvhost::setNamedObjectsDictionary(this, nod);
  kvhost::raiseHandseed(this, seed);
  kvhost::setDatabaseFileName(this, fileName);
  return Acad::eOk;
}
