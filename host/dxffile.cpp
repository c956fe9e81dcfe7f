// Drawing files in ASCII DXF.
#include "hostimpl.h"

Acad::ErrorStatus AcDbDatabase::dxfOut(const ACHAR*) { return Acad::eNotImplementedYet; }
Acad::ErrorStatus AcDbDatabase::dxfIn(const ACHAR*) { return Acad::eNotImplementedYet; }
