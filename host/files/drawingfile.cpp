// Drawing files as the user saves and opens them: the form chosen by the
// file's name (DXF when it ends in .dxf, else the host's binary form), with
// the notifications around a save and an open.
#include <cwctype>
#include "common/journal.h"
#include "docman/docinternal.h"
#include "editor/edinternal.h"
#include "files/fileinternal.h"
#include "files/platformfiles.h"
#include "kvhost.h"

namespace {

bool endsWith(const std::wstring& s, const std::wstring& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool isDxfName(const std::wstring& name) {
  std::wstring lower;
  for (wchar_t c : name) lower += static_cast<wchar_t>(std::towlower(c));
  return endsWith(lower, L".dxf");
}

// Another open document whose drawing was read from, or last saved to, the
// file a save would replace (through links too); null when there is none.
AcApDocument* holderOf(const std::wstring& fileName, const AcApDocument* saving) {
  kvhost::sys::FileIdentity target;
  if (!kvhost::sys::identify(kvhost::toUtf8(fileName), target)) return nullptr;
  for (AcApDocument* other : kvhost::documents()) {
    const ACHAR* name = nullptr;
    if (other == saving || other->database()->getFilename(name) != Acad::eOk || name == nullptr || *name == 0) continue;
    kvhost::sys::FileIdentity held;
    if (kvhost::sys::identify(kvhost::toUtf8(name), held) && held == target) return other;
  }
  return nullptr;
}

}  // namespace

namespace kvhost {

Acad::ErrorStatus saveDocument(AcApDocument* doc, const std::wstring& fileName) {
  if (doc == nullptr || !isOpenDocument(doc)) return Acad::eNoDocument;
  clearSaveError();
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
