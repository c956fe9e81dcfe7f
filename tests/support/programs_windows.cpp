// Programs run on Windows.
#include <windows.h>
#include <cwchar>
#include "programs.h"

namespace programs {

const char* const kMemoryFault = "exception 0xC0000005";
const char* const kNullDevice = "NUL";
const int kMemoryFaultStatus = static_cast<int>(EXCEPTION_ACCESS_VIOLATION);

namespace {

std::wstring wide(const std::string& s) {
  std::wstring out(s.size(), L'\0');
  out.resize(MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), static_cast<int>(out.size())));
  return out;
}

// One argument as the child's C runtime splits its command line again.
std::wstring quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    out += c;
    backslashes = 0;
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

bool named(const wchar_t* variable, const std::wstring& name) {
  return _wcsnicmp(variable, name.c_str(), name.size()) == 0;
}

// This process's environment with the temporary folders pointed at dir.
std::wstring environmentFor(const std::wstring& dir) {
  std::wstring block;
  for (const wchar_t* name : {L"TMP=", L"TEMP=", L"TMPDIR="}) block += name + dir + L'\0';
  wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* v = strings; *v; v += wcslen(v) + 1)
    if (!named(v, L"TMP=") && !named(v, L"TEMP=") && !named(v, L"TMPDIR=")) block += std::wstring(v) + L'\0';
  FreeEnvironmentStringsW(strings);
  return block + L'\0';
}

// A handle the child inherits.
HANDLE inherited(const std::wstring& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool makeFifo(const std::string&) { return false; }

int run(const std::string& program, const std::vector<std::string>& arguments, const std::string& dir,
        const std::string& outFile, const std::string& errFile) {
  std::wstring commandLine = quoted(wide(program));
  for (const std::string& a : arguments) commandLine += L" " + quoted(wide(a));
  std::wstring environment = environmentFor(wide(dir));
  const HANDLE in = inherited(L"NUL", GENERIC_READ, OPEN_EXISTING);
  const HANDLE out = inherited(wide(outFile), GENERIC_WRITE, CREATE_ALWAYS);
  const HANDLE err = inherited(wide(errFile), GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in, startup.hStdOutput = out, startup.hStdError = err;
  PROCESS_INFORMATION child{};
  const bool started = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                       CreateProcessW(wide(program).c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                      CREATE_UNICODE_ENVIRONMENT, environment.data(), wide(dir).c_str(), &startup, &child);
  for (HANDLE h : {in, out, err})
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  if (!started) return -1;
  DWORD status = 0;
  WaitForSingleObject(child.hProcess, INFINITE);
  const bool ended = GetExitCodeProcess(child.hProcess, &status);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return ended ? static_cast<int>(status) : -1;
}

bool systemHeapBytes(size_t& bytes) {
  HANDLE heap = GetProcessHeap();
  PROCESS_HEAP_ENTRY entry = {};
  if (!HeapLock(heap)) return false;
  for (bytes = 0; HeapWalk(heap, &entry);) bytes += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ? entry.cbData : 0;
  return HeapUnlock(heap) != 0;
}

void* loadedLibrary(const std::string& fileName) { return GetModuleHandleW(wide(fileName).c_str()); }

}  // namespace programs
