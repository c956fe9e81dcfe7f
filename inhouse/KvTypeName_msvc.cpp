// Type names of MSVC: readable already ("class `anonymous namespace'::Faulting",
// "class app::Panel<struct app::Row>"), with the kinds of class and the
// anonymous namespaces to drop.
#include "KvTypeName.h"

namespace KvTypeName {

std::string readable(const char* typeInfoName) {
  std::string name = typeInfoName;
  const std::string anonymous = "`anonymous namespace'::";
  for (size_t at; (at = name.find(anonymous)) != std::string::npos;) name.erase(at, anonymous.size());
  // A kind starts the name or a template argument.
  for (const std::string kind : {"class ", "struct ", "union ", "enum "})
    for (size_t at = 0; (at = name.find(kind, at)) != std::string::npos;) {
      if (at == 0 || name[at - 1] == '<' || name[at - 1] == ',')
        name.erase(at, kind.size());
      else
        at += kind.size();
    }
  return name;
}

}  // namespace KvTypeName
