// Writing back a record a file held: its groups where they stood, with the
// object's own groups in the places of those it models.
#include <algorithm>
#include <functional>
#include <map>
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
  bool used = false;
  size_t run = SIZE_MAX;  // the held run whose group it stands in for (or ends)
};

// A run of groups under one subclass marker (the first run has none).
struct Run {
  std::wstring name;
  size_t begin, end;  // the groups of the run; a named run starts at its marker
};

template <class CodeAt>
std::vector<Run> runsOf(size_t count, CodeAt&& codeAt, const std::function<std::wstring(size_t)>& nameAt) {
  std::vector<Run> runs{{L"", 0, count}};
  for (size_t i = 0; i < count; ++i) {
    if (codeAt(i) != AcDb::kDxfSubclass) continue;
    runs.back().end = i;
    runs.push_back({nameAt(i), i, count});
  }
  return runs;
}

// The run of the other list that stands for runs[at]: the same name, as
// often before it.
size_t matchingRun(const std::vector<Run>& runs, size_t at, const std::vector<Run>& other) {
  int seen = 0;
  for (size_t i = 0; i < at; ++i) seen += runs[i].name == runs[at].name;
  for (size_t i = 0; i < other.size(); ++i)
    if (other[i].name == runs[at].name && seen-- == 0) return i;
  return SIZE_MAX;
}

// The held record set against what its object writes of itself now.
class HeldRecord {
 public:
  HeldRecord(const KeptGroups& held, const std::vector<resbuf>& items, DxfEncoding encoding)
      : m_held(held), m_encoding(encoding) {
    for (const resbuf& rb : items) {
      std::vector<std::pair<int, std::string>> lines = dxfLines(rb, encoding);
      for (size_t k = 0; k < lines.size(); ++k)
        m_own.push_back({lines[k].first, std::move(lines[k].second), &rb, static_cast<int>(k)});
    }
    m_tail = 0;
    while (m_tail < held.size() && held.code(m_tail) != 0) ++m_tail;
    m_xdata = 0;
    while (m_xdata < m_tail && held.code(m_xdata) < 1000) ++m_xdata;
    m_heldRuns = runsOf(m_xdata, [&](size_t i) { return held.code(i); },
                        [&](size_t i) { return fromUtf8(held.text(i)); });
    m_ownRuns = runsOf(m_own.size(), [&](size_t i) { return m_own[i].code; },
                       [&](size_t i) { return m_own[i].item->text; });
    m_markerless = m_heldRuns.size() == 1;
    placeOwnLines();
  }

  // The lines of the object that stand in for the groups of the held run at.
  std::vector<OwnLine*> pool(size_t at) {
    std::vector<OwnLine*> lines;
    for (OwnLine& line : m_own)
      if (line.run == at) lines.push_back(&line);
    return lines;
  }
  // Lines of the object's subclasses that the file did not hold.
  std::vector<const OwnLine*> unplaced() const {
    std::vector<const OwnLine*> lines;
    for (const OwnLine& line : m_own)
      if (line.run == SIZE_MAX && line.code != AcDb::kDxfSubclass) lines.push_back(&line);
    return lines;
  }
  static OwnLine* next(const std::vector<OwnLine*>& pool, int code) {
    for (OwnLine* line : pool)
      if (!line->used && line->code == code) return line;
    return nullptr;
  }
  // The groups of a record's start that the file writer gives: its handle
  // and its owner.
  bool isStart(size_t i, bool& inGroup, bool& ownerSeen) const {
    const int code = m_held.code(i);
    if (code == 102) inGroup = m_held.text(i).find('}') == std::string::npos;
    if (code == 5 || code == 105) return true;
    if (code == 330 && !inGroup && !ownerSeen) return ownerSeen = true;
    return false;
  }
  bool holdsOwner() const {
    bool inGroup = false, ownerSeen = false;
    for (size_t i = 0; i < m_heldRuns[0].end && !ownerSeen; ++i) isStart(i, inGroup, ownerSeen);
    return ownerSeen;
  }
  bool reads(size_t i, const OwnLine& line) const {
    return heldReadsAs(m_held.text(i), *line.item, line.coordinate, m_encoding);
  }

  // Each line goes to the run of its subclass; a group the file held in
  // another subclass (some writers put an entity's layer or colour under
  // its class's marker) is stood in for where it stands.
  void placeOwnLines() {
    std::vector<std::map<int, int>> free(m_heldRuns.size());
    for (size_t r = 0; r < m_heldRuns.size(); ++r) {
      bool inGroup = false, ownerSeen = false;
      for (size_t i = m_heldRuns[r].begin; i < m_heldRuns[r].end; ++i)
        if (!isStart(i, inGroup, ownerSeen) && m_held.code(i) != AcDb::kDxfSubclass) free[r][m_held.code(i)] += 1;
    }
    for (size_t o = 0; o < m_ownRuns.size(); ++o) {
      const size_t home = m_markerless ? 0 : matchingRun(m_ownRuns, o, m_heldRuns);
      for (size_t i = m_ownRuns[o].begin; i < m_ownRuns[o].end; ++i) {
        OwnLine& line = m_own[i];
        if (line.code == AcDb::kDxfSubclass) continue;
        size_t run = home != SIZE_MAX && free[home][line.code] > 0 ? home : SIZE_MAX;
        for (size_t r = 0; r < free.size() && run == SIZE_MAX; ++r)
          if (free[r][line.code] > 0) run = r;
        line.run = run != SIZE_MAX ? run : home;
        if (run != SIZE_MAX) free[run][line.code] -= 1;
      }
    }
  }

  const KeptGroups& m_held;
  DxfEncoding m_encoding;
  std::vector<OwnLine> m_own;
  std::vector<Run> m_heldRuns, m_ownRuns;
  size_t m_tail, m_xdata;
  bool m_markerless;
};

bool isZeroCoordinate(const OwnLine& line) {
  return line.coordinate == 2 && line.item->point.z == 0.0;
}

}  // namespace

// Files an object's own groups as if it were open for read.
Acad::ErrorStatus dxfGroupsOf(AcDbObject* object, AcDbDatabase* db, std::vector<resbuf>& items) {
  DxfMemoryFiler filer(AcDb::kFileFiler, db);
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
  items = filer.items();
  return es;
}

void assignRoles(KeptGroups& held, const std::vector<resbuf>& items, DxfEncoding encoding) {
  HeldRecord record(held, items, encoding);
  for (size_t r = 0; r < record.m_heldRuns.size(); ++r) {
    std::vector<OwnLine*> pool = record.pool(r);
    bool inGroup = false, ownerSeen = false;
    for (size_t i = record.m_heldRuns[r].begin; i < record.m_heldRuns[r].end; ++i) {
      if (record.isStart(i, inGroup, ownerSeen) || held.code(i) == AcDb::kDxfSubclass) continue;
      OwnLine* line = HeldRecord::next(pool, held.code(i));
      if (line == nullptr) continue;
      line->used = true;
      held.setRole(i, record.reads(i, *line) ? KeptGroups::kModelled : KeptGroups::kFiller);
    }
  }
}

void writeDxfRecord(DxfText& out, const std::wstring& type, AcDbHandle handle, AcDbHandle owner,
                    const KeptGroups* held, const std::vector<resbuf>& items, bool markers) {
  out.tag(0, type);
  if (held == nullptr) {
    out.handle(5, handle);
    if (owner != 0 && markers) out.handle(330, owner);
    for (const resbuf& rb : items)
      if (markers || rb.restype != AcDb::kDxfSubclass) out.item(rb);
    return;
  }
  HeldRecord record(*held, items, out.encoding());
  const bool heldOwner = record.holdsOwner();
  bool heldHandle = false;
  for (size_t i = 0; i < record.m_heldRuns[0].end; ++i) heldHandle = heldHandle || held->code(i) == 5 || held->code(i) == 105;
  // One given when it was read; releases before 13 need none.
  if (!heldHandle && markers) out.handle(5, handle);
  for (size_t r = 0; r < record.m_heldRuns.size(); ++r) {
    const Run& run = record.m_heldRuns[r];
    std::vector<OwnLine*> pool = record.pool(r);
    std::vector<int> fillers;
    bool inGroup = false, ownerSeen = false;
    for (size_t i = run.begin; i < run.end; ++i) {
      const int code = held->code(i);
      const bool start = r == 0 && record.isStart(i, inGroup, ownerSeen);
      if (start && code == 330) {
        out.tag(330, owner != 0 ? dxfHex(owner) : held->text(i));
        continue;
      }
      if (start || code == AcDb::kDxfSubclass) {
        out.tag(code, held->text(i));
        if (start && owner != 0 && markers && !heldOwner) out.handle(330, owner);  // held without its owner
        continue;
      }
      const KeptGroups::Role role = held->role(i);
      OwnLine* line = HeldRecord::next(pool, code);
      if (line) line->used = true;
      if (role == KeptGroups::kFiller) fillers.push_back(code);
      if (line == nullptr || role == KeptGroups::kFiller) {
        if (role != KeptGroups::kModelled) out.tag(code, held->text(i));
      } else if (record.reads(i, *line)) {
        out.tag(code, held->text(i));
      } else {
        out.raw(code, line->bytes);
      }
    }
    for (OwnLine* line : pool) {
      if (line->used || std::count(fillers.begin(), fillers.end(), line->code)) continue;
      line->used = true;
      if (!isZeroCoordinate(*line)) out.raw(line->code, line->bytes);
    }
  }
  // Subclasses of the object's that the file did not hold.
  const std::vector<const OwnLine*> unplaced = record.unplaced();
  for (size_t r = 0; r < record.m_ownRuns.size() && markers && !unplaced.empty(); ++r) {
    const Run& run = record.m_ownRuns[r];
    bool any = false;
    for (size_t i = run.begin; i < run.end; ++i)
      any = any || std::count(unplaced.begin(), unplaced.end(), &record.m_own[i]) > 0;
    if (!any) continue;
    out.raw(AcDb::kDxfSubclass, toUtf8(run.name));
    for (size_t i = run.begin; i < run.end; ++i)
      if (std::count(unplaced.begin(), unplaced.end(), &record.m_own[i])) out.raw(record.m_own[i].code, record.m_own[i].bytes);
  }
  for (size_t i = record.m_xdata; i < held->size(); ++i) out.tag(held->code(i), held->text(i));
}

}  // namespace kvhost
