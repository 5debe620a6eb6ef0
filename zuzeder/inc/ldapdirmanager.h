// LDAPDIRManager: the directory manager that the plug-in's factory returns. It owns a copy of
// the connection information and one LDAPClient, logs in on demand, and returns CA and user
// certificates, CRLs and ARLs decoded into containers that belong to the caller.
#ifndef ZUZEDER_LDAPDIRMANAGER_H
#define ZUZEDER_LDAPDIRMANAGER_H

#include <vector>

#include "ldapclient.h"
#include "zevasn.h"
#include "zevdir.h"
#include "zevexception.h"
#include "zevexport.h"
#include "zevstring.h"

namespace zev09000003 {

class ZUZEDER_EXPORT LDAPDIRManager : public ZEVDIRManager {
 public:
  // Clones info and builds an unconnected client; throws what the client's constructor
  // throws (ZEVDIRException 576001 when the LDAP library cannot be loaded).
  explicit LDAPDIRManager(const ZEVDIRConnectInfo::LDAP& info);
  // A new manager with a clone of other's connection information and a fresh client.
  LDAPDIRManager(const LDAPDIRManager& other);
  ~LDAPDIRManager() override;
  LDAPDIRManager& operator=(const LDAPDIRManager&) = delete;

  ZEVDIRManager* duplicate() override;
  ZEVASNCertificateContainer* getCACertificates(const ZEVASNx500Name& entry) override;
  ZEVASNCertificateContainer* getUserCertificates(const ZEVASNx500Name& entry) override;
  ZEVASNCRLContainer* getARLs(const ZEVASNx500Name& entry) override;
  ZEVASNCRLContainer* getCRLs(const ZEVASNx500Name& entry) override;
  ZEVASNCRLContainer* getViaURI(const ZEVString& url) override;
  // Binds, unbinds and returns true; a bind failure reaches the caller at any error level.
  bool validateConnection() override;
  bool isKindOf(const ZEVString& className) const override;
  ZEVString getClassName() override;

  // The manager's client, for hosts that also write to the directory (may be null).
  LDAPClient* getClient() const { return client; }

 protected:
  // Decodes one stored value (DER, PEM, bare Base64 or "{ASN}" hex) into a new object and
  // pushes it into container; a value that does not decode is traced ("decode failed") and
  // skipped. limitText is written before a trace dump cut to 256 bytes. failureAlways: write
  // "decode failed" without asking whether the trace is active.
  void decodeValue(ZEVFastBuffer& value, ZEVASNCertificateContainer* container,
                   const char* limitText, bool failureAlways = true);
  void decodeValue(ZEVFastBuffer& value, ZEVASNCRLContainer* container,
                   const char* limitText, bool failureAlways = true);

  ZEVDIRConnectInfo::LDAP* connectInfo;
  LDAPClient* client;

 private:
  void commonCtor();
  void login();
  int doSearch(const char* base, const std::vector<ZEVString>& attributes, int scope);
  int doSearchByURI(const ZEVString& url, int attrsonly);
  bool serverIsDown(int ldapResult);
  bool maybeThrowIt(const ZEVDIRException& failure);
  void getCertificates(const char* base, const std::vector<ZEVString>& attributes,
                       ZEVASNCertificateContainer* container, int scope);
  void getRevocationLists(const char* base, const std::vector<ZEVString>& attributes,
                          ZEVASNCRLContainer* container);
  void getRevocationListsByURI(const ZEVString& url, ZEVASNCRLContainer* container);
};

}  // namespace zev09000003

#endif
