// The check of a module file on Windows: a 64-bit PE DLL, and the DLLs its
// import table names.
#include <windows.h>
#include <cwctype>
#include <vector>
#include "rx/imagefile.h"
#include "rx/moduleimage.h"

namespace kvhost {
namespace {

// The file offset of a relative virtual address that a section takes from the file.
bool fileOffset(const std::vector<IMAGE_SECTION_HEADER>& sections, uint64_t rva, uint64_t& offset) {
  for (const IMAGE_SECTION_HEADER& s : sections)
    if (rva >= s.VirtualAddress && rva - s.VirtualAddress < s.SizeOfRawData) {
      offset = s.PointerToRawData + (rva - s.VirtualAddress);
      return true;
    }
  return false;
}

// A name the image holds at a relative virtual address, read up to its end.
bool readName(ImageFile& file, const std::vector<IMAGE_SECTION_HEADER>& sections, uint64_t rva, std::string& name) {
  uint64_t at = 0;
  if (!fileOffset(sections, rva, at)) return false;
  name.clear();
  for (char c = 0; name.size() < 4096; name += c)
    if (!file.read(at + name.size(), &c, 1)) return false;
    else if (c == 0) return true;
  return false;
}

}  // namespace

bool ModuleImage::readFrom(ImageFile& file, std::wstring& why) {
  IMAGE_DOS_HEADER dos;
  if (!file.read(0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE) return refuseImage(why, L"not a DLL");
  IMAGE_NT_HEADERS64 nt;
  if (dos.e_lfanew < 0 || !file.read(static_cast<uint64_t>(dos.e_lfanew), &nt, sizeof nt))
    return refuseImage(why, std::wstring(kDamagedImage) + L"its PE header lies beyond its end");
  if (nt.Signature != IMAGE_NT_SIGNATURE) return refuseImage(why, L"not a DLL");
  if (nt.FileHeader.Machine != IMAGE_FILE_MACHINE_AMD64 || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
      !(nt.FileHeader.Characteristics & IMAGE_FILE_DLL))
    return refuseImage(why, L"not a 64-bit DLL");
  const uint64_t sectionsAt = static_cast<uint64_t>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                              nt.FileHeader.SizeOfOptionalHeader;
  if (!file.table(sectionsAt, nt.FileHeader.NumberOfSections, sizeof(IMAGE_SECTION_HEADER)))
    return refuseImage(why, std::wstring(kDamagedImage) + L"its section table lies beyond its end");
  std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
  file.read(sectionsAt, sections.data(), sections.size() * sizeof(IMAGE_SECTION_HEADER));
  for (const IMAGE_SECTION_HEADER& s : sections)
    if (!file.contains(s.PointerToRawData, s.SizeOfRawData))
      return refuseImage(why, std::wstring(kDamagedImage) + L"a section lies beyond its end");

  const IMAGE_DATA_DIRECTORY* directories = nt.OptionalHeader.DataDirectory;
  const IMAGE_DATA_DIRECTORY& exports = directories[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (nt.OptionalHeader.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_EXPORT && exports.Size != 0) {
    IMAGE_EXPORT_DIRECTORY directory;
    uint64_t at = 0;
    if (!fileOffset(sections, exports.VirtualAddress, at) || !file.read(at, &directory, sizeof directory) ||
        !readName(file, sections, directory.Name, m_soname))
      return refuseImage(why, std::wstring(kDamagedImage) + L"its export table lies beyond its end");
  }
  const IMAGE_DATA_DIRECTORY& imports = directories[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (nt.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT || imports.Size == 0) return true;
  uint64_t at = 0;
  if (!fileOffset(sections, imports.VirtualAddress, at))
    return refuseImage(why, std::wstring(kDamagedImage) + L"its import table lies beyond its end");
  for (IMAGE_IMPORT_DESCRIPTOR entry;; at += sizeof entry) {
    if (!file.read(at, &entry, sizeof entry))
      return refuseImage(why, std::wstring(kDamagedImage) + L"its import table lies beyond its end");
    if (entry.Name == 0) break;
    std::string name;
    if (!readName(file, sections, entry.Name, name))
      return refuseImage(why, std::wstring(kDamagedImage) + L"a DLL name lies beyond its end");
    m_needed.push_back(name);
  }
  return true;
}

}  // namespace kvhost
