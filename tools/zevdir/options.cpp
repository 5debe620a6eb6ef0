#include "options.h"

#if defined(_WIN32)
#include <conio.h>
#include <io.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "times.h"
#include "zevasn.h"
#include "zevexception.h"

namespace zevdir {

using zev09000003::ZEVASNx500Name;
using zev09000003::ZEVException;
using zev09000003::ZEVString;

namespace {

const char* const kCommands[] = {"ca-certs", "user-certs", "crls",  "arls",
                                 "url",      "ping",       "check", "publish-crl"};

// Number of arguments each command takes.
int argumentCount(const std::string& command) {
  if (command == "ping") return 0;
  if (command == "publish-crl") return 2;
  return 1;
}

bool isCommand(const std::string& word) {
  for (const char* c : kCommands) {
    if (word == c) return true;
  }
  return false;
}

int toInt(const std::string& flag, const std::string& value, int low, int high) {
  errno = 0;
  char* end = nullptr;
  long n = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || errno != 0 || n < low || n > high) {
    throw UsageError(flag + " wants a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not \"" + value + "\"");
  }
  return static_cast<int>(n);
}

bool startsWithNoCase(const std::string& text, const char* prefix) {
  std::size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// Splits "ldap[s]://hostport/rest" and checks the scheme and the port. Returns the length of
// the scheme part ("ldap://" or "ldaps://") and fills hostport and rest (rest keeps its '/').
std::size_t splitURL(const std::string& url, std::string& hostport, std::string& rest, int& port) {
  std::size_t schemeLength;
  if (startsWithNoCase(url, "ldap://")) {
    schemeLength = 7;
    port = 389;
  } else if (startsWithNoCase(url, "ldaps://")) {
    schemeLength = 8;
    port = 636;
  } else {
    throw UsageError("\"" + url + "\" is not an LDAP URL: it must begin with ldap:// or ldaps://");
  }
  std::size_t slash = url.find('/', schemeLength);
  hostport = url.substr(schemeLength,
                        slash == std::string::npos ? std::string::npos : slash - schemeLength);
  rest = slash == std::string::npos ? std::string() : url.substr(slash);
  std::size_t colon = hostport.rfind(':');
  std::size_t bracket = hostport.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    port = toInt("the port of \"" + url + "\"", hostport.substr(colon + 1), 1, 65535);
  }
  for (char c : hostport) {
    if (std::isspace(static_cast<unsigned char>(c)) || c == '?' || c == '@') {
      throw UsageError("\"" + url + "\" has a malformed host part \"" + hostport + "\"");
    }
  }
  return schemeLength;
}

std::vector<std::string> splitOn(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// Reads a password from the terminal without echo.
#if defined(_WIN32)
// The console is the terminal: _getch reads a key without echo. A program without a console
// (its input redirected) has no terminal to ask on.
void promptForPassword(zev09000003::ZEVFastBuffer& out) {
  if (!_isatty(_fileno(stdin))) {
    throw UsageError("-W needs a terminal to ask for the password on");
  }
  std::fputs("Enter LDAP Password: ", stderr);
  std::fflush(stderr);
  for (int c; (c = _getch()) != '\r' && c != '\n' && c != EOF && c != 3;) {
    out.append(static_cast<unsigned char>(c));
  }
  std::fputs("\n", stderr);
}
#else
void promptForPassword(zev09000003::ZEVFastBuffer& out) {
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (tty == nullptr) throw UsageError("-W needs a terminal to ask for the password on");
  int fd = fileno(tty);
  struct termios saved;
  bool restore = tcgetattr(fd, &saved) == 0;
  if (restore) {
    struct termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::fputs("Enter LDAP Password: ", tty);
  std::fflush(tty);
  int c;
  while ((c = std::fgetc(tty)) != EOF && c != '\n' && c != '\r') {
    out.append(static_cast<unsigned char>(c));
  }
  if (restore) tcsetattr(fd, TCSAFLUSH, &saved);
  std::fputs("\n", tty);
  std::fclose(tty);
}
#endif

}  // namespace

std::string Options::serverURI() const {
  if (!uri.empty()) return uri.back() == '/' ? uri.substr(0, uri.size() - 1) : uri;
  return "ldap://" + host + ":" + std::to_string(port);
}

std::string Options::connectHost() const {
  if (startTLS > 0 && driver.empty() && !startsWithNoCase(uri, "ldaps://")) {
    return serverURI() + "/????" + (startTLS == 2 ? "!" : "") + "StartTLS";
  }
  if (uri.empty()) return host;
  if (driver.empty()) return uri;
  std::string hostport, rest;
  int ignored = 0;
  splitURL(uri, hostport, rest, ignored);
  std::size_t colon = hostport.rfind(':');
  std::size_t bracket = hostport.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    hostport.erase(colon);
  }
  return hostport.empty() ? std::string("localhost") : hostport;
}

std::string percentDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      throw UsageError("malformed %-escape in \"" + text + "\"");
    }
    out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  return out;
}

int checkServerURI(const std::string& uri) {
  std::string hostport, rest;
  int port = 0;
  splitURL(uri, hostport, rest, port);
  if (!rest.empty() && rest != "/") {
    throw UsageError("-H takes a server URI (ldap://host:port), not a URL with a DN: \"" + uri +
                     "\"");
  }
  return port;
}

void checkLDAPURL(const std::string& url) {
  std::string hostport, rest;
  int port = 0;
  splitURL(url, hostport, rest, port);
  if (rest.empty()) throw UsageError("\"" + url + "\" names no entry: ldap://host/DN?attributes");
  std::vector<std::string> parts = splitOn(rest.substr(1), '?');
  if (parts.size() > 5) throw UsageError("\"" + url + "\" has too many '?' parts");
  std::string dn = percentDecode(parts[0]);
  if (!dn.empty()) {
    try {
      ZEVASNx500Name::fromRFC4514(ZEVString(dn));
    } catch (const ZEVException& e) {
      throw UsageError("the DN of \"" + url + "\" is malformed: " + e.getMessage().str());
    }
  }
  if (parts.size() > 2) {
    const std::string& scope = parts[2];
    if (!scope.empty() && scope != "base" && scope != "one" && scope != "sub") {
      throw UsageError("the scope of \"" + url + "\" must be base, one or sub, not \"" + scope +
                       "\"");
    }
  }
  if (parts.size() > 3 && !parts[3].empty()) {
    std::string filter = percentDecode(parts[3]);
    int depth = 0;
    for (char c : filter) {
      if (c == '(') ++depth;
      if (c == ')' && --depth < 0) break;
    }
    if (depth != 0) throw UsageError("the filter of \"" + url + "\" has unbalanced parentheses");
  }
}

Options parseOptions(int argc, char** argv) {
  Options o;
  o.password.setSensitiveData();
  std::vector<std::string> words;
  bool passwordGiven = false;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inlineValue = false;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      value = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
      inlineValue = true;
    }
    // Reads the flag's value: inline (--flag=value) or the next word.
    int valueIndex = -1;
    auto next = [&]() -> std::string {
      if (inlineValue) return value;
      if (i + 1 >= argc) throw UsageError(arg + " needs a value");
      valueIndex = ++i;
      return argv[i];
    };
    // A flag without a value refuses --flag=value.
    auto flag = [&]() -> bool {
      if (inlineValue) throw UsageError(arg + " takes no value");
      return true;
    };

    if (arg == "--") {
      for (++i; i < argc; ++i) words.push_back(argv[i]);
      break;
    } else if (arg == "--help" || arg == "-?") {
      o.help = flag();
    } else if (arg == "-H") {
      o.uri = next();
      o.serverGiven = true;
    } else if (arg == "-h") {
      o.serverGiven = true;
      o.host = next();
      if (o.host.empty()) throw UsageError("-h needs a host name");
    } else if (arg == "-p") {
      o.port = toInt("-p", next(), 1, 65535);
    } else if (arg == "-D") {
      o.bindDN = next();
    } else if (arg == "-w") {
      std::string secret = next();
      o.password.append(secret.data(), secret.size());
      std::fill(secret.begin(), secret.end(), '\0');
      if (valueIndex >= 0) std::memset(argv[valueIndex], 0, std::strlen(argv[valueIndex]));
      passwordGiven = true;
    } else if (arg == "-W") {
      o.promptPassword = flag();
    } else if (arg == "-y") {
      o.passwordFile = next();
    } else if (arg == "-P") {
      o.version = toInt("-P", next(), 2, 3);
    } else if (arg == "--connect-timeout") {
      o.connectTimeout = toInt(arg, next(), 1, 3600);
    } else if (arg == "--search-timeout") {
      o.searchTimeout = toInt(arg, next(), 1, 86400);
    } else if (arg == "--driver") {
      o.driver = next();
      if (o.driver.empty()) throw UsageError("--driver needs a library path");
    } else if (arg == "-Z" || arg == "-ZZ") {
      flag();
      o.startTLS = arg == "-ZZ" ? 2 : std::min(o.startTLS + 1, 2);
    } else if (arg == "--cacert") {
      o.tlsCAFile = next();
      if (o.tlsCAFile.empty()) throw UsageError("--cacert needs a file");
    } else if (arg == "--capath") {
      o.tlsCADir = next();
      if (o.tlsCADir.empty()) throw UsageError("--capath needs a folder");
    } else if (arg == "--error-level") {
      o.errorLevel = toInt(arg, next(), 0, 2);
    } else if (arg == "--dynamic") {
      o.dynamic = flag();
    } else if (arg == "--trace") {
      o.traceFile = next();
      if (o.traceFile.empty()) throw UsageError("--trace needs a file name");
    } else if (arg == "--full-trace") {
      o.fullTrace = flag();
    } else if (arg == "--pem") {
      flag();
      o.format = OutputFormat::kPem;
    } else if (arg == "--der") {
      flag();
      o.format = OutputFormat::kDer;
    } else if (arg == "--json") {
      flag();
      o.format = OutputFormat::kJson;
    } else if (arg == "-o") {
      o.outDir = next();
    } else if (arg == "--issuer") {
      o.issuerFiles.push_back(next());
    } else if (arg == "--ca-file") {
      o.caFile = next();
    } else if (arg == "--at") {
      o.atTime = parseTime(next());
      o.atGiven = true;
    } else if (arg == "--force") {
      o.force = flag();
    } else if (arg == "--timeout") {
      o.timeout = toInt(arg, next(), 1, 86400);
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError("unknown flag " + arg);
    } else {
      words.push_back(arg);
    }
  }
  if (o.help) return o;

  int sources =
      (passwordGiven ? 1 : 0) + (o.promptPassword ? 1 : 0) + (o.passwordFile.empty() ? 0 : 1);
  if (sources > 1) throw UsageError("give the password one way only: -w, -W or -y");
  if (!o.uri.empty()) {
    o.port = checkServerURI(o.uri);
    if (!o.driver.empty() && startsWithNoCase(o.uri, "ldaps://")) {
      throw UsageError(
          "a --driver library is reached with ldap_init(host, port), which has no "
          "TLS: use ldap:// with --driver, or leave --driver out for ldaps://");
    }
  }
  if (!o.driver.empty() && (o.startTLS > 0 || !o.tlsCAFile.empty() || !o.tlsCADir.empty())) {
    throw UsageError(
        "-Z, -ZZ, --cacert and --capath need TLS, which a --driver library reached with "
        "ldap_init(host, port) does not have: leave --driver out");
  }
  if (!o.tlsCAFile.empty() && access(o.tlsCAFile.c_str(), R_OK) != 0) {
    throw UsageError("cannot read the --cacert file " + o.tlsCAFile);
  }
  if (!o.tlsCADir.empty() && access(o.tlsCADir.c_str(), R_OK | X_OK) != 0) {
    throw UsageError("cannot read the --capath folder " + o.tlsCADir);
  }
  if (o.format == OutputFormat::kDer && o.outDir.empty()) {
    throw UsageError("--der writes one file per object and needs -o DIR");
  }
  if (o.format != OutputFormat::kDer && !o.outDir.empty()) {
    throw UsageError("-o DIR goes with --der");
  }

  if (words.empty()) throw UsageError("no command given");
  o.command = words[0];
  if (!isCommand(o.command)) throw UsageError("unknown command \"" + o.command + "\"");
  o.args.assign(words.begin() + 1, words.end());
  int want = argumentCount(o.command);
  if (static_cast<int>(o.args.size()) != want) {
    throw UsageError(o.command + " takes " + std::to_string(want) + " argument" +
                     (want == 1 ? "" : "s") + ", got " + std::to_string(o.args.size()));
  }
  if (o.command != "check") {
    if (!o.issuerFiles.empty()) throw UsageError("--issuer goes with check");
    if (!o.caFile.empty()) throw UsageError("--ca-file goes with check");
    if (o.atGiven) throw UsageError("--at goes with check");
  }
  if (o.force && o.command != "publish-crl") throw UsageError("--force goes with publish-crl");
  if (o.command == "publish-crl" && o.bindDN.empty()) {
    throw UsageError("publish-crl changes the directory and needs a bind DN (-D)");
  }
  return o;
}

void readPassword(Options& o) {
  if (o.promptPassword) {
    promptForPassword(o.password);
  } else if (!o.passwordFile.empty()) {
    std::ifstream in(o.passwordFile, std::ios::binary);
    if (!in) throw UsageError("cannot read the password file " + o.passwordFile);
    // Taken as the file holds it, except for one line end at the end, which editors add.
    std::string secret((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!secret.empty() && secret.back() == '\n') secret.pop_back();
    if (!secret.empty() && secret.back() == '\r') secret.pop_back();
    o.password.append(secret.data(), secret.size());
    std::fill(secret.begin(), secret.end(), '\0');
  }
}

std::string usageText() {
  return R"(usage: zevdir [flags] COMMAND [ARGS]

Fetches certificates and revocation lists from an LDAP directory through the
zev9drld plug-in, checks certificates against them and publishes CRLs.

Commands:
  ca-certs DN          CA certificates (cACertificate) of the entry DN
  user-certs DN        user certificates (userCertificate) at and below DN
  crls DN              certificate revocation lists of the entry DN
  arls DN              authority revocation lists of DN (its CRLs as well)
  url LDAPURL          revocation lists named by an LDAP URL
  ping                 binds to the server and unbinds
  check CERT           revocation status of the certificate in file CERT and of
                       every CA certificate on its path to a trust anchor
  publish-crl DN FILE  replaces the CRL of entry DN with FILE (needs -D); FILE
                       must be issued by a CA certificate of the entry, if any

Connection:
  -H URI               ldap://host:port or ldaps://host:port
  -Z | -ZZ             StartTLS: -Z goes on without TLS when the server refuses
                       it, -ZZ fails then
  --cacert FILE        trust anchors (PEM) for ldaps:// and StartTLS (default:
                       LDAPTLS_CACERT or ldap.conf's TLS_CACERT); the server's
                       certificate and host name are always verified
  --capath DIR         a folder of trust anchors (hashed names)
  -h HOST -p PORT      server name and port (default localhost 389)
  -D BINDDN            bind DN (default: anonymous)
  -w PASSWORD | -W | -y FILE
                       password on the command line, asked for without echo,
                       or read from FILE (one trailing line end dropped)
  -P 2|3               LDAP protocol version (default 3)
  --connect-timeout S  seconds to connect and bind (default 10)
  --search-timeout S   seconds per search (default 60)
  --timeout S          seconds for the whole command (default 120)
  --driver PATH        use this LDAP client library (standard function names)
  --error-level 0|1|2  0: report every failure (default); 1: a missing entry
                       counts as empty; 2: failures count as empty
  --dynamic            use the plug-in's dynamic directory manager
  --trace FILE         write the toolkit's trace to FILE
  --full-trace         trace everything, whole values included (to the
                       --trace file, else to stderr)

Output:
  (default)            one summary block per object
  --pem                PEM text of each object
  --der -o DIR         one DER file per object in DIR
  --json               a JSON document

check and publish-crl:
  --ca-file FILE       check: the trust anchors (PEM bundle); without it a
                       self-signed CA certificate found in the directory ends
                       the path, and the output says it was not pinned
  --issuer FILE        check: issuer certificates (DER, PEM or a PEM bundle;
                       may be given more than once), used before the CA
                       certificates stored at each issuer's entry
  --at TIME            check: as of TIME (2026-12-07T10:00:00Z or
                       20261207100000Z) instead of now
  --force              publish-crl: write a list that no CA certificate of
                       the entry issued

DN arguments are RFC 4514 text, e.g. "cn=Test CA,o=Example,c=GB".
CERT, FILE and --issuer files may be DER or PEM.
A command that runs out of --timeout says what it was doing and exits 3.

Exit codes:
  0  success; check: the certificate is good
  1  check: the certificate is revoked
  2  usage error: bad flag, argument, DN, URL or input file
  3  directory error: plug-in, LDAP library or server failed
  4  nothing found where something was required; check: status unknown
)";
}

}  // namespace zevdir
