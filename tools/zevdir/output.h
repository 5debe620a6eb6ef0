// How zevdir shows what the plug-in returns: summary blocks in the manner of
// "openssl x509/crl -noout", PEM text, one DER file per object, or a JSON document.
#ifndef TOOLS_ZEVDIR_OUTPUT_H
#define TOOLS_ZEVDIR_OUTPUT_H

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "options.h"
#include "zevasn.h"

namespace zevdir {

// One line for a failure: "zevdir: error 576004 (0x8CA04): <message>".
std::string errorLine(long code, const std::string& message);

// JSON string literal of text (quotes included).
std::string jsonString(const std::string& text);

// Writes the results of one command. Notes for the user (skipped values, files written)
// go to err so that out stays machine-readable with --pem and --json.
class Printer {
 public:
  Printer(const Options& options, std::ostream& out, std::ostream& err);

  // command and subject label the listing ("ca-certs", "cn=Test CA,o=Example,c=GB").
  // undecodable is the number of stored values the plug-in could not decode. Throws
  // std::runtime_error when a --der file cannot be written.
  void certificates(const std::string& command, const std::string& subject,
                    const zev09000003::ZEVASNCertificateContainer& certs, std::size_t undecodable);
  void revocationLists(const std::string& command, const std::string& subject,
                       const zev09000003::ZEVASNCRLContainer& lists, std::size_t undecodable);

  // Says on err that a listing came back empty ("zevdir: nothing found: <what>").
  void nothingFound(const std::string& what);

  // One record of key=value lines (check's verdict): as lines, or as one JSON object.
  void record(const std::vector<std::string>& lines);

  // Summary lines (key=value) of one object, without a trailing blank line.
  static std::vector<std::string> summary(const zev09000003::ZEVASNx509Certificate& cert);
  static std::vector<std::string> summary(const zev09000003::ZEVASNCertificateList& crl);

 private:
  void undecodableNote(std::size_t undecodable);
  std::string writeDER(const std::string& stem, std::size_t index,
                       const zev09000003::ZEVASNObject& object);

  const Options& options_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace zevdir

#endif
