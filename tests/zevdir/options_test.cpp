// zevdir's command line, URL checks and output helpers, without a server.
#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output.h"

namespace zevdir {
namespace {

// Runs parseOptions on words (argv[0] added); argv copies stay alive for the -w wipe.
struct Parsed {
  Options options;
  std::string error;  // UsageError text, empty when the line parsed
  std::vector<std::string> argvAfter;
};

Parsed parse(const std::vector<std::string>& words) {
  std::vector<std::string> storage = {"zevdir"};
  storage.insert(storage.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(&s[0]);
  Parsed p;
  try {
    p.options = parseOptions(static_cast<int>(argv.size()), argv.data());
  } catch (const UsageError& e) {
    p.error = e.what();
  }
  for (char* a : argv) p.argvAfter.push_back(a);
  return p;
}

struct UsageCase {
  const char* name;
  std::vector<std::string> words;
  const char* message;  // a part of the error text
};

TEST(ZevdirOptions, RejectsBadCommandLinesWithAClearMessage) {
  const UsageCase cases[] = {
      {"no command", {}, "no command given"},
      {"unknown command", {"fetch", "x"}, "unknown command \"fetch\""},
      {"unknown flag", {"--colour", "ping"}, "unknown flag --colour"},
      {"missing argument", {"crls"}, "crls takes 1 argument, got 0"},
      {"extra argument", {"ping", "x"}, "ping takes 0 arguments, got 1"},
      {"publish wants two", {"-D", "cn=a", "publish-crl", "cn=a"}, "takes 2 arguments"},
      {"flag without value", {"ping", "-h"}, "-h needs a value"},
      {"port not a number", {"-p", "38x", "ping"}, "-p wants a whole number"},
      {"port too big", {"-p", "70000", "ping"}, "from 1 to 65535"},
      {"protocol 4", {"-P", "4", "ping"}, "-P wants a whole number from 2 to 3"},
      {"error level 3", {"--error-level", "3", "ping"}, "from 0 to 2"},
      {"two password sources", {"-w", "x", "-W", "ping"}, "one way only"},
      {"uri with dn", {"-H", "ldap://h/cn=x", "ping"}, "not a URL with a DN"},
      {"uri of other scheme", {"-H", "http://h", "ping"}, "must begin with ldap://"},
      {"uri bad port", {"-H", "ldap://h:0", "ping"}, "the port of"},
      {"der without dir", {"--der", "crls", "cn=a"}, "needs -o DIR"},
      {"dir without der", {"-o", "d", "crls", "cn=a"}, "-o DIR goes with --der"},
      {"issuer elsewhere", {"--issuer", "f", "crls", "cn=a"}, "--issuer goes with check"},
      {"publish anonymous", {"publish-crl", "cn=a", "f"}, "needs a bind DN"},
      {"ldaps with a driver", {"-H", "ldaps://h", "--driver", "/l.so", "ping"}, "has no TLS"},
      {"boolean with value", {"--json=yes", "ping"}, "--json takes no value"},
  };
  for (const UsageCase& c : cases) {
    Parsed p = parse(c.words);
    EXPECT_NE(p.error.find(c.message), std::string::npos)
        << c.name << ": got \"" << p.error << "\"";
  }
}

TEST(ZevdirOptions, ReadsConnectionAndOutputFlags) {
  Parsed p =
      parse({"-H", "ldap://dir.example:1636", "-D", "cn=admin,o=Example", "-w", "s3cret", "-P", "2",
             "--connect-timeout=3", "--search-timeout", "7", "--driver", "/lib/libldap.so",
             "--error-level", "1", "--dynamic", "--json", "crls", "cn=Test CA,o=Example,c=GB"});
  ASSERT_EQ(p.error, "");
  const Options& o = p.options;
  EXPECT_EQ(o.connectHost(), "dir.example") << "a driver library gets the host part";
  EXPECT_EQ(o.port, 1636);
  EXPECT_EQ(o.bindDN, "cn=admin,o=Example");
  EXPECT_EQ(
      std::string(reinterpret_cast<const char*>(o.password.getValue()), o.password.getLength()),
      "s3cret");
  EXPECT_TRUE(o.password.isSensitiveData());
  EXPECT_EQ(o.version, 2);
  EXPECT_EQ(o.connectTimeout, 3);
  EXPECT_EQ(o.searchTimeout, 7);
  EXPECT_EQ(o.driver, "/lib/libldap.so");
  EXPECT_EQ(o.errorLevel, 1);
  EXPECT_TRUE(o.dynamic);
  EXPECT_TRUE(o.format == OutputFormat::kJson);
  EXPECT_EQ(o.command, "crls");
  ASSERT_EQ(o.args.size(), 1u);
  EXPECT_EQ(o.args[0], "cn=Test CA,o=Example,c=GB");
  // The password does not stay readable in the process's arguments.
  EXPECT_EQ(p.argvAfter[6], std::string());
}

TEST(ZevdirOptions, DefaultsMatchTheHelpText) {
  Parsed p = parse({"ping"});
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.options.connectHost(), "localhost");
  EXPECT_EQ(p.options.port, 389);
  EXPECT_EQ(p.options.version, 3);
  EXPECT_EQ(p.options.connectTimeout, 10);
  EXPECT_EQ(p.options.searchTimeout, 60);
  EXPECT_EQ(p.options.errorLevel, 0);
  EXPECT_EQ(parse({"-H", "ldaps://h", "ping"}).options.port, 636);
  EXPECT_EQ(parse({"-H", "ldaps://h", "ping"}).options.connectHost(), "ldaps://h");
  EXPECT_NE(usageText().find("4  nothing found"), std::string::npos);
}

struct URLCase {
  const char* url;
  const char* message;  // null: accepted
};

TEST(ZevdirOptions, ChecksLDAPURLs) {
  const URLCase cases[] = {
      {"ldap://127.0.0.1:3890/cn=Test%20CA,o=Example,c=GB?certificateRevocationList;binary",
       nullptr},
      {"ldap:///cn=Test%20CA%2Co=Example%2Cc=GB?certificateRevocationList", nullptr},
      {"LDAPS://h/o=Example??sub?(objectClass=*)", nullptr},
      {"ldap://h/", nullptr},
      {"ftp://h/o=x", "must begin with ldap://"},
      {"ldap://h", "names no entry"},
      {"ldap://h/cn=x,,o=y", "the DN of"},
      {"ldap://h/cn=x%2", "malformed %-escape"},
      {"ldap://h/cn=x%zz", "malformed %-escape"},
      {"ldap://h/o=x??subtree", "must be base, one or sub"},
      {"ldap://h/o=x??sub?(cn=a", "unbalanced"},
      {"ldap://h:99999/o=x", "the port of"},
      {"ldap://h/o=x?a?b?c?d?e", "too many"},
  };
  for (const URLCase& c : cases) {
    std::string error;
    try {
      checkLDAPURL(c.url);
    } catch (const UsageError& e) {
      error = e.what();
    }
    if (c.message == nullptr) {
      EXPECT_EQ(error, "") << c.url;
    } else {
      EXPECT_NE(error.find(c.message), std::string::npos) << c.url << ": got \"" << error << "\"";
    }
  }
}

TEST(ZevdirOutput, ErrorLineCarriesDecimalAndHex) {
  EXPECT_EQ(errorLine(576004, "search failed"), "zevdir: error 576004 (0x8CA04): search failed");
  EXPECT_EQ(errorLine(49, "Invalid credentials"), "zevdir: error 49 (0x31): Invalid credentials");
}

TEST(ZevdirOutput, JsonStringsAreEscaped) {
  EXPECT_EQ(jsonString("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
  EXPECT_EQ(percentDecode("cn=Test%20CA%2Co=Example"), "cn=Test CA,o=Example");
}

}  // namespace
}  // namespace zevdir
