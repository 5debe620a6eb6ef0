// zevdir end to end: the built tool against a throwaway slapd holding the test directory
// (tests/support/slapd.h), one server for the whole binary.
#include <arpa/inet.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/slapd.h"
#include "support/testpki.h"

#ifndef ZEVDIR_PATH
#error "ZEVDIR_PATH must name the zevdir binary"
#endif

namespace {

const char kCA[] = "cn=Test CA,o=Example,c=GB";
const char kAdmin[] = "cn=admin,o=Example,c=GB";
const char kReader[] = "cn=reader,o=Example,c=GB";
// An entry that publish-crl may write to, added by the fixture.
const char kPublication[] = "cn=Publication,o=Example,c=GB";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct Outcome {
  int code;
  std::string out;
  std::string err;
  double seconds;
};

// The test directory's server (the shared throwaway slapd fixture) and a scratch folder for
// zevdir's output, shared by every test of the binary.
class Directory {
 public:
  static Directory& get() {
    static Directory directory;
    return directory;
  }
  ~Directory() {
    server_.reset();
    if (!dir_.empty()) std::system(("rm -rf " + quote(dir_)).c_str());
  }
  const std::string& uri() const { return server_->uri(); }
  std::string pki(const std::string& file) const { return testpki::get().path(file); }
  std::string path(const std::string& file) const { return dir_ + "/" + file; }
  bool ready() const { return ready_; }

  // Runs zevdir with args (which name the server, if any); env goes before the command.
  Outcome zevdir(const std::vector<std::string>& args, const std::string& env = "") const {
    std::string cmd = "LDAPNOINIT=1 " + env + " " + std::string(ZEVDIR_PATH);
    for (const std::string& a : args) cmd += " " + quote(a);
    cmd += " >" + quote(path("out")) + " 2>" + quote(path("err")) + " </dev/null";
    auto start = std::chrono::steady_clock::now();
    int status = std::system(cmd.c_str());
    auto end = std::chrono::steady_clock::now();
    Outcome r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readFile(path("out"));
    r.err = readFile(path("err"));
    r.seconds = std::chrono::duration<double>(end - start).count();
    return r;
  }
  // The same, connected to the test server.
  Outcome onServer(std::vector<std::string> args, const std::string& env = "") const {
    args.insert(args.begin(), {"-H", uri(), "--connect-timeout", "5"});
    return zevdir(args, env);
  }

 private:
  Directory() {
    char tmpl[] = "/tmp/zevdir-test.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    server_.reset(new slapdtest::Server());
    // Entries loaded with slapadd cannot be modified by slapd; publish-crl writes to one of
    // its own, added with the platform's ldapadd.
    std::string add = path("publication.ldif");
    std::ofstream(add) << "dn: " << kPublication << "\nobjectClass: cRLDistributionPoint\n"
                       << "cn: Publication\n";
    ready_ = std::system(("LDAPNOINIT=1 ldapadd -x -H " + quote(uri()) + " -D " + quote(kAdmin) +
                          " -w secret -f " + quote(add) + " >/dev/null")
                             .c_str()) == 0;
  }

  std::string dir_;
  std::unique_ptr<slapdtest::Server> server_;
  bool ready_ = false;
};

// SHA-256 fingerprint of a PKI file as the openssl command prints it.
std::string opensslFingerprint(const std::string& kind, const std::string& pem) {
  const Directory& d = Directory::get();
  std::string cmd = "openssl " + kind + " -in " + quote(pem) + " -noout -fingerprint -sha256 >" +
                    quote(d.path("fp"));
  if (std::system(cmd.c_str()) != 0) return "openssl failed";
  std::string text = readFile(d.path("fp"));
  std::string value = text.substr(text.find('=') + 1);
  while (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

class ZevdirTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Directory::get().ready()) << "test directory not up"; }
  const Directory& d() { return Directory::get(); }
};

struct Case {
  const char* name;
  std::vector<std::string> args;
  int code;
  std::vector<std::string> out;  // each must appear on stdout
  std::vector<std::string> err;  // each must appear on stderr
};

void expectCase(const Case& c, const Outcome& r) {
  EXPECT_EQ(r.code, c.code) << c.name << "\nstdout:\n" << r.out << "\nstderr:\n" << r.err;
  for (const std::string& s : c.out) {
    EXPECT_NE(r.out.find(s), std::string::npos) << c.name << ": stdout lacks " << s << "\n"
                                                << r.out;
  }
  for (const std::string& s : c.err) {
    EXPECT_NE(r.err.find(s), std::string::npos) << c.name << ": stderr lacks " << s << "\n"
                                                << r.err;
  }
}

TEST_F(ZevdirTest, EachCommandPrintsWhatTheDirectoryHolds) {
  const std::string crlFP = opensslFingerprint("crl", d().pki("crl.pem"));
  const std::string caFP = opensslFingerprint("x509", d().pki("ca.pem"));
  const Case cases[] = {
      {"ping anonymous", {"ping"}, 0, {"accepted a bind as anonymous"}, {}},
      {"ping as admin",
       {"-D", kAdmin, "-w", "secret", "ping"},
       0,
       {"as " + std::string(kAdmin)},
       {}},
      {"crls of the CA",
       {"crls", kCA},
       0,
       {"# revocation list 1 of 1", "issuer=CN=Test CA,O=Example,C=GB", "revoked=1",
        "sha256 Fingerprint=" + crlFP},
       {}},
      {"arls give ARL and CRL", {"arls", kCA}, 0, {"# revocation list 2 of 2", "revoked=0"}, {}},
      {"url with host",
       {"url", d().uri() + "/cn=Test%20CA,o=Example,c=GB?certificateRevocationList;binary"},
       0,
       {"# revocation list 1 of 1", "sha256 Fingerprint=" + crlFP},
       {}},
      {"url counts no entry names as undecodable",
       {"--json", "url",
        d().uri() + "/cn=Damaged,ou=encodings,o=Example,c=GB?certificateRevocationList;binary"},
       0,
       {"\"undecodable\": 1}"},
       {}},
      {"ca-certs of the CA",
       {"ca-certs", kCA},
       0,
       {"# certificate 2 of 2", "subject=CN=Test CA,O=Example,C=GB", caFP},
       {}},
      {"user-certs below people",
       {"user-certs", "ou=people,o=Example,c=GB"},
       0,
       {"# certificate 3 of 3", "CN=User Two"},
       {}},
      {"damaged value counted",
       {"crls", "cn=Damaged,ou=encodings,o=Example,c=GB"},
       0,
       {"# revocation list 2 of 2"},
       {"1 stored value did not decode and was skipped"}},
      {"every encoding decodes", {"crls", "cn=ASN,ou=encodings,o=Example,c=GB"}, 0, {crlFP}, {}},
      {"pem output", {"--pem", "crls", kCA}, 0, {"-----BEGIN X509 CRL-----"}, {}},
      {"json output",
       {"--json", "arls", kCA},
       0,
       {"{\"command\": \"arls\"", "\"revoked\": 1", "\"undecodable\": 0}"},
       {}},
      {"dynamic manager", {"--dynamic", "crls", kCA}, 0, {"revoked=1"}, {}},
      {"entry without lists",
       {"crls", "ou=people,o=Example,c=GB"},
       4,
       {},
       {"zevdir: nothing found: no revocation list at ou=people,o=Example,c=GB"}},
  };
  for (const Case& c : cases) expectCase(c, d().onServer(c.args));
}

TEST_F(ZevdirTest, CheckTellsGoodRevokedAndUnknown) {
  const std::string ca = d().pki("ca.pem");
  const Case cases[] = {
      {"good, CRL from the distribution point",
       {"check", "--issuer", ca, d().pki("user1.pem")},
       0,
       {"status=good", "crlSource=ldap:///cn=Test%20CA%2Co=Example%2Cc=GB"},
       {}},
      {"revoked, DER input",
       {"check", "--issuer", ca, d().pki("user2.der")},
       1,
       {"status=revoked", "reason=keyCompromise", "revocationDate="},
       {}},
      {"good, CRL from the issuer's entry",
       {"check", "--issuer", ca, d().pki("user3.pem")},
       0,
       {"status=good", "crlSource=entry CN=Test CA,O=Example,C=GB"},
       {}},
      {"revoked, issuer from the directory",
       {"check", d().pki("user2.pem")},
       1,
       {"status=revoked"},
       {}},
      {"unknown: no list for that issuer",
       {"check", d().pki("other.pem")},
       4,
       {"status=unknown", "reason=no revocation list found"},
       {}},
      {"unknown: wrong issuer given",
       {"check", "--issuer", d().pki("other.pem"), d().pki("user1.pem")},
       4,
       {"status=unknown", "is not the certificate's issuer"},
       {}},
      {"json verdict",
       {"--json", "check", "--issuer", ca, d().pki("user2.pem")},
       1,
       {"\"status\": \"revoked\""},
       {}},
      {"not a certificate", {"check", d().pki("crl.pem")}, 2, {}, {"holds no certificate"}},
      {"missing file", {"check", d().path("nothing.pem")}, 2, {}, {"cannot read certificate"}},
  };
  for (const Case& c : cases) expectCase(c, d().onServer(c.args));
}

TEST_F(ZevdirTest, PublishedRevocationListCanBeFetchedBack) {
  Outcome published =
      d().onServer({"-D", kAdmin, "-w", "secret", "publish-crl", kPublication, d().pki("crl.der")});
  ASSERT_EQ(published.code, 0) << published.err;
  EXPECT_NE(published.out.find("published revocation list of CN=Test CA,O=Example,C=GB"),
            std::string::npos)
      << published.out;
  Outcome fetched = d().onServer({"crls", kPublication});
  EXPECT_EQ(fetched.code, 0);
  EXPECT_NE(fetched.out.find(opensslFingerprint("crl", d().pki("crl.pem"))), std::string::npos);

  // A second publication replaces the first (PEM input this time).
  ASSERT_EQ(d().onServer({"-D", kAdmin, "-y", d().path("pw"), "publish-crl", kPublication,
                          d().pki("arl.pem")})
                .code,
            2)
      << "an unreadable -y file is a usage error";
  std::ofstream(d().path("pw")) << "secret\n";
  ASSERT_EQ(d().onServer({"-D", kAdmin, "-y", d().path("pw"), "publish-crl", kPublication,
                          d().pki("arl.pem")})
                .code,
            0);
  fetched = d().onServer({"crls", kPublication});
  EXPECT_NE(fetched.out.find("# revocation list 1 of 1"), std::string::npos) << fetched.out;
  EXPECT_NE(fetched.out.find("revoked=0"), std::string::npos) << fetched.out;
}

TEST_F(ZevdirTest, DERFilesMatchTheStoredBytes) {
  std::string out = d().path("der-out");
  Outcome r = d().onServer({"--der", "-o", out, "crls", kCA});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, out + "/crl-1.der\n");
  EXPECT_EQ(readFile(out + "/crl-1.der"), readFile(d().pki("crl.der")));
}

TEST_F(ZevdirTest, FailuresGiveOneErrorLineAndTheirExitCode) {
  const Case cases[] = {
      {"wrong password",
       {"-D", kAdmin, "-w", "wrong", "ping"},
       3,
       {},
       {"zevdir: error 576009 (0x8CA09):", "Invalid credentials"}},
      {"missing entry", {"crls", "cn=Nobody,o=Example,c=GB"}, 3, {}, {"No such object"}},
      {"missing entry at error level 1",
       {"--error-level", "1", "crls", "cn=Nobody,o=Example,c=GB"},
       4,
       {},
       {}},
      {"publish without rights",
       {"-D", kReader, "-w", "reader-secret", "publish-crl", kPublication, d().pki("crl.der")},
       3,
       {},
       {"error 50 (0x32)", "Insufficient access"}},
      {"publish a certificate",
       {"-D", kAdmin, "-w", "secret", "publish-crl", kPublication, d().pki("ca.pem")},
       2,
       {},
       {"holds no revocation list"}},
      {"malformed DN", {"crls", "cn=Test CA,,o=Example"}, 2, {}, {"malformed DN"}},
      {"malformed URL", {"url", "ldap://h/cn=x%zz"}, 2, {}, {"malformed %-escape"}},
      {"not an LDAP URL", {"url", "http://example.com/"}, 2, {}, {"is not an LDAP URL"}},
      {"no command", {}, 2, {}, {"no command given", "--help"}},
      {"unknown flag", {"--verbose", "ping"}, 2, {}, {"unknown flag --verbose"}},
      {"missing driver",
       {"--driver", "/nonexistent/libldap.so", "ping"},
       3,
       {},
       {"error 576001 (0x8CA01)", "/nonexistent/libldap.so"}},
  };
  for (const Case& c : cases) expectCase(c, d().onServer(c.args));
}

TEST_F(ZevdirTest, UnreachableServersFailWithinTheConnectTimeout) {
  // A closed port, and a listener that completes connections and never answers.
  slapdtest::SilentListener listener;
  std::string silent = std::to_string(listener.port());
  std::string closedPort = std::to_string(slapdtest::closedPort());

  Outcome closed =
      d().zevdir({"-h", "127.0.0.1", "-p", closedPort, "--connect-timeout", "2", "ping"});
  EXPECT_EQ(closed.code, 3) << closed.err;
  EXPECT_NE(closed.err.find("zevdir: error 576002 (0x8CA02):"), std::string::npos) << closed.err;

  Outcome hung =
      d().zevdir({"-h", "127.0.0.1", "-p", silent, "--connect-timeout", "2", "crls", kCA});
  EXPECT_EQ(hung.code, 3) << hung.err;
  EXPECT_LT(hung.seconds, 8.0);
  EXPECT_NE(hung.err.find("zevdir: error "), std::string::npos) << hung.err;
}

TEST_F(ZevdirTest, TraceGoesToTheFileAndNeverHoldsThePassword) {
  std::string trace = d().path("trace.txt");
  Outcome r =
      d().onServer({"--trace", trace, "--full-trace", "-D", kAdmin, "-w", "secret", "crls", kCA});
  ASSERT_EQ(r.code, 0) << r.err;
  std::string text = readFile(trace);
  EXPECT_NE(text.find("base: CN=Test CA,O=Example,C=GB  (|(certificateRevocationList;binary=*)"),
            std::string::npos);
  EXPECT_NE(text.find("Entry: "), std::string::npos) << "--full-trace shows scopes";
  EXPECT_EQ(text.find("secret"), std::string::npos) << "the password reached the trace";
}

TEST_F(ZevdirTest, DriverPathReachesTheSystemLDAPLibrary) {
  glob_t found{};
  std::string library;
  if (glob("/usr/lib/*/libldap*.so.*", 0, nullptr, &found) == 0 && found.gl_pathc > 0) {
    library = found.gl_pathv[0];
  }
  globfree(&found);
  ASSERT_FALSE(library.empty()) << "the system's libldap is missing (scripts/bootstrap)";
  // OpenLDAP's libldap has no ldap_ber_free, so the plug-in cannot free the state of an
  // attribute walk through it (it says so in the trace); that small leak per entry is the
  // driver library's, and the sanitizer build is told not to count it for this run.
  std::string trace = d().path("driver-trace.txt");
  Outcome r = d().onServer({"--trace", trace, "--driver", library, "crls", kCA},
                           "ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:detect_leaks=0\"");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("revoked=1"), std::string::npos) << r.out;
  EXPECT_NE(readFile(trace).find("ldap_ber_free not defined"), std::string::npos);
}

}  // namespace
