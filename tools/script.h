// The script reader: a script's lines as words, where each line stands in
// its file, and which 'end' closes each block.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

// A statement that cannot be played, said with its file and line.
struct ScriptError {
  std::string message;
};

typedef std::vector<std::string> Words;

class Script {
 public:
  // Tells whether a statement's first word opens a block that 'end' closes.
  typedef std::function<bool(const std::string&)> OpensBlock;
  // The script in file; none, and why, when it is not a readable file. A
  // byte-order mark is skipped and a line's carriage return dropped.
  static std::optional<Script> read(const std::string& file, const OpensBlock& opensBlock, std::string& why);
  Script(std::string file, std::vector<std::string> lines, const OpensBlock& opensBlock);

  size_t size() const { return m_words.size(); }
  // The line's words, without its comment.
  const Words& words(size_t index) const { return m_words[index]; }
  bool contains(const Words& statement) const;
  // Fails at the first line that is not UTF-8 text (a NUL byte would cut
  // a statement short unseen) or leaves a quote open.
  void checkText() const;
  // The folder the script is in.
  std::string directory() const;
  // The line of the 'end' that closes the block opened at index.
  size_t blockEnd(size_t index) const;
  // The line as FILE:LINE.
  std::string where(size_t index) const;
  [[noreturn]] void fail(size_t index, const std::string& what) const;

 private:
  std::string m_file;
  std::vector<std::string> m_lines;
  std::vector<Words> m_words;
  std::vector<size_t> m_blockEnds;
  std::vector<size_t> m_openQuotes;  // lines with a quote left open
};

// The words from the one at from on, one space apart.
std::string joined(const Words& words, size_t from);
