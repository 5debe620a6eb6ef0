// A plug-in for the loader tests: its factory is registered while it is loaded.
#include "zevlibrary.h"

namespace {

void* factory(void*) { return const_cast<char*>("made by zevtestplugin"); }

struct Registration {
  Registration() { zev09000003::ZEVLibraryManager::addLibEntry("zevtestplugin", factory); }
  ~Registration() { zev09000003::ZEVLibraryManager::removeLibEntries(factory); }
} registration;

}  // namespace
