// Any record in place of the undo marker's, in an otherwise sound drawing.
// The first byte picks the form: even, the rest is the marker's DWG record
// (owner handle, version, counter); odd, the rest is DXF text that replaces
// the marker's groups after its subclass marker.
#include <cstring>
#include "fuzz_session.h"

namespace {

using kovafuzz::fail;

std::string lengthField(size_t n) {
  const uint32_t length = static_cast<uint32_t>(n);
  return std::string(reinterpret_cast<const char*>(&length), 4);
}

// The host's binary form files an object as its class name and its record,
// each after its length; the seed's marker record is 14 bytes long.
std::string withDwgRecord(const std::string& seed, const std::string& record) {
  const std::string filed = lengthField(14) + "KOVAUndoObject" + lengthField(14);
  const size_t at = seed.find(filed);
  if (at == std::string::npos) fail("the seed drawing has no undo marker");
  const size_t begin = at + filed.size() - 4;
  return seed.substr(0, begin) + lengthField(record.size()) + record + seed.substr(begin + 4 + 14);
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
  using kovafuzz::Form;
  std::string rest(data + 1, data + size);
  if (data[0] % 2 == 0)
    kovafuzz::openAndCheck(withDwgRecord(kovafuzz::seedDrawing(Form::kDwg), rest), Form::kDwg);
  else
    kovafuzz::openAndCheck(withDxfGroups(kovafuzz::seedDrawing(Form::kDxf), rest), Form::kDxf);
  return 0;
}
