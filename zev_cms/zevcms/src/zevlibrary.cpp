// Library loading and the registry of named factories.
//
// Every call into the platform's loader is in this file (and zevplatform.cpp). The POSIX
// branch uses dlopen/dlsym/dlclose/dladdr; the Windows branch covers the three C wrappers
// (LoadLibraryA/GetProcAddress/FreeLibrary), the file naming (<name>.dll, no prefix) and the
// folder of the toolkit's own module (GetModuleHandleExA + GetModuleFileNameA).
#include "zevlibrary.h"

#if defined(_WIN32)
#include "zevplatform.h"  // windows.h
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace zev09000003 {
namespace {

// The loader's last error text, per thread (the loader's own is per thread too).
thread_local std::string lastErrorText;

struct Registry {
  std::mutex mutex;
  std::map<std::string, ZEVLibraryFunction> entries;
  std::map<std::string, void*> loaded;  // libraries that getLibraryFunction loaded, by name
};

Registry& registry() {
  // Never destroyed: plug-ins remove their entries from their own static destructors, which
  // may run after this library's static objects would have been torn down.
  static Registry* r = new Registry();
  return *r;
}

#if defined(_WIN32)
const char kPathSeparator = ';';
const char kDirSeparator = '\\';
std::string libraryFileName(const std::string& name) { return name + ".dll"; }
bool fileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
// The system's words for a loader error, with its number: "The specified module could not be
// found. (error 126)".
std::string systemErrorText(DWORD code) {
  char* text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string words = n > 0 && text != nullptr ? std::string(text, n) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ')) {
    words.pop_back();
  }
  return (words.empty() ? "" : words + " ") + "(error " + std::to_string(code) + ")";
}
void* openLibrary(const std::string& path) {
  // No error dialog box for a library that cannot be loaded: the caller reports it.
  UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE h = LoadLibraryA(path.c_str());
  DWORD error = GetLastError();
  SetErrorMode(previous);
  if (h == nullptr) lastErrorText = path + ": " + systemErrorText(error);
  return h;
}
// The folder that holds zev9cms.dll itself: the module that contains this function.
std::string ownFolder() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&zev_load_library), &self)) {
    return std::string();
  }
  // Paths may exceed MAX_PATH (260) where long paths are enabled; grow until the name fits.
  std::string file(MAX_PATH, '\0');
  for (;;) {
    DWORD n = GetModuleFileNameA(self, &file[0], static_cast<DWORD>(file.size()));
    if (n == 0) return std::string();
    if (n < file.size()) {
      file.resize(n);
      break;
    }
    if (file.size() >= 32768) return std::string();
    file.resize(file.size() * 2);
  }
  std::string::size_type slash = file.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : file.substr(0, slash);
}
#else
const char kPathSeparator = ':';
const char kDirSeparator = '/';
std::string libraryFileName(const std::string& name) { return "lib" + name + ".so"; }
bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
void* openLibrary(const std::string& path) {
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    const char* err = dlerror();
    lastErrorText = err != nullptr ? err : path + ": cannot be loaded";
  }
  return h;
}
// The folder that holds libzev9cms itself.
std::string ownFolder() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&zev_load_library), &info) == 0 || info.dli_fname == nullptr) {
    return std::string();
  }
  std::string file = info.dli_fname;
  char resolved[PATH_MAX];
  if (realpath(file.c_str(), resolved) != nullptr) file = resolved;
  std::string::size_type slash = file.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? "/" : file.substr(0, slash);
}
#endif

std::string joinPath(const std::string& folder, const std::string& file) {
  if (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) return folder + file;
  return folder + kDirSeparator + file;
}

}  // namespace

void ZEVLibraryManager::addLibEntry(const ZEVString& name, ZEVLibraryFunction factory) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (factory == nullptr) {
    r.entries.erase(name.str());
  } else {
    r.entries[name.str()] = factory;
  }
}

void ZEVLibraryManager::removeLibEntries(ZEVLibraryFunction factory) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto it = r.entries.begin(); it != r.entries.end();) {
    if (it->second == factory) {
      it = r.entries.erase(it);
    } else {
      ++it;
    }
  }
}

ZEVLibraryFunction ZEVLibraryManager::findLibEntry(const ZEVString& name) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.entries.find(name.str());
  return it != r.entries.end() ? it->second : nullptr;
}

ZEVLibraryFunction ZEVLibraryManager::getLibraryFunction(const ZEVString& name) {
  ZEVLibraryFunction f = findLibEntry(name);
  if (f != nullptr) return f;
  // No lock is held while loading: the library's static initialisation calls addLibEntry.
  void* handle = loadLibraryReally(name, ZEVString());
  if (handle == nullptr) return nullptr;
  f = findLibEntry(name);
  if (f == nullptr) {
    lastErrorText =
        libraryFileName(name.str()) + " registers no factory under \"" + name.str() + "\"";
    zev_free_library(handle);
    return nullptr;
  }
  Registry& r = registry();
  void* previous = nullptr;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    void*& slot = r.loaded[name.str()];
    previous = slot;
    slot = handle;
  }
  // Loaded before under the same name: the loader counts references, keep one.
  if (previous != nullptr) zev_free_library(previous);
  return f;
}

bool ZEVLibraryManager::unloadLibrary(const ZEVString& name) {
  Registry& r = registry();
  void* handle = nullptr;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.loaded.find(name.str());
    if (it == r.loaded.end()) return false;
    handle = it->second;
    r.loaded.erase(it);
  }
  // Unlocked: the library's static destruction calls removeLibEntries.
  zev_free_library(handle);
  return true;
}

void* ZEVLibraryManager::loadLibraryReally(const ZEVString& name, const ZEVString& /*unused*/) {
  const std::string bare = name.str();
  if (bare.empty() || bare.find('/') != std::string::npos || bare.find('\\') != std::string::npos ||
      bare.find('\0') != std::string::npos) {
    lastErrorText = "not a bare library name: \"" + bare + "\"";
    return nullptr;
  }
  const std::string file = libraryFileName(bare);

  // 1. The folders of ZEV_LIBRARY_PATH, in order; only files that exist are tried, and the
  // first one found is the one loaded (a file that is there but does not load is an error,
  // not a reason to take another copy from further down the path).
  const char* path = std::getenv("ZEV_LIBRARY_PATH");
  if (path != nullptr) {
    std::string all(path);
    std::string::size_type start = 0;
    while (start <= all.size()) {
      std::string::size_type end = all.find(kPathSeparator, start);
      if (end == std::string::npos) end = all.size();
      std::string folder = all.substr(start, end - start);
      start = end + 1;
      if (folder.empty()) continue;
      std::string candidate = joinPath(folder, file);
      if (fileExists(candidate)) return openLibrary(candidate);
    }
  }

  // 2. Beside libzev9cms.
  std::string own = ownFolder();
  if (!own.empty()) {
    std::string candidate = joinPath(own, file);
    if (fileExists(candidate)) return openLibrary(candidate);
  }

  // 3. The system's search path.
  return openLibrary(file);
}

ZEVString ZEVLibraryManager::lastError() { return ZEVString(lastErrorText); }

}  // namespace zev09000003

using zev09000003::lastErrorText;

extern "C" {

int zev_load_library(const char* path, void** handle) {
  try {
    if (handle == nullptr) return 1;
    *handle = nullptr;
    if (path == nullptr || *path == '\0') {
      lastErrorText = "no library path given";
      return 1;
    }
    *handle = zev09000003::openLibrary(path);
    return *handle != nullptr ? 0 : 1;
  } catch (...) {
    return 1;
  }
}

int zev_get_func_address(void* handle, const char* symbol, void** address) {
  try {
    if (address == nullptr) return 1;
    *address = nullptr;
    if (handle == nullptr || symbol == nullptr) return 1;
#if defined(_WIN32)
    *address = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), symbol));
    if (*address == nullptr) {
      lastErrorText = std::string(symbol) + ": " + zev09000003::systemErrorText(GetLastError());
    }
#else
    dlerror();
    *address = dlsym(handle, symbol);
    if (*address == nullptr) {
      const char* err = dlerror();
      lastErrorText = err != nullptr ? err : std::string(symbol) + ": not found";
    }
#endif
    return *address != nullptr ? 0 : 1;
  } catch (...) {
    return 1;
  }
}

void zev_free_library(void* handle) {
  if (handle == nullptr) return;
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(handle));
#else
  dlclose(handle);
#endif
}

}  // extern "C"
