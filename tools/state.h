// The state printer: every drawing, its entities and its layers, as the
// session ends or when the script asks.
#pragma once
#include <dbmain.h>
#include <string>

class Output;

void printState(Output& out);
// A handle as the state and the script write it.
std::string hex(AcDbHandle handle);
