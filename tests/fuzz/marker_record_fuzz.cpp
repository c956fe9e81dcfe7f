// Any record in place of the undo marker's, in an otherwise sound drawing.
// The first byte picks the form: even, the rest is the marker's DWG record
// (owner handle, version, counter); odd, the rest is DXF text that replaces
// the marker's groups after its subclass marker.
#include <cstring>
#include "fuzz_session.h"

namespace {

using kovafuzz::fail;

// Reads the host's binary drawing layout far enough to find one object's record.
class DwgLayout {
 public:
  explicit DwgLayout(const std::string& bytes) : m_bytes(bytes) {}

  // The offset of the length field before the record of the first object of the class.
  size_t recordLengthOffset(const std::string& className) {
    skip(8 + 2 + 8);  // magic, version, handle seed
    for (uint32_t n = u32(); n > 0; --n) {
      string();
      string();
    }
    skip(8);  // the named-object dictionary's handle
    for (uint32_t n = u32(); n > 0; --n) {
      skip(8);
      bool found = string() == className;
      size_t at = m_pos;
      skip(u32());
      if (found) return at;
    }
    fail("the seed drawing has no undo marker");
  }

 private:
  void skip(size_t n) {
    if (n > m_bytes.size() - m_pos) fail("the seed drawing is not in the expected layout");
    m_pos += n;
  }
  uint32_t u32() {
    uint32_t v = 0;
    skip(4);
    std::memcpy(&v, m_bytes.data() + m_pos - 4, 4);
    return v;
  }
  std::string string() {
    uint32_t n = u32();
    skip(n);
    return m_bytes.substr(m_pos - n, n);
  }

  const std::string& m_bytes;
  size_t m_pos = 0;
};

std::string withDwgRecord(const std::string& seed, const std::string& record) {
  static const size_t at = DwgLayout(seed).recordLengthOffset("KOVAUndoObject");
  uint32_t oldLength = 0, newLength = static_cast<uint32_t>(record.size());
  std::memcpy(&oldLength, seed.data() + at, 4);
  std::string file = seed.substr(0, at);
  file.append(reinterpret_cast<const char*>(&newLength), 4);
  file += record;
  file += seed.substr(at + 4 + oldLength);
  return file;
}

std::string withDxfGroups(const std::string& seed, const std::string& groups) {
  const std::string subclass = "\n100\nKOVA_UNDO_OBJECT\n";
  size_t begin = seed.find(subclass);
  if (begin == std::string::npos) fail("the seed drawing has no undo marker");
  begin += subclass.size();
  size_t end = seed.find("  0\n", begin);
  if (end == std::string::npos) fail("the seed drawing is not in the expected layout");
  return seed.substr(0, begin) + groups + seed.substr(end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  auto& session = kovafuzz::Session::instance();
  std::string rest(data + 1, data + size);
  if (data[0] % 2 == 0)
    session.openAndCheck(withDwgRecord(session.seedDrawing(kovafuzz::Form::kDwg), rest), kovafuzz::Form::kDwg);
  else
    session.openAndCheck(withDxfGroups(session.seedDrawing(kovafuzz::Form::kDxf), rest), kovafuzz::Form::kDxf);
  return 0;
}
