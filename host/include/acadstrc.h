// Status codes returned throughout the host's interface.
#pragma once

namespace Acad {
enum ErrorStatus {
  eOk = 0,
  eNotImplementedYet = 1,
  eNotApplicable = 2,
  eInvalidInput = 3,
  eAmbiguousInput = 4,
  eNullObjectId = 5,
  eKeyNotFound = 6,
  eDuplicateKey = 7,
  eInvalidIndex = 8,
  eNotOpenForRead = 20,
  eNotOpenForWrite = 21,
  eWasErased = 24,
  eWasNotErased = 25,
  eWasOpenForRead = 26,
  eWasOpenForWrite = 27,
  eWrongObjectType = 28,
  eAlreadyInDb = 29,
  eNotInDatabase = 30,
  eFilerError = 40,
  eEndOfFile = 41,
  eInvalidDxfCode = 50,
  eNoInputFiler = 52,
  eDwgNeedsRecovery = 61,
  eNotThatKindOfClass = 64,
  eFileNotFound = 70,
  eFileAccessErr = 71,
  eBadDwgHeader = 72,
  eInvalidFileVersion = 73,
  eFileSharingViolation = 74,
  eMakeMeProxy = 301,
  eNoDatabase = 330,
  eLockViolation = 340,
  eLockChangeInProgress = 341,
  eVetoed = 342,
  eNoDocument = 343,
  eIsWriteProtected = 344,
};
}  // namespace Acad

// Raised by the host when an object is used against its open discipline
// (for instance written while open for read): a fault in the caller.
struct AcDbAssertionError {
  Acad::ErrorStatus status;
};
