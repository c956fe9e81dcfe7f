// An application module that refuses its initialisation.
#include <rxobject.h>

extern "C" ACRX_MODULE_EXPORT AcRx::AppRetCode acrxEntryPoint(AcRx::AppMsgCode msg, void*) {
  return msg == AcRx::kInitAppMsg ? AcRx::kRetError : AcRx::kRetOK;
}
