// The drawing files' own internals: reading a whole file and replacing one
// safely, shared by the binary and the DXF form.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>
#include "acadstrc.h"

class AcDbDatabase;
class AcDbObject;

namespace kvhost {

struct Layer;

// Writes a file by writing a temporary file beside it and renaming it, so
// that a failed write leaves what was there before; lastSaveError says why
// a save failed.
Acad::ErrorStatus replaceFile(const std::wstring& fileName, std::string_view contents);
// Reads a regular file, its bytes handed to take as they come: take
// returns eOk to go on, or the status the read ends with (having said why
// with setOpenError). eFileNotFound for a missing file and for what is no
// regular file (a directory, a pipe, a device), eFileAccessErr when the file
// cannot be read; lastOpenError says which.
Acad::ErrorStatus readFile(const std::wstring& fileName, const std::function<Acad::ErrorStatus(const char*, size_t)>& take);
// The same, the file kept whole.
Acad::ErrorStatus readFile(const std::wstring& fileName, std::string& contents);
void setOpenError(const std::string& why);
// A save starts without a reason for failing.
void clearSaveError();
// Refuses a save for what it would lose: lastSaveError says why.
Acad::ErrorStatus refuseSave(const std::wstring& why, Acad::ErrorStatus es);
// The same for an object that cannot file itself out, named.
Acad::ErrorStatus refuseUnwritable(const AcDbObject* object, Acad::ErrorStatus es);
// Refuses a save, in either form, of a drawing whose named object
// dictionary is erased: the file would hold nothing to open again.
Acad::ErrorStatus checkRootDictionary(AcDbDatabase* db);
// Refuses a DXF save of a header variable whose value the file cannot hold
// as it would write it: a value its group's type does not take, a name DXF
// cannot hold, a variable the file held in several groups.
Acad::ErrorStatus checkHeaderFits(AcDbDatabase* db);
// What of the header such a save would refuse; empty when all of it fits.
std::wstring unfitHeaderVariable(AcDbDatabase* db);

// A save of a drawing whose layer table is its file's first gives the table
// a record for every layer its live entities and its current layer are on
// that the table lacks, so that the file names no layer it does not hold.
void addMissingLayers(AcDbDatabase* db);
// The drawing's layers, as kvhost::layers gives them.
std::vector<Layer> drawingLayers(AcDbDatabase* db);

}  // namespace kvhost
