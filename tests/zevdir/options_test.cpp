// zevdir's command line, without a server.
#include "options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "support/platform.h"
#include "times.h"

namespace zevdir {
namespace {

// Parses words as main does, URL check of the url command included: a summary of the
// options, or the error text.
std::string parse(std::vector<std::string> words) {
  words.insert(words.begin(), "zevdir");
  std::vector<char*> argv;
  for (std::string& s : words) argv.push_back(&s[0]);
  try {
    Options o = parseOptions(static_cast<int>(argv.size()), argv.data());
    if (o.command == "url") checkLDAPURL(o.args[0]);
    std::ostringstream s;
    s << o.command << " " << o.connectHost() << ":" << o.port << " " << o.bindDN << " v"
      << o.version << " t" << o.connectTimeout << "/" << o.searchTimeout << " e" << o.errorLevel
      << (o.dynamic ? " dynamic" : "") << (o.format == OutputFormat::kJson ? " json" : "");
    for (const std::string& w : o.args) s << " [" << w << "]";
    return s.str();
  } catch (const UsageError& e) {
    return e.what();
  }
}

TEST(ZevdirOptions, CommandLines) {
  const struct {
    std::vector<std::string> words;
    const char* result;  // the whole summary, or a part of the error text
  } rows[] = {
      {{"ping"}, "ping localhost:389  v3 t10/60 e0"},
      {{"-H", "ldap://dir.example:1636", "-D", "cn=admin", "-P", "2", "--connect-timeout=3",
        "--search-timeout", "7", "--driver", "/l.so", "--error-level", "1", "--dynamic", "--json",
        "crls", "cn=Test CA,o=Example"},
       "crls dir.example:1636 cn=admin v2 t3/7 e1 dynamic json [cn=Test CA,o=Example]"},
      {{"-H", "ldaps://h", "ping"}, "ping ldaps://h:636  v3 t10/60 e0"},
      {{"url", "ldaps://h/o=x??sub"}, "url localhost:389  v3 t10/60 e0 [ldaps://h/o=x??sub]"},
      {{}, "no command given"},
      {{"crls"}, "crls takes 1 argument, got 0"},
      {{"-p", "70000", "ping"}, "-p wants a whole number from 1 to 65535"},
      {{"-w", "x", "-W", "ping"}, "give the password one way only"},
      {{"--der", "crls", "cn=a"}, "needs -o DIR"},
      {{"publish-crl", "cn=a", "f"}, "needs a bind DN"},
      {{"-H", "ldaps://h", "--driver", "/l.so", "ping"}, "has no TLS"},
      {{"url", "ldap://h/cn=x%zz"}, "malformed %-escape"},
      // StartTLS travels in the host text: tried with -Z, required (critical) with -ZZ.
      {{"-H", "ldap://h:1389/", "-Z", "ping"}, "ping ldap://h:1389/????StartTLS:1389"},
      {{"-h", "h", "-ZZ", "ping"},
       "ping ldap://h:389/????"
       "!StartTLS:389"},
      {{"-Z", "-Z", "ping"},
       "ping ldap://localhost:389/????"
       "!StartTLS:389"},
      {{"-H", "ldaps://h", "-ZZ", "ping"}, "ping ldaps://h:636"},  // TLS already
      {{"-Z", "--driver", "/l.so", "ping"}, "leave --driver out"},
      {{"--cacert", "/nonexistent.pem", "ping"}, "cannot read the --cacert file /nonexistent.pem"},
      {{"--timeout", "0", "ping"}, "--timeout wants a whole number from 1 to 86400"},
      {{"--ca-file", "r.pem", "ping"}, "--ca-file goes with check"},
      {{"--at", "20261207100000Z", "crls", "cn=a"}, "--at goes with check"},
      {{"--force", "ping"}, "--force goes with publish-crl"},
      {{"--issuer", "a.pem", "--issuer", "b.pem", "--ca-file", "r.pem", "check", "c.pem"},
       "check localhost:389  v3 t10/60 e0 [c.pem]"},
  };
  for (const auto& row : rows) {
    EXPECT_NE(parse(row.words).find(row.result), std::string::npos) << parse(row.words);
  }
}

// --at against GNU date's reading of the same text; bad texts give a reason.
TEST(ZevdirOptions, AtTakesRFC3339AndASN1Times) {
  const struct {
    const char* text;
    const char* gnuDate;  // the same instant for "date -u -d", or null when text is bad
    const char* error;
  } rows[] = {
      {"2026-12-07T10:00:00Z", "2026-12-07 10:00:00Z", ""},
      {"2026-12-07t10:00:00.250z", "2026-12-07 10:00:00Z", ""},
      {"2026-12-07T11:30:00+01:30", "2026-12-07 10:00:00Z", ""},
      {"1969-12-31T23:59:59-00:00", "1969-12-31 23:59:59Z", ""},
      {"20240229235959Z", "2024-02-29 23:59:59Z", ""},
      {"2023-02-29T00:00:00Z", nullptr, "no day 29 in that month"},
      {"2026-12-07T10:00:00", nullptr, "the time must say its zone"},
      {"2026-12-07 10:00:00Z", nullptr, "'T' expected between the date and the time"},
      {"20261207100000+0100", nullptr, "'Z' expected at the end"},
      {"2026-12-07T24:00:00Z", nullptr, "out of range"},
      {"2026-12-07T10:00:00Zjunk", nullptr, "unexpected \"junk\" at the end"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    std::vector<std::string> words = {"zevdir", "--at", row.text, "check", "c.pem"};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    try {
      Options o = parseOptions(static_cast<int>(argv.size()), argv.data());
      ASSERT_NE(row.gnuDate, nullptr) << "accepted";
      testsupport::Outcome date = testsupport::runShell(
          "date -u '+%s %Y-%m-%dT%H:%M:%SZ' -d '" + std::string(row.gnuDate) + "'");
      long long expected = 0;
      char text[64] = "";
      EXPECT_EQ(std::sscanf(date.output.c_str(), "%lld %63s", &expected, text), 2);
      EXPECT_TRUE(o.atGiven);
      EXPECT_EQ(o.atTime, expected);
      EXPECT_EQ(formatTime(o.atTime), text);  // and back, as check prints times
    } catch (const UsageError& e) {
      EXPECT_EQ(row.gnuDate, nullptr) << e.what();
      EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << e.what();
    }
  }
}

TEST(ZevdirOptions, PasswordIsKeptSensitiveAndWipedFromTheArguments) {
  char zevdir[] = "zevdir", w[] = "-w", secret[] = "s3cret", ping[] = "ping";
  char* argv[] = {zevdir, w, secret, ping};
  Options o = parseOptions(4, argv);
  const char* password = reinterpret_cast<const char*>(o.password.getValue());
  EXPECT_EQ(std::string(password, o.password.getLength()), "s3cret");
  EXPECT_TRUE(o.password.isSensitiveData());
  EXPECT_EQ(std::string(secret), "");
}

}  // namespace
}  // namespace zevdir
