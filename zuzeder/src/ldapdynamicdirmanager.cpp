// LDAPDynamicDIRManager: revocation lists and the connection check through two
// LDAPDynamicClient sessions (dynamicClient for entry names, uriClient for LDAP URLs), with
// their own login, retry and error-level rules; and the plug-in's second creation function,
// which builds this manager.
#include "ldapdynamicdirmanager.h"

#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <sstream>

#include "ldapglobal.h"
#include "ldapsearch.h"
#include "zevcms.h"

namespace zev09000003 {

namespace {

const char* const kFile = "./zuzeder/src/ldapdynamicdirmanager";
const unsigned int kComponent = 256;
const unsigned int kLevel = 1;

const long kErrBadArgs = 571002;  // 0x8B67A
const long kErrNoLogin = 576002;  // 0x8CA02
const long kErrSearch = 576004;   // 0x8CA04

const int kLdapNoSuchObject = 32;
const int kLdapServerDown = 81;
const int kLdapLocalError = 82;
const int kLdapConnectError = 91;

const char* const kLimitTextColon = "Data Read Trace Limited to 256 Bytes:";

// The attribute array handed to the search: malloc'd, released on every way out.
struct FreeDeleter {
  void operator()(char** p) const { std::free(p); }
};
typedef std::unique_ptr<char*, FreeDeleter> AttributeArray;

}  // namespace

LDAPDynamicDIRManager::LDAPDynamicDIRManager(const ZEVDIRConnectInfo::LDAP& info)
    : LDAPDIRManager(info),
      dynamicConnectInfo(nullptr),
      dynamicClient(nullptr),
      uriClient(nullptr) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicDIRManager");
  dynamicConnectInfo = info.clone();
  try {
    buildClients();
  } catch (const ZEVException& failure) {
    delete dynamicConnectInfo;
    dynamicConnectInfo = nullptr;
    // The caller gets the code and message of the failure as a plain ZEVException.
    throw ZEVException(failure);
  } catch (...) {
    // Anything else passes unchanged, but leaves nothing of this part behind.
    delete dynamicConnectInfo;
    dynamicConnectInfo = nullptr;
    throw;
  }
}

LDAPDynamicDIRManager::LDAPDynamicDIRManager(const LDAPDynamicDIRManager& other)
    : LDAPDIRManager(other),
      dynamicConnectInfo(nullptr),
      dynamicClient(nullptr),
      uriClient(nullptr) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicDIRManager");
  dynamicConnectInfo = other.dynamicConnectInfo->clone();
  try {
    buildClients();
  } catch (const ZEVException&) {
    // The copy exists without dynamic clients; every operation that needs one says so.
  } catch (...) {
    delete dynamicConnectInfo;
    dynamicConnectInfo = nullptr;
    throw;
  }
}

LDAPDynamicDIRManager::~LDAPDynamicDIRManager() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "~LDAPDynamicDIRManager");
  if (dynamicClient != nullptr) {
    delete dynamicClient;
    dynamicClient = nullptr;
  }
  if (uriClient != nullptr) {
    delete uriClient;
    uriClient = nullptr;
  }
  if (dynamicConnectInfo != nullptr) {
    delete dynamicConnectInfo;
    dynamicConnectInfo = nullptr;
  }
}

// Both clients from the same values of dynamicConnectInfo: two independent sessions. On any
// failure neither client remains.
void LDAPDynamicDIRManager::buildClients() {
  const int version = dynamicConnectInfo->getVersion() == LDAP_VERSION_3 ? 3 : 2;
  try {
    dynamicClient = new LDAPDynamicClient(
        dynamicConnectInfo->getHostName(), dynamicConnectInfo->getDriverPath(),
        dynamicConnectInfo->getInitAgent(), dynamicConnectInfo->getPortNumber(), version,
        dynamicConnectInfo->getSearchTimeout(), dynamicConnectInfo->getConnectTimeout());
    uriClient = new LDAPDynamicClient(
        dynamicConnectInfo->getHostName(), dynamicConnectInfo->getDriverPath(),
        dynamicConnectInfo->getInitAgent(), dynamicConnectInfo->getPortNumber(), version,
        dynamicConnectInfo->getSearchTimeout(), dynamicConnectInfo->getConnectTimeout());
  } catch (...) {
    delete dynamicClient;
    dynamicClient = nullptr;
    delete uriClient;
    uriClient = nullptr;
    throw;
  }
}

ZEVDIRManager* LDAPDynamicDIRManager::duplicate() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicDIRManager::duplicate");
  return new LDAPDynamicDIRManager(*this);
}

void LDAPDynamicDIRManager::login() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "login");
  if (dynamicClient == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrSearch, "LDAPClient ptr was NULL");
  }
  const ZEVConstString& userDN = dynamicConnectInfo->getUserDN();
  if (userDN.length() == 0) {
    dynamicClient->login(static_cast<const char*>(nullptr), static_cast<const char*>(nullptr));
  } else {
    dynamicClient->login(userDN, dynamicConnectInfo->getUserPassword().get());
  }
}

bool LDAPDynamicDIRManager::validateConnection() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicDIRManager::validateConnection");
  if (dynamicClient == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrNoLogin, "Unable to login to LDAP Server");
  }
  if (!dynamicClient->isConnected()) login();
  dynamicClient->logout(true);
  return true;
}

int LDAPDynamicDIRManager::doSearch(const char* base, const std::vector<ZEVString>& attributes,
                                    int scope) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicDIRManager::doSearch");
  if (dynamicClient == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrSearch, "LDAPClient ptr was NULL");
  }
  const size_t n = attributes.size();
  AttributeArray attrs(static_cast<char**>(std::malloc((n + 1) * sizeof(char*))));
  if (!attrs) throw std::bad_alloc();

  ZEVString filter;
  for (size_t i = 0; i < n; ++i) {
    ZEVString term("(=*)");
    term.insert(1, attributes[i]);
    filter += term;
    attrs.get()[i] = const_cast<char*>(attributes[i].c_str());
  }
  attrs.get()[n] = nullptr;
  if (n > 1) {
    filter.insert(0, "(|");
    filter += ")";
  }

  int retries = 1;
  for (;;) {
    try {
      if (!dynamicClient->isConnected()) login();
      return dynamicClient->search(base, scope, filter.c_str(), attrs.get(), 0);
    } catch (const ZEVDIRException& failure) {
      if (failure.getError() == kErrSearch && serverIsDown(dynamicClient->errorCode()) &&
          retries-- != 0) {
        if (ZEVTrace::globalTrace().isActive(kComponent, kLevel)) {
          try {
            // Always 81, whichever of 81, 82 or 91 caused the retry.
            std::ostringstream os;
            os << "Error(" << kLdapServerDown << ") from ldap_search()."
               << "  Retrying.";
            ZEVString message(os);
            message.push_back('\0');
            ZEVTrace::globalTrace().write(kFile, __LINE__, kComponent, kLevel, message);
          } catch (...) {
            // A trace message that cannot be built is not worth failing the search for.
          }
        }
        dynamicClient->logout(true);
        continue;
      }
      if (maybeThrowIt(failure)) throw failure;
      return 0;
    }
  }
}

int LDAPDynamicDIRManager::doSearchByURI(const ZEVString& url, int scope) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicDIRManager::doSearchByURI");
  if (uriClient == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrSearch, "LDAPClient ptr was NULL");
  }
  try {
    // The client connects to the URL's server and binds anonymously itself.
    return uriClient->searchByURI(ZEVString(url.c_str()), scope);
  } catch (const ZEVDIRException& failure) {
    if (ZEVTrace::globalTrace().isActive(kComponent, kLevel)) {
      try {
        ZEVTrace::globalTrace().write(kFile, __LINE__, kComponent, kLevel,
                                      "Error in LDAPDynamicClient search url.");
      } catch (...) {
        // As in doSearch: the trace never decides the outcome.
      }
    }
    if (maybeThrowItURL(failure)) throw failure;
    return 0;
  }
}

bool LDAPDynamicDIRManager::serverIsDown(int ldapResult) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "serverIsDown");
  return ldapResult == kLdapServerDown || ldapResult == kLdapLocalError ||
         ldapResult == kLdapConnectError;
}

bool LDAPDynamicDIRManager::maybeThrowIt(const ZEVDIRException& failure) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicDIRManager::maybeThrowIt");
  if (dynamicClient == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrSearch, "LDAPClient ptr was NULL");
  }
  switch (dynamicConnectInfo->getErrorLevel()) {
    case 0:
      return true;
    case 1:
      return dynamicClient->errorCode() != kLdapNoSuchObject;
    default:
      return false;
  }
}

bool LDAPDynamicDIRManager::maybeThrowItURL(const ZEVDIRException& failure) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicDIRManager::maybeThrowItURL");
  if (uriClient == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrSearch, "LDAPClient ptr was NULL");
  }
  // The error level is the manager's; the result code is the URL session's.
  switch (dynamicConnectInfo->getErrorLevel()) {
    case 0:
      return true;
    case 1:
      return uriClient->errorCode() != kLdapNoSuchObject;
    default:
      return false;
  }
}

bool LDAPDynamicDIRManager::isKindOf(const ZEVString& className) const {
  if (className.compare("LDAPDynamicDIRManager") == 0) return true;
  return LDAPDIRManager::isKindOf(className);
}

ZEVString LDAPDynamicDIRManager::getClassName() { return ZEVString("LDAPDynamicDIRManager"); }

ZEVASNCRLContainer* LDAPDynamicDIRManager::getARLs(const ZEVASNx500Name& entry) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicDIRManager::getARLs");
  if (dynamicClient == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrNoLogin, "Unable to login to LDAP Server");
  }
  ZEVUniquePtr<ZEVASNCRLContainer> container(new ZEVASNCRLContainer(ZEV_OWNER));
  ZEVString base = ZEVASNUtility::getRFC2253String(entry, false, 5);
  std::vector<ZEVString> attributes;
  attributes.push_back("authorityRevocationList;binary");
  attributes.push_back("authorityRevocationList");
  attributes.push_back("certificateRevocationList;binary");
  attributes.push_back("certificateRevocationList");
  getRevocationLists(base.c_str(), attributes, container.get());
  return container.release();
}

ZEVASNCRLContainer* LDAPDynamicDIRManager::getCRLs(const ZEVASNx500Name& entry) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicDIRManager::getCRLs");
  if (dynamicClient == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrNoLogin, "Unable to login to LDAP Server");
  }
  ZEVUniquePtr<ZEVASNCRLContainer> container(new ZEVASNCRLContainer(ZEV_OWNER));
  ZEVString base = ZEVASNUtility::getRFC2253String(entry, false, 5);
  std::vector<ZEVString> attributes;
  attributes.push_back("certificateRevocationList;binary");
  attributes.push_back("certificateRevocationList");
  getRevocationLists(base.c_str(), attributes, container.get());
  return container.release();
}

ZEVASNCRLContainer* LDAPDynamicDIRManager::getViaURI(const ZEVString& url) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicDIRManager::getViaURI");
  if (uriClient == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrNoLogin, "No LDAP client available");
  }
  ZEVUniquePtr<ZEVASNCRLContainer> container(new ZEVASNCRLContainer(ZEV_OWNER));
  // This class's own step, not whatever a further override puts in the slot.
  LDAPDynamicDIRManager::getRevocationListsByURI(url, container.get());
  return container.release();
}

void LDAPDynamicDIRManager::getRevocationLists(const char* base,
                                               const std::vector<ZEVString>& attributes,
                                               ZEVASNCRLContainer* container) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicDIRManager::getRevocationLists");
  if (dynamicClient == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrSearch, "LDAPClient ptr was NULL");
  }
  const int count = doSearch(base, attributes, 0);
  if (count == 0) return;

  LDAPSearchResults results(*dynamicClient);
  // Attribute by attribute over all entries: everything under the first name comes first.
  for (const ZEVString& attribute : attributes) {
    const char* name = attribute.c_str();
    while (LDAPAttributeMap* map = results.next()) {
      const size_t k = map->count(name);
      if (k == 0) continue;
      LDAPAttributeMap::const_iterator it = map->find(name);
      for (size_t i = 0; i < k; ++i, ++it) {
        if (it->second != nullptr) decodeValue(*it->second, container, kLimitTextColon, true);
      }
    }
    results.reset();
  }
}

void LDAPDynamicDIRManager::getRevocationListsByURI(const ZEVString& url,
                                                    ZEVASNCRLContainer* container) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent,
                        "LDAPDynamicDIRManager::getRevocationListsByURI");
  if (uriClient == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrSearch, "LDAPClient ptr was NULL");
  }
  // Always the base object, whatever scope the URL names.
  const int count = doSearchByURI(url, 0);
  if (count == 0) return;

  LDAPSearchResults results(*uriClient);
  // Every value of every attribute, the entry's own "dn" included (it fails and is traced
  // when the trace is on).
  while (LDAPAttributeMap* map = results.next()) {
    for (LDAPAttributeMap::const_iterator it = map->begin(); it != map->end(); ++it) {
      if (it->second != nullptr) decodeValue(*it->second, container, kLimitTextColon, false);
    }
  }
}

}  // namespace zev09000003

namespace {

using zev09000003::ZEVDIRException;
using zev09000003::ZEVException;

// Stores a heap copy of the failure for the caller, when it asked for one. Never throws: a
// copy that cannot be made leaves *failure null.
template <class E>
void storeFailure(void** failure, const E& e) {
  if (failure == nullptr) return;
  try {
    *failure = static_cast<ZEVException*>(new E(e));
  } catch (...) {
    *failure = nullptr;
  }
}

void storeFailure(void** failure, const char* message) {
  // No code of its own exists for failures that are not the toolkit's; 0 marks them.
  try {
    storeFailure(failure, ZEVException(zev09000003::kFile, __LINE__, 0, message));
  } catch (...) {
  }
}

}  // namespace

extern "C" void* zev9drld_newDynamicDIRManager(void* args, void** failure) {
  using namespace zev09000003;
  // The caller always finds a defined value: null unless a failure is stored.
  if (failure != nullptr) *failure = nullptr;
  try {
    ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "zev9drld_newDynamicDIRManager");
    if (args == nullptr) {
      throw ZEVDIRException(kFile, __LINE__, kErrBadArgs, "args cannot be NULL");
    }
    const ZEVDIRConnectInfo::OBJECT* object = static_cast<const ZEVDIRConnectInfo::OBJECT*>(args);
    if (!object->isKindOf(ZEVDIRConnectInfo::LDAP::getClassName())) {
      throw ZEVDIRException(kFile, __LINE__, kErrBadArgs, "args is invalid");
    }
    const ZEVDIRConnectInfo::LDAP* info = static_cast<const ZEVDIRConnectInfo::LDAP*>(object);
    ZEVDIRManager* manager = new LDAPDynamicDIRManager(*info);
    return manager;
  } catch (const ZEVDIRException& e) {
    storeFailure(failure, e);
  } catch (const ZEVException& e) {
    storeFailure(failure, e);
  } catch (const std::bad_alloc&) {
    storeFailure(failure, "Out of memory while creating the dynamic directory manager");
  } catch (const std::exception& e) {
    storeFailure(failure, e.what());
  } catch (...) {
    storeFailure(failure, "Unknown failure while creating the dynamic directory manager");
  }
  return nullptr;
}
