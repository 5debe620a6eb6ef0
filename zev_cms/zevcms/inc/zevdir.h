// The directory subsystem's interface: connection information, the init agent and the
// directory-manager base class that plug-ins derive from.
#ifndef ZEV_CMS_ZEVDIR_H
#define ZEV_CMS_ZEVDIR_H

#include "zevasn.h"
#include "zevbuffer.h"
#include "zevexport.h"
#include "zevstring.h"

namespace zev09000003 {

// The host's init agent: opens an LDAP session on the plug-in's behalf. Virtual slots, in
// order: destructor, isKindOf, connect, getReasonCode, getLDAPHandle.
class ZEVCMS_EXPORT ZEVAgent {
 public:
  ZEVAgent();
  virtual ~ZEVAgent();
  virtual bool isKindOf(const ZEVString& className) const;
  // 0 on success.
  virtual int connect() const = 0;
  // A reason code for the log after a failed connect.
  virtual int getReasonCode(int which) const = 0;
  // The session handle (an LDAP* of the loaded LDAP library), or null.
  virtual void* getLDAPHandle() const = 0;
};

enum LDAPVersion { LDAP_VERSION_2 = 0, LDAP_VERSION_3 = 1 };

class ZEVCMS_EXPORT ZEVDIRConnectInfo {
 public:
  // Base of every kind of connection information.
  class ZEVCMS_EXPORT OBJECT {
   public:
    OBJECT();
    virtual ~OBJECT();
    // A heap copy; the caller owns it.
    virtual OBJECT* clone() const = 0;
    // True for this class's name and for the names of its bases.
    virtual bool isKindOf(const ZEVString& className) const;
    static ZEVString getClassName();  // "ZEVDIRConnectInfo::OBJECT"
  };

  // LDAP connection information, filled by the host through the setters. Defaults: host
  // "localhost", port 389, version LDAP_VERSION_3, no user DN (anonymous), no timeouts,
  // no init agent (not owned), empty driver path, error level 0, no full CRL traces.
  class ZEVCMS_EXPORT LDAP : public OBJECT {
   public:
    LDAP();
    LDAP(const ZEVString& hostName, int portNumber);
    LDAP(const LDAP& other);
    LDAP& operator=(const LDAP& other);
    ~LDAP() override;

    LDAP* clone() const override;
    bool isKindOf(const ZEVString& className) const override;
    static ZEVString getClassName();  // "ZEVDIRConnectInfo::LDAP"

    const ZEVConstString& getHostName() const { return hostName_; }
    int getPortNumber() const { return portNumber_; }
    const ZEVConstString& getUserDN() const { return userDN_; }
    // Marked sensitive: wiped when freed.
    const ZEVFastBuffer& getUserPassword() const { return userPassword_; }
    // LDAP_VERSION_3 (1) for LDAP 3, anything else for LDAP 2.
    int getVersion() const { return version_; }
    int getConnectTimeout() const { return connectTimeout_; }  // seconds; <= 0: none
    int getSearchTimeout() const { return searchTimeout_; }    // seconds; <= 0: none
    const ZEVAgent* getInitAgent() const { return initAgent_; }
    const ZEVConstString& getDriverPath() const { return driverPath_; }
    // 0: every failure reaches the caller; 1: all but a missing entry; other: none.
    int getErrorLevel() const { return errorLevel_; }
    bool getisTraceFullCRL() const { return traceFullCRL_; }

    void setHostName(const ZEVString& v) { hostName_ = v; }
    void setPortNumber(int v) { portNumber_ = v; }
    void setUserDN(const ZEVString& v) { userDN_ = v; }
    void setUserPassword(const void* bytes, std::size_t length);
    void setUserPassword(const ZEVString& v);
    void setVersion(int v) { version_ = v; }
    void setConnectTimeout(int seconds) { connectTimeout_ = seconds; }
    void setSearchTimeout(int seconds) { searchTimeout_ = seconds; }
    void setInitAgent(const ZEVAgent* agent) { initAgent_ = agent; }
    void setDriverPath(const ZEVString& v) { driverPath_ = v; }
    void setErrorLevel(int v) { errorLevel_ = v; }
    void setisTraceFullCRL(bool v) { traceFullCRL_ = v; }

   private:
    ZEVConstString hostName_;
    int portNumber_;
    ZEVConstString userDN_;
    ZEVFastBuffer userPassword_;
    int version_;
    int connectTimeout_;
    int searchTimeout_;
    const ZEVAgent* initAgent_;
    ZEVConstString driverPath_;
    int errorLevel_;
    bool traceFullCRL_;
  };
};

// Base class of the directory managers that plug-ins build. Virtual slots, in order:
// destructor, duplicate, getCACertificates, getUserCertificates, getARLs, getCRLs, getViaURI,
// validateConnection, isKindOf, getClassName. Every returned object belongs to the caller.
class ZEVCMS_EXPORT ZEVDIRManager {
 public:
  virtual ~ZEVDIRManager();
  virtual ZEVDIRManager* duplicate() = 0;
  virtual ZEVASNCertificateContainer* getCACertificates(const ZEVASNx500Name& entry) = 0;
  virtual ZEVASNCertificateContainer* getUserCertificates(const ZEVASNx500Name& entry) = 0;
  virtual ZEVASNCRLContainer* getARLs(const ZEVASNx500Name& entry) = 0;
  virtual ZEVASNCRLContainer* getCRLs(const ZEVASNx500Name& entry) = 0;
  virtual ZEVASNCRLContainer* getViaURI(const ZEVString& url) = 0;
  virtual bool validateConnection() = 0;
  // True for "ZEVDIRManager".
  virtual bool isKindOf(const ZEVString& className) const;
  virtual ZEVString getClassName();

 protected:
  ZEVDIRManager();
  ZEVDIRManager(const ZEVDIRManager&);
};

}  // namespace zev09000003

#endif
