// Per-session state, StartTLS and the naming of TLS failures.
#include "session.h"

#include <cstdlib>
#include <map>
#include <mutex>

#include "hosts.h"
#include "report.h"
#include "tlsprobe.h"

namespace zevldap {
namespace {

std::mutex tableLock;
std::map<LDAP*, SessionState>& table() {
  static std::map<LDAP*, SessionState>* sessions = new std::map<LDAP*, SessionState>();
  return *sessions;
}

void setResultCode(LDAP* ld, int rc) { ldap_set_option(ld, LDAP_OPT_RESULT_CODE, &rc); }

std::string diagnosticMessage(LDAP* ld) {
  char* text = nullptr;
  if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &text) != LDAP_OPT_SUCCESS) return "";
  std::string out = text != nullptr ? text : "";
  ldap_memfree(text);
  return out;
}

int tlsFailure(LDAP* ld, const std::string& detail) {
  setDetail(kTLSFailure, detail);
  setResultCode(ld, kTLSFailure);
  trace(__LINE__, std::string(kTLSFailureText) + ": " + detail);
  return kTLSFailure;
}

std::string stringOption(LDAP* ld, int option) {
  char* value = nullptr;
  if (ldap_get_option(ld, option, &value) != LDAP_OPT_SUCCESS || value == nullptr) return "";
  std::string out = value;
  ldap_memfree(value);
  return out;
}

// OpenSSL's reason for the failed handshake with the session's server, or "" when there is
// none to give (the server cannot be reached, the handshake works, a list of servers).
std::string handshakeReason(LDAP* ld, const SessionState& state, bool startTLS) {
  std::string::size_type colon = state.server.rfind(':');
  if (state.server.empty() || colon == std::string::npos) return "";
  ProbeTarget target;
  target.host = state.server.substr(0, colon);
  target.port = std::atoi(state.server.c_str() + colon + 1);
  target.startTLS = startTLS;
  // A session inherits the process-wide TLS context but not the names of its files.
  target.caFile = stringOption(ld, LDAP_OPT_X_TLS_CACERTFILE);
  target.caDir = stringOption(ld, LDAP_OPT_X_TLS_CACERTDIR);
  if (target.caFile.empty() && target.caDir.empty()) {
    target.caFile = stringOption(nullptr, LDAP_OPT_X_TLS_CACERTFILE);
    target.caDir = stringOption(nullptr, LDAP_OPT_X_TLS_CACERTDIR);
  }
  struct timeval limit;
  if (connectTimeout(ld, &limit)) target.timeoutSeconds = static_cast<int>(limit.tv_sec) + 1;
  return probeTLS(target);
}

void markRefused(LDAP* ld) {
  std::lock_guard<std::mutex> hold(tableLock);
  auto it = table().find(ld);
  if (it != table().end()) it->second.startTLSRefused = true;
}

}  // namespace

void rememberSession(LDAP* ld, const SessionState& state) {
  std::lock_guard<std::mutex> hold(tableLock);
  table()[ld] = state;
}

void forgetSession(LDAP* ld) {
  std::lock_guard<std::mutex> hold(tableLock);
  table().erase(ld);
}

SessionState sessionState(LDAP* ld) {
  std::lock_guard<std::mutex> hold(tableLock);
  auto it = table().find(ld);
  return it != table().end() ? it->second : SessionState();
}

void setPaging(LDAP* ld, int paging) {
  std::lock_guard<std::mutex> hold(tableLock);
  auto it = table().find(ld);
  if (it != table().end()) it->second.paging = paging;
}

bool connectTimeout(LDAP* ld, struct timeval* limit) {
  struct timeval* stored = nullptr;
  if (ldap_get_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &stored) != LDAP_OPT_SUCCESS) return false;
  bool set =
      stored != nullptr && stored->tv_sec >= 0 && (stored->tv_sec > 0 || stored->tv_usec > 0);
  if (set) *limit = *stored;
  ldap_memfree(stored);
  return set;
}

int ensureTLS(LDAP* ld) {
  SessionState state = sessionState(ld);
  if (state.startTLS == StartTLS::kNo || state.startTLSRefused || state.ldaps) return 0;
  if (ldap_tls_inplace(ld)) return 0;
  int msgid = -1;
  int rc = ldap_extended_operation(ld, LDAP_EXOP_START_TLS, nullptr, nullptr, nullptr, &msgid);
  if (rc != LDAP_SUCCESS) {
    setResultCode(ld, rc);
    return rc;
  }
  struct timeval limit;
  bool bounded = connectTimeout(ld, &limit);
  LDAPMessage* answer = nullptr;
  rc = ldap_result(ld, msgid, LDAP_MSG_ALL, bounded ? &limit : nullptr, &answer);
  if (rc == 0) {
    ldap_abandon_ext(ld, msgid, nullptr, nullptr);
    setResultCode(ld, LDAP_TIMEOUT);
    return LDAP_TIMEOUT;
  }
  if (rc < 0) {
    int err = LDAP_SERVER_DOWN;
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &err);
    return err == LDAP_SUCCESS ? LDAP_SERVER_DOWN : err;
  }
  int err = LDAP_OTHER;
  char* diagnostic = nullptr;
  rc = ldap_parse_result(ld, answer, &err, nullptr, &diagnostic, nullptr, nullptr, 1);
  std::string said = diagnostic != nullptr ? diagnostic : "";
  ldap_memfree(diagnostic);
  if (rc != LDAP_SUCCESS) return rc;
  if (err != LDAP_SUCCESS) {
    std::string why = std::string(ldap_err2string(err)) + " (" + std::to_string(err) + ")" +
                      (said.empty() ? "" : ", \"" + said + "\"");
    if (state.startTLS == StartTLS::kTry) {
      // Tried, not required: the session goes on in the clear, as ldapsearch -Z does.
      markRefused(ld);
      trace(__LINE__, "the server refused StartTLS: " + why + "; going on without TLS");
      return 0;
    }
    return tlsFailure(ld, "StartTLS is required and the server refused it: " + why);
  }
  rc = ldap_install_tls(ld);
  if (rc != LDAP_SUCCESS) {
    std::string reason = handshakeReason(ld, state, true);
    if (reason.empty()) reason = tlsReason(diagnosticMessage(ld));
    return tlsFailure(ld, "StartTLS handshake failed: " +
                              (reason.empty() ? std::string(ldap_err2string(rc)) : reason));
  }
  trace(__LINE__, "StartTLS in place");
  return 0;
}

int nameTLSFailure(LDAP* ld, int rc) {
  if (rc != LDAP_SERVER_DOWN && rc != LDAP_CONNECT_ERROR) return rc;
  SessionState state = sessionState(ld);
  if (!state.ldaps) return rc;
  // OpenLDAP reports a refused handshake like a refused connection; the probe tells them
  // apart (no TCP connection, or a handshake that works, gives no reason).
  std::string reason = handshakeReason(ld, state, false);
  if (reason.empty()) return rc;
  return tlsFailure(ld, reason);
}

}  // namespace zevldap
