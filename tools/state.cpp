// The state printer.
#include "state.h"
#include <kvhost.h>
#include <cstdio>
#include "output.h"

using kvhost::toUtf8;

namespace {

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string point(const AcGePoint3d& p) { return "(" + number(p.x) + "," + number(p.y) + ")"; }

const char* lockModeName(AcAp::DocLockMode mode) {
  switch (mode) {
    case AcAp::kNotLocked: return "not locked";
    case AcAp::kAutoWrite: return "locked (auto-write)";
    case AcAp::kWrite: return "locked for write";
    case AcAp::kProtectedAutoWrite: return "locked (protected auto-write)";
    case AcAp::kRead: return "locked for read";
    case AcAp::kXWrite: return "locked exclusively";
    default: return "not locked";
  }
}

std::string drawingLine(AcApDocument* doc, int entities, bool current) {
  std::string head = "state: drawing " + toUtf8(doc->fileName()) + ": " + lockModeName(doc->myLockMode()) + ", " +
                     std::to_string(entities) + (entities == 1 ? " entity, " : " entities, ") +
                     std::to_string(kvhost::undoGroupCount(doc)) + " undo groups";
  if (current) head += ", " + std::to_string(kvhost::pickfirst().length()) + " selected";
  return head;
}

std::string entityLine(const AcDbObjectId& id, const AcDbEntity& ent) {
  std::string text = "state:   " + hex(id.handle()) + " " + toUtf8(ent.isA()->name()) + " layer=" + toUtf8(ent.layer()) +
                     " color=" + std::to_string(ent.colorIndex());
  if (auto* line = AcDbLine::cast(&ent))
    text += " " + point(line->startPoint()) + "-" + point(line->endPoint());
  else if (auto* circle = AcDbCircle::cast(&ent))
    text += " center " + point(circle->center()) + " radius " + number(circle->radius());
  else if (auto* t = AcDbText::cast(&ent))
    text += " at " + point(t->position()) + " \"" + toUtf8(t->textString()) + "\"";
  else if (auto* proxy = AcDbProxyEntity::cast(&ent))
    text += " " + toUtf8(proxy->originalDxfName());
  if (int redrawn = kvhost::redrawCount(id)) text += " redrawn " + std::to_string(redrawn);
  return text;
}

// A layer as "layer NAME color=7 linetype=Continuous lineweight=-3", then what
// differs from a layer that is on, thawed, unlocked and plotted.
std::string layerLine(const kvhost::Layer& layer) {
  std::string text = "state:   layer " + toUtf8(layer.name) + " color=" + std::to_string(layer.color) +
                     " linetype=" + toUtf8(layer.linetype) + " lineweight=" + std::to_string(layer.lineWeight);
  for (const auto& [on, word] : {std::pair<bool, const char*>{layer.off, " off"}, {layer.frozen, " frozen"},
                                 {layer.locked, " locked"}, {!layer.plotted, " not-plotted"}})
    if (on) text += word;
  return text;
}

}  // namespace

std::string hex(AcDbHandle handle) {
  char text[32];
  std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(handle));
  return text;
}

void printState(Output& out) {
  std::vector<AcApDocument*> docs = kvhost::documents();
  AcApDocument* current = acDocManagerPtr()->curDocument();
  out.line("state: " + std::to_string(docs.size()) + (docs.size() == 1 ? " drawing" : " drawings") +
               (current ? ", current " + toUtf8(current->fileName()) : std::string()),
           "state");
  for (AcApDocument* doc : docs) {
    out.line(drawingLine(doc, kvhost::forEachEntity(doc), doc == current), "state");
    kvhost::forEachEntity(doc, [&](AcDbObjectId id) {
      AcDbEntityPointer ent(id, AcDb::kForRead);
      if (ent) out.line(entityLine(id, *ent.object()), "state");
    });
    for (const kvhost::Layer& layer : kvhost::layers(doc)) out.line(layerLine(layer), "state");
  }
}
