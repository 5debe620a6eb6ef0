// The two module calls that a plug-in uses to find its own file, in their Windows form. On
// Windows they are the system's own (windows.h, trimmed: no min/max macros, no rarely used
// subsystems). On POSIX they are served from the list of loaded objects (dl_iterate_phdr): a
// module name "<name>.dll" stands for the loaded file lib<name>.so (a name without ".dll" is
// looked up as given, by file name).
#ifndef ZEV_CMS_ZEVPLATFORM_H
#define ZEV_CMS_ZEVPLATFORM_H

#include "zevexport.h"

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#else

extern "C" {
typedef void* HMODULE;
// The handle of a loaded module, or null when no module of that name is loaded.
ZEVCMS_EXPORT HMODULE GetModuleHandleA(const char* moduleName);
// Copies the module's full path into buffer (at most size - 1 characters and a NUL) and
// returns the number of characters copied without the NUL. When the path does not fit, the
// copy is cut, NUL-terminated, and size is returned. Returns 0 on failure.
ZEVCMS_EXPORT unsigned long GetModuleFileNameA(HMODULE module, char* buffer, unsigned long size);
}

#endif

#endif
