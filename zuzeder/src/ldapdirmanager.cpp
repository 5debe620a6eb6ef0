// LDAPDIRManager: on-demand login, the two search primitives with their retry and
// error-level rules, and the retrieval of certificates and revocation lists.
#include "ldapdirmanager.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <memory>
#include <new>
#include <sstream>
#include <utility>

#include "ldapsearch.h"
#include "zevcms.h"

namespace zev09000003 {

namespace {

const char* const kFile = "./zuzeder/src/ldapdirmanager";
const unsigned int kComponent = 256;
const unsigned int kLevel = 1;

const long kErrNoLogin = 576002;  // 0x8CA02
const long kErrSearch = 576004;   // 0x8CA04

const int kLdapNoSuchObject = 32;
const int kLdapServerDown = 81;
const int kLdapLocalError = 82;
const int kLdapConnectError = 91;

const size_t kDumpLimit = 256;

const char* const kLimitText = "Data Read Trace Limited to 256 Bytes";
const char* const kLimitTextColon = "Data Read Trace Limited to 256 Bytes:";

// The attribute array handed to the search: malloc'd, released on every way out.
struct FreeDeleter {
  void operator()(char** p) const { std::free(p); }
};
typedef std::unique_ptr<char*, FreeDeleter> AttributeArray;

// The client's current error text, never null (a library may know no text for a code).
const char* safeText(const char* text) { return text != nullptr ? text : ""; }

// isText over bytes of any length (isText takes an int count).
bool textBytes(const unsigned char* data, std::size_t length) {
  while (length > 0) {
    const int n = length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
    if (!isText(data, n)) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// True when bytes begin with "{ASN}", in any case.
bool hasAsnPrefix(const ZEVASNCBuffer& bytes) {
  static const char prefix[] = "{asn}";
  if (bytes.getLength() < 5) return false;
  for (std::size_t i = 0; i < 5; ++i) {
    if (std::tolower(bytes.getValue()[i]) != prefix[i]) return false;
  }
  return true;
}

// Decodes one stored value into a new Object and hands it to container; a value that does
// not decode is traced and dropped. See LDAPDIRManager::decodeValue.
// The value is tested and decoded where it lies in the result set, and the object takes the
// DER's bytes: a binary value moves from the result set into the object when it decodes
// (each value is decoded once, and the result set is the caller's own, dropped afterwards),
// and a text value's decoded DER moves in likewise. No value is copied on the way.
template <class Object, class Container>
void decodeInto(ZEVFastBuffer& value, Container* container, const char* limitText,
                bool failureAlways, bool traceFull) {
  ZEVTrace& trace = ZEVTrace::globalTrace();

  // Text values arrive with one terminating zero byte; the decoders want the text alone.
  std::size_t length = value.getLength();
  if (length != 0 && value[length - 1] == 0) --length;
  const ZEVASNCBuffer bytes(value.getValue(), length);

  if (trace.isActive(kComponent, kLevel)) {
    std::ostringstream dump;
    if (length > kDumpLimit && !traceFull) {
      dump << limitText << std::endl;
      ZEVUtility::hexdump(dump, ZEVASNCBuffer(bytes.getValue(), kDumpLimit), "HEX");
    } else {
      ZEVUtility::hexdump(dump, bytes, "HEX");
    }
    trace.write(kFile, __LINE__, kComponent, kLevel, dump.str());
  }

  ZEVUniquePtr<Object> object(new Object(0));
  bool decoded = false;
  try {
    // A text may end in one more zero byte, which the test for text passes over.
    std::size_t textLength = length;
    if (textLength != 0 && bytes.getValue()[textLength - 1] == 0) --textLength;
    if (length != 0 && textBytes(bytes.getValue(), textLength)) {
      if (!hasAsnPrefix(bytes)) {
        // PEM first; a text without armour is taken as bare Base64.
        ZEVFastBuffer der;
        ZEVString type;
        if (ZEVUtility::Base64DearmorPemToBuf(der, type, bytes, nullptr) != 0) {
          der = ZEVKRYUtility::decodeData_BASE64(bytes, nullptr);
        }
        ZEVASNUtility::setDEREncoding(std::move(der), *object);
      } else {
        ZEVFastBuffer der = ZEVUtility::hexStringToBinary(
            ZEVASNCBuffer(bytes.getValue() + 5, bytes.getLength() - 5));
        ZEVASNUtility::setDEREncoding(std::move(der), *object);
      }
    } else {
      // Binary: the DER exactly as stored, a final zero byte included.
      ZEVASNUtility::setDEREncoding(std::move(value), *object);
    }
    decoded = true;
  } catch (const ZEVException&) {
    decoded = false;
  }

  if (decoded) {
    container->push_back(object.get());
    object.release();
  } else if (failureAlways || trace.isActive(kComponent, kLevel)) {
    trace.write(kFile, __LINE__, kComponent, kLevel, "decode failed");
  }
}

}  // namespace

LDAPDIRManager::LDAPDIRManager(const ZEVDIRConnectInfo::LDAP& info)
    : ZEVDIRManager(), connectInfo(nullptr), client(nullptr) {
  ZEVUniquePtr<ZEVDIRConnectInfo::LDAP> copy(info.clone());
  connectInfo = copy.get();
  commonCtor();
  copy.release();
}

LDAPDIRManager::LDAPDIRManager(const LDAPDIRManager& other)
    : ZEVDIRManager(other), connectInfo(nullptr), client(nullptr) {
  ZEVUniquePtr<ZEVDIRConnectInfo::LDAP> copy(other.connectInfo->clone());
  connectInfo = copy.get();
  commonCtor();
  copy.release();
}

LDAPDIRManager::~LDAPDIRManager() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "~LDAPDIRManager");
  if (client != nullptr) {
    delete client;
    client = nullptr;
  }
  if (connectInfo != nullptr) {
    delete connectInfo;
    connectInfo = nullptr;
  }
}

ZEVDIRManager* LDAPDIRManager::duplicate() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "duplicate");
  return new LDAPDIRManager(*this);
}

void LDAPDIRManager::commonCtor() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "commonCtor");
  const int version = connectInfo->getVersion() == LDAP_VERSION_3 ? 3 : 2;
  client = nullptr;
  client = new LDAPClient(connectInfo->getHostName(), connectInfo->getDriverPath(),
                          connectInfo->getInitAgent(), connectInfo->getPortNumber(), version,
                          connectInfo->getSearchTimeout(), connectInfo->getConnectTimeout());
}

void LDAPDIRManager::login() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "login");
  const ZEVConstString& userDN = connectInfo->getUserDN();
  if (userDN.length() == 0) {
    client->login(static_cast<const char*>(nullptr), static_cast<const char*>(nullptr));
  } else {
    client->login(userDN, connectInfo->getUserPassword().get());
  }
}

bool LDAPDIRManager::validateConnection() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "validateConnection");
  if (client == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrNoLogin, "Unable to login to LDAP Server");
  }
  if (!client->isConnected()) login();
  client->logout(true);
  return true;
}

int LDAPDIRManager::doSearch(const char* base, const std::vector<ZEVString>& attributes,
                             int scope) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "doSearch");
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
      if (!client->isConnected()) login();
      return client->search(base, scope, filter.c_str(), attrs.get(), 0);
    } catch (const ZEVDIRException& failure) {
      if (failure.getError() == kErrSearch && serverIsDown(client->errorCode()) && retries-- != 0) {
        if (ZEVTrace::globalTrace().isActive(kComponent, kLevel)) {
          try {
            std::ostringstream os;
            os << "Error(" << client->errorCode() << ") from ldap_search()."
               << "  " << safeText(client->errorMessage(0)) << "  Retrying.";
            ZEVString message(os);
            message.push_back('\0');
            ZEVTrace::globalTrace().write(kFile, __LINE__, kComponent, kLevel, message);
          } catch (...) {
            // A trace message that cannot be built is not worth failing the search for.
          }
        }
        client->logout(true);
        continue;
      }
      if (maybeThrowIt(failure)) throw failure;
      return 0;
    }
  }
}

int LDAPDIRManager::doSearchByURI(const ZEVString& url, int attrsonly) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "doSearchByURI");
  try {
    client->init_client();
    return client->searchByURI(ZEVString(url.c_str()), attrsonly);
  } catch (const ZEVDIRException& failure) {
    if (ZEVTrace::globalTrace().isActive(kComponent, kLevel)) {
      try {
        std::ostringstream os;
        os << "Error(" << client->errorCode() << ") from ldap_url_search_st()."
           << "  " << safeText(client->errorMessage(0));
        ZEVString message(os);
        message.push_back('\0');
        ZEVTrace::globalTrace().write(kFile, __LINE__, kComponent, kLevel, message);
      } catch (...) {
        // As in doSearch: the trace never decides the outcome.
      }
    }
    if (maybeThrowIt(failure)) throw failure;
    return 0;
  }
}

bool LDAPDIRManager::serverIsDown(int ldapResult) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "serverIsDown");
  return ldapResult == kLdapServerDown || ldapResult == kLdapLocalError ||
         ldapResult == kLdapConnectError;
}

bool LDAPDIRManager::maybeThrowIt(const ZEVDIRException& failure) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "maybeThrowIt");
  switch (connectInfo->getErrorLevel()) {
    case 0:
      return true;
    case 1:
      // Without a client there is no result code to excuse; the failure goes on.
      return client == nullptr || client->errorCode() != kLdapNoSuchObject;
    default:
      return false;
  }
}

bool LDAPDIRManager::isKindOf(const ZEVString& className) const {
  if (className.compare("LDAPDIRManager") == 0) return true;
  return ZEVDIRManager::isKindOf(className);
}

ZEVString LDAPDIRManager::getClassName() { return ZEVString("LDAPDIRManager"); }

ZEVASNCertificateContainer* LDAPDIRManager::getCACertificates(const ZEVASNx500Name& entry) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "getCACertificates");
  if (client == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrNoLogin, "Unable to login to LDAP Server");
  }
  ZEVUniquePtr<ZEVASNCertificateContainer> container(new ZEVASNCertificateContainer(ZEV_OWNER));
  ZEVString base = ZEVASNUtility::getRFC2253String(entry, false, 5);
  std::vector<ZEVString> attributes;
  attributes.push_back("cACertificate");
  getCertificates(base.c_str(), attributes, container.get(), 0);
  return container.release();
}

ZEVASNCertificateContainer* LDAPDIRManager::getUserCertificates(const ZEVASNx500Name& entry) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "getUserCertificates");
  if (client == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrNoLogin, "Unable to login to LDAP Server");
  }
  ZEVUniquePtr<ZEVASNCertificateContainer> container(new ZEVASNCertificateContainer(ZEV_OWNER));
  ZEVString base = ZEVASNUtility::getRFC2253String(entry, false, 5);
  std::vector<ZEVString> attributes;
  attributes.push_back("userCertificate");
  getCertificates(base.c_str(), attributes, container.get(), 2);
  return container.release();
}

void LDAPDIRManager::getCertificates(const char* base, const std::vector<ZEVString>& attributes,
                                     ZEVASNCertificateContainer* container, int scope) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "getCertificates");
  const int count = doSearch(base, attributes, scope);
  if (count == 0) return;

  LDAPSearchResults results(*client);
  // Only the first attribute is read: the certificate searches ask for one.
  const char* name = attributes.at(0).c_str();
  while (LDAPAttributeMap* map = results.next()) {
    const size_t k = map->count(name);
    if (k == 0) continue;
    LDAPAttributeMap::const_iterator it = map->find(name);
    for (size_t i = 0; i < k; ++i, ++it) {
      if (it->second != nullptr) decodeValue(*it->second, container, kLimitTextColon);
    }
  }
}

ZEVASNCRLContainer* LDAPDIRManager::getARLs(const ZEVASNx500Name& entry) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "getARLs");
  if (client == nullptr) {
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

ZEVASNCRLContainer* LDAPDIRManager::getCRLs(const ZEVASNx500Name& entry) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "getCRLs");
  if (client == nullptr) {
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

ZEVASNCRLContainer* LDAPDIRManager::getViaURI(const ZEVString& url) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "getViaURI");
  if (client == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrNoLogin, "No LDAP client available");
  }
  ZEVUniquePtr<ZEVASNCRLContainer> container(new ZEVASNCRLContainer(ZEV_OWNER));
  getRevocationListsByURI(url, container.get());
  return container.release();
}

void LDAPDIRManager::getRevocationLists(const char* base, const std::vector<ZEVString>& attributes,
                                        ZEVASNCRLContainer* container) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "getRevocationLists");
  const int count = doSearch(base, attributes, 0);
  if (count == 0) return;

  LDAPSearchResults results(*client);
  // Attribute by attribute over all entries: everything under the first name comes first.
  for (const ZEVString& attribute : attributes) {
    const char* name = attribute.c_str();
    while (LDAPAttributeMap* map = results.next()) {
      const size_t k = map->count(name);
      if (k == 0) continue;
      LDAPAttributeMap::const_iterator it = map->find(name);
      for (size_t i = 0; i < k; ++i, ++it) {
        if (it->second != nullptr) decodeValue(*it->second, container, kLimitText);
      }
    }
    results.reset();
  }
}

void LDAPDIRManager::getRevocationListsByURI(const ZEVString& url, ZEVASNCRLContainer* container) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "getRevocationListsByURI");
  const int count = doSearchByURI(url, 0);
  if (count == 0) return;

  LDAPSearchResults results(*client);
  // Every value of every attribute, the entry's own "dn" included (it fails and is traced).
  while (LDAPAttributeMap* map = results.next()) {
    for (LDAPAttributeMap::const_iterator it = map->begin(); it != map->end(); ++it) {
      if (it->second != nullptr) decodeValue(*it->second, container, kLimitTextColon);
    }
  }
}

void LDAPDIRManager::decodeValue(ZEVFastBuffer& value, ZEVASNCertificateContainer* container,
                                 const char* limitText, bool failureAlways) {
  decodeInto<ZEVASNx509Certificate>(value, container, limitText, failureAlways,
                                    connectInfo->getisTraceFullCRL());
}

void LDAPDIRManager::decodeValue(ZEVFastBuffer& value, ZEVASNCRLContainer* container,
                                 const char* limitText, bool failureAlways) {
  decodeInto<ZEVASNCertificateList>(value, container, limitText, failureAlways,
                                    connectInfo->getisTraceFullCRL());
}

}  // namespace zev09000003
