// zevdir's command line: connection flags, output flags, the command and its arguments.
#ifndef TOOLS_ZEVDIR_OPTIONS_H
#define TOOLS_ZEVDIR_OPTIONS_H

#include <stdexcept>
#include <string>
#include <vector>

#include "zevbuffer.h"

namespace zevdir {

// Exit codes, also listed by --help.
enum ExitCode {
  kExitOK = 0,
  kExitRevoked = 1,    // check: the certificate is revoked
  kExitUsage = 2,      // bad flags, arguments, DN, URL or input file
  kExitDirectory = 3,  // the plug-in, the LDAP library or the server failed
  kExitNotFound = 4,   // nothing found where something was required; check: status unknown
};

// A mistake on the command line; main prints it with a pointer to --help and exits 2.
class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const std::string& what) : std::runtime_error(what) {}
};

enum class OutputFormat { kText, kPem, kDer, kJson };

struct Options {
  // Connection. uri is set by -H; host/port by -h/-p.
  std::string uri;
  std::string host = "localhost";
  int port = 389;
  std::string bindDN;
  // Wiped when freed; never printed or traced.
  zev09000003::ZEVFastBuffer password;
  bool promptPassword = false;  // -W: asked for once the command line is known to be good
  std::string passwordFile;     // -y
  int version = 3;
  int connectTimeout = 10;
  int searchTimeout = 60;
  std::string driver;
  // TLS: -Z tries StartTLS (1), -ZZ requires it (2); --cacert/--capath are the trust anchors
  // (when neither is given, OpenLDAP's LDAPTLS_CACERT and ldap.conf apply).
  int startTLS = 0;
  std::string tlsCAFile, tlsCADir;
  bool serverGiven = false;  // -H or -h was given
  int errorLevel = 0;
  bool dynamic = false;
  std::string traceFile;
  bool fullTrace = false;

  // Output.
  OutputFormat format = OutputFormat::kText;
  std::string outDir;  // -o, with --der

  // The whole command's time (--timeout), connect, bind, searches and decoding included.
  int timeout = 120;

  // check: issuer certificates (--issuer, each file one or more), trust anchors (--ca-file)
  // and the time to check at (--at; now when not given).
  std::vector<std::string> issuerFiles;
  std::string caFile;
  bool atGiven = false;
  long long atTime = 0;
  // publish-crl: write even a list that does not match the entry's CA certificates.
  bool force = false;

  bool help = false;
  std::string command;
  std::vector<std::string> args;

  // The host text handed to the plug-in; port goes with it. Our LDAP library takes the -H URI
  // as it stands; a --driver library has the classic ldap_init(host, port), so it gets the
  // URI's host part (an ldaps:// URI is refused with --driver when the options are parsed).
  // With -Z/-ZZ our library gets the server as a URI with the StartTLS extension
  // ("ldap://host:389/????StartTLS", critical "!StartTLS" for -ZZ).
  std::string connectHost() const;
  // The server as "ldap://host:port" or the -H URI, for URLs that name no server.
  std::string serverURI() const;
};

// Parses argv. A -w value is wiped from argv so that it does not stay visible in the process
// list. Throws UsageError.
Options parseOptions(int argc, char** argv);

// Reads the password of -y FILE or the -W prompt into options.password. Throws UsageError when
// the file cannot be read or no terminal is there to ask on.
void readPassword(Options& options);

// Checks an ldap:// or ldaps:// URI of -H (scheme, host and optional port, nothing else) and
// returns its port (the scheme's default when none is given). Throws UsageError.
int checkServerURI(const std::string& uri);

// Checks an LDAP URL of the url command: ldap[s]://[host[:port]]/dn[?attrs[?scope[?filter]]],
// with a DN that parses as RFC 4514 text after percent-decoding and a known scope. Throws
// UsageError naming what is wrong.
void checkLDAPURL(const std::string& url);

// Decodes %XX escapes. Throws UsageError on a malformed escape.
std::string percentDecode(const std::string& text);

// The --help text.
std::string usageText();

}  // namespace zevdir

#endif
