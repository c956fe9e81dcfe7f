// An application module that links a library the loader cannot find.
#include <rxobject.h>

extern "C" int kvAbsentLibraryAnswer();

extern "C" ACRX_MODULE_EXPORT AcRx::AppRetCode acrxEntryPoint(AcRx::AppMsgCode, void*) {
  return kvAbsentLibraryAnswer() == 42 ? AcRx::kRetOK : AcRx::kRetError;
}
