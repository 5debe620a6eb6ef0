// LDAPDynamicDIRManager: a directory manager that fetches revocation lists through two
// LDAPDynamicClient sessions (dynamicClient for entry names and the connection check,
// uriClient for LDAP URLs) and certificates through the base class's plain client.
#ifndef ZUZEDER_LDAPDYNAMICDIRMANAGER_H
#define ZUZEDER_LDAPDYNAMICDIRMANAGER_H

#include <vector>

#include "ldapdirmanager.h"
#include "ldapdynamicclient.h"
#include "zevexport.h"

namespace zev09000003 {

class ZUZEDER_EXPORT LDAPDynamicDIRManager : public LDAPDIRManager {
 public:
  // Throws what the base throws; a failure while the dynamic clients are built arrives as a
  // plain ZEVException copy.
  explicit LDAPDynamicDIRManager(const ZEVDIRConnectInfo::LDAP& info);
  // A copy whose dynamic clients cannot be built exists with null clients.
  LDAPDynamicDIRManager(const LDAPDynamicDIRManager& other);
  ~LDAPDynamicDIRManager() override;

  // An independent, unconnected copy with its own connection information and clients.
  ZEVDIRManager* duplicate() override;
  // Through dynamicClient; the container belongs to the caller. Throw ZEVDIRException 576002
  // "Unable to login to LDAP Server" without dynamicClient, and search failures as the error
  // level lets them through.
  ZEVASNCRLContainer* getARLs(const ZEVASNx500Name& entry) override;
  ZEVASNCRLContainer* getCRLs(const ZEVASNx500Name& entry) override;
  // Through uriClient, base scope whatever the URL says. Throws ZEVDIRException 576002 "No LDAP
  // client available" without uriClient; a server that refuses the anonymous bind gives an
  // empty container.
  ZEVASNCRLContainer* getViaURI(const ZEVString& url) override;
  // Binds dynamicClient, unbinds, returns true; a bind failure reaches the caller.
  bool validateConnection() override;
  bool isKindOf(const ZEVString& className) const override;
  ZEVString getClassName() override;

  // These four, like doSearch and getRevocationLists, throw ZEVDIRException 576004 "LDAPClient
  // ptr was NULL" when the client they need is missing.
  virtual void getRevocationListsByURI(const ZEVString& url, ZEVASNCRLContainer* container);
  // The entry count of uriClient's URL search, or 0 when the error level suppresses a failure.
  virtual int doSearchByURI(const ZEVString& url, int scope);
  // Whether a caught failure goes on to the caller, by the error level and the result code of
  // dynamicClient (maybeThrowIt) or uriClient (maybeThrowItURL).
  virtual bool maybeThrowIt(const ZEVDIRException& failure);
  virtual bool maybeThrowItURL(const ZEVDIRException& failure);

  // The dynamic clients, owned by the manager; null in a copy whose clients could not be built.
  LDAPDynamicClient* getDynamicClient() const { return dynamicClient; }
  LDAPDynamicClient* getURIClient() const { return uriClient; }

 protected:
  void login();
  int doSearch(const char* base, const std::vector<ZEVString>& attributes, int scope);
  bool serverIsDown(int ldapResult);
  void getRevocationLists(const char* base, const std::vector<ZEVString>& attributes,
                          ZEVASNCRLContainer* container);

 private:
  void buildClients();

  ZEVDIRConnectInfo::LDAP* dynamicConnectInfo;
  LDAPDynamicClient* dynamicClient;
  LDAPDynamicClient* uriClient;
};

}  // namespace zev09000003

#endif
