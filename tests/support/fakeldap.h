// Test access to a variant of the fake LDAP library: loads it (the same handle that the code
// under test gets when it loads the same file) and binds the control functions of
// fakeldap_control.h. Keeps the library loaded for its own lifetime, so the fake's state
// survives clients that load and release it.
#ifndef TESTS_SUPPORT_FAKELDAP_H
#define TESTS_SUPPORT_FAKELDAP_H

#include <dlfcn.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "../fakeldap/fakeldap_control.h"

#ifndef FAKELDAP_DIR
#error "FAKELDAP_DIR must name the folder where the fake LDAP library variants are built"
#endif

namespace fakeldap {

// Paths of the variants.
inline std::string dir() { return FAKELDAP_DIR; }
inline std::string standardPath() { return dir() + "/libfakeldap.so"; }
inline std::string zevDir() { return dir() + "/zev"; }  // for ZEV_LIBRARY_PATH
inline std::string zevPath() { return zevDir() + "/libzev9ldap.so"; }
inline std::string noSearchPath() { return dir() + "/libfakeldap_nosearch.so"; }
inline std::string noOptionalPath() { return dir() + "/libfakeldap_noopt.so"; }
inline std::string noURLSearchPath() { return dir() + "/libfakeldap_nourlsearch.so"; }

class Library {
 public:
  explicit Library(const std::string& path) : path_(path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error("cannot load " + path + ": " + dlerror());
    bind(reset, "fake_reset");
    bind(addEntry, "fake_add_entry");
    bind(addValue, "fake_add_value");
    bind(valueCount, "fake_value_count");
    bind(getValue, "fake_get_value");
    bind(entryExists, "fake_entry_exists");
    bind(setCredentials, "fake_set_credentials");
    bind(script, "fake_script");
    bind(logSize, "fake_log_size");
    bind(logLine, "fake_log_line");
    bind(logClear, "fake_log_clear");
    bind(callCount, "fake_call_count");
    bind(lastModValue, "fake_last_mod_value");
    bind(outstanding, "fake_outstanding");
    bind(badFrees, "fake_bad_frees");
    bind(handleReport, "fake_handle_report");
    reset();
  }
  ~Library() { dlclose(handle_); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  const std::string& path() const { return path_; }

  // The whole call log.
  std::vector<std::string> log() const {
    std::vector<std::string> lines;
    for (int i = 0; i < logSize(); ++i) lines.emplace_back(logLine(i));
    return lines;
  }
  // The log lines that start with prefix (e.g. "ldap_search_st(").
  std::vector<std::string> log(const std::string& prefix) const {
    std::vector<std::string> lines;
    for (const std::string& l : log())
      if (l.compare(0, prefix.size(), prefix) == 0) lines.push_back(l);
    return lines;
  }
  // Adds a text value (without a terminator).
  void addText(const std::string& dn, const std::string& attr, const std::string& value) {
    addValue(dn.c_str(), attr.c_str(), value.data(), value.size());
  }
  void addBytes(const std::string& dn, const std::string& attr,
                const std::vector<unsigned char>& value) {
    addValue(dn.c_str(), attr.c_str(), value.data(), value.size());
  }

  void (*reset)(void);
  int (*addEntry)(const char*);
  int (*addValue)(const char*, const char*, const void*, unsigned long);
  int (*valueCount)(const char*, const char*);
  int (*getValue)(const char*, const char*, int, const void**, unsigned long*);
  int (*entryExists)(const char*);
  void (*setCredentials)(const char*, const char*);
  void (*script)(const char*, int, int);
  int (*logSize)(void);
  const char* (*logLine)(int);
  void (*logClear)(void);
  int (*callCount)(const char*);
  long (*lastModValue)(int, int, const void**);
  int (*outstanding)(void);
  int (*badFrees)(void);
  const char* (*handleReport)(void);

 private:
  template <class F>
  void bind(F& f, const char* name) {
    f = reinterpret_cast<F>(dlsym(handle_, name));
    if (f == nullptr) throw std::runtime_error(std::string("fake lacks ") + name);
  }
  std::string path_;
  void* handle_;
};

}  // namespace fakeldap

#endif
