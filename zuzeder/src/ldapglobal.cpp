// The plug-in's registration with the host's library manager, and its factory.
//
// Loading the library constructs the host's ZEVCMSGlobal and then LDAPGlobal (definition order
// below); the first LDAPGlobal registers libraryFunction under "zev9drld". Unloading destroys
// them in reverse order, so the last LDAPGlobal removes the factory while the host's global
// object still stands.
#include "ldapglobal.h"

#include <cstdlib>
#include <cstring>

#include "ldapdirmanager.h"
#include "zevcms.h"

namespace zev09000003 {

namespace {

const char* const kFile = "./zuzeder/src/ldapglobal";
const unsigned int kComponent = 256;
// The two start-up messages go to the host's general component.
const unsigned int kStartupComponent = 1;

const long kErrBadArgs = 571002;  // 0x8B67A

// The Windows path limit; a module path that does not fit is not reported.
const unsigned long kMaxPath = 260;

// Live LDAPGlobal objects. Static construction and destruction run under the loader's lock,
// so a plain counter is enough.
int refCount = 0;

// The full path of the loaded plug-in, malloc'd (the caller frees it), or null.
char* getModulePath() {
  HMODULE module = GetModuleHandleA("zev9drld.dll");
  if (module == nullptr) return nullptr;
  char buffer[kMaxPath];
  const unsigned long length = GetModuleFileNameA(module, buffer, kMaxPath);
  // A length of 0 is the call's failure; it is treated like a path that was cut.
  if (length == 0 || length >= kMaxPath) return nullptr;
  char* path = static_cast<char*>(std::malloc(length + 1));
  if (path == nullptr) return nullptr;
  std::memcpy(path, buffer, length);
  path[length] = '\0';
  return path;
}

void init() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "init");
  ZEVLibraryManager::addLibEntry("zev9drld", libraryFunction);
  char* path = getModulePath();
  if (path != nullptr) {
    ZEVTrace::globalTrace().write(kFile, __LINE__, kStartupComponent, 1, path);
    std::free(path);
  } else {
    ZEVTrace::globalTrace().write(kFile, __LINE__, kStartupComponent, 1,
                                  "Could not determine where ZuzEder was loaded from");
  }
}

void fini() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "fini");
  ZEVLibraryManager::removeLibEntries(libraryFunction);
}

}  // namespace

LDAPGlobal::LDAPGlobal() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPGlobal::ctor");
  if (++refCount == 1) {
    // Nothing may leave the static construction of a loaded library (it would end the host);
    // a registration that failed shows as a factory the host cannot find.
    try {
      init();
    } catch (...) {
    }
  }
}

LDAPGlobal::~LDAPGlobal() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPGlobal::dtor");
  if (refCount-- == 1) {
    try {
      fini();
    } catch (...) {
    }
  }
}

void* libraryFunction(void* args) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "libraryFunction");
  if (args == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrBadArgs, "args cannot be NULL");
  }
  const ZEVDIRConnectInfo::OBJECT* object = static_cast<const ZEVDIRConnectInfo::OBJECT*>(args);
  if (!object->isKindOf(ZEVDIRConnectInfo::LDAP::getClassName())) {
    throw ZEVDIRException(kFile, __LINE__, kErrBadArgs, "args is invalid");
  }
  const ZEVDIRConnectInfo::LDAP* info = static_cast<const ZEVDIRConnectInfo::LDAP*>(object);
  // A driver path only chooses the LDAP library the client loads; the factory always builds
  // the plain manager (the dynamic one has its own creation function).
  ZEVDIRManager* manager = new LDAPDIRManager(*info);
  return manager;
}

namespace {

// Order matters: the host's object first, so that it is destroyed last.
ZEVCMSGlobal zevCMSGlobal;
LDAPGlobal ldapGlobal;

}  // namespace

}  // namespace zev09000003
