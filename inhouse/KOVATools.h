// The product line's helpers on top of the host.
#pragma once
#include <aced.h>
#include "KvTools.h"

namespace KOVAAcadSystemTools {
// True when the host's command name is the given command, letter case ignored.
KV_API bool isCommand(const wchar_t* command, const wchar_t* name);
// Queues the command on the host's command line; with bExecute it is
// entered (as if Enter were pressed), so it runs as a command of its own
// once the current notification has returned.
KV_API bool postCommandToAutoCAD(CString command, bool bExecute);
}  // namespace KOVAAcadSystemTools

namespace KOVADatabaseTools {
// Non-zero when the named-object dictionary holds dictionary/key; id then names it.
// A null database stands for the working database.
KV_API int isEntryInDictionary(const wchar_t* dictionary, const wchar_t* key, AcDbObjectId& id, AcDbDatabase* db);
// Enters object under dictionary/key of the named-object dictionary, making
// the dictionary when it is missing; non-zero on success, with id set. With
// bClose the object is closed on return. On failure the object stays outside
// the database and id is null.
KV_API int appendToDictionary(const wchar_t* dictionary, AcDbObject* object, AcDbObjectId& id, AcDbDatabase* db,
                              bool bClose, const wchar_t* key);
}  // namespace KOVADatabaseTools

namespace KOVASelectionTools {
// Fills ids with the entities of the selection set.
KV_API bool enameSetToObjIds(const ads_name set, AcDbObjectIdArray& ids);
}  // namespace KOVASelectionTools
