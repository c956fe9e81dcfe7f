// Layer table records: a layer's name and its state, read from the groups of
// its record and filed in their places.
#include <cstdlib>
#include "database/dbimpl.h"

using kvhost::readSubclass;

Adesk::UInt16 AcDbLayerTableRecord::colorIndex() const {
  return static_cast<Adesk::UInt16>(std::abs(static_cast<int>(m_color)));
}

Acad::ErrorStatus AcDbLayerTableRecord::setColorIndex(Adesk::UInt16 color) {
  if (color < 1 || color > 255) return Acad::eInvalidInput;
  assertWriteEnabled();
  m_color = static_cast<Adesk::Int16>(isOff() ? -color : color);
  return Acad::eOk;
}

Acad::ErrorStatus AcDbLayerTableRecord::setIsOff(bool off) {
  assertWriteEnabled();
  const Adesk::Int16 color = static_cast<Adesk::Int16>(colorIndex());
  m_color = off ? static_cast<Adesk::Int16>(-color) : color;
  return Acad::eOk;
}

Acad::ErrorStatus AcDbLayerTableRecord::setFlag(Flag flag, bool on) {
  assertWriteEnabled();
  m_flags = static_cast<Adesk::Int16>(on ? m_flags | flag : m_flags & ~flag);
  return Acad::eOk;
}
Acad::ErrorStatus AcDbLayerTableRecord::setIsFrozen(bool frozen) { return setFlag(kFrozen, frozen); }
Acad::ErrorStatus AcDbLayerTableRecord::setIsLocked(bool locked) { return setFlag(kLocked, locked); }

Acad::ErrorStatus AcDbLayerTableRecord::setLineWeight(int lineWeight) {
  if (lineWeight < -3 || lineWeight > 211) return Acad::eInvalidInput;
  assertWriteEnabled();
  m_lineWeight = lineWeight;
  return Acad::eOk;
}

Acad::ErrorStatus AcDbLayerTableRecord::setIsPlottable(bool plottable) {
  assertWriteEnabled();
  m_plottable = plottable;
  return Acad::eOk;
}

Acad::ErrorStatus AcDbLayerTableRecord::dwgInFields(AcDbDwgFiler* filer) {
  Acad::ErrorStatus es = AcDbObject::dwgInFields(filer);
  if (es != Acad::eOk) return es;
  Adesk::Int16 lineWeight = 0;
  filer->readString(m_name);
  filer->readInt16(&m_flags);
  filer->readInt16(&m_color);
  filer->readInt16(&lineWeight);
  filer->readBool(&m_plottable);
  m_lineWeight = lineWeight;
  return filer->readString(m_linetype);
}

Acad::ErrorStatus AcDbLayerTableRecord::dwgOutFields(AcDbDwgFiler* filer) const {
  Acad::ErrorStatus es = AcDbObject::dwgOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeString(m_name.c_str());
  filer->writeInt16(m_flags);
  filer->writeInt16(m_color);
  filer->writeInt16(static_cast<Adesk::Int16>(m_lineWeight));
  filer->writeBool(m_plottable);
  return filer->writeString(m_linetype.c_str());
}

// A record whose groups are not where a layer's stand (a subclass marker
// missing or out of place, no name) is not read as a layer: the drawing
// keeps it as the file held it.
Acad::ErrorStatus AcDbLayerTableRecord::dxfInFields(AcDbDxfFiler* filer) {
  Acad::ErrorStatus es = AcDbObject::dxfInFields(filer);
  if (es != Acad::eOk) return es;
  bool named = false;
  auto take = [&](const resbuf& rb) {
    switch (rb.restype) {
      case 2: m_name = rb.text, named = true; break;
      case 6: m_linetype = rb.text; break;
      case 62: m_color = static_cast<Adesk::Int16>(rb.int32); break;
      case 70: m_flags = static_cast<Adesk::Int16>(rb.int32); break;
      case 290: m_plottable = rb.int32 != 0; break;
      case 370: m_lineWeight = rb.int32; break;
      default: break;
    }
  };
  if (readSubclass(filer, L"AcDbSymbolTableRecord", [](const resbuf&) {}, true) != Acad::eOk ||
      readSubclass(filer, L"AcDbLayerTableRecord", take, true) != Acad::eOk || !named)
    return Acad::eMakeMeProxy;
  return Acad::eOk;
}

// What a layer holds by default beyond the groups every layer record has
// (its name, flags, colour and linetype) is filed only where it differs, so
// that a record that did not write it is written back without it.
Acad::ErrorStatus AcDbLayerTableRecord::dxfOutFields(AcDbDxfFiler* filer) const {
  Acad::ErrorStatus es = AcDbObject::dxfOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeString(AcDb::kDxfSubclass, L"AcDbSymbolTableRecord");
  filer->writeString(AcDb::kDxfSubclass, L"AcDbLayerTableRecord");
  filer->writeString(static_cast<AcDb::DxfCode>(2), m_name.c_str());
  filer->writeInt16(static_cast<AcDb::DxfCode>(70), m_flags);
  filer->writeInt16(AcDb::kDxfColor, m_color);
  filer->writeString(static_cast<AcDb::DxfCode>(6), m_linetype.c_str());
  if (!m_plottable) filer->writeInt16(static_cast<AcDb::DxfCode>(290), 0);
  if (m_lineWeight != kDefaultLineWeight)
    filer->writeInt16(static_cast<AcDb::DxfCode>(370), static_cast<Adesk::Int16>(m_lineWeight));
  return filer->filerStatus();
}
