// Filers: how database objects write and read their fields, in the binary
// DWG form and in the tagged DXF form.
#pragma once
#include <string>
#include "acadstrc.h"
#include "acgepnt.h"
#include "adesk.h"

class AcDbObjectId;

namespace AcDb {
enum FilerType { kFileFiler = 0, kCopyFiler = 1, kUndoFiler = 2, kBagFiler = 3 };
enum DxfCode {
  kDxfStart = 0,
  kDxfText = 1,
  kDxfXTextString = 3,
  kDxfSubclass = 100,
  kDxfHandle = 5,
  kDxfSoftPointerId = 330,
  kDxfHardOwnershipId = 360,
  kDxfLayerName = 8,
  kDxfXCoord = 10,
  kDxfReal = 40,
  kDxfInt16 = 70,
  kDxfInt32 = 90,
  kDxfColor = 62,
};
}  // namespace AcDb

class ACHOST_API AcDbDwgFiler {
 public:
  virtual ~AcDbDwgFiler();
  virtual Acad::ErrorStatus filerStatus() const = 0;
  virtual AcDb::FilerType filerType() const = 0;
  virtual void setFilerStatus(Acad::ErrorStatus status) = 0;
  virtual void resetFilerStatus() = 0;

  virtual Acad::ErrorStatus readBool(bool* value) = 0;
  virtual Acad::ErrorStatus readInt16(Adesk::Int16* value) = 0;
  virtual Acad::ErrorStatus readUInt16(Adesk::UInt16* value) = 0;
  virtual Acad::ErrorStatus readInt32(Adesk::Int32* value) = 0;
  virtual Acad::ErrorStatus readUInt32(Adesk::UInt32* value) = 0;
  virtual Acad::ErrorStatus readDouble(double* value) = 0;
  virtual Acad::ErrorStatus readPoint3d(AcGePoint3d* value) = 0;
  virtual Acad::ErrorStatus readString(std::wstring& value) = 0;
  virtual Acad::ErrorStatus readHardOwnershipId(AcDbObjectId* id) = 0;
  virtual Acad::ErrorStatus readSoftPointerId(AcDbObjectId* id) = 0;
  virtual Acad::ErrorStatus readBytes(void* buffer, Adesk::UIntPtr length) = 0;

  virtual Acad::ErrorStatus writeBool(bool value) = 0;
  virtual Acad::ErrorStatus writeInt16(Adesk::Int16 value) = 0;
  virtual Acad::ErrorStatus writeUInt16(Adesk::UInt16 value) = 0;
  virtual Acad::ErrorStatus writeInt32(Adesk::Int32 value) = 0;
  virtual Acad::ErrorStatus writeUInt32(Adesk::UInt32 value) = 0;
  virtual Acad::ErrorStatus writeDouble(double value) = 0;
  virtual Acad::ErrorStatus writePoint3d(const AcGePoint3d& value) = 0;
  virtual Acad::ErrorStatus writeString(const ACHAR* value) = 0;
  virtual Acad::ErrorStatus writeHardOwnershipId(const AcDbObjectId& id) = 0;
  virtual Acad::ErrorStatus writeSoftPointerId(const AcDbObjectId& id) = 0;
  virtual Acad::ErrorStatus writeBytes(const void* buffer, Adesk::UIntPtr length) = 0;
};

// One group of a DXF record: a group code and its value.
struct ACHOST_API resbuf {
  short restype = 0;
  std::wstring text;
  double real = 0.0;
  Adesk::Int32 int32 = 0;
  AcGePoint3d point;
};

class ACHOST_API AcDbDxfFiler {
 public:
  virtual ~AcDbDxfFiler();
  virtual Acad::ErrorStatus filerStatus() const = 0;
  virtual AcDb::FilerType filerType() const = 0;
  virtual void resetFilerStatus() = 0;
  // Sets the filer's error with a message made from a printf format.
  virtual Acad::ErrorStatus setError(Acad::ErrorStatus status, const ACHAR* format, ...) = 0;
  virtual const ACHAR* errorMessage() const = 0;

  virtual Acad::ErrorStatus readItem(resbuf* item) = 0;
  virtual Acad::ErrorStatus pushBackItem() = 0;
  virtual bool atEOF() = 0;
  virtual bool atSubclassData(const ACHAR* subClassName) = 0;

  virtual Acad::ErrorStatus writeItem(const resbuf& item) = 0;
  virtual Acad::ErrorStatus writeString(AcDb::DxfCode code, const ACHAR* value) = 0;
  virtual Acad::ErrorStatus writeInt16(AcDb::DxfCode code, Adesk::Int16 value) = 0;
  virtual Acad::ErrorStatus writeUInt16(AcDb::DxfCode code, Adesk::UInt16 value) = 0;
  virtual Acad::ErrorStatus writeInt32(AcDb::DxfCode code, Adesk::Int32 value) = 0;
  virtual Acad::ErrorStatus writeDouble(AcDb::DxfCode code, double value) = 0;
  virtual Acad::ErrorStatus writePoint3d(AcDb::DxfCode code, const AcGePoint3d& value) = 0;
  virtual Acad::ErrorStatus writeObjectId(AcDb::DxfCode code, const AcDbObjectId& id) = 0;
};
