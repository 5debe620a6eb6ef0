#include "commands.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "check.h"
#include "deadline.h"
#include "ldapclient.h"
#include "ldapdirmanager.h"
#include "ldapdynamicdirmanager.h"
#include "ldapglobal.h"
#include "output.h"
#include "zevcms.h"

namespace zevdir {

using namespace zev09000003;

namespace {

const char kPluginName[] = "zev9drld";
const char kCRLAttribute[] = "certificateRevocationList;binary";
const int kNoSuchObject = 32;  // LDAP result code

// Forwards trace records to the user's sink (if any) and counts the plug-in's "decode failed"
// messages, which is how a host learns that stored values were skipped.
class CountingSink : public ZEVTraceSink {
 public:
  explicit CountingSink(std::shared_ptr<ZEVTraceSink> inner) : inner_(std::move(inner)) {}
  void write(const ZEVTraceRecord& record) override {
    std::string text = record.text;
    while (!text.empty() && text.back() == '\0') text.pop_back();
    if (record.component == 256 && record.level == 1 && text == "decode failed") ++failures_;
    if (inner_) inner_->write(record);
  }
  std::size_t failures() const { return failures_; }

 private:
  std::shared_ptr<ZEVTraceSink> inner_;
  std::size_t failures_ = 0;
};

// Switches the toolkit's trace on for this run: the user's --trace file (or what ZEV_TRACE
// names), always with the counting sink in front.
std::shared_ptr<CountingSink> setUpTrace(const Options& o) {
  ZEVTrace& trace = ZEVTrace::globalTrace();
  std::shared_ptr<ZEVTraceSink> inner = trace.getSink();
  if (!o.traceFile.empty()) {
    try {
      inner = std::make_shared<ZEVStreamTraceSink>(o.traceFile);
    } catch (const ZEVException& e) {
      throw UsageError("cannot open the trace file " + o.traceFile + ": " + e.getMessage().str());
    }
  } else if (o.fullTrace && !inner) {
    inner = std::make_shared<ZEVStreamTraceSink>("stderr");
  }
  if (!inner) {
    // Nobody reads the trace: only the plug-in's own messages are needed, for the count.
    trace.setComponents({256});
    trace.setLevel(1);
  } else if (o.fullTrace && trace.getLevel() < ZEVTrace::kScopeLevel) {
    trace.setLevel(ZEVTrace::kScopeLevel);
  }
  auto counter = std::make_shared<CountingSink>(inner);
  trace.setSink(counter);
  return counter;
}

// Keeps the LDAP client library loaded until the process ends. The plug-in's client
// releases it when it is deleted; OpenLDAP's libldap keeps process-wide state (global
// options, its TLS context) that it never frees, and unloading it mid-run would orphan that
// state. A failed load here is not reported: the plug-in reports it with its own error.
void pinLDAPLibrary(const Options& o) {
  static void* pinned = nullptr;
  if (pinned != nullptr) return;
  if (o.driver.empty()) {
    pinned = ZEVLibraryManager::loadLibraryReally(ZEVString("zev9ldap"), ZEVString(""));
  } else if (zev_load_library(o.driver.c_str(), &pinned) != 0) {
    pinned = nullptr;
  }
}

// The manager of this run, with what it needs around it.
class Session {
 public:
  explicit Session(const Options& o) {
    info_.setHostName(ZEVString(o.connectHost()));
    info_.setPortNumber(o.port);
    info_.setVersion(o.version == 3 ? LDAP_VERSION_3 : LDAP_VERSION_2);
    if (!o.bindDN.empty()) {
      info_.setUserDN(ZEVString(o.bindDN));
      info_.setUserPassword(o.password.getValue(), o.password.getLength());
    }
    // No single step may outlast the whole command.
    info_.setConnectTimeout(std::min(o.connectTimeout, o.timeout));
    info_.setSearchTimeout(std::min(o.searchTimeout, o.timeout));
    info_.setDriverPath(ZEVString(o.driver));
    info_.setErrorLevel(o.errorLevel);
    info_.setisTraceFullCRL(o.fullTrace);

    pinLDAPLibrary(o);
    if (o.dynamic) {
      void* failure = nullptr;
      void* made = zev9drld_newDynamicDIRManager(&info_, &failure);
      if (made == nullptr) {
        std::unique_ptr<ZEVException> e(static_cast<ZEVException*>(failure));
        if (e) throw ZEVException(*e);
        throw ZEVDIRException(__FILE__, __LINE__, 0, "the dynamic manager could not be made");
      }
      manager_.reset(static_cast<ZEVDIRManager*>(made));
    } else {
      ZEVLibraryFunction factory = ZEVLibraryManager::getLibraryFunction(kPluginName);
      if (factory == nullptr) {
        throw ZEVDIRException(__FILE__, __LINE__, 0,
                              "cannot load the directory plug-in lib" + std::string(kPluginName) +
                                  ".so: " + ZEVLibraryManager::lastError().str());
      }
      manager_.reset(static_cast<ZEVDIRManager*>(factory(&info_)));
    }
  }

  ZEVDIRManager& manager() { return *manager_; }

  // The client that did the manager's last URL search (the dynamic manager keeps a separate
  // one for URLs), or null.
  LDAPClient* urlClient() {
    if (manager_->isKindOf("LDAPDynamicDIRManager")) {
      return static_cast<LDAPDynamicDIRManager*>(manager_.get())->getURIClient();
    }
    return plainClient();
  }
  // The last LDAP result code of the client that fetches revocation lists by entry name.
  int lastResult() {
    LDAPClient* client = plainClient();
    if (manager_->isKindOf("LDAPDynamicDIRManager")) {
      client = static_cast<LDAPDynamicDIRManager*>(manager_.get())->getDynamicClient();
    }
    return client != nullptr ? client->errorCode() : 0;
  }
  LDAPClient* plainClient() {
    if (!manager_->isKindOf("LDAPDIRManager")) return nullptr;
    return static_cast<LDAPDIRManager*>(manager_.get())->getClient();
  }

 private:
  ZEVDIRConnectInfo::LDAP info_;
  std::unique_ptr<ZEVDIRManager> manager_;
};

// The server of the command line, for messages.
std::string serverName(const Options& o) {
  return o.uri.empty() ? "ldap://" + o.host + ":" + std::to_string(o.port) : o.uri;
}

ZEVASNx500Name parseDN(const std::string& text) {
  try {
    return ZEVASNx500Name::fromRFC4514(ZEVString(text));
  } catch (const ZEVException& e) {
    throw UsageError("malformed DN \"" + text + "\": " + e.getMessage().str());
  }
}

// Reads a DER or PEM file into object. Throws UsageError naming the file.
void readObject(const std::string& path, ZEVASNObject& object, const char* what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read " + std::string(what) + " file " + path);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ZEVFastBuffer raw(bytes.size(), bytes.data());
  ZEVFastBuffer der;
  ZEVString type;
  try {
    if (ZEVUtility::Base64DearmorPemToBuf(der, type, raw, nullptr) == 0) {
      ZEVASNUtility::setDEREncoding(der, object);
    } else {
      ZEVASNUtility::setDEREncoding(raw, object);
    }
  } catch (const ZEVException& e) {
    throw UsageError(path + " holds no " + what + " in DER or PEM: " + e.getMessage().str());
  }
}

std::string describe(const ZEVException& e, const Options& o) {
  std::string message = e.getMessage().str();
  if (message.empty() && e.getError() == 576001) {
    message = "the LDAP client library " +
              (o.driver.empty() ? std::string("libzev9ldap.so") : o.driver) +
              " cannot be loaded or lacks a required function";
  }
  return message;
}

int listCertificates(Session& s, const Options& o, Printer& p, std::size_t& failures,
                     const CountingSink& counter) {
  ZEVASNx500Name name = parseDN(o.args[0]);
  Deadline::phase("reading the " + o.command + " of " + o.args[0] + " from " + serverName(o));
  std::unique_ptr<ZEVASNCertificateContainer> certs(o.command == "ca-certs"
                                                        ? s.manager().getCACertificates(name)
                                                        : s.manager().getUserCertificates(name));
  failures = counter.failures();
  p.certificates(o.command, o.args[0], *certs, failures);
  if (!certs->empty()) return kExitOK;
  p.nothingFound(o.command == "ca-certs" ? "no CA certificate at " + o.args[0]
                                         : "no user certificate at or below " + o.args[0]);
  return kExitNotFound;
}

int listRevocationLists(Session& s, const Options& o, Printer& p, const CountingSink& counter) {
  std::unique_ptr<ZEVASNCRLContainer> lists;
  std::size_t failures = 0;
  Deadline::phase("reading the revocation lists " +
                  (o.command == "url" ? "named by " + o.args[0]
                                      : "of " + o.args[0] + " from " + serverName(o)));
  if (o.command == "url") {
    checkLDAPURL(o.args[0]);
    lists.reset(s.manager().getViaURI(ZEVString(o.args[0])));
    // A URL search hands every value of every entry to the decoder, the entry's own name
    // among them; those names are not stored values and are not counted.
    failures = counter.failures();
    LDAPClient* client = s.urlClient();
    int entries = client != nullptr && client->isConnected() ? client->countEntries() : 0;
    if (entries > 0) {
      failures = failures > static_cast<std::size_t>(entries) ? failures - entries : 0;
    }
  } else {
    ZEVASNx500Name name = parseDN(o.args[0]);
    lists.reset(o.command == "crls" ? s.manager().getCRLs(name) : s.manager().getARLs(name));
    failures = counter.failures();
  }
  p.revocationLists(o.command, o.args[0], *lists, failures);
  if (!lists->empty()) return kExitOK;
  p.nothingFound(std::string(o.command == "arls" ? "no authority or certificate revocation list"
                                                 : "no revocation list") +
                 (o.command == "url" ? " named by " : " at ") + o.args[0]);
  return kExitNotFound;
}

int ping(Session& s, const Options& o, std::ostream& out) {
  Deadline::phase("connecting to " + serverName(o) + " and binding as " +
                  (o.bindDN.empty() ? "anonymous" : o.bindDN));
  s.manager().validateConnection();
  out << "ok: " << (o.uri.empty() ? o.host + ":" + std::to_string(o.port) : o.uri)
      << " accepted a bind as " << (o.bindDN.empty() ? "anonymous" : o.bindDN) << "\n";
  return kExitOK;
}

// check's view of the directory: the run's manager for entries of the server on the command
// line, and a manager of its own, with the timeouts it is given, for each URL on another host.
class SessionDirectory : public CheckDirectory {
 public:
  SessionDirectory(Session& s, const Options& o) : s_(s), o_(o) {}
  ZEVASNCRLContainer* lists(const ZEVASNx500Name& entry, bool authorities) override {
    return authorities ? s_.manager().getARLs(entry) : s_.manager().getCRLs(entry);
  }
  ZEVASNCertificateContainer* caCertificates(const ZEVASNx500Name& entry) override {
    return s_.manager().getCACertificates(entry);
  }
  ZEVASNCRLContainer* listsAt(const std::string& url, int seconds) override {
    Options bounded = o_;
    bounded.connectTimeout = std::min(bounded.connectTimeout, seconds);
    bounded.searchTimeout = std::min(bounded.searchTimeout, seconds);
    Session own(bounded);
    return own.manager().getViaURI(ZEVString(url));
  }
  bool noSuchEntry() override { return s_.lastResult() == kNoSuchObject; }
  std::string describe(const ZEVException& e) override { return zevdir::describe(e, o_); }
  std::string server() override { return serverName(o_); }

 private:
  Session& s_;
  const Options& o_;
};

// Frees the elements of an attribute map through the plug-in that made them.
struct AttributeMapHolder {
  LDAPAttributeMap map;
  ~AttributeMapHolder() {
    while (!map.empty()) removeAttribute(&map, map.begin()->first, nullptr);
  }
};

int publishCRL(Session& s, const Options& o, std::ostream& out, std::ostream& err) {
  ZEVASNx500Name name = parseDN(o.args[0]);
  ZEVASNCertificateList crl;
  readObject(o.args[1], crl, "revocation list");
  std::string dn = ZEVASNUtility::getRFC2253String(name, false, 5).str();

  LDAPClient* client = s.plainClient();
  if (client == nullptr) {
    err << errorLine(576002, "the plug-in's manager has no LDAP client") << "\n";
    return kExitDirectory;
  }

  // What the entry holds now: its CA certificates, which must have issued the new list, and
  // the lists it replaces. A missing entry is left for the write to report.
  Deadline::phase("reading the CA certificates and revocation lists of entry " + dn + " from " +
                  serverName(o));
  std::unique_ptr<ZEVASNCertificateContainer> authorities(new ZEVASNCertificateContainer());
  std::unique_ptr<ZEVASNCRLContainer> replaced(new ZEVASNCRLContainer());
  try {
    authorities.reset(s.manager().getCACertificates(name));
    replaced.reset(s.manager().getCRLs(name));
  } catch (const ZEVDIRException&) {
    if (s.lastResult() != kNoSuchObject) throw;
  }
  if (!authorities->empty()) {
    std::string reasons;
    bool issued = false;
    for (const ZEVASNx509Certificate* ca : *authorities) {
      std::string why = ZEVASNIssuerCheck::whyNotIssuedBy(crl, *ca).str();
      issued = issued || why.empty();
      if (reasons.find(why) == std::string::npos) reasons += "; " + why;
    }
    if (!issued) {
      std::string what = "the revocation list of " + crl.getIssuer().getRFC2253String().str() +
                         " was not issued by a CA certificate of " + dn + reasons;
      if (!o.force) {
        err << "zevdir: refusing to publish: " << what << " (--force writes it anyway)\n";
        return kExitUsage;
      }
      err << "zevdir: publishing anyway (--force): " << what << "\n";
    }
  }

  Deadline::phase("writing the revocation list to entry " + dn + " at " + serverName(o));
  client->login(ZEVConstString(o.bindDN), o.password.get());

  // Replaces every value of the attribute with the one list.
  AttributeMapHolder attributes;
  const ZEVFastBuffer& der = crl.getDEREncoding();
  addAttribute(&attributes.map, kCRLAttribute, reinterpret_cast<const char*>(der.getValue()),
               static_cast<unsigned int>(der.getLength()));
  bool done = client->modifyEntry(&attributes.map, dn.c_str());
  int code = client->errorCode();
  std::string text = client->errorMessage(0) ? client->errorMessage(0) : "";
  client->logout(true);
  if (!done) {
    err << errorLine(code, "cannot publish the revocation list to " + dn + ": " + text) << "\n";
    return kExitDirectory;
  }
  out << "published revocation list of " << crl.getIssuer().getRFC2253String().str()
      << " (lastUpdate=" << crl.getThisUpdate().str() << ", revoked=" << crl.getRevokedCount()
      << ") to " << dn << "\n";
  if (replaced->empty()) out << "replaced no revocation list\n";
  for (const ZEVASNCertificateList* old : *replaced) {
    out << "replaced revocation list of " << old->getIssuer().getRFC2253String().str()
        << " (lastUpdate=" << old->getThisUpdate().str() << ", revoked=" << old->getRevokedCount()
        << ")\n";
  }
  return kExitOK;
}

}  // namespace

int runCommand(Options& o, std::ostream& out, std::ostream& err) {
  // Input files and DNs are checked before anything is loaded or contacted.
  if (o.command != "ping" && o.command != "url" && o.command != "check") parseDN(o.args[0]);
  if (o.command == "url") checkLDAPURL(o.args[0]);
  std::shared_ptr<CountingSink> counter = setUpTrace(o);
  Printer printer(o, out, err);
  Deadline deadline(o.timeout);
  try {
    Deadline::phase("loading the directory plug-in and the LDAP library");
    Session session(o);
    std::size_t failures = 0;
    if (o.command == "ca-certs" || o.command == "user-certs") {
      return listCertificates(session, o, printer, failures, *counter);
    }
    if (o.command == "crls" || o.command == "arls" || o.command == "url") {
      return listRevocationLists(session, o, printer, *counter);
    }
    if (o.command == "ping") return ping(session, o, out);
    if (o.command == "check") {
      SessionDirectory directory(session, o);
      return runCheck(o, directory, out);
    }
    return publishCRL(session, o, out, err);
  } catch (const ZEVException& e) {
    err << errorLine(e.getError(), describe(e, o)) << "\n";
    return kExitDirectory;
  }
}

}  // namespace zevdir
