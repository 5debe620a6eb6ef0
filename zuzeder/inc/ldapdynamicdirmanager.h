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

  ZEVDIRManager* duplicate() override;
  ZEVASNCRLContainer* getARLs(const ZEVASNx500Name& entry) override;
  ZEVASNCRLContainer* getCRLs(const ZEVASNx500Name& entry) override;
  ZEVASNCRLContainer* getViaURI(const ZEVString& url) override;
  bool validateConnection() override;
  bool isKindOf(const ZEVString& className) const override;
  ZEVString getClassName() override;

  virtual void getRevocationListsByURI(const ZEVString& url, ZEVASNCRLContainer* container);
  virtual int doSearchByURI(const ZEVString& url, int scope);
  virtual bool maybeThrowIt(const ZEVDIRException& failure);
  virtual bool maybeThrowItURL(const ZEVDIRException& failure);

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
