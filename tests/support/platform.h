// Portable helpers for tests: the way to do these things in a test that also runs as a
// Windows program under Wine (scripts/test-windows). Use them instead of the POSIX calls.
//
//   kPathListSeparator        ':' on POSIX, ';' on Windows (ZEV_LIBRARY_PATH and such)
//   kFolderSeparator          what a program of the platform puts between folder and file
//   libraryFile(name)         the file a library is built as: "lib<name>.so" / "<name>.dll"
//   TempDir                   a fresh folder, removed with its content by the destructor (under
//                             Wine it is made under /tmp, so scripts on the Linux side can use
//                             the same path; Windows calls reach it through drive Z:)
//   setEnv / unsetEnv         the process environment
//   Library                   load a library, bind a symbol, unload; isLoaded(path)
//   runShell(command)         a /bin/sh command line on the Linux side: its exit status and
//                             standard output (under Wine, see runShell below)
//   shellQuoted(text)         text as one /bin/sh word
//
// Paths compiled into the tests (ZEV_SOURCE_DIR, FAKELDAP_DIR, ...) are Unix paths; under
// Wine they name the same files through drive Z:, as long as the current drive is Z: (ctest
// runs in the build folder, so it is).
#ifndef TESTS_SUPPORT_PLATFORM_H
#define TESTS_SUPPORT_PLATFORM_H

#if defined(_WIN32)
// windows.h as the host layer includes it (trimmed: no min/max macros).
#include "../../zev_cms/zevcms/inc/zevplatform.h"
#else
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

#if defined(_WIN32)
const char kPathListSeparator = ';';
const char kFolderSeparator[] = "\\";
inline std::string libraryFile(const std::string& name) { return name + ".dll"; }
#else
const char kPathListSeparator = ':';
const char kFolderSeparator[] = "/";
inline std::string libraryFile(const std::string& name) { return "lib" + name + ".so"; }
#endif

inline std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void setEnv(const std::string& name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name.c_str(), value.c_str());
#else
  setenv(name.c_str(), value.c_str(), 1);
#endif
}

inline void unsetEnv(const std::string& name) {
#if defined(_WIN32)
  _putenv_s(name.c_str(), "");  // an empty value removes the variable
#else
  unsetenv(name.c_str());
#endif
}

struct Outcome {
  int status;          // exit status; -1 when the command did not end normally
  std::string output;  // standard output
};

#if defined(_WIN32)

namespace detail {
inline std::string randomName(const std::string& prefix) {
  static std::mt19937_64 random(std::random_device{}() ^
                                static_cast<unsigned long long>(GetCurrentProcessId()) << 32 ^
                                static_cast<unsigned long long>(GetTickCount64()));
  const char* digits = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = prefix;
  for (int i = 0; i < 10; ++i) name += digits[random() % 36];
  return name;
}
}  // namespace detail

// Runs command with /bin/sh on the Linux side. Wine starts a Unix program that CreateProcess
// is given, but hands back no process handle, exit code or pipe, so the command writes its
// output and then its exit status to files in a fresh folder, and this waits (bounded) for
// the status file, which is renamed into place only when complete.
inline Outcome runShell(const std::string& command, int timeoutSeconds = 600);

#else

inline Outcome runShell(const std::string& command, int = 0) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  std::string out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

#endif

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "zevtest.") {
#if defined(_WIN32)
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      std::string candidate = "/tmp/" + detail::randomName(prefix);
      if (CreateDirectoryA(candidate.c_str(), nullptr)) path_ = candidate;
    }
    if (path_.empty()) throw std::runtime_error("cannot make a temporary folder under /tmp");
#else
    std::string pattern = "/tmp/" + prefix + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
#endif
  }
  ~TempDir() {
    if (path_.empty()) return;
#if defined(_WIN32)
    removeTree(path_);  // not through runShell, which makes a TempDir of its own
#else
    runShell("rm -rf " + shellQuoted(path_));
#endif
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
#if defined(_WIN32)
  static void removeTree(const std::string& path) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "/*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        const std::string child = path + "/" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          removeTree(child);
        } else {
          SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileA(child.c_str());
        }
      } while (FindNextFileA(search, &found));
      FindClose(search);
    }
    RemoveDirectoryA(path.c_str());
  }
#endif
  std::string path_;
};

#if defined(_WIN32)
inline Outcome runShell(const std::string& command, int timeoutSeconds) {
  TempDir io("zevshell.");
  const std::string status = io.file("status");
  std::string script = "(" + command + ") >" + shellQuoted(io.file("out")) + "; echo $? >" +
                       shellQuoted(status + ".part") + "; mv " + shellQuoted(status + ".part") +
                       " " + shellQuoted(status);
  std::string line = "/bin/sh -c \"";
  for (char c : script) {
    if (c == '"' || c == '\\') line += '\\';
    line += c;
  }
  line += "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    throw std::runtime_error("cannot run /bin/sh for " + command);
  }
  if (process.hProcess != nullptr) CloseHandle(process.hProcess);
  if (process.hThread != nullptr) CloseHandle(process.hThread);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (GetFileAttributesA(status.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("no end of " + command + " within " +
                               std::to_string(timeoutSeconds) + " s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return {std::atoi(readFile(status).c_str()), readFile(io.file("out"))};
}
#endif

// A library loaded for the time the object lives.
class Library {
 public:
  explicit Library(const std::string& path) : path_(path) {
#if defined(_WIN32)
    handle_ = LoadLibraryA(path.c_str());
    if (handle_ == nullptr) {
      throw std::runtime_error("cannot load " + path + " (error " +
                               std::to_string(GetLastError()) + ")");
    }
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error("cannot load " + path + ": " + dlerror());
#endif
  }
  ~Library() {
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // The address of an exported symbol, or null.
  void* find(const char* name) const {
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
  }
  // The symbol as a function pointer of type F; throws when it is missing.
  template <class F>
  F function(const char* name) const {
    if (void* f = find(name)) return reinterpret_cast<F>(f);
    throw std::runtime_error(path_ + " lacks " + name);
  }
  void* handle() const { return handle_; }

  // True while the library at path is loaded in this process (by anyone).
  static bool isLoaded(const std::string& path) {
#if defined(_WIN32)
    return GetModuleHandleA(path.c_str()) != nullptr;
#else
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h != nullptr) dlclose(h);
    return h != nullptr;
#endif
  }

 private:
  std::string path_;
  void* handle_ = nullptr;
};

}  // namespace testsupport

#endif
