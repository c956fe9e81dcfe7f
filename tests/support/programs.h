// Programs run as a user runs them, one implementation a system beside this
// file (programs_linux.cpp: fork and exec; programs_windows.cpp:
// CreateProcessW).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace programs {

// Runs program with its arguments in dir, its temporary folders there too
// (TMPDIR, and TMP and TEMP on Windows), its output and error output into the
// files named; its exit status, as a shell gives it (128 + the signal on
// Linux when one ended it), or -1 when it could not be started.
int run(const std::string& program, const std::vector<std::string>& arguments, const std::string& dir,
        const std::string& outFile, const std::string& errFile);

// How a program that makes a bad memory access and is let die of it ends:
// the fault as the crash guard and kovahost name it, and its exit status.
extern const char* const kMemoryFault;
extern const int kMemoryFaultStatus;

// The file that stands for no input or output ("/dev/null", "NUL"), a device.
extern const char* const kNullDevice;
// A named pipe at path; false where the system has none among its files (Windows).
bool makeFifo(const std::string& path);

// The bytes the system's libraries (OLE automation's) hold in the process
// heap; false where it keeps none apart from the C runtime's (Linux).
bool systemHeapBytes(size_t& bytes);
// A library the process has loaded, by its file name; null when it has none.
void* loadedLibrary(const std::string& fileName);

}  // namespace programs
