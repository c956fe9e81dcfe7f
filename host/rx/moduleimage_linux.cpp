// The check of a module file on Linux: a 64-bit ELF shared object, and the
// libraries it needs.
#include <elf.h>
#include <cstring>
#include "rx/imagefile.h"
#include "rx/moduleimage.h"

namespace kvhost {
namespace {

// The file offset of a virtual address that a loaded segment takes from the file.
bool fileOffset(const std::vector<Elf64_Phdr>& segments, uint64_t address, uint64_t& offset) {
  for (const Elf64_Phdr& s : segments)
    if (s.p_type == PT_LOAD && address >= s.p_vaddr && address - s.p_vaddr < s.p_filesz) {
      offset = s.p_offset + (address - s.p_vaddr);
      return true;
    }
  return false;
}

}  // namespace

bool ModuleImage::readFrom(ImageFile& file, std::wstring& why) {
  Elf64_Ehdr header;
  if (!file.read(0, &header, sizeof header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
    return refuseImage(why, L"not a shared object");
  if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_type != ET_DYN || header.e_phentsize != sizeof(Elf64_Phdr))
    return refuseImage(why, L"not a 64-bit shared object");
  if (!file.table(header.e_phoff, header.e_phnum, sizeof(Elf64_Phdr)))
    return refuseImage(why, std::wstring(kDamagedImage) + L"its program headers lie beyond its end");
  if (header.e_shnum != 0 && !file.table(header.e_shoff, header.e_shnum, header.e_shentsize))
    return refuseImage(why, std::wstring(kDamagedImage) + L"its section headers lie beyond its end");

  std::vector<Elf64_Phdr> segments(header.e_phnum);
  file.read(header.e_phoff, segments.data(), segments.size() * sizeof(Elf64_Phdr));
  const Elf64_Phdr* dynamic = nullptr;
  for (const Elf64_Phdr& s : segments) {
    if (!file.contains(s.p_offset, s.p_filesz) || (s.p_type == PT_LOAD && s.p_filesz > s.p_memsz))
      return refuseImage(why, std::wstring(kDamagedImage) + L"a segment lies beyond its end");
    if (s.p_type == PT_DYNAMIC) dynamic = &s;
  }
  if (dynamic == nullptr) return refuseImage(why, L"not a shared object (no dynamic section)");

  std::vector<Elf64_Dyn> entries(dynamic->p_filesz / sizeof(Elf64_Dyn));
  file.read(dynamic->p_offset, entries.data(), entries.size() * sizeof(Elf64_Dyn));
  uint64_t strtab = 0, strsz = 0;
  for (const Elf64_Dyn& e : entries) {
    if (e.d_tag == DT_STRTAB) strtab = e.d_un.d_ptr;
    if (e.d_tag == DT_STRSZ) strsz = e.d_un.d_val;
  }
  uint64_t stringsAt = 0;
  if (!fileOffset(segments, strtab, stringsAt) || !file.contains(stringsAt, strsz))
    return refuseImage(why, std::wstring(kDamagedImage) + L"its dynamic string table lies beyond its end");
  std::string strings(strsz, '\0');
  file.read(stringsAt, &strings[0], strsz);
  for (const Elf64_Dyn& e : entries) {
    if (e.d_tag == DT_NULL) break;
    if (e.d_tag != DT_NEEDED && e.d_tag != DT_SONAME) continue;
    if (e.d_un.d_val >= strsz) return refuseImage(why, std::wstring(kDamagedImage) + L"a library name lies beyond its string table");
    std::string name = strings.c_str() + e.d_un.d_val;
    if (e.d_tag == DT_SONAME)
      m_soname = name;
    else
      m_needed.push_back(name);
  }
  return true;
}

}  // namespace kvhost
