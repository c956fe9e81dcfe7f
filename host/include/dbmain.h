// Drawing databases, the objects and entities they hold, and database reactors.
#pragma once
#include <cstddef>
#include <functional>
#include "acarray.h"
#include "acgepnt.h"
#include "dbfiler.h"
#include "rxobject.h"

class AcDbDatabase;
class AcDbObject;
struct AcDbStub;

namespace AcDb {
enum OpenMode { kForRead = 0, kForWrite = 1, kForNotify = 2 };
}

typedef Adesk::UInt64 AcDbHandle;

// Names an object of a database for as long as the database lives.
class ACHOST_API AcDbObjectId {
 public:
  AcDbObjectId() = default;
  explicit AcDbObjectId(AcDbStub* stub) : mId(stub) {}
  static const AcDbObjectId kNull;

  bool isNull() const { return mId == nullptr; }
  void setNull() { mId = nullptr; }
  AcDbDatabase* database() const;
  bool isErased() const;
  bool isValid() const { return mId != nullptr; }
  AcDbHandle handle() const;
  Adesk::IntDbId asOldId() const { return reinterpret_cast<Adesk::IntDbId>(mId); }
  AcDbStub* stub() const { return mId; }

  bool operator==(const AcDbObjectId& o) const { return mId == o.mId; }
  bool operator!=(const AcDbObjectId& o) const { return mId != o.mId; }
  bool operator<(const AcDbObjectId& o) const { return mId < o.mId; }

 private:
  AcDbStub* mId = nullptr;
};

class ACHOST_API AcDbObject : public AcRxObject {
 public:
  ACRX_DECLARE_MEMBERS(AcDbObject);
  AcDbObject();
  ~AcDbObject() override;

  AcDbObjectId objectId() const;
  AcDbObjectId ownerId() const { return m_ownerId; }
  void setOwnerId(AcDbObjectId owner) { m_ownerId = owner; }
  AcDbDatabase* database() const;

  Acad::ErrorStatus close();
  Acad::ErrorStatus upgradeOpen();
  Acad::ErrorStatus downgradeOpen();
  Acad::ErrorStatus erase(bool erasing = true);

  bool isErased() const;
  bool isReadEnabled() const;
  bool isWriteEnabled() const;
  bool isNewObject() const { return m_bNew; }
  bool isModified() const { return m_bModified; }

  // Throw AcDbAssertionError when the object is not open as required. The
  // first write assertion of an open raises objectOpenedForModify and, with
  // autoUndo and the database's undo recording on, records the object's
  // state for undo.
  void assertReadEnabled() const;
  void assertWriteEnabled(bool autoUndo = true, bool recordModified = true);

  virtual Acad::ErrorStatus dwgInFields(AcDbDwgFiler* filer);
  virtual Acad::ErrorStatus dwgOutFields(AcDbDwgFiler* filer) const;
  virtual Acad::ErrorStatus dxfInFields(AcDbDxfFiler* filer);
  virtual Acad::ErrorStatus dxfOutFields(AcDbDxfFiler* filer) const;

  // Host bookkeeping of the open discipline.
  struct OpenState {
    int readers = 0;
    bool writer = false;
    bool writeAsserted = false;
    bool graphicsModified = false;
  };
  OpenState& openState() { return m_open; }
  void bindStub(AcDbStub* stub) { m_pStub = stub; }
  AcDbStub* stub() const { return m_pStub; }
  void setNewObject(bool value) { m_bNew = value; }

 private:
  AcDbStub* m_pStub = nullptr;
  AcDbObjectId m_ownerId;
  OpenState m_open;
  bool m_bNew = false;
  bool m_bModified = false;
};

class ACHOST_API AcDbEntity : public AcDbObject {
 public:
  ACRX_DECLARE_MEMBERS(AcDbEntity);
  const ACHAR* layer() const { return m_layer.c_str(); }
  Acad::ErrorStatus setLayer(const ACHAR* name);
  Adesk::UInt16 colorIndex() const { return m_color; }
  Acad::ErrorStatus setColorIndex(Adesk::UInt16 color);
  // Marks the entity's graphics for regeneration when it is closed.
  Acad::ErrorStatus recordGraphicsModified(bool setModified = true);

  Acad::ErrorStatus dwgInFields(AcDbDwgFiler* filer) override;
  Acad::ErrorStatus dwgOutFields(AcDbDwgFiler* filer) const override;
  Acad::ErrorStatus dxfInFields(AcDbDxfFiler* filer) override;
  Acad::ErrorStatus dxfOutFields(AcDbDxfFiler* filer) const override;

 private:
  std::wstring m_layer = L"0";
  Adesk::UInt16 m_color = 256;
};

class ACHOST_API AcDbCurve : public AcDbEntity {
 public:
  ACRX_DECLARE_MEMBERS(AcDbCurve);
};

class ACHOST_API AcDbLine : public AcDbCurve {
 public:
  ACRX_DECLARE_MEMBERS(AcDbLine);
  AcDbLine() = default;
  AcDbLine(const AcGePoint3d& start, const AcGePoint3d& end) : m_start(start), m_end(end) {}
  AcGePoint3d startPoint() const { return m_start; }
  AcGePoint3d endPoint() const { return m_end; }
  Acad::ErrorStatus setStartPoint(const AcGePoint3d& p);
  Acad::ErrorStatus setEndPoint(const AcGePoint3d& p);
  Acad::ErrorStatus dwgInFields(AcDbDwgFiler* filer) override;
  Acad::ErrorStatus dwgOutFields(AcDbDwgFiler* filer) const override;
  Acad::ErrorStatus dxfInFields(AcDbDxfFiler* filer) override;
  Acad::ErrorStatus dxfOutFields(AcDbDxfFiler* filer) const override;

 private:
  AcGePoint3d m_start, m_end;
};

class ACHOST_API AcDbCircle : public AcDbCurve {
 public:
  ACRX_DECLARE_MEMBERS(AcDbCircle);
  AcDbCircle() = default;
  AcDbCircle(const AcGePoint3d& center, double radius) : m_center(center), m_radius(radius) {}
  AcGePoint3d center() const { return m_center; }
  double radius() const { return m_radius; }
  Acad::ErrorStatus setCenter(const AcGePoint3d& p);
  Acad::ErrorStatus setRadius(double r);
  Acad::ErrorStatus dwgInFields(AcDbDwgFiler* filer) override;
  Acad::ErrorStatus dwgOutFields(AcDbDwgFiler* filer) const override;
  Acad::ErrorStatus dxfInFields(AcDbDxfFiler* filer) override;
  Acad::ErrorStatus dxfOutFields(AcDbDxfFiler* filer) const override;

 private:
  AcGePoint3d m_center;
  double m_radius = 1.0;
};

class ACHOST_API AcDbText : public AcDbEntity {
 public:
  ACRX_DECLARE_MEMBERS(AcDbText);
  AcDbText() = default;
  AcDbText(const AcGePoint3d& position, const ACHAR* text) : m_position(position), m_text(text) {}
  AcGePoint3d position() const { return m_position; }
  const ACHAR* textString() const { return m_text.c_str(); }
  Acad::ErrorStatus setPosition(const AcGePoint3d& p);
  Acad::ErrorStatus setTextString(const ACHAR* text);
  Acad::ErrorStatus dwgInFields(AcDbDwgFiler* filer) override;
  Acad::ErrorStatus dwgOutFields(AcDbDwgFiler* filer) const override;
  Acad::ErrorStatus dxfInFields(AcDbDxfFiler* filer) override;
  Acad::ErrorStatus dxfOutFields(AcDbDxfFiler* filer) const override;

 private:
  AcGePoint3d m_position;
  std::wstring m_text;
};

// An entity of a type this host does not model, read from a drawing file:
// its type, and what every entity has. The file's groups of it stay with
// the drawing and are written back as they were.
class ACHOST_API AcDbProxyEntity : public AcDbEntity {
 public:
  ACRX_DECLARE_MEMBERS(AcDbProxyEntity);
  explicit AcDbProxyEntity(const ACHAR* dxfName = L"");
  // The record's name in a DXF file ("ARC", "INSERT", ...).
  const ACHAR* originalDxfName() const { return m_dxfName.c_str(); }
  Acad::ErrorStatus dwgInFields(AcDbDwgFiler* filer) override;
  Acad::ErrorStatus dwgOutFields(AcDbDwgFiler* filer) const override;

 private:
  std::wstring m_dxfName;
};

// What remains of an object whose class is not registered: its record,
// kept unchanged so that the object comes back when its class returns.
class ACHOST_API AcDbProxyObject : public AcDbObject {
 public:
  ACRX_DECLARE_MEMBERS(AcDbProxyObject);
  struct Record;
  explicit AcDbProxyObject(Record* record = nullptr);
  ~AcDbProxyObject() override;
  const ACHAR* originalClassName() const;
  Record* record() const { return m_pRecord; }
  Acad::ErrorStatus dxfInFields(AcDbDxfFiler* filer) override;
  Acad::ErrorStatus dxfOutFields(AcDbDxfFiler* filer) const override;

 private:
  Record* m_pRecord;
};

// A record of a drawing's layer table: a layer's name and its state. The
// colour of a layer that is off is filed negative; frozen and locked are
// flags of the record. The groups a file held of the record that the layer
// does not model stay with the drawing and are written back as they were.
class ACHOST_API AcDbLayerTableRecord : public AcDbObject {
 public:
  ACRX_DECLARE_MEMBERS(AcDbLayerTableRecord);
  // The lineweight a layer has unless it says otherwise.
  static const int kDefaultLineWeight = -3;
  explicit AcDbLayerTableRecord(const ACHAR* name = L"") : m_name(name ? name : L"") {}
  const ACHAR* name() const { return m_name.c_str(); }
  // 1 to 255, whether the layer is off or on.
  Adesk::UInt16 colorIndex() const;
  bool isOff() const { return m_color < 0; }
  bool isFrozen() const { return (m_flags & kFrozen) != 0; }
  bool isLocked() const { return (m_flags & kLocked) != 0; }
  // In hundredths of a millimetre; -1 by layer, -2 by block, -3 the default.
  int lineWeight() const { return m_lineWeight; }
  bool isPlottable() const { return m_plottable; }
  const ACHAR* linetypeName() const { return m_linetype.c_str(); }
  Acad::ErrorStatus setColorIndex(Adesk::UInt16 color);
  Acad::ErrorStatus setIsOff(bool off);
  Acad::ErrorStatus setIsFrozen(bool frozen);
  Acad::ErrorStatus setIsLocked(bool locked);
  Acad::ErrorStatus setLineWeight(int lineWeight);
  Acad::ErrorStatus setIsPlottable(bool plottable);

  Acad::ErrorStatus dwgInFields(AcDbDwgFiler* filer) override;
  Acad::ErrorStatus dwgOutFields(AcDbDwgFiler* filer) const override;
  Acad::ErrorStatus dxfInFields(AcDbDxfFiler* filer) override;
  Acad::ErrorStatus dxfOutFields(AcDbDxfFiler* filer) const override;

 private:
  enum Flag : Adesk::Int16 { kFrozen = 1, kLocked = 4 };
  Acad::ErrorStatus setFlag(Flag flag, bool on);

  std::wstring m_name;
  Adesk::Int16 m_flags = 0;  // group 70, every bit of it
  Adesk::Int16 m_color = 7;  // negative: off
  int m_lineWeight = kDefaultLineWeight;
  bool m_plottable = true;
  std::wstring m_linetype = L"Continuous";
};

// A dictionary of named entries, each an object of the database.
class ACHOST_API AcDbDictionary : public AcDbObject {
 public:
  ACRX_DECLARE_MEMBERS(AcDbDictionary);
  AcDbDictionary();
  ~AcDbDictionary() override;
  Acad::ErrorStatus getAt(const ACHAR* key, AcDbObjectId& id) const;
  bool has(const ACHAR* key) const;
  // Adds the object to the database (when it is not yet in it) and enters it
  // under the key; the dictionary must be open for write.
  Acad::ErrorStatus setAt(const ACHAR* key, AcDbObject* object, AcDbObjectId& id);
  Acad::ErrorStatus remove(const ACHAR* key);
  int numEntries() const;
  // The entries in key order.
  void entries(std::function<void(const ACHAR* key, AcDbObjectId id)> visit) const;
  Acad::ErrorStatus dwgInFields(AcDbDwgFiler* filer) override;
  Acad::ErrorStatus dwgOutFields(AcDbDwgFiler* filer) const override;
  Acad::ErrorStatus dxfInFields(AcDbDxfFiler* filer) override;
  Acad::ErrorStatus dxfOutFields(AcDbDxfFiler* filer) const override;

 private:
  struct Impl;
  Impl* m_pImpl;
};

class ACHOST_API AcDbDatabaseReactor : public AcRxObject {
 public:
  ACRX_DECLARE_MEMBERS(AcDbDatabaseReactor);
  ~AcDbDatabaseReactor() override;
  virtual void objectAppended(const AcDbDatabase* dwg, const AcDbObject* dbObj);
  virtual void objectUnAppended(const AcDbDatabase* dwg, const AcDbObject* dbObj);
  virtual void objectReAppended(const AcDbDatabase* dwg, const AcDbObject* dbObj);
  virtual void objectOpenedForModify(const AcDbDatabase* dwg, const AcDbObject* dbObj);
  virtual void objectModified(const AcDbDatabase* dwg, const AcDbObject* dbObj);
  virtual void objectErased(const AcDbDatabase* dwg, const AcDbObject* dbObj, Adesk::Boolean pErased = true);
  virtual void headerSysVarWillChange(const AcDbDatabase* dwg, const ACHAR* name);
  virtual void headerSysVarChanged(const AcDbDatabase* dwg, const ACHAR* name, Adesk::Boolean bSuccess);
  virtual void proxyResurrectionCompleted(const AcDbDatabase* dwg, const ACHAR* appname, AcDbObjectIdArray& objects);
  virtual void goodbye(const AcDbDatabase* dwg);
};

class AcDbUndoRecorder;

class ACHOST_API AcDbDatabase : public AcRxObject {
 public:
  ACRX_DECLARE_MEMBERS(AcDbDatabase);
  explicit AcDbDatabase(bool buildDefaultDrawing = true, bool noDocument = false);
  ~AcDbDatabase() override;

  // Adds a new object; it stays open for write and must be closed.
  Acad::ErrorStatus addAcDbObject(AcDbObjectId& id, AcDbObject* object);
  AcDbObjectId namedObjectsDictionaryId() const;
  Acad::ErrorStatus getNamedObjectsDictionary(AcDbDictionary*& dict, AcDb::OpenMode mode);

  void addReactor(AcDbDatabaseReactor* reactor) const;
  void removeReactor(AcDbDatabaseReactor* reactor) const;
  // The reactors attached, in the order of attaching.
  AcArray<AcDbDatabaseReactor*> reactors() const;

  bool undoRecording() const;
  void disableUndoRecording(bool disable);

  // Header system variables, as text.
  const ACHAR* headerSysVar(const ACHAR* name) const;
  Acad::ErrorStatus setHeaderSysVar(const ACHAR* name, const ACHAR* value);

  // Every object of the database that is not erased, in handle order.
  AcDbObjectIdArray objectIds(bool includeErased = false) const;
  AcDbObjectId getObjectId(AcDbHandle handle) const;
  AcDbHandle handseed() const;

  // Reading and writing whole drawings (the host's binary form and DXF).
  Acad::ErrorStatus readDwgFile(const ACHAR* fileName);
  Acad::ErrorStatus saveAs(const ACHAR* fileName);
  Acad::ErrorStatus dxfOut(const ACHAR* fileName);
  Acad::ErrorStatus dxfIn(const ACHAR* fileName);
  Acad::ErrorStatus getFilename(const ACHAR*& fileName) const;

  struct Impl;
  Impl* impl() const { return m_pImpl; }

 private:
  Impl* m_pImpl;
};

ACHOST_API Acad::ErrorStatus acdbOpenAcDbObject(AcDbObject*& obj, AcDbObjectId id, AcDb::OpenMode mode, bool openErased = false);
ACHOST_API Acad::ErrorStatus acdbOpenAcDbEntity(AcDbEntity*& ent, AcDbObjectId id, AcDb::OpenMode mode, bool openErased = false);

template <class T>
Acad::ErrorStatus acdbOpenObject(T*& obj, AcDbObjectId id, AcDb::OpenMode mode, bool openErased = false) {
  AcDbObject* any = nullptr;
  obj = nullptr;
  Acad::ErrorStatus es = acdbOpenAcDbObject(any, id, mode, openErased);
  if (es != Acad::eOk) return es;
  obj = T::cast(any);
  if (obj == nullptr) {
    any->close();
    return Acad::eNotThatKindOfClass;
  }
  return Acad::eOk;
}

// Opens an object of class T by id and closes it when it goes out of scope.
template <class T>
class AcDbObjectPointer {
 public:
  AcDbObjectPointer() = default;
  AcDbObjectPointer(AcDbObjectId id, AcDb::OpenMode mode, bool openErased = false) {
    m_status = acdbOpenObject(m_pObj, id, mode, openErased);
  }
  ~AcDbObjectPointer() { close(); }
  AcDbObjectPointer(const AcDbObjectPointer&) = delete;
  AcDbObjectPointer& operator=(const AcDbObjectPointer&) = delete;

  Acad::ErrorStatus open(AcDbObjectId id, AcDb::OpenMode mode, bool openErased = false) {
    close();
    return m_status = acdbOpenObject(m_pObj, id, mode, openErased);
  }
  Acad::ErrorStatus openStatus() const { return m_status; }
  Acad::ErrorStatus close() {
    if (m_pObj == nullptr) return Acad::eOk;
    Acad::ErrorStatus es = m_pObj->close();
    m_pObj = nullptr;
    m_status = Acad::eNullObjectId;
    return es;
  }
  T* object() const { return m_pObj; }
  T* operator->() const { return m_pObj; }
  explicit operator bool() const { return m_pObj != nullptr; }

 private:
  T* m_pObj = nullptr;
  Acad::ErrorStatus m_status = Acad::eNullObjectId;
};
typedef AcDbObjectPointer<AcDbEntity> AcDbEntityPointer;
typedef AcDbObjectPointer<AcDbDictionary> AcDbDictionaryPointer;

class AcDbIdMapping {};
