// zevdir end to end: the built tool against a throwaway slapd holding the test directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "support/slapd.h"

namespace {

using ::testing::HasSubstr;

const char kCA[] = "cn=Test CA,o=Example,c=GB";
const char kAdmin[] = "cn=admin,o=Example,c=GB";
const char kReader[] = "cn=reader,o=Example,c=GB";
const char kPub[] = "cn=Publication,o=Example,c=GB";  // publish-crl writes here

std::string pki(const std::string& file) { return testpki::get().path(file); }
std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Outcome {
  int code;
  std::string out, err;
};

// Runs a shell command with its output in files of the (temporary) test PKI folder.
Outcome run(const std::string& command) {
  int status = testsupport::runShell("LDAPNOINIT=1 " + command + " >" + pki("out") + " 2>" +
                                     pki("err") + " </dev/null")
                   .status;
  return {status, readFile(pki("out")), readFile(pki("err"))};
}

class ZevdirTest : public slapdtest::ServerSuite<::testing::Test> {
 protected:
  static void SetUpTestSuite() {
    server_ = new slapdtest::Server();
    // slapd cannot modify the entries slapadd loaded: publish-crl writes to one added here.
    std::ofstream(pki("pub.ldif"))
        << "dn: " << kPub << "\nobjectClass: cRLDistributionPoint\ncn: Publication\n";
    slapdtest::runCommand("LDAPNOINIT=1 ldapadd -x -H " + uri() + " -D '" + kAdmin +
                          "' -w secret -f " + pki("pub.ldif") + " >/dev/null");
  }

  static std::string uri() { return server_->uri(); }
  // Runs zevdir, on the test server unless args begin with -h.
  static Outcome zevdir(std::vector<std::string> args) {
    if (args.empty() || args[0] != "-h") {
      args.insert(args.begin(), {"-H", uri(), "--connect-timeout", "5"});
    }
    // Under Wine the shell on the Linux side starts zevdir.exe through the emulator.
    std::string command = std::string(ZEV_TEST_EMULATOR) + " " + ZEVDIR_PATH;
    for (const std::string& a : args) command += " " + slapdtest::shellQuoted(a);
    return run(command);
  }
};

// Rows run in order: the publications change kPub for the rows after them.
TEST_F(ZevdirTest, CommandsGiveTheirOutputAndExitCode) {
  const std::string ca = pki("ca.pem"), crl = pki("crl.der"), user1 = pki("user1.pem");
  const std::string nobody = "cn=Nobody,o=Example,c=GB", der = pki("der"), log = pki("trace");
  slapdtest::SilentListener listener;
  const std::string closed = std::to_string(slapdtest::closedPort());
  const std::string silent = std::to_string(listener.port());
  const std::string url = uri() + "/cn=Test%20CA,o=Example,c=GB?certificateRevocationList";
  std::string fp = run("openssl crl -noout -fingerprint -sha256 -in " + pki("crl.pem")).out;
  fp = "revoked=1\nsha256 Fingerprint=" + fp.substr(fp.find('=') + 1);
  std::ofstream(pki("pw")) << "secret\n";
  const struct {
    std::vector<std::string> args;
    int code;
    std::string out, err = "";  // a part of stdout, of stderr
  } rows[] = {
      {{"ping"}, 0, "accepted a bind as anonymous"},
      {{"crls", kCA}, 0, fp},
      {{"arls", kCA}, 0, "# revocation list 2 of 2"},
      {{"url", url}, 0, "# revocation list 1 of 1"},
      {{"ca-certs", kCA}, 0, "# certificate 2 of 2\nsubject=CN=Test CA,O=Example,C=GB"},
      {{"user-certs", "ou=people,o=Example,c=GB"}, 0, "# certificate 3 of 3"},
      {{"crls", "cn=Damaged,ou=encodings,o=Example,c=GB"}, 0, "list 2 of 2", "1 stored value did"},
      {{"--dynamic", "--pem", "crls", kCA}, 0, "-----BEGIN X509 CRL-----"},
      {{"--json", "arls", kCA}, 0, "\"revoked\": 1"},
      {{"check", "--issuer", ca, user1}, 0, "crlSource=ldap:///cn=Test%20CA%2Co=Example"},
      {{"check", "--issuer", ca, pki("user2.der")}, 1, "reason=keyCompromise"},
      {{"check", pki("user2.pem")}, 1, "status=revoked"},
      {{"check", pki("other.pem")}, 4, "self-signed and no --ca-file says to trust it"},
      {{"-D", kAdmin, "-w", "secret", "publish-crl", kPub, crl}, 0, "published revocation list"},
      {{"--der", "-o", der, "crls", kPub}, 0, der + testsupport::kFolderSeparator + "crl-1.der\n"},
      {{"-D", kAdmin, "-y", pki("pw"), "publish-crl", kPub, pki("arl.pem")}, 0, "of CN=Test CA"},
      {{"--trace", log, "--full-trace", "-D", kAdmin, "-w", "secret", "crls", kPub},
       0,
       "revoked=0"},
      {{"crls", "ou=people,o=Example,c=GB"}, 4, "", "nothing found: no revocation list at ou="},
      {{"-D", kAdmin, "-w", "wrong", "ping"}, 3, "", "zevdir: error 576009 (0x8CA09):"},
      {{"crls", nobody}, 3, "", "No such object"},
      // A failure that the error level keeps back is named before "nothing found"; one that
      // the dynamic URL client swallows is an error unless the level keeps it back.
      {{"--error-level", "1", "crls", nobody},
       4,
       "",
       "kept back a failure: rc=32 No such object: matched DN \"o=Example,c=GB\"\nzevdir: nothing "
       "found"},
      {{"--error-level", "2", "-D", kAdmin, "-w", "wrong", "crls", kCA},
       4,
       "",
       "--error-level 2 kept back a failure: rc=49 Invalid credentials\nzevdir: nothing found"},
      {{"-h", "127.0.0.1", "-p", closed, "--error-level", "2", "--dynamic", "crls", kCA},
       4,
       "",
       "kept back a failure: rc=81 Can't contact LDAP server\nzevdir: nothing found"},
      {{"--dynamic", "url", "ldap://127.0.0.1:" + closed + "/o=x"},
       3,
       "",
       "error 81 (0x51): url ldap://127.0.0.1:" + closed + "/o=x: the plug-in returned nothing"},
      {{"--dynamic", "--error-level", "2", "url", "ldap://127.0.0.1:" + closed + "/o=x"},
       4,
       "",
       "kept back a failure: rc=81 Can't contact LDAP server\nzevdir: nothing found"},
      {{"-D", kReader, "-w", "reader-secret", "publish-crl", kPub, crl}, 3, "", "50 (0x32)"},
      {{"-D", kAdmin, "-w", "secret", "publish-crl", kPub, ca}, 2, "", "no revocation list"},
      {{"crls", "cn=Test CA,,o=Example"}, 2, "", "malformed DN"},
      {{"--driver", "/nonexistent/libldap.so", "ping"}, 3, "", "error 576001 (0x8CA01)"},
      {{"-h", "127.0.0.1", "-p", closed, "ping"}, 3, "", "zevdir: error 576002 (0x8CA02):"},
      {{"-h", "127.0.0.1", "-p", silent, "--connect-timeout", "2", "ping"}, 3, "", "zevdir: error"},
  };
  for (const auto& row : rows) {
    auto start = std::chrono::steady_clock::now();
    Outcome r = zevdir(row.args);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8)) << "hangs";
    EXPECT_EQ(r.code, row.code) << row.out << row.err << "\nstdout:\n" << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr(row.out));
    EXPECT_THAT(r.err, HasSubstr(row.err));
  }
  EXPECT_EQ(readFile(der + "/crl-1.der"), readFile(crl));
  EXPECT_THAT(readFile(log), HasSubstr("base: CN=Publication,O=Example,C=GB  (|(certificateRev"));
  EXPECT_THAT(readFile(log), HasSubstr("Entry: "));
  EXPECT_THAT(readFile(log), ::testing::Not(HasSubstr("secret")));
}

// A production-like directory: TLS with a private CA, a size limit of five that paging
// passes, a subtree readable after a bind, a referral and a subordinate reference.
class ZevdirProductionTest : public slapdtest::ServerSuite<::testing::Test> {
 protected:
  static void SetUpTestSuite() {
    server_ = new slapdtest::Server(slapdtest::production());
    // An entry whose classes allow no revocation list (added over LDAP, so slapd can change it).
    std::ofstream(pki("person.ldif")) << "dn: cn=Person,o=Example,c=GB\nobjectClass: person\n"
                                         "cn: Person\nsn: Person\n";
    slapdtest::runCommand("LDAPNOINIT=1 ldapadd -x -H " + server_->uri() + " -D '" + kAdmin +
                          "' -w secret -f " + pki("person.ldif") + " >/dev/null");
    // A certificate whose distribution point names this server and the private subtree.
    std::ofstream(pki("dp.ext")) << "crlDistributionPoints=URI:" << server_->uri()
                                 << "/cn=Private%20CA%2Cou=private%2Co=Example%2Cc=GB"
                                    "?certificateRevocationList;binary\n";
    slapdtest::runCommand("cd " + pki("") +
                          " && OPENSSL_CONF=/dev/null openssl req -new "
                          "-newkey rsa:2048 -nodes -keyout four.key -out four.csr -subj "
                          "'/C=GB/O=Example/OU=people/CN=User Four' 2>/dev/null && "
                          "OPENSSL_CONF=/dev/null openssl x509 -req -in four.csr -CA ca.pem "
                          "-CAkey ca.key -set_serial 99 -days 30 -extfile dp.ext -out four.pem "
                          "2>/dev/null");
  }
};

TEST_F(ZevdirProductionTest, TlsLoginPagingReferralsAndTheServersWords) {
  const std::string plainUri = server_->uri(), tls = server_->ldapsUri();
  const std::string byName = "ldaps://localhost" + tls.substr(tls.rfind(':'));
  const std::string privateCRL =
      "/cn=Private%20CA,ou=private,o=Example,c=GB?certificateRevocationList";
  const std::string ca = pki("ca.pem"), reader = kReader;
  slapdtest::Server noTls;
  const struct {
    std::string env;
    std::vector<std::string> args;
    int code;
    std::string out, err;
  } rows[] = {
      {"", {"-H", tls, "--cacert", ca, "crls", kCA}, 0, "revoked=1", ""},
      {"", {"-H", tls, "crls", kCA}, 3, "", "rc=112. TLS failure: certificate verify failed: "},
      {"env -u LDAPNOINIT LDAPTLS_CACERT=" + ca, {"-H", tls, "crls", kCA}, 0, "revoked=1", ""},
      {"",
       {"-H", byName, "--cacert", ca, "ping"},
       3,
       "",
       "TLS failure: certificate verify "
       "failed: hostname mismatch"},
      {"", {"-H", plainUri, "-ZZ", "--cacert", ca, "ping"}, 0, "accepted a bind", ""},
      {"",
       {"-H", plainUri, "-ZZ", "--cacert", pki("other.pem"), "ping"},
       3,
       "",
       "TLS failure: StartTLS handshake failed: certificate verify failed: "},
      {"", {"-H", noTls.uri(), "-Z", "crls", kCA}, 0, "revoked=1", ""},
      {"",
       {"-H", noTls.uri(), "-ZZ", "crls", kCA},
       3,
       "",
       "TLS failure: StartTLS is required and the server refused it"},
      {"",
       {"-H", plainUri, "-D", reader, "-w", "reader-secret", "url", plainUri + privateCRL},
       0,
       "revoked=1",
       ""},
      {"",
       {"-H", plainUri, "-D", reader, "-w", "reader-secret", "url", "ldap://" + privateCRL},
       0,
       "revoked=1",
       ""},
      {"", {"-H", plainUri, "url", plainUri + privateCRL}, 3, "", "No such object"},
      // Host-less with dc= components: the -H server, not a host made from them.
      {"",
       {"-H", plainUri, "url", "ldap:///cn=x,dc=example,dc=org?certificateRevocationList"},
       3,
       "",
       "ldap_url_search_st() rc=32. No such object"},
      {"",
       {"-H", plainUri, "-D", reader, "-w", "reader-secret", "check", "--issuer", ca,
        pki("four.pem")},
       0,
       "status=good\ncrlSource=ldap://127.0.0.1",
       ""},
      // Unbound, the point's entry is out of sight: the issuer's entry serves.
      {"",
       {"-H", plainUri, "check", "--issuer", ca, pki("four.pem")},
       0,
       "status=good\ncrlSource=entry",
       ""},
      {"", {"-H", plainUri, "user-certs", "ou=people,o=Example,c=GB"}, 0, "certificate 7 of 7", ""},
      {"ZEV_LDAP_PAGE_SIZE=0",
       {"-H", plainUri, "user-certs", "ou=people,o=Example,c=GB"},
       3,
       "",
       "Size limit exceeded: 5 entries arrived; the answer is incomplete"},
      {"",
       {"-H", plainUri, "crls", "cn=Moved,o=Example,c=GB"},
       3,
       "",
       "Referral: matched DN \"cn=Moved,o=Example,c=GB\"; referral to "
       "ldap://elsewhere.example:389/cn=Moved,o=Example,c=GB??base (not followed)"},
      {"",
       {"-H", plainUri, "user-certs", "ou=branches,o=Example,c=GB"},
       0,
       "certificate 1 of 1",
       "zevdir: warning: 1 continuation reference not followed, the answer may lack entries "
       "there: ldap://north.example:389/ou=north,ou=branches,o=Example,c=GB??sub\n"},
      {"",
       {"-H", plainUri, "-D", kAdmin, "-w", "secret", "publish-crl", "cn=Person,o=Example,c=GB",
        pki("crl.der")},
       3,
       "",
       "Object class violation: server says \"attribute 'certificateRevocationList;binary' not "
       "allowed\""},
      {"", {"--driver", "/usr/lib/libldap.so", "-Z", "ping"}, 2, "", "leave --driver out"},
  };
  for (const auto& row : rows) {
    std::string command = row.env + " " ZEV_TEST_EMULATOR " " ZEVDIR_PATH " --connect-timeout 5";
    for (const std::string& a : row.args) command += " " + slapdtest::shellQuoted(a);
    Outcome r = run(command);
    EXPECT_EQ(r.code, row.code) << command << "\nstdout:\n" << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr(row.out)) << command;
    EXPECT_THAT(r.err, HasSubstr(row.err)) << command;
  }
}

}  // namespace
