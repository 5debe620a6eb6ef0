// Loading of shared libraries and the registry of named factories.
//
// Library search order for loadLibraryReally(name) and getLibraryFunction(name), for the
// file lib<name>.so: each folder of ZEV_LIBRARY_PATH (colon-separated) in order, then the
// folder of libzev9cms itself, then the system's search path.
#ifndef ZEV_CMS_ZEVLIBRARY_H
#define ZEV_CMS_ZEVLIBRARY_H

#include "zevexport.h"
#include "zevstring.h"

// Thin wrappers over dlopen/dlsym/dlclose (LoadLibraryA/GetProcAddress/FreeLibrary on
// Windows). Return 0 on success. Nothing else in the toolkit calls the platform directly.
extern "C" {
ZEVCMS_EXPORT int zev_load_library(const char* path, void** handle);
ZEVCMS_EXPORT int zev_get_func_address(void* handle, const char* symbol, void** address);
ZEVCMS_EXPORT void zev_free_library(void* handle);
}

namespace zev09000003 {

// A factory that a plug-in registers: takes the host's argument, returns a new object.
typedef void* (*ZEVLibraryFunction)(void* args);

class ZEVCMS_EXPORT ZEVLibraryManager {
 public:
  // Registers factory under name (a later registration of the same name replaces it).
  static void addLibEntry(const ZEVString& name, ZEVLibraryFunction factory);
  // Removes every entry registered with factory.
  static void removeLibEntries(ZEVLibraryFunction factory);
  // The factory registered under name, or null.
  static ZEVLibraryFunction findLibEntry(const ZEVString& name);

  // Host-side lookup: the factory registered under name; when none is, loads lib<name>.so
  // (search order above), whose static initialisation registers it, and looks again.
  // Returns null when the library cannot be loaded or registers nothing under name.
  static ZEVLibraryFunction getLibraryFunction(const ZEVString& name);
  // Unloads a library that getLibraryFunction loaded; its static destruction removes its
  // entries. Returns false when no such library was loaded.
  static bool unloadLibrary(const ZEVString& name);

  // Loads lib<name>.so (search order above) and returns its handle, or null. The second
  // argument is accepted for compatibility and ignored. Release with zev_free_library.
  static void* loadLibraryReally(const ZEVString& name, const ZEVString& unused);
  // The last loader error text (dlerror), for messages.
  static ZEVString lastError();
};

}  // namespace zev09000003

#endif
