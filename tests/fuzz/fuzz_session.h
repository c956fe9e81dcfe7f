// What the fuzz targets share: one host session, started on first use, with
// the hub loaded and a client registered, so commands are marked and
// drawings carry an undo marker.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kovafuzz {

enum class Form { kDwg, kDxf };

// A drawing saved by the host in the given form: two entities, two marked commands.
const std::string& seedDrawing(Form form);

// Opens bytes as a drawing file of the given form. A drawing that opens
// must take a marked command, and saved and opened again it must come back
// the same; anything else aborts. Every document is closed after.
void openAndCheck(const std::string& bytes, Form form);

// Stops the run with a message: the fuzzer reports it as a crash.
[[noreturn]] void fail(const char* what);

}  // namespace kovafuzz
