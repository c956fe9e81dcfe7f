// Programs run on Linux.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include "programs.h"

namespace programs {

const char* const kMemoryFault = "signal 11";
const int kMemoryFaultStatus = 128 + SIGSEGV;
const char* const kNullDevice = "/dev/null";

bool makeFifo(const std::string& path) { return mkfifo(path.c_str(), 0644) == 0; }

int run(const std::string& program, const std::vector<std::string>& arguments, const std::string& dir,
        const std::string& outFile, const std::string& errFile) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment{"TMPDIR=" + dir};
  for (char** variable = environ; *variable; ++variable)
    if (std::string(*variable).rfind("TMPDIR=", 0) != 0) environment.push_back(*variable);
  std::vector<char*> envp;
  for (std::string& v : environment) envp.push_back(v.data());
  envp.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    // Only calls safe between fork and exec; 127 as a shell says a program could not run.
    const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(dir.c_str()) != 0 || out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  int raw = 0;
  if (child < 0 || waitpid(child, &raw, 0) != child) return -1;
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

bool systemHeapBytes(size_t&) { return false; }

void* loadedLibrary(const std::string& fileName) {
  void* library = dlopen(fileName.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  return library != nullptr && dlclose(library) == 0 ? library : nullptr;  // the process keeps it loaded
}

}  // namespace programs
