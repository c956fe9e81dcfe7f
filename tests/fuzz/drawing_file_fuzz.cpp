// Any file handed to the drawing reader: the first byte picks the form
// (even: the host's binary form, odd: DXF), the rest is the file.
#include "fuzz_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  auto form = data[0] % 2 == 0 ? kovafuzz::Form::kDwg : kovafuzz::Form::kDxf;
  kovafuzz::openAndCheck(std::string(data + 1, data + size), form);
  return 0;
}
