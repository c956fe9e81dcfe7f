// The symbol tables of a DXF file's frame: viewports, line types, layers,
// text styles, views, coordinate systems, applications, dimension styles and
// the block records of the two spaces.
#include "files/dxfframe.h"

namespace kvhost {
namespace {

void symbolTable(DxfText& out, const char* name, AcDbHandle handle, size_t count) {
  out.tag(0, "TABLE");
  out.tag(2, name);
  out.handle(5, handle);
  out.tag(330, "0");
  out.tag(100, "AcDbSymbolTable");
  out.tag(70, static_cast<int>(count));
}

void tableRecord(DxfText& out, const char* type, AcDbHandle handle, AcDbHandle table, const char* subclass,
                 const std::wstring& name) {
  out.tag(0, type);
  out.handle(5, handle);
  out.handle(330, table);
  out.tag(100, "AcDbSymbolTableRecord");
  out.tag(100, subclass);
  out.tag(2, name);
  out.tag(70, 0);
}

}  // namespace

void DxfFrame::tables(DxfText& out) const {
  out.tag(0, "SECTION");
  out.tag(2, "TABLES");
  symbolTable(out, "VPORT", m_vportTable, 1);
  tableRecord(out, "VPORT", m_vport, m_vportTable, "AcDbViewportTableRecord", L"*Active");
  out.tag(0, "ENDTAB");
  linetypes(out);
  symbolTable(out, "LAYER", m_layerTable, m_layers.size());
  for (const Record& rec : m_layers) layer(out, rec);
  out.tag(0, "ENDTAB");
  textStyles(out);
  symbolTable(out, "VIEW", m_viewTable, 0);
  out.tag(0, "ENDTAB");
  symbolTable(out, "UCS", m_ucsTable, 0);
  out.tag(0, "ENDTAB");
  symbolTable(out, "APPID", m_appTable, m_apps.size());
  for (const Record& rec : m_apps)
    tableRecord(out, "APPID", rec.handle, m_appTable, "AcDbRegAppTableRecord", rec.name);
  out.tag(0, "ENDTAB");
  dimensionStyles(out);
  blockRecords(out);
  out.tag(0, "ENDSEC");
}

void DxfFrame::linetypes(DxfText& out) const {
  symbolTable(out, "LTYPE", m_ltypeTable, m_ltypes.size());
  for (const Record& rec : m_ltypes) {
    tableRecord(out, "LTYPE", rec.handle, m_ltypeTable, "AcDbLinetypeTableRecord", rec.name);
    out.tag(3, rec.name == L"Continuous" ? "Solid line" : "");
    out.tag(72, 65);
    out.tag(73, 0);
    out.tag(40, 0.0);
  }
  out.tag(0, "ENDTAB");
}

void DxfFrame::layer(DxfText& out, const Record& rec) const {
  tableRecord(out, "LAYER", rec.handle, m_layerTable, "AcDbLayerTableRecord", rec.name);
  out.tag(62, 7);
  out.tag(6, "Continuous");
  if (!isPlotted(rec.name)) out.tag(290, 0);
  out.tag(370, -3);
  out.handle(390, m_placeholder);
}

void DxfFrame::textStyles(DxfText& out) const {
  symbolTable(out, "STYLE", m_styleTable, 1);
  tableRecord(out, "STYLE", m_style, m_styleTable, "AcDbTextStyleTableRecord", L"Standard");
  out.tag(40, 0.0);
  out.tag(41, 1.0);
  out.tag(50, 0.0);
  out.tag(71, 0);
  out.tag(42, 2.5);
  out.tag(3, "txt");
  out.tag(4, "");
  out.tag(0, "ENDTAB");
}

void DxfFrame::dimensionStyles(DxfText& out) const {
  symbolTable(out, "DIMSTYLE", m_dimTable, 1);
  out.tag(100, "AcDbDimStyleTable");
  out.tag(0, "DIMSTYLE");
  out.handle(105, m_dimStyle);
  out.handle(330, m_dimTable);
  out.tag(100, "AcDbSymbolTableRecord");
  out.tag(100, "AcDbDimStyleTableRecord");
  out.tag(2, "Standard");
  out.tag(70, 0);
  out.tag(0, "ENDTAB");
}

void DxfFrame::blockRecords(DxfText& out) const {
  symbolTable(out, "BLOCK_RECORD", m_blockTable, 2);
  const std::vector<Record>& layouts = root(L"ACAD_LAYOUT").members;
  for (AcDbHandle space : {m_modelSpace, m_paperSpace}) {
    bool model = space == m_modelSpace;
    tableRecord(out, "BLOCK_RECORD", space, m_blockTable, "AcDbBlockTableRecord",
                model ? L"*Model_Space" : L"*Paper_Space");
    out.handle(340, layouts[model ? 0 : 1].handle);
    out.tag(280, 1);
    out.tag(281, 0);
  }
  out.tag(0, "ENDTAB");
}

}  // namespace kvhost
