// A plug-in for the loader tests: registers its factory while it is loaded.
#include "zevlibrary.h"

using zev09000003::ZEVLibraryManager;

namespace {

const char kMade[] = "made by zevtestplugin";

void* factory(void* args) { return args != nullptr ? args : const_cast<char*>(kMade); }

struct Registration {
  Registration() { ZEVLibraryManager::addLibEntry("zevtestplugin", factory); }
  ~Registration() { ZEVLibraryManager::removeLibEntries(factory); }
} registration;

}  // namespace
