// Writing back a record a file held: its groups where they stood, with the
// object's own groups in the places of those it models.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>
#include "database/dbinternal.h"
#include "database/memfiler.h"
#include "files/dxf.h"
#include "kvhost.h"

namespace kvhost {
namespace {

// One line of what the object writes of itself.
struct OwnLine {
  int code;
  std::string bytes;  // as it goes to the file
  const resbuf* item;
  int coordinate;  // which of a point's
  size_t subclass = 0;    // the object's run it belongs to
  size_t run = SIZE_MAX;  // the held run it goes to; none: its subclass is new to the file
  size_t held = SIZE_MAX;  // the held group it stands in for; none: it ends its run
};

// A run of groups under one subclass marker (the first run has none).
struct Run {
  size_t begin, end;  // the groups of the run; a named run starts at its marker
};

template <class CodeAt>
std::vector<Run> runsOf(size_t count, CodeAt&& codeAt) {
  std::vector<Run> runs;
  runs.reserve(4);  // most records have a subclass or two
  runs.push_back({0, count});
  for (size_t i = 0; i < count; ++i) {
    if (codeAt(i) != AcDb::kDxfSubclass) continue;
    runs.back().end = i;
    runs.push_back({i, count});
  }
  return runs;
}

// Whether a held group's text (UTF-8) is an item's text, as it stands.
bool sameText(std::string_view held, const std::wstring& text) {
  const bool ascii = std::all_of(held.begin(), held.end(), [](char c) { return (c & 0x80) == 0; });
  if (!ascii) return fromUtf8(std::string(held)) == text;
  return held.size() == text.size() && std::equal(held.begin(), held.end(), text.begin());
}

// Whether a held group of one code holds what a line of the other writes:
// an owner's handle is written soft (350) or hard (360), and a line stands
// in for the group with the file's code.
bool sameField(int heldCode, int code) {
  auto owner = [](int c) { return c == 350 || c == 360; };
  return heldCode == code || (owner(heldCode) && owner(code));
}

// The held record set against what its object writes of itself now.
//
// A reader finds an object's subclasses in their order, each right where
// the one before it ends; a file that names no subclass is read from its
// first run for every subclass. So each of the object's runs has a home:
// the held run of its name where the reader looks for it, or none (its
// marker is damaged, missing or out of place), and then the object's run
// is written whole where the reader looks. A line stands in for a group of
// its code in its home run; one that finds none there may stand in for a
// group another run holds (some writers put an entity's layer or colour
// under its class's marker), while the object's value is the one it had
// when it was read; a value of its own then goes to its home run, where
// the reader finds it.
class HeldRecord {
 public:
  HeldRecord(const KeptGroups& held, const std::vector<resbuf>& items, DxfEncoding encoding, bool markerless)
      : m_held(held), m_encoding(encoding) {
    m_own.reserve(3 * items.size());  // a point is three lines
    for (const resbuf& rb : items) {
      const size_t first = m_own.size();
      dxfLines(rb, encoding, [this, &rb](int code, std::string_view bytes) { m_own.push_back({code, std::string(bytes), &rb, 0}); });
      for (size_t k = first; k < m_own.size(); ++k) m_own[k].coordinate = static_cast<int>(k - first);
    }
    m_tail = 0;
    while (m_tail < held.size() && held.code(m_tail) != 0) ++m_tail;
    m_xdata = 0;
    while (m_xdata < m_tail && held.code(m_xdata) < 1000) ++m_xdata;
    m_heldRuns = runsOf(m_xdata, [&](size_t i) { return held.code(i); });
    m_ownRuns = runsOf(m_own.size(), [&](size_t i) { return m_own[i].code; });
    for (size_t o = 0; o < m_ownRuns.size(); ++o)
      for (size_t i = m_ownRuns[o].begin; i < m_ownRuns[o].end; ++i) m_own[i].subclass = o;
    markStart(markerless);
    findHomes(markerless);
    placeOwnLines();
    findMoves();
  }

  const KeptGroups& held() const { return m_held; }
  const std::vector<Run>& heldRuns() const { return m_heldRuns; }
  size_t xdata() const { return m_xdata; }
  // The own line that stands in for held group i, or null.
  const OwnLine* lineFor(size_t i) const { return i < m_lineOf.size() && m_lineOf[i] != SIZE_MAX ? &m_own[m_lineOf[i]] : nullptr; }
  // The record's start, which the file writer gives: its handle, its owner
  // and its application groups.
  bool isStart(size_t i) const { return i < m_start.size() && m_start[i]; }
  bool isOwner(size_t i) const { return i == m_owner; }
  bool holdsOwner() const { return m_owner != SIZE_MAX; }
  // Whether start group i, a handle, names the object's.
  bool namesHandle(size_t i, AcDbHandle handle) const {
    AcDbHandle held = 0;
    const int code = m_held.code(i);
    return (code != 5 && code != 105) || (parseDxfHandle(m_held.text(i), held) && held == handle);
  }
  bool holdsHandle() const {
    for (size_t i = 0; i < m_start.size(); ++i)
      if (m_start[i] && (m_held.code(i) == 5 || m_held.code(i) == 105)) return true;
    return false;
  }
  bool reads(size_t i, const OwnLine& line) const {
    return heldReadsAs(m_held.text(i), *line.item, line.coordinate, m_encoding);
  }
  // Whether the object's value is no longer what the group it stands in
  // for is written as.
  bool changed(const OwnLine& line) const {
    switch (m_held.role(line.held)) {
      case KeptGroups::kFiller: {
        const std::string* was = m_held.fillerValue(line.held);
        return was == nullptr || *was != line.bytes;
      }
      case KeptGroups::kKept:
        // Away from its home, a value the object did not write when it was read is new.
        if (line.run != m_home[line.subclass]) return true;
        [[fallthrough]];
      case KeptGroups::kModelled: break;
    }
    return !reads(line.held, line);
  }
  // A line that stands in away from its home with a value of its own: it
  // is written in its home run instead, with the rest of its item.
  bool moves(const OwnLine& line) const { return m_moves[static_cast<size_t>(&line - m_own.data())]; }
  // The lines written at the end of held run r: those that stand in for
  // nothing there and those that move there.
  std::vector<const OwnLine*> ending(size_t r) const {
    std::vector<const OwnLine*> lines;
    for (const OwnLine& line : m_own)
      if (line.code != AcDb::kDxfSubclass && m_home[line.subclass] == r && (line.held == SIZE_MAX || moves(line)))
        lines.push_back(&line);
    return lines;
  }
  // The object's runs that are new to the file and go after held run r.
  std::vector<const Run*> newRunsAfter(size_t r) const {
    std::vector<const Run*> runs;
    size_t after = 0;
    for (size_t o = 0; o < m_ownRuns.size(); ++o) {
      if (m_home[o] != SIZE_MAX)
        after = m_home[o];
      else if (after == r)
        runs.push_back(&m_ownRuns[o]);
    }
    return runs;
  }
  const OwnLine& own(size_t i) const { return m_own[i]; }

 private:
  // The start as a reader takes it: the handle and the first owner outside
  // application groups, in the first run; without markers, only before the
  // first group of the object's own.
  void markStart(bool markerless) {
    m_start.assign(m_heldRuns[0].end, false);
    bool inGroup = false;
    for (size_t i = 0; i < m_start.size(); ++i) {
      const int code = m_held.code(i);
      if (code == 102) inGroup = m_held.text(i).find('}') == std::string::npos;
      const bool owner = code == 330 && !inGroup && m_owner == SIZE_MAX;
      if (owner) m_owner = i;
      m_start[i] = code == 5 || code == 105 || owner;
      if (markerless && !m_start[i] && !inGroup && code != 102) break;
    }
  }
  void findHomes(bool markerless) {
    m_home.assign(m_ownRuns.size(), SIZE_MAX);
    size_t next = 1;
    for (size_t o = 0; o < m_ownRuns.size(); ++o) {
      if (o == 0 || markerless)
        m_home[o] = 0;
      else if (next < m_heldRuns.size() && sameText(m_held.text(m_heldRuns[next].begin), m_own[m_ownRuns[o].begin].item->text))
        m_home[o] = next++;
    }
  }
  // The first group of held run r and the code that no line stands in for yet.
  size_t claim(size_t r, int code, size_t line) {
    for (size_t i = m_heldRuns[r].begin; i < m_heldRuns[r].end; ++i)
      if (m_lineOf[i] == SIZE_MAX && !isStart(i) && sameField(m_held.code(i), code) && code != AcDb::kDxfSubclass) {
        m_lineOf[i] = line;
        return i;
      }
    return SIZE_MAX;
  }
  // Every line stands in for a group of its home run where it can, then
  // for one of another run, or else ends its home run.
  void placeOwnLines() {
    m_lineOf.assign(m_xdata, SIZE_MAX);
    for (size_t k = 0; k < m_own.size(); ++k) {
      OwnLine& line = m_own[k];
      line.run = m_home[line.subclass];
      if (line.code != AcDb::kDxfSubclass && line.run != SIZE_MAX) line.held = claim(line.run, line.code, k);
    }
    for (size_t k = 0; k < m_own.size(); ++k) {
      OwnLine& line = m_own[k];
      if (line.code == AcDb::kDxfSubclass || line.run == SIZE_MAX || line.held != SIZE_MAX) continue;
      for (size_t r = 0; r < m_heldRuns.size() && line.held == SIZE_MAX; ++r)
        if ((line.held = claim(r, line.code, k)) != SIZE_MAX) line.run = r;
    }
  }

  void findMoves() {
    std::vector<const resbuf*> moving;
    for (const OwnLine& line : m_own)
      if (line.held != SIZE_MAX && line.run != m_home[line.subclass] && changed(line)) moving.push_back(line.item);
    m_moves.assign(m_own.size(), false);
    for (size_t k = 0; k < m_own.size() && !moving.empty(); ++k)
      m_moves[k] = m_own[k].run != m_home[m_own[k].subclass] &&
                   std::find(moving.begin(), moving.end(), m_own[k].item) != moving.end();
  }

  const KeptGroups& m_held;
  DxfEncoding m_encoding;
  std::vector<OwnLine> m_own;
  std::vector<Run> m_heldRuns, m_ownRuns;
  std::vector<size_t> m_home;  // per own run: the held run the reader reads it from, or none
  std::vector<size_t> m_lineOf;  // per held group: the own line that stands in for it, or none
  std::vector<bool> m_moves;  // per own line: whether it moves to its home run
  std::vector<bool> m_start;
  size_t m_owner = SIZE_MAX;
  size_t m_tail, m_xdata;
};

bool isZeroCoordinate(const OwnLine& line) {
  return line.coordinate == 2 && line.item->point.z == 0.0;
}

}  // namespace

// Files an object's own groups as if it were open for read.
Acad::ErrorStatus dxfGroupsOf(AcDbObject* object, AcDbDatabase* db, std::vector<resbuf>& items) {
  items.clear();
  DxfMemoryFiler filer(AcDb::kFileFiler, db, std::move(items));  // the groups go to items' room
  AcDbObject::OpenState saved = object->openState();
  object->openState().readers += 1;
  Acad::ErrorStatus es;
  try {
    es = object->dxfOutFields(&filer);
  } catch (...) {
    es = Acad::eFilerError;
  }
  object->openState() = saved;
  if (es == Acad::eOk) es = filer.filerStatus();
  items = filer.takeItems();
  return es;
}

void assignRoles(KeptGroups& held, const std::vector<resbuf>& items, DxfEncoding encoding, bool markerless) {
  HeldRecord record(held, items, encoding, markerless);
  for (size_t i = 0; i < record.xdata(); ++i)
    if (const OwnLine* line = record.lineFor(i)) {
      if (record.reads(i, *line))
        held.setRole(i, KeptGroups::kModelled);
      else
        held.setFiller(i, line->bytes);
    }
}

void writeDxfRecord(DxfText& out, const std::wstring& type, AcDbHandle handle, AcDbHandle owner,
                    const KeptGroups& held, const std::vector<resbuf>& items, bool markers) {
  out.tag(0, type);
  const HeldRecord record(held, items, out.encoding(), !markers);
  // One given when it was read, in every release: without it the record
  // would get another at each open.
  if (!record.holdsHandle()) out.handle(5, handle);
  for (size_t r = 0; r < record.heldRuns().size(); ++r) {
    const Run& run = record.heldRuns()[r];
    for (size_t i = run.begin; i < run.end; ++i) {
      const int code = held.code(i);
      if (record.isOwner(i)) {
        out.tag(330, owner != 0 ? dxfHex(owner) : held.text(i));
        continue;
      }
      if (record.isStart(i) && !record.namesHandle(i, handle)) {
        out.handle(code, handle);  // one the reader could not take (0): the object got another
        continue;
      }
      if (record.isStart(i) || code == AcDb::kDxfSubclass) {
        out.tag(code, held.text(i));
        if (record.isStart(i) && owner != 0 && markers && !record.holdsOwner()) out.handle(330, owner);  // held without its owner
        continue;
      }
      const OwnLine* line = record.lineFor(i);
      if (line == nullptr) {
        if (held.role(i) != KeptGroups::kModelled) out.tag(code, held.text(i));
      } else if (!record.changed(*line)) {
        out.tag(code, held.text(i));
      } else if (!record.moves(*line)) {
        out.raw(code, line->bytes);
      }
    }
    for (const OwnLine* line : record.ending(r))
      if (line->held != SIZE_MAX || !isZeroCoordinate(*line)) out.raw(line->code, line->bytes);
    for (const Run* own : record.newRunsAfter(r))
      for (size_t i = own->begin; i < own->end; ++i) out.raw(record.own(i).code, record.own(i).bytes);
  }
  for (size_t i = record.xdata(); i < held.size(); ++i) out.tag(held.code(i), held.text(i));
}

}  // namespace kvhost
