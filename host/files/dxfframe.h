// What a DXF file holds around a drawing's own objects. The drawing keeps
// none of the frame but the header's variables: it is built at each save
// and skipped when reading.
#pragma once
#include <set>
#include <string>
#include <utility>
#include <vector>
#include "files/dxf.h"

namespace kvhost {

// The header, the classes of its own objects, the symbol tables, the two
// layout blocks and the standard entries of the root dictionary with their
// objects (layouts, plot style, materials, styles), as a release AC1024
// file holds them, so that readers need not add any of it.
class DxfFrame {
 public:
  // The frame's objects take the handles from firstFree on. Layers and
  // application names are those the drawing's objects use.
  DxfFrame(AcDbHandle nod, AcDbHandle firstFree, const std::set<std::wstring>& layers,
           const std::set<std::wstring>& apps);

  AcDbHandle handseed() const { return m_next; }
  AcDbHandle modelSpace() const { return m_modelSpace; }

  // The variables a file states about itself ($ACADVER, $HANDSEED, ...).
  void fileVariables(DxfText& out) const;
  // The drawing's variables readers expect, those not written yet at their
  // default values.
  static void requiredVariables(DxfText& out, const std::set<std::wstring>& written);
  // After the drawing's own classes, so that their numbers stay as they are.
  void classes(DxfText& out, const std::set<std::wstring>& taken) const;
  void tables(DxfText& out) const;
  void blocks(DxfText& out) const;
  // Adds the standard entries the drawing's root dictionary lacks.
  void addRootEntries(std::vector<resbuf>& rootGroups);
  // The objects of the entries added.
  void objects(DxfText& out) const;

  // A root dictionary entry that the frame builds.
  static bool isRootEntry(const std::wstring& key);
  // The layers of the frame's table for those the drawing's objects use.
  static std::set<std::wstring> layerNames(const std::set<std::wstring>& used);
  static bool isPlotted(const std::wstring& layer) { return layer != L"Defpoints"; }
  // The group code the frame writes a header variable's value with, and
  // whether it writes the variable at all (a name DXF can hold).
  static int variableCode(const std::wstring& name);
  static bool isWritableName(const std::wstring& name);
  // A header variable that each save writes anew (the release, the dates).
  static bool isFileVariable(const std::wstring& name);

 private:
  struct Record {
    std::wstring name;
    AcDbHandle handle;
  };
  struct RootEntry {
    const wchar_t* key;
    AcDbHandle handle;
    std::vector<Record> members;
    bool added;
  };
  AcDbHandle take() { return m_next++; }
  const RootEntry& root(const wchar_t* key) const;
  void linetypes(DxfText& out) const;
  void layer(DxfText& out, const Record& rec) const;
  void textStyles(DxfText& out) const;
  void dimensionStyles(DxfText& out) const;
  void blockRecords(DxfText& out) const;
  void member(DxfText& out, const RootEntry& entry, const Record& rec) const;
  void layout(DxfText& out, const RootEntry& entry, const Record& rec) const;

  AcDbHandle m_nod, m_next;
  AcDbHandle m_vportTable, m_vport, m_ltypeTable, m_layerTable, m_styleTable, m_style, m_viewTable, m_ucsTable,
      m_appTable, m_dimTable, m_dimStyle, m_blockTable, m_modelSpace, m_paperSpace;
  std::vector<Record> m_ltypes, m_layers, m_apps, m_blockEntities;
  std::vector<RootEntry> m_root;
  AcDbHandle m_placeholder;
};

}  // namespace kvhost
