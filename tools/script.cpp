// The script reader.
#include "script.h"
#include <filesystem>
#include <fstream>
#include "pathkind.h"

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// The line's words: apart by blanks; a word in double quotes may hold
// blanks and '#', which otherwise starts a comment ('ZOOM names a
// transparent command, so a single quote is a character like any other).
// False for a quote left open.
bool splitWords(const std::string& line, Words& out) {
  for (size_t at = 0; at < line.size();) {
    if (isSpace(line[at])) {
      ++at;
      continue;
    }
    if (line[at] == '#') break;
    std::string word;
    while (at < line.size() && !isSpace(line[at]) && line[at] != '#') {
      if (line[at] == '"') {
        const size_t close = line.find('"', at + 1);
        if (close == std::string::npos) return false;
        word.append(line, at + 1, close - at - 1);
        at = close + 1;
      } else {
        word += line[at++];
      }
    }
    out.push_back(word);
  }
  return true;
}

// The length of the UTF-8 sequence at text[at], or 0 when it is not one.
size_t utf8Length(const std::string& text, size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  const size_t n = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3 : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
  if (n == 0 || at + n > text.size()) return 0;
  unsigned long code = n == 1 ? lead : lead & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    const unsigned char next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = code << 6 | (next & 0x3F);
  }
  static const unsigned long kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  return code < kLeast[n] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000) ? 0 : n;
}

bool isUtf8(const std::string& text) {
  for (size_t at = 0, n; at < text.size(); at += n)
    if ((n = utf8Length(text, at)) == 0) return false;
  return true;
}

}  // namespace

std::string joined(const Words& words, size_t from) {
  std::string text;
  for (size_t k = from; k < words.size(); ++k) text += (k > from ? " " : "") + words[k];
  return text;
}

std::optional<Script> Script::read(const std::string& file, const OpensBlock& opensBlock, std::string& why) {
  // Looked at before it is opened: opening a FIFO would wait for a writer.
  const PathKind kind = pathKind(file);
  if (kind != PathKind::regularFile) {
    why = kind == PathKind::missing     ? "no such file"
          : kind == PathKind::directory ? "it is a directory"
                                        : "not a regular file (a pipe or a device)";
    return std::nullopt;
  }
  std::ifstream in(std::filesystem::u8path(file), std::ios::binary);
  if (!in) {
    why = "it cannot be read";
    return std::nullopt;
  }
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
    m_words.emplace_back();
    if (!splitWords(m_lines[i], m_words.back())) m_openQuotes.push_back(i);
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
  for (size_t i = 0; i < m_lines.size(); ++i) {
    if (m_lines[i].find('\0') != std::string::npos) fail(i, "a NUL byte: a script is text");
    if (!isUtf8(m_lines[i])) fail(i, "bytes that are not UTF-8: a script is UTF-8 text");
  }
  if (!m_openQuotes.empty()) fail(m_openQuotes.front(), "a quote is not closed");
}

std::string Script::directory() const {
  const size_t slash = m_file.rfind('/');
  return slash == std::string::npos ? "." : m_file.substr(0, slash);
}

size_t Script::blockEnd(size_t index) const {
  if (m_blockEnds[index] == std::string::npos) fail(index, "'" + m_words[index][0] + "' without 'end'");
  return m_blockEnds[index];
}

std::string Script::where(size_t index) const { return m_file + ":" + std::to_string(index + 1); }

void Script::fail(size_t index, const std::string& what) const { throw ScriptError{where(index) + ": " + what}; }
