// The script's statements: one table that plays them and lists them in
// the help, so that the grammar is written once.
#pragma once
#include <string>
#include "script.h"

class Player;

struct Statement {
  const char* name;
  const char* arguments;  // as the help shows them
  size_t minArguments, maxArguments;
  // The help text, its lines apart by '\n'; with listedWithNext the
  // statement shares the help line of the one after it.
  const char* help;
  bool listedWithNext;
  // Plays the line; null for a block, which the player plays.
  void (*play)(Player& player, size_t index, const Words& words);
};

// The statement the word names; null for none.
const Statement* findStatement(const std::string& name);
bool opensBlock(const std::string& name);
// Every statement with its arguments and help, one help line each.
std::string grammar();
// Fails unless the line has as many arguments as the statement takes.
void checkArguments(const Script& script, size_t index, const Statement& statement, const Words& words);
