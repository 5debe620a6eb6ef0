// zevdir check: the revocation status of a certificate and of every CA certificate on its
// path to a trust anchor, each against its issuer's revocation lists.
#ifndef TOOLS_ZEVDIR_CHECK_H
#define TOOLS_ZEVDIR_CHECK_H

#include <ostream>
#include <string>

#include "options.h"
#include "zevcms.h"

namespace zevdir {

// What check reads from the directory; commands.cpp provides it over the plug-in's manager.
// Every returned container belongs to the caller. Each call throws ZEVException when the
// directory fails.
class CheckDirectory {
 public:
  virtual ~CheckDirectory() {}
  // The revocation lists stored at entry: its CRLs, and with authorities its ARLs as well.
  virtual zev09000003::ZEVASNCRLContainer* lists(const zev09000003::ZEVASNx500Name& entry,
                                                 bool authorities) = 0;
  virtual zev09000003::ZEVASNCertificateContainer* caCertificates(
      const zev09000003::ZEVASNx500Name& entry) = 0;
  // The lists named by an LDAP URL that names its own host, fetched from that host within
  // seconds (connect, bind and search).
  virtual zev09000003::ZEVASNCRLContainer* listsAt(const std::string& url, int seconds) = 0;
  // After a failure of lists or caCertificates: true when the entry does not exist.
  virtual bool noSuchEntry() = 0;
  // The text of a failure.
  virtual std::string describe(const zev09000003::ZEVException& e) = 0;
  // The server of -H or -h/-p, for messages.
  virtual std::string server() = 0;
};

// Checks the certificate in options.args[0] and prints one block per certificate of its path
// and the overall status. Returns kExitOK (good), kExitRevoked or kExitNotFound (unknown).
// Throws UsageError for unreadable input files and ZEVException when the directory fails
// (other than by a missing entry; a distribution point on another host that fails only makes
// the status unknown).
int runCheck(const Options& options, CheckDirectory& directory, std::ostream& out);

// Reads every certificate of a DER file or of a PEM file (one or more blocks). Throws
// UsageError naming the file when it cannot be read or holds none.
std::vector<std::unique_ptr<zev09000003::ZEVASNx509Certificate>> readCertificates(
    const std::string& path);

}  // namespace zevdir

#endif
