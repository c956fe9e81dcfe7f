// A library built where no search path of the loader looks.
#include <adesk.h>

extern "C" ACRX_MODULE_EXPORT int kvAbsentLibraryAnswer() { return 42; }
