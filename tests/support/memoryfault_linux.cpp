#include <csignal>
#include "memoryfault.h"

void makeMemoryFault() { std::raise(SIGSEGV); }
