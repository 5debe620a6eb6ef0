// Details of failures for zev_ldap_err2string, and the library's trace lines.
#include "report.h"

#include <ldap.h>

#include "zevtrace.h"

namespace zevldap {
namespace {

// Design choice: the detail is kept per thread, not per session, because err2string has no
// session argument. A caller reads it right after the failed call (the plug-in builds its
// message from get_errno and err2string at once); the next call that talks to a server
// replaces it, so an old detail is never shown with a later failure.
struct LastFailure {
  bool set = false;
  int code = 0;
  std::string detail;
  std::string text;  // what describe() last handed out; lives until the next call
};

thread_local LastFailure last;

}  // namespace

void clearDetail() {
  last.set = false;
  last.detail.clear();
}

void setDetail(int code, const std::string& detail) {
  last.set = !detail.empty();
  last.code = code;
  last.detail = detail;
}

const char* describe(int code, int openldapCode) {
  const char* base = openldapCode == kTLSFailure ? kTLSFailureText : ldap_err2string(openldapCode);
  if (!last.set || last.code != openldapCode) return base;
  last.text = std::string(base) + ": " + last.detail;
  return last.text.c_str();
}

void noteAnswer(const char* operation, const char* dn, int code, const char* matched,
                const char* diagnostic, char** referrals, const std::string& note) {
  std::string detail = note;
  auto add = [&detail](const std::string& part) { detail += (detail.empty() ? "" : "; ") + part; };
  if (diagnostic != nullptr && *diagnostic != '\0')
    add(std::string("server says \"") + diagnostic + "\"");
  if (matched != nullptr && *matched != '\0') add(std::string("matched DN \"") + matched + "\"");
  if (referrals != nullptr && referrals[0] != nullptr) {
    std::string urls;
    for (char** url = referrals; *url != nullptr; ++url)
      urls += (urls.empty() ? "" : " ") + std::string(*url);
    add("referral to " + urls + " (not followed)");
  }
  setDetail(code, detail);
  std::string line = std::string(operation) + " \"" + (dn != nullptr ? dn : "") +
                     "\": rc=" + std::to_string(code) + " (" + ldap_err2string(code) + ")";
  if (!detail.empty()) line += "; " + detail;
  trace(__LINE__, line);
}

void trace(int line, const std::string& text) {
  zev09000003::ZEVTrace& t = zev09000003::ZEVTrace::globalTrace();
  // write() also reaches a host's observers of these lines when the trace is off; the text is
  // made only for failures and references, so that costs nothing on the good path.
  t.write("zevldap", line, kTraceComponent, 1, text);
}

std::string tlsReason(const std::string& text) {
  std::string out = text;
  // OpenSSL 3 packs its errors as "error:<hex>:<library>:<function>:<reason>".
  if (out.compare(0, 6, "error:") == 0) {
    std::string::size_type at = 6;
    for (int field = 0; field < 3 && at != std::string::npos; ++field) {
      at = out.find(':', at);
      if (at != std::string::npos) ++at;
    }
    if (at != std::string::npos) out = out.substr(at);
  }
  std::string::size_type open = out.rfind(" (");
  if (open != std::string::npos && !out.empty() && out.back() == ')') {
    out = out.substr(0, open) + ": " + out.substr(open + 2, out.size() - open - 3);
  }
  return out;
}

}  // namespace zevldap
