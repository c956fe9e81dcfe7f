// An example client module: a property panel that follows the pickfirst
// selection. For every change it shows how many entities are selected, the
// class they share and their common layer and color, and has the selected
// entities redrawn (highlighted) once, when the hub's handling ends.
#include <KOVANotification.h>
#include <kvhost.h>
#include <winshim.h>
#include <memory>
#include <string>

namespace {

void say(const std::wstring& what) { kvhost::writeJournal(L"panel: " + what); }

class PropertyPanel : public KOVAEditorReactorBase {
 public:
  using KOVAEditorReactorBase::pickfirstModified;
  // The hub has read the selection once for all clients and worked out the
  // most derived class its entities share (null when there is none).
  void pickfirstModified(ads_name, const AcArray<AcDbObjectId>& ids, AcRxClass* cls) override {
    if (ids.isEmpty()) {
      say(L"nothing selected");
      return;
    }
    std::wstring layer, color;
    for (int i = 0; i < ids.length(); ++i) {
      AcDbEntityPointer ent(ids[i], AcDb::kForRead);
      if (!ent) continue;
      std::wstring l = ent->layer(), c = std::to_wstring(ent->colorIndex());
      layer = i == 0 ? l : layer == l ? layer : L"*varies*";
      color = i == 0 ? c : color == c ? color : L"*varies*";
    }
    say(std::to_wstring(ids.length()) + L" selected, class " + (cls ? cls->name() : L"(mixed)") + L", layer " + layer +
        L", color " + color);
    // Queued, not drawn now: the hub redraws each entity once, however many
    // clients ask for it, when the pickfirst handling is over.
    for (int i = 0; i < ids.length(); ++i) redrawEntity(ids[i]);
  }
};

std::unique_ptr<PropertyPanel> s_panel;

}  // namespace

extern "C" ACRX_MODULE_EXPORT AcRx::AppRetCode acrxEntryPoint(AcRx::AppMsgCode msg, void* appId) {
  if (msg == AcRx::kInitAppMsg) {
    AcRxDynamicLinker::cast(acrxSysRegistry()->at(ACRX_DYNAMIC_LINKER))->unlockApplication(appId);
    s_panel = std::make_unique<PropertyPanel>();
  } else if (msg == AcRx::kUnloadAppMsg) {
    s_panel.reset();
  }
  return AcRx::kRetOK;
}
