// The plug-in's entry points.
//
// Loading libzev9drld registers the factory "zev9drld" with the host's ZEVLibraryManager.
// The host calls it with a pointer to a ZEVDIRConnectInfo::LDAP and receives a new
// LDAPDIRManager (as void*, a ZEVDIRManager that the caller owns). The factory copies the
// connection information; the caller keeps its own. It throws ZEVDIRException 571002 "args
// cannot be NULL" / "args is invalid" for a null or foreign argument, and what the manager's
// constructor throws (576001 when the LDAP library cannot be loaded).
//
// zev9drld_newDynamicDIRManager is a second creation function, not registered with the
// library manager: a host that wants the dynamic manager (revocation lists through
// LDAPDynamicClient sessions) looks it up in the loaded plug-in by name (zev_get_func_address)
// and calls it with the same argument as the factory. It returns a new LDAPDynamicDIRManager
// as a ZEVDIRManager* that the caller owns. Being a C entry it throws nothing: on failure it
// returns null and, when failure is not null, stores there a heap copy of the exception
// (a ZEVException*, a ZEVDIRException where the failure was one) that the caller deletes.
#ifndef ZUZEDER_LDAPGLOBAL_H
#define ZUZEDER_LDAPGLOBAL_H

#include "zevexport.h"

namespace zev09000003 {

class ZUZEDER_EXPORT LDAPGlobal {
 public:
  LDAPGlobal();
  ~LDAPGlobal();
  LDAPGlobal(const LDAPGlobal&) = delete;
  LDAPGlobal& operator=(const LDAPGlobal&) = delete;
};

// The registered factory.
void* libraryFunction(void* args);

}  // namespace zev09000003

// Name of the symbol, for lookups with zev_get_func_address.
#define ZEV9DRLD_NEW_DYNAMIC_MANAGER "zev9drld_newDynamicDIRManager"
extern "C" ZUZEDER_EXPORT void* zev9drld_newDynamicDIRManager(void* args, void** failure);

#endif
