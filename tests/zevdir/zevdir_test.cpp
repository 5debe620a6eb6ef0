// zevdir end to end: the built tool against a throwaway slapd holding the test directory
// (tests/support/slapd.h), one server for the whole binary.
#include <glob.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/slapd.h"
#include "support/testpki.h"

#ifndef ZEVDIR_PATH
#error "ZEVDIR_PATH must name the zevdir binary"
#endif

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const char kCA[] = "cn=Test CA,o=Example,c=GB";
const char kAdmin[] = "cn=admin,o=Example,c=GB";
const char kReader[] = "cn=reader,o=Example,c=GB";
// An entry that publish-crl may write to, added by the fixture.
const char kPublication[] = "cn=Publication,o=Example,c=GB";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

const auto& quote = slapdtest::shellQuoted;

struct Outcome {
  int code;
  std::string out;
  std::string err;
  double seconds;
};

// The test directory's server and a scratch folder for zevdir's output, shared by every test.
class ZevdirTest : public slapdtest::ServerSuite<::testing::Test> {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/zevdir-test.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    server_ = new slapdtest::Server();
    // Entries loaded with slapadd cannot be modified by slapd; publish-crl writes to one of
    // its own, added with the platform's ldapadd.
    std::ofstream(path("publication.ldif"))
        << "dn: " << kPublication << "\nobjectClass: cRLDistributionPoint\n"
        << "cn: Publication\n";
    ready_ = std::system(("LDAPNOINIT=1 ldapadd -x -H " + quote(uri()) + " -D " + quote(kAdmin) +
                          " -w secret -f " + quote(path("publication.ldif")) + " >/dev/null")
                             .c_str()) == 0;
  }
  static void TearDownTestSuite() {
    ServerSuite::TearDownTestSuite();
    if (!dir_.empty()) std::system(("rm -rf " + quote(dir_)).c_str());
  }
  void SetUp() override { ASSERT_TRUE(ready_) << "test directory not up"; }

  static const std::string& uri() { return server_->uri(); }
  static std::string pki(const std::string& file) { return testpki::get().path(file); }
  static std::string path(const std::string& file) { return dir_ + "/" + file; }

  // Runs zevdir with args (which name the server, if any); env goes before the command.
  static Outcome zevdir(const std::vector<std::string>& args, const std::string& env = "") {
    std::string cmd = "LDAPNOINIT=1 " + env + " " + std::string(ZEVDIR_PATH);
    for (const std::string& a : args) cmd += " " + quote(a);
    cmd += " >" + quote(path("out")) + " 2>" + quote(path("err")) + " </dev/null";
    auto start = std::chrono::steady_clock::now();
    int status = std::system(cmd.c_str());
    auto end = std::chrono::steady_clock::now();
    return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(path("out")),
                   readFile(path("err")), std::chrono::duration<double>(end - start).count()};
  }
  // The same, connected to the test server.
  static Outcome onServer(std::vector<std::string> args, const std::string& env = "") {
    args.insert(args.begin(), {"-H", uri(), "--connect-timeout", "5"});
    return zevdir(args, env);
  }
  // SHA-256 fingerprint of a PKI file as the openssl command prints it.
  static std::string opensslFingerprint(const std::string& kind, const std::string& pem) {
    std::string cmd = "openssl " + kind + " -in " + quote(pem) + " -noout -fingerprint -sha256 >" +
                      quote(path("fp"));
    if (std::system(cmd.c_str()) != 0) return "openssl failed";
    std::string text = readFile(path("fp"));
    std::string value = text.substr(text.find('=') + 1);
    while (!value.empty() && value.back() == '\n') value.pop_back();
    return value;
  }

  static std::string dir_;
  static bool ready_;
};
std::string ZevdirTest::dir_;
bool ZevdirTest::ready_ = false;

struct Case {
  const char* name;
  std::vector<std::string> args;
  int code;
  std::vector<std::string> out;       // each must appear on stdout
  std::vector<std::string> err = {};  // each must appear on stderr
};

void expectCase(const Case& c, const Outcome& r) {
  SCOPED_TRACE(c.name);
  EXPECT_EQ(r.code, c.code) << "stdout:\n" << r.out << "\nstderr:\n" << r.err;
  for (const std::string& s : c.out) EXPECT_THAT(r.out, HasSubstr(s));
  for (const std::string& s : c.err) EXPECT_THAT(r.err, HasSubstr(s));
}

TEST_F(ZevdirTest, EachCommandPrintsWhatTheDirectoryHolds) {
  const std::string crlFP = opensslFingerprint("crl", pki("crl.pem"));
  const std::string caFP = opensslFingerprint("x509", pki("ca.pem"));
  const Case cases[] = {
      {"ping anonymous", {"ping"}, 0, {"accepted a bind as anonymous"}},
      {"ping as admin", {"-D", kAdmin, "-w", "secret", "ping"}, 0, {"as " + std::string(kAdmin)}},
      {"crls of the CA",
       {"crls", kCA},
       0,
       {"# revocation list 1 of 1", "issuer=CN=Test CA,O=Example,C=GB", "revoked=1",
        "sha256 Fingerprint=" + crlFP}},
      {"arls give ARL and CRL", {"arls", kCA}, 0, {"# revocation list 2 of 2", "revoked=0"}},
      {"url with host",
       {"url", uri() + "/cn=Test%20CA,o=Example,c=GB?certificateRevocationList;binary"},
       0,
       {"# revocation list 1 of 1", "sha256 Fingerprint=" + crlFP}},
      {"url counts no entry names as undecodable",
       {"--json", "url",
        uri() + "/cn=Damaged,ou=encodings,o=Example,c=GB?certificateRevocationList;binary"},
       0,
       {"\"undecodable\": 1}"}},
      {"ca-certs of the CA",
       {"ca-certs", kCA},
       0,
       {"# certificate 2 of 2", "subject=CN=Test CA,O=Example,C=GB", caFP}},
      {"user-certs below people",
       {"user-certs", "ou=people,o=Example,c=GB"},
       0,
       {"# certificate 3 of 3", "CN=User Two"}},
      {"damaged value counted",
       {"crls", "cn=Damaged,ou=encodings,o=Example,c=GB"},
       0,
       {"# revocation list 2 of 2"},
       {"1 stored value did not decode and was skipped"}},
      {"pem output", {"--pem", "crls", kCA}, 0, {"-----BEGIN X509 CRL-----"}},
      {"json output",
       {"--json", "arls", kCA},
       0,
       {"{\"command\": \"arls\"", "\"revoked\": 1", "\"undecodable\": 0}"}},
      {"dynamic manager", {"--dynamic", "crls", kCA}, 0, {"revoked=1"}},
      {"entry without lists",
       {"crls", "ou=people,o=Example,c=GB"},
       4,
       {},
       {"zevdir: nothing found: no revocation list at ou=people,o=Example,c=GB"}},
  };
  for (const Case& c : cases) expectCase(c, onServer(c.args));
}

TEST_F(ZevdirTest, CheckTellsGoodRevokedAndUnknown) {
  const std::string ca = pki("ca.pem");
  const Case cases[] = {
      {"good, CRL from the distribution point",
       {"check", "--issuer", ca, pki("user1.pem")},
       0,
       {"status=good", "crlSource=ldap:///cn=Test%20CA%2Co=Example%2Cc=GB"}},
      {"revoked, DER input",
       {"check", "--issuer", ca, pki("user2.der")},
       1,
       {"status=revoked", "reason=keyCompromise", "revocationDate="}},
      {"good, CRL from the issuer's entry",
       {"check", "--issuer", ca, pki("user3.pem")},
       0,
       {"status=good", "crlSource=entry CN=Test CA,O=Example,C=GB"}},
      {"revoked, issuer from the directory", {"check", pki("user2.pem")}, 1, {"status=revoked"}},
      {"unknown: no list for that issuer",
       {"check", pki("other.pem")},
       4,
       {"status=unknown", "reason=no revocation list found"}},
      {"unknown: wrong issuer given",
       {"check", "--issuer", pki("other.pem"), pki("user1.pem")},
       4,
       {"status=unknown", "is not the certificate's issuer"}},
      {"json verdict",
       {"--json", "check", "--issuer", ca, pki("user2.pem")},
       1,
       {"\"status\": \"revoked\""}},
      {"not a certificate", {"check", pki("crl.pem")}, 2, {}, {"holds no certificate"}},
      {"missing file", {"check", path("nothing.pem")}, 2, {}, {"cannot read certificate"}},
  };
  for (const Case& c : cases) expectCase(c, onServer(c.args));
}

TEST_F(ZevdirTest, PublishedRevocationListCanBeFetchedBack) {
  Outcome published =
      onServer({"-D", kAdmin, "-w", "secret", "publish-crl", kPublication, pki("crl.der")});
  ASSERT_EQ(published.code, 0) << published.err;
  EXPECT_THAT(published.out, HasSubstr("published revocation list of CN=Test CA,O=Example,C=GB"));
  Outcome fetched = onServer({"crls", kPublication});
  EXPECT_EQ(fetched.code, 0);
  EXPECT_THAT(fetched.out, HasSubstr(opensslFingerprint("crl", pki("crl.pem"))));

  // A second publication replaces the first (PEM input this time).
  ASSERT_EQ(
      onServer({"-D", kAdmin, "-y", path("pw"), "publish-crl", kPublication, pki("arl.pem")}).code,
      2)
      << "an unreadable -y file is a usage error";
  std::ofstream(path("pw")) << "secret\n";
  ASSERT_EQ(
      onServer({"-D", kAdmin, "-y", path("pw"), "publish-crl", kPublication, pki("arl.pem")}).code,
      0);
  fetched = onServer({"crls", kPublication});
  EXPECT_THAT(fetched.out, HasSubstr("# revocation list 1 of 1"));
  EXPECT_THAT(fetched.out, HasSubstr("revoked=0"));
}

TEST_F(ZevdirTest, DERFilesMatchTheStoredBytes) {
  std::string out = path("der-out");
  Outcome r = onServer({"--der", "-o", out, "crls", kCA});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, out + "/crl-1.der\n");
  EXPECT_EQ(readFile(out + "/crl-1.der"), readFile(pki("crl.der")));
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
       {}},
      {"publish without rights",
       {"-D", kReader, "-w", "reader-secret", "publish-crl", kPublication, pki("crl.der")},
       3,
       {},
       {"error 50 (0x32)", "Insufficient access"}},
      {"publish a certificate",
       {"-D", kAdmin, "-w", "secret", "publish-crl", kPublication, pki("ca.pem")},
       2,
       {},
       {"holds no revocation list"}},
      {"malformed DN", {"crls", "cn=Test CA,,o=Example"}, 2, {}, {"malformed DN"}},
      {"malformed URL", {"url", "ldap://h/cn=x%zz"}, 2, {}, {"malformed %-escape"}},
      {"not an LDAP URL", {"url", "http://example.com/"}, 2, {}, {"is not an LDAP URL"}},
      {"no command", {}, 2, {}, {"no command given", "--help"}},
      {"missing driver",
       {"--driver", "/nonexistent/libldap.so", "ping"},
       3,
       {},
       {"error 576001 (0x8CA01)", "/nonexistent/libldap.so"}},
  };
  for (const Case& c : cases) expectCase(c, onServer(c.args));
}

TEST_F(ZevdirTest, UnreachableServersFailWithinTheConnectTimeout) {
  // A closed port, and a listener that completes connections and never answers.
  slapdtest::SilentListener listener;
  std::string silent = std::to_string(listener.port());
  std::string closedPort = std::to_string(slapdtest::closedPort());

  Outcome closed = zevdir({"-h", "127.0.0.1", "-p", closedPort, "--connect-timeout", "2", "ping"});
  EXPECT_EQ(closed.code, 3) << closed.err;
  EXPECT_THAT(closed.err, HasSubstr("zevdir: error 576002 (0x8CA02):"));

  Outcome hung = zevdir({"-h", "127.0.0.1", "-p", silent, "--connect-timeout", "2", "crls", kCA});
  EXPECT_EQ(hung.code, 3) << hung.err;
  EXPECT_LT(hung.seconds, 8.0);
  EXPECT_THAT(hung.err, HasSubstr("zevdir: error "));
}

TEST_F(ZevdirTest, TraceGoesToTheFileAndNeverHoldsThePassword) {
  std::string trace = path("trace.txt");
  Outcome r =
      onServer({"--trace", trace, "--full-trace", "-D", kAdmin, "-w", "secret", "crls", kCA});
  ASSERT_EQ(r.code, 0) << r.err;
  std::string text = readFile(trace);
  EXPECT_THAT(text,
              HasSubstr("base: CN=Test CA,O=Example,C=GB  (|(certificateRevocationList;binary=*)"));
  EXPECT_THAT(text, HasSubstr("Entry: ")) << "--full-trace shows scopes";
  EXPECT_THAT(text, Not(HasSubstr("secret"))) << "the password reached the trace";
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
  std::string trace = path("driver-trace.txt");
  Outcome r = onServer({"--trace", trace, "--driver", library, "crls", kCA},
                       "ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:detect_leaks=0\"");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("revoked=1"));
  EXPECT_THAT(readFile(trace), HasSubstr("ldap_ber_free not defined"));
}

}  // namespace
