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
const int kNoSuchObject = 32;                    // LDAP result code
const unsigned int kLDAPLibraryComponent = 512;  // libzev9ldap's trace lines

// Counts the plug-in's "decode failed" records (component 256, level 1), which is how a host
// learns that stored values were skipped, and collects the continuation references that our
// LDAP library reports (component 512, level 1). We chose an observer over a counting sink: it sees
// those records whether or not the trace is on, so the trace stays off when the user asked for
// none, and the plug-in, which formats a hex dump of every value it reads while level 1 is
// active, formats none for nobody.
class TraceWatcher : public ZEVTraceObserver {
 public:
  void observe(const ZEVTraceRecord& record) override {
    std::string text = record.text;
    while (!text.empty() && text.back() == '\0') text.pop_back();
    if (record.component == 256 && text == "decode failed") ++failures_;
    noteReference(record.component, text);
  }
  std::size_t failures() const { return failures_; }
  // The URLs of the continuation references that our LDAP library reported (and did not
  // follow), in order.
  const std::vector<std::string>& references() const { return references_; }

 private:
  void noteReference(unsigned int component, const std::string& text) {
    static const std::string kPrefix = "continuation reference: ";
    if (component != kLDAPLibraryComponent || text.compare(0, kPrefix.size(), kPrefix) != 0) return;
    std::string rest = text.substr(kPrefix.size());
    references_.push_back(rest.substr(0, rest.find(' ')));
  }

  std::size_t failures_ = 0;
  std::vector<std::string> references_;
};

// Keeps nothing: see setUpTrace.
class DroppingSink : public ZEVTraceSink {
 public:
  void write(const ZEVTraceRecord&) override {}
};

// The counter's registration with the global trace, for one command.
class TraceSetUp {
 public:
  explicit TraceSetUp(std::shared_ptr<TraceWatcher> counter) : counter_(std::move(counter)) {
    ZEVTrace::globalTrace().addObserver(256, 1, counter_);
    ZEVTrace::globalTrace().addObserver(kLDAPLibraryComponent, 1, counter_);
  }
  ~TraceSetUp() { ZEVTrace::globalTrace().removeObserver(counter_); }
  TraceSetUp(const TraceSetUp&) = delete;
  TraceSetUp& operator=(const TraceSetUp&) = delete;
  const TraceWatcher& counter() const { return *counter_; }

 private:
  std::shared_ptr<TraceWatcher> counter_;
};

// Switches the toolkit's trace on for this run when the user asked for it (--trace FILE,
// --full-trace, or what ZEV_TRACE names), and counts undecodable values in every case.
std::unique_ptr<TraceSetUp> setUpTrace(const Options& o) {
  ZEVTrace& trace = ZEVTrace::globalTrace();
  if (!o.traceFile.empty()) {
    try {
      trace.setSink(std::make_shared<ZEVStreamTraceSink>(o.traceFile));
    } catch (const ZEVException& e) {
      throw UsageError("cannot open the trace file " + o.traceFile + ": " + e.getMessage().str());
    }
  } else if (o.fullTrace && !trace.getSink()) {
    trace.setSink(std::make_shared<ZEVStreamTraceSink>("stderr"));
  }
  if (o.fullTrace && trace.getLevel() < ZEVTrace::kScopeLevel) {
    trace.setLevel(ZEVTrace::kScopeLevel);
  }
  if (!trace.getSink() && o.dynamic && o.command == "url") {
    // The one exception: the dynamic manager's URL search writes "decode failed" only while
    // the trace is active. For that command the plug-in's own messages are switched on into a
    // sink that drops them, so that the count still works; the dumps it costs are those of
    // the few values that one URL names.
    trace.setComponents({256});
    trace.setLevel(1);
    trace.setSink(std::make_shared<DroppingSink>());
  }
  return std::unique_ptr<TraceSetUp>(new TraceSetUp(std::make_shared<TraceWatcher>()));
}

// Keeps the LDAP client library loaded until the process ends. The plug-in's client
// releases it when it is deleted; OpenLDAP's libldap keeps process-wide state (global
// options, its TLS context) that it never frees, and unloading it mid-run would orphan that
// state. A failed load here is not reported: the plug-in reports it with its own error.
void* pinLDAPLibrary(const Options& o) {
  static void* pinned = nullptr;
  if (pinned != nullptr) return pinned;
  if (o.driver.empty()) {
    pinned = ZEVLibraryManager::loadLibraryReally(ZEVString("zev9ldap"), ZEVString(""));
  } else if (zev_load_library(o.driver.c_str(), &pinned) != 0) {
    pinned = nullptr;
  }
  return pinned;
}

// --cacert and --capath: the process-wide trust anchors of our LDAP library, set through its
// ldap_set_option on no session (0x6002 a CA file, 0x6003 a CA folder) before the plug-in
// opens any session. Without them OpenLDAP's own settings (LDAPTLS_CACERT, ldap.conf) apply.
void setTrustAnchors(void* library, const Options& o) {
  if (o.tlsCAFile.empty() && o.tlsCADir.empty()) return;
  typedef int (*SetOption)(void*, int, const void*);
  typedef char* (*ErrorText)(int);
  void* setAddress = nullptr;
  void* textAddress = nullptr;
  if (library == nullptr ||
      zev_get_func_address(library, "zev_ldap_set_option", &setAddress) != 0 ||
      zev_get_func_address(library, "zev_ldap_err2string", &textAddress) != 0) {
    throw ZEVDIRException(
        __FILE__, __LINE__, 576001,
        "the LDAP library libzev9ldap.so cannot be loaded to set the trust anchors");
  }
  SetOption setOption = reinterpret_cast<SetOption>(setAddress);
  ErrorText errorText = reinterpret_cast<ErrorText>(textAddress);
  const struct {
    int option;
    const std::string& path;
    const char* flag;
  } anchors[] = {{0x6002, o.tlsCAFile, "--cacert"}, {0x6003, o.tlsCADir, "--capath"}};
  for (const auto& anchor : anchors) {
    if (anchor.path.empty()) continue;
    int rc = setOption(nullptr, anchor.option, anchor.path.c_str());
    if (rc != 0) {
      throw UsageError(std::string(anchor.flag) + " " + anchor.path +
                       " is refused: " + errorText(rc));
    }
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

    setTrustAnchors(pinLDAPLibrary(o), o);
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
    LDAPClient* client = entryClient();
    return client != nullptr ? client->errorCode() : 0;
  }
  LDAPClient* plainClient() {
    if (!manager_->isKindOf("LDAPDIRManager")) return nullptr;
    return static_cast<LDAPDIRManager*>(manager_.get())->getClient();
  }
  // The client that made the last request by entry name, or null.
  LDAPClient* entryClient() {
    if (manager_->isKindOf("LDAPDynamicDIRManager")) {
      return static_cast<LDAPDynamicDIRManager*>(manager_.get())->getDynamicClient();
    }
    return plainClient();
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

// What zevdir says when a request came back empty, before "nothing found": the failure, if
// any, that left it empty. The plug-in passes a failed request on or not by the error level,
// and the dynamic manager's URL client returns nothing at all when it cannot bind to the URL's
// server. Neither leaves a trace line zevdir could use: the plug-in writes none for a failure
// that the error level keeps back (a refused bind leaves none even with the trace on), and its
// other failure lines are written only while the trace is active, which would cost a hex dump
// of every value. So the cause is read where it stays, in the last result code of the client
// that made the request. zevdir applies the plug-in's rule to it: at level 0 every failure is
// an error, at level 1 all but a missing entry (32), at level 2 none. A failure the plug-in
// kept back is thereby named as kept back; one that only the URL client swallowed becomes the
// error that the level asks for. Returns the exit code.
int emptyResult(LDAPClient* client, const Options& o, Printer& p, std::ostream& err,
                const std::string& what) {
  int code = client != nullptr ? client->errorCode() : 0;
  if (code != 0) {
    const char* found = client->errorMessage(code);
    std::string text = found != nullptr ? found : "";
    bool passedOn = o.errorLevel == 0 || (o.errorLevel == 1 && code != kNoSuchObject);
    if (passedOn) {
      err << errorLine(code, o.command + " " + o.args[0] +
                                 ": the plug-in returned nothing after a failure: " + text)
          << "\n";
      return kExitDirectory;
    }
    err << "zevdir: --error-level " << o.errorLevel << " kept back a failure: rc=" << code << " "
        << text << "\n";
  }
  p.nothingFound(what);
  return kExitNotFound;
}

int listCertificates(Session& s, const Options& o, Printer& p, std::ostream& err,
                     const TraceWatcher& counter) {
  ZEVASNx500Name name = parseDN(o.args[0]);
  Deadline::phase("reading the " + o.command + " of " + o.args[0] + " from " + serverName(o));
  std::unique_ptr<ZEVASNCertificateContainer> certs(o.command == "ca-certs"
                                                        ? s.manager().getCACertificates(name)
                                                        : s.manager().getUserCertificates(name));
  p.certificates(o.command, o.args[0], *certs, counter.failures());
  if (!certs->empty()) return kExitOK;
  return emptyResult(s.entryClient(), o, p, err,
                     o.command == "ca-certs" ? "no CA certificate at " + o.args[0]
                                             : "no user certificate at or below " + o.args[0]);
}

// The plug-in searches a URL on its client's session as it stands (a fresh one is not bound).
// With -D the client logs in first, so that a URL naming this server is searched under that
// login by our LDAP library; a URL naming another server still gets an anonymous connection.
void loginForURL(Session& s, const Options& o) {
  LDAPClient* client = s.plainClient();
  if (o.bindDN.empty() || client == nullptr || client->isConnected()) return;
  client->login(ZEVConstString(o.bindDN), o.password.get());
}

// A URL that names no server goes to the -H/-h server when one was given (so that the search
// runs on the bound session); otherwise it is left to the plug-in, which names the host after
// the DN's dc= components.
std::string urlOnServer(const std::string& url, const Options& o) {
  std::size_t scheme = url.find("://");
  if (!o.serverGiven || scheme == std::string::npos || url.compare(scheme + 3, 1, "/") != 0) {
    return url;
  }
  return o.serverURI() + url.substr(scheme + 3);
}

int listRevocationLists(Session& s, const Options& o, Printer& p, std::ostream& err,
                        const TraceWatcher& counter) {
  std::unique_ptr<ZEVASNCRLContainer> lists;
  std::size_t failures = 0;
  Deadline::phase("reading the revocation lists " +
                  (o.command == "url" ? "named by " + o.args[0]
                                      : "of " + o.args[0] + " from " + serverName(o)));
  if (o.command == "url") {
    checkLDAPURL(o.args[0]);
    loginForURL(s, o);
    lists.reset(s.manager().getViaURI(ZEVString(urlOnServer(o.args[0], o))));
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
  return emptyResult(o.command == "url" ? s.urlClient() : s.entryClient(), o, p, err,
                     std::string(o.command == "arls" ? "no authority or certificate revocation list"
                                                     : "no revocation list") +
                         (o.command == "url" ? " named by " : " at ") + o.args[0]);
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
    // Under -D, a URL that names the server on the command line is read under that login.
    loginForURL(own, bounded);
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
  std::unique_ptr<TraceSetUp> trace = setUpTrace(o);
  Printer printer(o, out, err);
  Deadline deadline(o.timeout);
  int code = kExitDirectory;
  try {
    Deadline::phase("loading the directory plug-in and the LDAP library");
    Session session(o);
    if (o.command == "ca-certs" || o.command == "user-certs") {
      code = listCertificates(session, o, printer, err, trace->counter());
    } else if (o.command == "crls" || o.command == "arls" || o.command == "url") {
      code = listRevocationLists(session, o, printer, err, trace->counter());
    } else if (o.command == "ping") {
      code = ping(session, o, out);
    } else if (o.command == "check") {
      SessionDirectory directory(session, o);
      code = runCheck(o, directory, out);
    } else {
      code = publishCRL(session, o, out, err);
    }
  } catch (const ZEVException& e) {
    err << errorLine(e.getError(), describe(e, o)) << "\n";
    code = kExitDirectory;
  }
  // Entries behind continuation references were not searched: one warning line says where.
  const std::vector<std::string>& references = trace->counter().references();
  if (!references.empty()) {
    err << "zevdir: warning: " << references.size() << " continuation reference"
        << (references.size() == 1 ? "" : "s")
        << " not followed, the answer may lack entries there:";
    for (const std::string& url : references) err << " " << url;
    err << "\n";
  }
  return code;
}

}  // namespace zevdir
