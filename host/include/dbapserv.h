// Services of the host application to its databases.
#pragma once
#include "dbmain.h"

class ACHOST_API AcDbHostApplicationServices {
 public:
  virtual ~AcDbHostApplicationServices();
  // The database that commands work on: the current document's, unless set.
  AcDbDatabase* workingDatabase() const;
  void setWorkingDatabase(AcDbDatabase* db);

 private:
  AcDbDatabase* m_pWorkingDb = nullptr;
  bool m_bExplicit = false;
};

ACHOST_API AcDbHostApplicationServices* acdbHostApplicationServices();
