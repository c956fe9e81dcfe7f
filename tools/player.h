// The player: plays a script's statements in order, blocks as commands and
// modeless operations of the host, each statement printed as it is played.
#pragma once
#include <kvhost.h>
#include <map>
#include <string>
#include <vector>
#include "hub.h"
#include "output.h"
#include "script.h"

class Player {
 public:
  Player(const Script& script, Output& out, HubClient& hub) : m_script(script), m_out(out), m_hub(hub) {}

  void run();
  // Called once the session has ended and its files are closed.
  void removeTempDirs();

  // ---- For the statements ----
  const Script& script() const { return m_script; }
  Output& out() { return m_out; }
  HubClient& hub() { return m_hub; }
  bool insideBlock() const { return !m_blocks.empty(); }
  bool insideCommand() const { return !m_blocks.empty() && m_blocks.back() == Block::kCommand; }
  // A drawing a command or modeless block runs in.
  bool isBusy(AcApDocument* doc) const;
  AcApDocument* current(size_t index) const;
  // Write locks the script holds, by drawing.
  std::map<AcApDocument*, int>& scriptLocks() { return m_scriptLocks; }
  // Moves the session into a new temporary folder, removed at its end unless kept.
  void useTempDir(size_t index, bool keep);

 private:
  enum class Block { kCommand, kModeless };
  class Played;

  void runLines(size_t from, size_t to);
  void statement(size_t index, const Words& words);
  size_t block(size_t index, const Words& words);
  std::string runInHost(Block kind, const std::string& name, const kvhost::CommandBody& body, const bool& ran);

  const Script& m_script;
  Output& m_out;
  HubClient& m_hub;
  std::vector<std::string> m_tempDirs;
  std::vector<Block> m_blocks;
  std::vector<AcApDocument*> m_busyDocs;
  std::map<AcApDocument*, int> m_scriptLocks;
};
