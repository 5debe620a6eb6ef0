// GetModuleHandleA / GetModuleFileNameA over the list of loaded objects (dl_iterate_phdr).
//
// The handle of a module is the address of its first loadable segment in memory: never null,
// unique among the loaded objects, and found again by walking the list. A handle whose object
// was unloaded meanwhile is simply not found (GetModuleFileNameA returns 0). On Windows the
// system's own functions are used (zevplatform.h includes windows.h) and this file adds
// nothing.
#include "zevplatform.h"

#if !defined(_WIN32)

#include <link.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string baseName(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsWithDllIgnoringCase(const std::string& s) {
  if (s.size() < 4) return false;
  std::string tail = s.substr(s.size() - 4);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".dll";
}

// True when the loaded file's base name answers the module name: "<n>.dll" stands for
// "lib<n>.so" or "lib<n>.so.<version>"; any other name must equal the base name.
bool matches(const std::string& moduleName, const std::string& fileBase) {
  if (endsWithDllIgnoringCase(moduleName)) {
    std::string so = "lib" + moduleName.substr(0, moduleName.size() - 4) + ".so";
    return fileBase == so ||
           (fileBase.size() > so.size() + 1 && fileBase.compare(0, so.size() + 1, so + ".") == 0);
  }
  return fileBase == moduleName;
}

// The address of the object's first PT_LOAD segment, or null when it has none.
void* firstSegment(const struct dl_phdr_info* info) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type == PT_LOAD) {
      return reinterpret_cast<void*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    }
  }
  return nullptr;
}

// The main program reports an empty name; its file is /proc/self/exe.
std::string objectPath(const char* reported) {
  std::string path = reported != nullptr ? reported : "";
  if (path.empty()) {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    return std::string(buf, static_cast<std::size_t>(n));
  }
  if (path[0] != '/') {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) path = resolved;
  }
  return path;
}

struct Search {
  const char* moduleName;  // by name (null: the main program, the first object listed)
  void* handle;            // by handle
  void* found;
  std::string path;
};

int byName(struct dl_phdr_info* info, size_t, void* data) {
  Search* s = static_cast<Search*>(data);
  if (s->moduleName == nullptr) {
    s->found = firstSegment(info);
    return 1;
  }
  const char* name = info->dlpi_name;
  if (name == nullptr || *name == '\0') return 0;
  if (matches(s->moduleName, baseName(name))) {
    s->found = firstSegment(info);
    return s->found != nullptr ? 1 : 0;
  }
  return 0;
}

int byHandle(struct dl_phdr_info* info, size_t, void* data) {
  Search* s = static_cast<Search*>(data);
  if (firstSegment(info) != s->handle) return 0;
  s->found = s->handle;
  s->path = objectPath(info->dlpi_name);
  return 1;
}

}  // namespace

extern "C" {

HMODULE GetModuleHandleA(const char* moduleName) {
  try {
    Search s{moduleName, nullptr, nullptr, std::string()};
    if (moduleName != nullptr && *moduleName == '\0') return nullptr;
    dl_iterate_phdr(byName, &s);
    return s.found;
  } catch (...) {
    return nullptr;
  }
}

unsigned long GetModuleFileNameA(HMODULE module, char* buffer, unsigned long size) {
  try {
    if (buffer == nullptr || size == 0) return 0;
    Search s{nullptr, module, nullptr, std::string()};
    if (module == nullptr) {
      // As on Windows: a null handle names the main program.
      s.path = objectPath(nullptr);
      s.found = s.path.empty() ? nullptr : buffer;
    } else {
      dl_iterate_phdr(byHandle, &s);
    }
    if (s.found == nullptr || s.path.empty()) {
      buffer[0] = '\0';
      return 0;
    }
    if (s.path.size() >= size) {
      // Does not fit: cut to size - 1 characters, terminate, and report size.
      std::memcpy(buffer, s.path.data(), size - 1);
      buffer[size - 1] = '\0';
      return size;
    }
    std::memcpy(buffer, s.path.c_str(), s.path.size() + 1);
    return static_cast<unsigned long>(s.path.size());
  } catch (...) {
    return 0;
  }
}

}  // extern "C"

#endif
