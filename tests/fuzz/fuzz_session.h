// What the fuzz targets share: one host session with the hub loaded and a
// client registered, so commands are marked and drawings carry an undo
// marker; drawing files written to a private directory; and the check that
// a drawing that opened is a whole one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

class AcApDocument;

namespace kovafuzz {

enum class Form { kDwg, kDxf };

class Session {
 public:
  // Started on first use, ended when the program exits.
  static Session& instance();

  // A drawing saved by the host in the given form: two entities, two marked commands.
  const std::string& seedDrawing(Form form) const { return form == Form::kDwg ? m_seedDwg : m_seedDxf; }

  // Opens bytes as a drawing file of the given form. A drawing that opens
  // must take a marked command, and saved and opened again it must come
  // back the same; anything else aborts. Every document is closed after.
  void openAndCheck(const std::string& bytes, Form form);

 private:
  Session();
  ~Session();
  std::wstring path(const wchar_t* name) const;
  AcApDocument* open(const std::wstring& file);

  std::wstring m_dir;
  std::string m_seedDwg, m_seedDxf;
};

// Stops the run with a message: the fuzzer reports it as a crash.
[[noreturn]] void fail(const char* what);

}  // namespace kovafuzz
