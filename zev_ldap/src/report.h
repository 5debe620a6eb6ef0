// What the library tells about a failure beyond its result code: the words of the last failed
// call on this thread (the server's diagnostic text, the matched DN, referral URLs, how much of
// a cut answer arrived, the TLS reason), handed out by zev_ldap_err2string, and the lines it
// writes to the toolkit's trace.
#ifndef ZEV_LDAP_SRC_REPORT_H
#define ZEV_LDAP_SRC_REPORT_H

#include <string>

namespace zevldap {

// The library's own result code for a TLS failure: the handshake, the server's certificate or
// its host name was refused, or StartTLS was required and the server declined it. OpenLDAP
// reports these as "server down" or "connect error", which sends users looking for a network
// fault; 112 is outside both the protocol's codes and the client codes 81 .. 97.
constexpr int kTLSFailure = 112;
constexpr const char kTLSFailureText[] = "TLS failure";

// The toolkit trace component of this library, and the level of its lines.
constexpr unsigned int kTraceComponent = 512;

// Forgets the detail of the previous call: every call that talks to a server starts here.
void clearDetail();
// Records the detail of a failed call with OpenLDAP's form of its code (or kTLSFailure).
void setDetail(int code, const std::string& detail);
// The text of a code in either form; the detail of this thread's last failure is added after
// the code's own text when that failure had this code: "Size limit exceeded: ...".
const char* describe(int code, int openldapCode);

// Records (as the detail) and traces a server's answer other than success to an operation
// ("search", "bind", "modify", ...) on dn: the code's text, the server's diagnostic message,
// the matched DN and referral URLs, each when present. note goes first in the detail ("5
// entries arrived, the answer is incomplete"). Null texts are allowed.
void noteAnswer(const char* operation, const char* dn, int code, const char* matched,
                const char* diagnostic, char** referrals, const std::string& note);

// Writes one line to the toolkit's trace (component 512, level 1) when it is switched on.
void trace(int line, const std::string& text);

// OpenSSL's reason as users know it: "error:0A000086:SSL routines::certificate verify failed
// (self-signed certificate in chain)" becomes "certificate verify failed: self-signed
// certificate in chain". Other texts come back unchanged.
std::string tlsReason(const std::string& text);

}  // namespace zevldap

#endif
