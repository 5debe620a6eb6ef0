// zevdir's command line, without a server.
#include "options.h"

#include <gtest/gtest.h>

#include <sstream>

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
  };
  for (const auto& row : rows) {
    EXPECT_NE(parse(row.words).find(row.result), std::string::npos) << parse(row.words);
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
