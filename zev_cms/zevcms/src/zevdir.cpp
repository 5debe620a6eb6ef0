// Connection information, the init agent and the directory-manager base class.
#include "zevdir.h"

namespace zev09000003 {

// ---- ZEVAgent ----

ZEVAgent::ZEVAgent() {}
ZEVAgent::~ZEVAgent() {}
bool ZEVAgent::isKindOf(const ZEVString& className) const { return className == "ZEVAgent"; }

// ---- ZEVDIRConnectInfo::OBJECT ----

ZEVDIRConnectInfo::OBJECT::OBJECT() {}
ZEVDIRConnectInfo::OBJECT::~OBJECT() {}

bool ZEVDIRConnectInfo::OBJECT::isKindOf(const ZEVString& className) const {
  return className == getClassName();
}

ZEVString ZEVDIRConnectInfo::OBJECT::getClassName() { return "ZEVDIRConnectInfo::OBJECT"; }

// ---- ZEVDIRConnectInfo::LDAP ----

ZEVDIRConnectInfo::LDAP::LDAP() : LDAP(ZEVString("localhost"), 389) {}

ZEVDIRConnectInfo::LDAP::LDAP(const ZEVString& hostName, int portNumber)
    : hostName_(hostName),
      portNumber_(portNumber),
      version_(LDAP_VERSION_3),
      connectTimeout_(0),
      searchTimeout_(0),
      initAgent_(nullptr),
      errorLevel_(0),
      traceFullCRL_(false) {
  userPassword_.setSensitiveData(true);
}

ZEVDIRConnectInfo::LDAP::LDAP(const LDAP& other) = default;  // the password copy stays sensitive

ZEVDIRConnectInfo::LDAP& ZEVDIRConnectInfo::LDAP::operator=(const LDAP& other) = default;

ZEVDIRConnectInfo::LDAP::~LDAP() {}

ZEVDIRConnectInfo::LDAP* ZEVDIRConnectInfo::LDAP::clone() const { return new LDAP(*this); }

bool ZEVDIRConnectInfo::LDAP::isKindOf(const ZEVString& className) const {
  return className == getClassName() || OBJECT::isKindOf(className);
}

ZEVString ZEVDIRConnectInfo::LDAP::getClassName() { return "ZEVDIRConnectInfo::LDAP"; }

void ZEVDIRConnectInfo::LDAP::setUserPassword(const void* bytes, std::size_t length) {
  // Build the new value in a sensitive buffer, then move it in: the old one is wiped as it
  // is freed.
  ZEVFastBuffer fresh;
  fresh.setSensitiveData(true);
  fresh.append(bytes, bytes != nullptr ? length : 0);
  userPassword_ = std::move(fresh);
}

void ZEVDIRConnectInfo::LDAP::setUserPassword(const ZEVString& v) {
  setUserPassword(v.data(), v.length());
}

// ---- ZEVDIRManager ----

ZEVDIRManager::ZEVDIRManager() {}
ZEVDIRManager::ZEVDIRManager(const ZEVDIRManager&) {}
ZEVDIRManager::~ZEVDIRManager() {}

bool ZEVDIRManager::isKindOf(const ZEVString& className) const {
  return className == "ZEVDIRManager";
}

ZEVString ZEVDIRManager::getClassName() { return "ZEVDIRManager"; }

}  // namespace zev09000003
