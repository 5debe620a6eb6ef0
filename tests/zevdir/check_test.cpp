// zevdir check and publish-crl against a throwaway slapd holding the chain test PKI
// (root -> intermediates -> end entities, made by openssl), each verdict compared with
// "openssl verify -crl_check_all" on the same files; and the overall deadline.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <fstream>

#include "support/slapd.h"

namespace {

using ::testing::HasSubstr;

const char kAdmin[] = "cn=admin,o=Example,c=GB";
const char kInter[] = "cn=Chain Intermediate,o=Example,c=GB";

struct Outcome {
  int code;
  std::string out, err;
  double seconds;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CheckTest : public slapdtest::ServerSuite<::testing::Test> {
 protected:
  static void SetUpTestSuite() {
    listener_ = new slapdtest::SilentListener();
    testpki::chain(listener_->port());  // leaf-dead's distribution point: the silent listener
    server_ = new slapdtest::Server();
    slapdtest::runCommand("LDAPNOINIT=1 ldapadd -x -H " + server_->uri() + " -D '" + kAdmin +
                          "' -w secret -f " + pki("chain.ldif") + " >/dev/null");
  }
  static void TearDownTestSuite() {
    slapdtest::ServerSuite<::testing::Test>::TearDownTestSuite();
    delete listener_;
    listener_ = nullptr;
  }

  static std::string pki(const std::string& file) { return testpki::chain().path(file); }
  // A time of the PKI's times file: as seconds for openssl, as YYYYMMDDHHMMSSZ for zevdir.
  static std::string seconds(const char* key) { return std::to_string(testpki::chain().time(key)); }
  static std::string asn1Time(const char* key) {
    time_t t = static_cast<time_t>(testpki::chain().time(key));
    struct tm parts;
    char text[32];
#if defined(_WIN32)
    gmtime_s(&parts, &t);
#else
    gmtime_r(&t, &parts);
#endif
    strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &parts);
    return text;
  }

  // Runs a shell command with its output in files of the chain PKI's folder.
  static Outcome run(const std::string& command) {
    auto start = std::chrono::steady_clock::now();
    int status = testsupport::runShell("LDAPNOINIT=1 " + command + " >" + pki("out") + " 2>" +
                                       pki("err") + " </dev/null")
                     .status;
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return {status, readFile(pki("out")), readFile(pki("err")), took.count()};
  }

  // Runs zevdir on the test server unless args begin with -h.
  static Outcome zevdir(std::vector<std::string> args) {
    if (args.empty() || args[0] != "-h") args.insert(args.begin(), {"-H", server_->uri()});
    // Under Wine the shell on the Linux side starts zevdir.exe through the emulator.
    std::string command = std::string(ZEV_TEST_EMULATOR) + " " + ZEVDIR_PATH;
    for (const std::string& a : args) command += " " + slapdtest::shellQuoted(a);
    return run(command);
  }

  // Replaces the intermediate's CRLs with the files given (PEM names without ".pem").
  static void storeIntermediateLists(const std::vector<std::string>& lists) {
    std::ofstream ldif(pki("modify.ldif"));
    ldif << "dn: " << kInter << "\nchangetype: modify\nreplace: certificateRevocationList;binary\n";
    for (const std::string& l : lists) {
      ldif << "certificateRevocationList;binary:< file://" << pki(l + ".der") << "\n";
    }
    ldif.close();
    slapdtest::runCommand("LDAPNOINIT=1 ldapmodify -x -H " + server_->uri() + " -D '" + kAdmin +
                          "' -w secret -f " + pki("modify.ldif") + " >/dev/null");
  }

  // openssl's verdict on the same files: good, revoked or unknown (any other error).
  static std::string opensslVerdict(const std::string& leaf, const std::string& untrusted,
                                    const std::vector<std::string>& lists,
                                    const std::string& time) {
    std::string command = "openssl verify -crl_check_all -CAfile " + pki("root.pem") +
                          " -untrusted " + pki(untrusted + ".pem");
    for (const std::string& l : lists) command += " -CRLfile " + pki(l + ".pem");
    if (!time.empty()) command += " -attime " + time;
    Outcome r = run(command + " " + pki(leaf + ".pem"));
    if (r.code == 0 && r.out.find(": OK") != std::string::npos) return "good";
    if ((r.out + r.err).find("error 23 at") != std::string::npos) return "revoked";
    return "unknown";
  }

  static inline slapdtest::SilentListener* listener_ = nullptr;
};

// Each row stores the intermediate's lists, runs check as text and as JSON, and asks openssl.
TEST_F(CheckTest, VerdictsMatchOpensslVerify) {
  const std::string dead = "ldap://127.0.0.1:" + std::to_string(listener_->port());
  const struct {
    const char* name;
    std::vector<std::string> interLists;  // stored at the intermediate's entry
    const char* leaf;
    const char* intermediate;
    const char* time;  // key of --at in the PKI's times, or ""
    std::vector<std::string> flags;
    const char* verdict;
    std::string text;  // a part of the text output
  } rows[] = {
      // clang-format off
      {"good", {"inter-crl"}, "leaf-good", "inter", "", {}, "good",
       "anchor=CN=Chain Root,O=Example,C=GB (serial 1000), pinned by --ca-file"},
      {"revoked end entity", {"inter-crl"}, "leaf-revoked", "inter", "", {}, "revoked",
       "reason=CN=Leaf Revoked,OU=people,O=Example,C=GB (serial 1001) was revoked at "},
      {"revoked intermediate", {"inter-crl"}, "leaf-under2", "inter2", "", {}, "revoked",
       "reason=CN=Chain Revoked Intermediate,O=Example,C=GB (serial 1002) was revoked at "},
      {"expired CRL", {"inter-crl-expired"}, "leaf-good", "inter", "", {}, "unknown",
       "CRL expired at "},
      {"CRL not yet valid", {"inter-crl-future"}, "leaf-good", "inter", "", {}, "unknown",
       "CRL not yet valid until "},
      {"before the revocation", {"inter-crl", "inter-crl-old"}, "leaf-revoked", "inter",
       "BEFORE_REVOCATION", {}, "good", "skipped="},
      {"after the revocation", {"inter-crl", "inter-crl-old"}, "leaf-revoked", "inter", "NOW", {},
       "revoked", "(keyCompromise)"},
      {"CRL signed by another key", {"inter-crl-wrongkey"}, "leaf-good", "inter", "", {},
       "unknown", "signature does not verify with the key of CN=Chain Intermediate"},
      {"unknown critical extension", {"inter-crl-critical"}, "leaf-good", "inter", "", {},
       "unknown", "critical extension this checker does not know (1.3.6.1.4.1.55555.1)"},
      {"dead distribution point", {"inter-crl"}, "leaf-dead", "inter", "", {"--timeout", "8"},
       "good", "skipped=" + dead},
      {"dead point and expired list", {"inter-crl-expired"}, "leaf-dead", "inter", "",
       {"--timeout", "8"}, "unknown", "CRL expired at "},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    storeIntermediateLists(row.interLists);
    std::vector<std::string> args = {"check", "--ca-file", pki("root.pem")};
    std::string time = row.time[0] ? seconds(row.time) : "";
    if (!time.empty()) args.insert(args.end(), {"--at", asn1Time(row.time)});
    args.insert(args.end(), row.flags.begin(), row.flags.end());
    args.push_back(pki(std::string(row.leaf) + ".pem"));

    std::vector<std::string> lists = {"root-arl", "root-crl", "inter2-crl"};
    lists.insert(lists.end(), row.interLists.begin(), row.interLists.end());
    std::string openssl = opensslVerdict(row.leaf, row.intermediate, lists, time);
    EXPECT_EQ(openssl, row.verdict) << "openssl disagrees with the expectation";

    const int code = std::string(row.verdict) == "good" ? 0 : row.verdict[0] == 'r' ? 1 : 4;
    Outcome text = zevdir(args);
    EXPECT_EQ(text.code, code) << text.out << text.err;
    EXPECT_THAT(text.out, HasSubstr("# overall\nstatus=" + std::string(row.verdict) + "\n"));
    EXPECT_THAT(text.out, HasSubstr(row.text));
    args.insert(args.begin(), "--json");
    Outcome json = zevdir(args);
    EXPECT_EQ(json.code, code) << json.out << json.err;
    EXPECT_THAT(json.out, HasSubstr("{\"status\": \"" + std::string(row.verdict) + "\""));
    if (row.flags.empty()) continue;
    // The dead point costs its share of the 8 s, and the point is named in the reason.
    EXPECT_LT(text.seconds, 8) << "the dead point took the whole budget";
    EXPECT_THAT(text.out, HasSubstr(dead + "/cn=Chain%20Intermediate"));
  }
  storeIntermediateLists({"inter-crl"});
}

TEST_F(CheckTest, TrustAnchorIsPinnedOrSaidNotToBe) {
  const struct {
    std::vector<std::string> flags;
    const char* cert;
    int code;
    std::string text;
  } rows[] = {
      // clang-format off
      {{}, "leaf-good", 0, "not pinned: self-signed, no --ca-file"},
      {{"--issuer", pki("inter.pem")}, "leaf-good", 0,
       "status=anchor\nreason=self-signed, found in the directory"},
      {{"--ca-file", pki("impostor.pem")}, "leaf-good", 4,
       "which is not among the trust anchors of --ca-file"},
      {{"--ca-file", pki("inter.pem")}, "leaf-good", 0, "pinned by --ca-file"},
      {{"--ca-file", pki("root.pem")}, "by-leaf", 4,
       "reason=no issuer certificate found for CN=Under A Leaf,O=Example,C=GB (issuer "
       "CN=Leaf Good,OU=people,O=Example,C=GB; looked in --ca-file, --issuer and the entry's CA "
       "certificates); entry CN=Leaf Good,OU=people,O=Example,C=GB is not in the directory"},
      {{"--ca-file", pki("root.pem"), "--issuer", pki("leaf-good.pem")}, "by-leaf", 4,
       "is not a CA certificate"},
      {{"--at", "2026-13-01T00:00:00Z"}, "leaf-good", 2, ""},
      {{"--ca-file", pki("times")}, "leaf-good", 2, ""},
      // clang-format on
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = {"check"};
    args.insert(args.end(), row.flags.begin(), row.flags.end());
    args.push_back(pki(std::string(row.cert) + ".pem"));
    Outcome r = zevdir(args);
    EXPECT_EQ(r.code, row.code) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr(row.text));
  }
}

// Rows run in order: each publication changes the intermediate's entry for the next.
TEST_F(CheckTest, PublishAcceptsOnlyListsOfTheEntrysCA) {
  const struct {
    std::vector<std::string> flags;
    const char* list;
    int code;
    std::string out, err;
  } rows[] = {
      // clang-format off
      {{}, "root-crl", 2, "",
       "refusing to publish: the revocation list of CN=Chain Root,O=Example,C=GB was not issued "
       "by a CA certificate of CN=Chain Intermediate,O=Example,C=GB; the revocation list's "
       "issuer CN=Chain Root,O=Example,C=GB is not the subject"},
      {{}, "inter-crl-wrongkey", 2, "", "signature does not verify"},
      {{"--force"}, "root-crl", 0,
       "replaced revocation list of CN=Chain Intermediate,O=Example,C=GB (lastUpdate=",
       "publishing anyway (--force)"},
      {{}, "inter-crl", 0, "replaced revocation list of CN=Chain Root,O=Example,C=GB", ""},
      {{}, "inter.pem", 2, "", "holds no revocation list"},
      // clang-format on
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = {"-D", kAdmin, "-w", "secret", "publish-crl"};
    args.insert(args.end(), row.flags.begin(), row.flags.end());
    std::string file = row.list;
    args.insert(args.end(),
                {kInter, pki(file.find('.') == std::string::npos ? file + ".der" : file)});
    Outcome r = zevdir(args);
    EXPECT_EQ(r.code, row.code) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr(row.out));
    EXPECT_THAT(r.err, HasSubstr(row.err));
  }
  // The refusals wrote nothing: the last list written is the one there.
  Outcome r = zevdir({"--der", "-o", pki("published"), "crls", kInter});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(readFile(pki("published/crl-1.der")), readFile(pki("inter-crl.der")));
}

// The system's libldap bounds only connect(): its bind to a server that accepts and never
// answers would wait for ever. The deadline ends the command.
TEST_F(CheckTest, DeadlineEndsAHangingBindOnTheDriverRoad) {
  const std::string port = std::to_string(listener_->port());
  Outcome r = zevdir({"-h", "127.0.0.1", "-p", port, "--driver", SYSTEM_LIBLDAP,
                      "--connect-timeout", "60", "--timeout", "3", "ping"});
  EXPECT_EQ(r.code, 3);
  EXPECT_LT(r.seconds, 8);  // 3 s and the start of the process, on a busy machine
#if defined(_WIN32)
  // Wine's wldap32 either hangs in the bind like the system's libldap, and the deadline ends
  // it, or gives up on such a server by itself (81); both were seen.
  EXPECT_THAT(r.err, ::testing::AnyOf(HasSubstr("rc=81"),
                                      HasSubstr("zevdir: timed out after 3 s while connecting")));
#else
  EXPECT_EQ(r.err, "zevdir: timed out after 3 s while connecting to ldap://127.0.0.1:" + port +
                       " and binding as anonymous\n");
  EXPECT_GE(r.seconds, 3);
#endif
}

}  // namespace
