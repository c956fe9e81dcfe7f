// The host's entities: lines, circles and texts on their layers, and the
// entities of types it does not model.
#include "database/dbimpl.h"

using kvhost::readSubclass;

// ---- Entities ----

Acad::ErrorStatus AcDbEntity::setLayer(const ACHAR* name) {
  assertWriteEnabled();
  m_layer = name ? name : L"0";
  return Acad::eOk;
}
Acad::ErrorStatus AcDbEntity::setColorIndex(Adesk::UInt16 color) {
  assertWriteEnabled();
  m_color = color;
  return Acad::eOk;
}
Acad::ErrorStatus AcDbEntity::recordGraphicsModified(bool setModified) {
  assertWriteEnabled(false, true);
  openState().graphicsModified = setModified;
  return Acad::eOk;
}

Acad::ErrorStatus AcDbEntity::dwgInFields(AcDbDwgFiler* filer) {
  Acad::ErrorStatus es = AcDbObject::dwgInFields(filer);
  if (es != Acad::eOk) return es;
  filer->readString(m_layer);
  return filer->readUInt16(&m_color);
}
Acad::ErrorStatus AcDbEntity::dwgOutFields(AcDbDwgFiler* filer) const {
  Acad::ErrorStatus es = AcDbObject::dwgOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeString(m_layer.c_str());
  return filer->writeUInt16(m_color);
}
Acad::ErrorStatus AcDbEntity::dxfInFields(AcDbDxfFiler* filer) {
  Acad::ErrorStatus es = AcDbObject::dxfInFields(filer);
  if (es != Acad::eOk) return es;
  return readSubclass(filer, L"AcDbEntity", [&](const resbuf& rb) {
    if (rb.restype == AcDb::kDxfLayerName) m_layer = rb.text;
    if (rb.restype == AcDb::kDxfColor) m_color = static_cast<Adesk::UInt16>(rb.int32);
  });
}
Acad::ErrorStatus AcDbEntity::dxfOutFields(AcDbDxfFiler* filer) const {
  Acad::ErrorStatus es = AcDbObject::dxfOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeString(AcDb::kDxfSubclass, L"AcDbEntity");
  filer->writeString(AcDb::kDxfLayerName, m_layer.c_str());
  if (m_color != 256) filer->writeInt16(AcDb::kDxfColor, static_cast<Adesk::Int16>(m_color));
  return filer->filerStatus();
}

Acad::ErrorStatus AcDbLine::setStartPoint(const AcGePoint3d& p) {
  assertWriteEnabled();
  m_start = p;
  return Acad::eOk;
}
Acad::ErrorStatus AcDbLine::setEndPoint(const AcGePoint3d& p) {
  assertWriteEnabled();
  m_end = p;
  return Acad::eOk;
}
Acad::ErrorStatus AcDbLine::dwgInFields(AcDbDwgFiler* filer) {
  Acad::ErrorStatus es = AcDbEntity::dwgInFields(filer);
  if (es != Acad::eOk) return es;
  filer->readPoint3d(&m_start);
  return filer->readPoint3d(&m_end);
}
Acad::ErrorStatus AcDbLine::dwgOutFields(AcDbDwgFiler* filer) const {
  Acad::ErrorStatus es = AcDbEntity::dwgOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writePoint3d(m_start);
  return filer->writePoint3d(m_end);
}
Acad::ErrorStatus AcDbLine::dxfInFields(AcDbDxfFiler* filer) {
  Acad::ErrorStatus es = AcDbEntity::dxfInFields(filer);
  if (es != Acad::eOk) return es;
  return readSubclass(filer, L"AcDbLine", [&](const resbuf& rb) {
    if (rb.restype == 10) m_start = rb.point;
    if (rb.restype == 11) m_end = rb.point;
  });
}
Acad::ErrorStatus AcDbLine::dxfOutFields(AcDbDxfFiler* filer) const {
  Acad::ErrorStatus es = AcDbEntity::dxfOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeString(AcDb::kDxfSubclass, L"AcDbLine");
  filer->writePoint3d(static_cast<AcDb::DxfCode>(10), m_start);
  return filer->writePoint3d(static_cast<AcDb::DxfCode>(11), m_end);
}

Acad::ErrorStatus AcDbCircle::setCenter(const AcGePoint3d& p) {
  assertWriteEnabled();
  m_center = p;
  return Acad::eOk;
}
Acad::ErrorStatus AcDbCircle::setRadius(double r) {
  if (r <= 0) return Acad::eInvalidInput;
  assertWriteEnabled();
  m_radius = r;
  return Acad::eOk;
}
Acad::ErrorStatus AcDbCircle::dwgInFields(AcDbDwgFiler* filer) {
  Acad::ErrorStatus es = AcDbEntity::dwgInFields(filer);
  if (es != Acad::eOk) return es;
  filer->readPoint3d(&m_center);
  return filer->readDouble(&m_radius);
}
Acad::ErrorStatus AcDbCircle::dwgOutFields(AcDbDwgFiler* filer) const {
  Acad::ErrorStatus es = AcDbEntity::dwgOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writePoint3d(m_center);
  return filer->writeDouble(m_radius);
}
Acad::ErrorStatus AcDbCircle::dxfInFields(AcDbDxfFiler* filer) {
  Acad::ErrorStatus es = AcDbEntity::dxfInFields(filer);
  if (es != Acad::eOk) return es;
  return readSubclass(filer, L"AcDbCircle", [&](const resbuf& rb) {
    if (rb.restype == 10) m_center = rb.point;
    if (rb.restype == 40) m_radius = rb.real;
  });
}
Acad::ErrorStatus AcDbCircle::dxfOutFields(AcDbDxfFiler* filer) const {
  Acad::ErrorStatus es = AcDbEntity::dxfOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeString(AcDb::kDxfSubclass, L"AcDbCircle");
  filer->writePoint3d(static_cast<AcDb::DxfCode>(10), m_center);
  return filer->writeDouble(AcDb::kDxfReal, m_radius);
}

Acad::ErrorStatus AcDbText::setPosition(const AcGePoint3d& p) {
  assertWriteEnabled();
  m_position = p;
  return Acad::eOk;
}
Acad::ErrorStatus AcDbText::setTextString(const ACHAR* text) {
  assertWriteEnabled();
  m_text = text ? text : L"";
  return Acad::eOk;
}
Acad::ErrorStatus AcDbText::dwgInFields(AcDbDwgFiler* filer) {
  Acad::ErrorStatus es = AcDbEntity::dwgInFields(filer);
  if (es != Acad::eOk) return es;
  filer->readPoint3d(&m_position);
  return filer->readString(m_text);
}
Acad::ErrorStatus AcDbText::dwgOutFields(AcDbDwgFiler* filer) const {
  Acad::ErrorStatus es = AcDbEntity::dwgOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writePoint3d(m_position);
  return filer->writeString(m_text.c_str());
}
Acad::ErrorStatus AcDbText::dxfInFields(AcDbDxfFiler* filer) {
  Acad::ErrorStatus es = AcDbEntity::dxfInFields(filer);
  if (es != Acad::eOk) return es;
  auto take = [&](const resbuf& rb) {
    if (rb.restype == 10) m_position = rb.point;
    if (rb.restype == 1) m_text = rb.text;
  };
  // The second marker (alignment) is missing in files of earlier versions.
  readSubclass(filer, L"AcDbText", take);
  return readSubclass(filer, L"AcDbText", take);
}
Acad::ErrorStatus AcDbText::dxfOutFields(AcDbDxfFiler* filer) const {
  Acad::ErrorStatus es = AcDbEntity::dxfOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeString(AcDb::kDxfSubclass, L"AcDbText");
  filer->writePoint3d(static_cast<AcDb::DxfCode>(10), m_position);
  filer->writeDouble(AcDb::kDxfReal, 2.5);
  filer->writeString(AcDb::kDxfText, m_text.c_str());
  return filer->writeString(AcDb::kDxfSubclass, L"AcDbText");
}

AcDbProxyEntity::AcDbProxyEntity(const ACHAR* dxfName) : m_dxfName(dxfName ? dxfName : L"") {}
Acad::ErrorStatus AcDbProxyEntity::dwgInFields(AcDbDwgFiler* filer) {
  Acad::ErrorStatus es = AcDbEntity::dwgInFields(filer);
  if (es != Acad::eOk) return es;
  return filer->readString(m_dxfName);
}
Acad::ErrorStatus AcDbProxyEntity::dwgOutFields(AcDbDwgFiler* filer) const {
  Acad::ErrorStatus es = AcDbEntity::dwgOutFields(filer);
  if (es != Acad::eOk) return es;
  return filer->writeString(m_dxfName.c_str());
}
