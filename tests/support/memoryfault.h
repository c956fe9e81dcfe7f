// The fault a bad memory access makes, as the crash guard sees it, one
// implementation a system beside this file (memoryfault_linux.cpp: SIGSEGV;
// memoryfault_windows.cpp: an access violation).
#pragma once

void makeMemoryFault();
