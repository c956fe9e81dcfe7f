// The script reader.
#include "script.h"
#include <sys/stat.h>
#include <fstream>
#include <sstream>

namespace {

Words wordsOf(const std::string& line) {
  Words out;
  std::istringstream in(line.substr(0, line.find('#')));
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

}  // namespace

std::string joined(const Words& words, size_t from) {
  std::string text;
  for (size_t k = from; k < words.size(); ++k) text += (k > from ? " " : "") + words[k];
  return text;
}

std::optional<Script> Script::read(const std::string& file, const OpensBlock& opensBlock) {
  struct stat info;
  std::ifstream in(file, std::ios::binary);
  if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !in) return std::nullopt;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  const char kByteOrderMark[] = "\xEF\xBB\xBF";
  if (!lines.empty() && lines[0].rfind(kByteOrderMark, 0) == 0) lines[0].erase(0, 3);
  return Script(file, std::move(lines), opensBlock);
}

// Every block's 'end' is found in one pass, so that a block costs the same
// at any depth.
Script::Script(std::string file, std::vector<std::string> lines, const OpensBlock& opensBlock)
    : m_file(std::move(file)), m_lines(std::move(lines)), m_blockEnds(m_lines.size(), std::string::npos) {
  std::vector<size_t> open;
  for (size_t i = 0; i < m_lines.size(); ++i) {
    m_words.push_back(wordsOf(m_lines[i]));
    const Words& w = m_words.back();
    if (!w.empty() && opensBlock(w[0])) {
      open.push_back(i);
    } else if (!w.empty() && w[0] == "end" && !open.empty()) {
      m_blockEnds[open.back()] = i;
      open.pop_back();
    }
  }
}

bool Script::contains(const Words& statement) const {
  for (const Words& w : m_words)
    if (w == statement) return true;
  return false;
}

void Script::checkText() const {
  for (size_t i = 0; i < m_lines.size(); ++i)
    if (m_lines[i].find('\0') != std::string::npos) fail(i, "a NUL byte: a script is text");
}

size_t Script::blockEnd(size_t index) const {
  if (m_blockEnds[index] == std::string::npos) fail(index, "'" + m_words[index][0] + "' without 'end'");
  return m_blockEnds[index];
}

std::string Script::where(size_t index) const { return m_file + ":" + std::to_string(index + 1); }

void Script::fail(size_t index, const std::string& what) const { throw ScriptError{where(index) + ": " + what}; }
