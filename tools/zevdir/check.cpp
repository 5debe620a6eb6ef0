#include "check.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "deadline.h"
#include "output.h"
#include "times.h"

namespace zevdir {

using namespace zev09000003;

namespace {

typedef std::unique_ptr<ZEVASNx509Certificate> CertPtr;

// The longest path searched, anchor included; a longer one is taken for a loop.
const std::size_t kMaxPath = 10;

std::string nameText(const ZEVASNx500Name& name) { return name.getRFC2253String().str(); }

bool sameDER(const ZEVASNObject& a, const ZEVASNObject& b) {
  const ZEVFastBuffer& x = a.getDEREncoding();
  const ZEVFastBuffer& y = b.getDEREncoding();
  return x.getLength() == y.getLength() &&
         std::equal(x.getValue(), x.getValue() + x.getLength(), y.getValue());
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Where a certificate of the path came from.
enum class Origin { kInput, kAnchor, kGiven, kDirectory };

struct PathCert {
  const ZEVASNx509Certificate* cert;
  Origin origin;
};

// A revocation list found for one certificate, with where it came from.
struct FoundList {
  std::shared_ptr<ZEVASNCRLContainer> holder;
  const ZEVASNCertificateList* crl;
  std::string source;
};

// The outcome for one certificate of the path.
struct Link {
  std::string subject, issuer, serial;
  std::string status;  // "good", "revoked", "unknown" or "anchor"
  std::string reason;  // unknown: why; revoked: the recorded reason; anchor: how it is trusted
  std::string revocationDate;
  std::string crlSource, crlThisUpdate, crlNextUpdate;
  std::vector<std::string> skipped;  // lists and sources not used, each with why
};

// An LDAP distribution point split into its host, its percent-decoded DN and whether it
// names authority revocation lists.
struct DistributionPoint {
  std::string url, host, dn;
  bool authorities = false;
};

DistributionPoint splitPoint(const std::string& url) {
  DistributionPoint p;
  p.url = url;
  std::size_t scheme = url.find("://");
  std::size_t slash = url.find('/', scheme + 3);
  p.host =
      url.substr(scheme + 3, slash == std::string::npos ? std::string::npos : slash - scheme - 3);
  if (slash == std::string::npos) return p;
  std::size_t query = url.find('?', slash);
  p.dn = percentDecode(
      url.substr(slash + 1, query == std::string::npos ? std::string::npos : query - slash - 1));
  if (query != std::string::npos) {
    std::string attributes = lowered(url.substr(query + 1, url.find('?', query + 1) - query - 1));
    p.authorities = attributes.find("authorityrevocationlist") != std::string::npos;
  }
  return p;
}

// Why list cannot decide the status of cert issued by issuer at time now; empty when it can.
// The order puts authenticity first: nothing else about a list counts before it is known to
// be the issuer's.
std::string whyUnusable(const ZEVASNCertificateList& list, const ZEVASNx509Certificate& cert,
                        const ZEVASNx509Certificate& issuer, EpochSeconds now) {
  std::string why = ZEVASNIssuerCheck::whyNotIssuedBy(list, issuer).str();
  if (!why.empty()) return why;
  ZEVCRLScope scope = list.getScope();
  if (!scope.unknownCritical.empty()) {
    std::string oids;
    for (const ZEVString& oid : scope.unknownCritical)
      oids += (oids.empty() ? "" : ", ") + oid.str();
    return "it has a critical extension this checker does not know (" + oids + ")";
  }
  // Design choice: delta and indirect lists are not supported; they never decide a status.
  if (scope.delta) return "it is a delta CRL, and delta CRLs are not supported";
  if (scope.indirect) return "it is an indirect CRL, and indirect CRLs are not supported";
  if (scope.onlyAttributeCerts) return "it covers attribute certificates only";
  if (scope.onlyCACerts && !cert.isCA()) return "it covers CA certificates only";
  if (scope.onlyUserCerts && cert.isCA()) return "it covers end-entity certificates only";
  if (scope.onlySomeReasons) {
    return "it covers only some revocation reasons, and partial lists are not supported";
  }
  if (scope.partitioned) {
    bool named = false;
    for (const ZEVString& point : cert.getLDAPDistributionPoints()) {
      for (const ZEVString& covered : scope.distributionPoints) named = named || point == covered;
    }
    if (!named) {
      std::string points;
      for (const ZEVString& p : scope.distributionPoints) points += " " + p.str();
      return "it covers only the certificates of its distribution point" +
             (points.empty() ? std::string(" (not named by a URI)") : points);
    }
  }
  // Times as openssl compares them: a list is current from thisUpdate on, and no longer at
  // nextUpdate.
  EpochSeconds thisUpdate = list.getThisUpdateTime(), nextUpdate = 0;
  if (thisUpdate > now) return "CRL not yet valid until " + formatTime(thisUpdate);
  if (list.getNextUpdateTime(nextUpdate) && nextUpdate <= now) {
    return "CRL expired at " + formatTime(nextUpdate);
  }
  return std::string();
}

class Checker {
 public:
  Checker(const Options& o, CheckDirectory& directory)
      : o_(o), directory_(directory), now_(o.atGiven ? o.atTime : timeNow()) {}

  int run(std::ostream& out);

 private:
  void loadInputs();
  bool isAnchor(const ZEVASNx509Certificate& cert) const;
  const ZEVASNCertificateContainer* storedCACertificates(const ZEVASNx500Name& entry,
                                                         std::vector<std::string>& problems);
  bool buildPath(std::string& why);
  PathCert pickIssuer(const ZEVASNx509Certificate& cert, const std::vector<PathCert>& candidates,
                      std::vector<std::string>& problems) const;
  Link checkLink(const ZEVASNx509Certificate& cert, const ZEVASNx509Certificate& issuer);
  void fetch(const std::string& source, std::vector<FoundList>& found,
             std::vector<std::string>& problems, const std::function<ZEVASNCRLContainer*()>& get);
  Link describeCert(const ZEVASNx509Certificate& cert) const;
  void print(std::ostream& out, const std::vector<Link>& links, const std::string& status,
             const std::string& reason, const std::string& anchor) const;

  const Options& o_;
  CheckDirectory& directory_;
  EpochSeconds now_;
  CertPtr input_;
  std::vector<CertPtr> anchors_, given_;
  std::map<std::string, std::unique_ptr<ZEVASNCertificateContainer>> stored_;
  std::vector<PathCert> path_;
  bool anchored_ = false;
};

void Checker::loadInputs() {
  // Certificates after the first in the input file are taken as --issuer certificates.
  std::vector<CertPtr> input = readCertificates(o_.args[0]);
  input_ = std::move(input.front());
  for (std::size_t i = 1; i < input.size(); ++i) given_.push_back(std::move(input[i]));
  if (!o_.caFile.empty()) anchors_ = readCertificates(o_.caFile);
  for (const std::string& file : o_.issuerFiles) {
    for (CertPtr& cert : readCertificates(file)) given_.push_back(std::move(cert));
  }
}

bool Checker::isAnchor(const ZEVASNx509Certificate& cert) const {
  for (const CertPtr& anchor : anchors_) {
    if (sameDER(*anchor, cert)) return true;
  }
  return false;
}

// The CA certificates at an entry, read once per run. A missing entry is a problem to
// report; any other failure of the directory ends the command.
const ZEVASNCertificateContainer* Checker::storedCACertificates(
    const ZEVASNx500Name& entry, std::vector<std::string>& problems) {
  std::string dn = nameText(entry);
  auto known = stored_.find(dn);
  if (known != stored_.end()) return known->second.get();
  Deadline::phase("reading the CA certificates of entry " + dn + " from " + directory_.server());
  std::unique_ptr<ZEVASNCertificateContainer> certs;
  try {
    certs.reset(directory_.caCertificates(entry));
  } catch (const ZEVDIRException&) {
    if (!directory_.noSuchEntry()) throw;
    problems.push_back("entry " + dn + " is not in the directory");
    certs.reset(new ZEVASNCertificateContainer());
  }
  return (stored_[dn] = std::move(certs)).get();
}

// Follows issuers from the input certificate to a trust anchor: the --ca-file certificates,
// else (without --ca-file) a self-signed CA certificate found on the way. Candidates are
// taken from the anchors, the --issuer certificates and the CA certificates of the issuer's
// entry, in that order. False, with why, when no path is found.
bool Checker::buildPath(std::string& why) {
  path_.push_back({input_.get(), Origin::kInput});
  for (;;) {
    const ZEVASNx509Certificate& current = *path_.back().cert;
    if (isAnchor(current)) {
      anchored_ = true;
      return true;
    }
    if (ZEVASNIssuerCheck::isSelfIssued(current)) {
      if (!anchors_.empty()) {
        why = "the path ends at the self-signed " + nameText(current.getSubject()) +
              ", which is not among the trust anchors of --ca-file";
        return false;
      }
      if (path_.size() == 1) {
        why = "the certificate is self-signed and no --ca-file says to trust it";
        return false;
      }
      return true;  // an anchor found on the way, not pinned
    }
    if (path_.size() >= kMaxPath) {
      why = "no trust anchor within " + std::to_string(kMaxPath) + " certificates";
      return false;
    }
    // The anchors and --issuer certificates first; the directory only when none of them
    // issued the certificate.
    std::vector<PathCert> candidates;
    for (const CertPtr& c : anchors_) candidates.push_back({c.get(), Origin::kAnchor});
    for (const CertPtr& c : given_) candidates.push_back({c.get(), Origin::kGiven});
    std::vector<std::string> problems;
    PathCert chosen = pickIssuer(current, candidates, problems);
    if (chosen.cert == nullptr) {
      candidates.clear();
      for (const ZEVASNx509Certificate* c : *storedCACertificates(current.getIssuer(), problems)) {
        candidates.push_back({c, Origin::kDirectory});
      }
      chosen = pickIssuer(current, candidates, problems);
    }
    if (chosen.cert == nullptr) {
      why = "no issuer certificate found for " + nameText(current.getSubject()) + " (issuer " +
            nameText(current.getIssuer()) + "; looked in --ca-file, --issuer and the entry's " +
            "CA certificates)";
      for (const std::string& p : problems) why += "; " + p;
      return false;
    }
    path_.push_back(chosen);
  }
}

// The first candidate that issued cert and is not on the path yet, preferring one valid at
// the time of the check; a null cert when none did. Reasons of refused candidates that carry
// the issuer's name go to problems.
PathCert Checker::pickIssuer(const ZEVASNx509Certificate& cert,
                             const std::vector<PathCert>& candidates,
                             std::vector<std::string>& problems) const {
  const PathCert* chosen = nullptr;
  for (const PathCert& candidate : candidates) {
    bool inPath = false;
    for (const PathCert& p : path_) inPath = inPath || sameDER(*p.cert, *candidate.cert);
    if (inPath || !(candidate.cert->getSubject() == cert.getIssuer())) continue;
    std::string reason = ZEVASNIssuerCheck::whyNotIssuedBy(cert, *candidate.cert).str();
    if (!reason.empty()) {
      problems.push_back(reason);
      continue;
    }
    if (candidate.cert->getNotBeforeTime() <= now_ && now_ <= candidate.cert->getNotAfterTime()) {
      return candidate;
    }
    if (chosen == nullptr) chosen = &candidate;
  }
  return chosen != nullptr ? *chosen : PathCert{nullptr, Origin::kDirectory};
}

void Checker::fetch(const std::string& source, std::vector<FoundList>& found,
                    std::vector<std::string>& problems,
                    const std::function<ZEVASNCRLContainer*()>& get) {
  std::shared_ptr<ZEVASNCRLContainer> lists(get());
  if (lists->empty()) problems.push_back(source + ": no revocation list there");
  for (const ZEVASNCertificateList* crl : *lists) {
    bool seen = false;
    for (const FoundList& f : found) seen = seen || sameDER(*f.crl, *crl);
    if (!seen) found.push_back({lists, crl, source});
  }
}

Link Checker::describeCert(const ZEVASNx509Certificate& cert) const {
  Link link;
  link.subject = nameText(cert.getSubject());
  link.issuer = nameText(cert.getIssuer());
  link.serial = cert.getSerialNumberHex().str();
  return link;
}

// Checks one certificate against its issuer's lists: those of its LDAP distribution points;
// then, for a CA certificate always and for an end entity when the points gave no usable
// list, those of the issuer's entry (a CA certificate's ARLs and CRLs, an end entity's
// CRLs). Of the usable lists the most recent (by thisUpdate) decides, as openssl's choice.
Link Checker::checkLink(const ZEVASNx509Certificate& cert, const ZEVASNx509Certificate& issuer) {
  Link link = describeCert(cert);
  if (now_ < cert.getNotBeforeTime()) {
    link.status = "unknown";
    link.reason = "the certificate is not yet valid until " + formatTime(cert.getNotBeforeTime());
    return link;
  }
  if (now_ > cert.getNotAfterTime()) {
    link.status = "unknown";
    link.reason = "the certificate expired at " + formatTime(cert.getNotAfterTime()) +
                  ", and revocation lists need not list it any more";
    return link;
  }

  std::vector<FoundList> found;
  std::vector<std::string> problems;
  std::vector<ZEVString> urls = cert.getLDAPDistributionPoints();
  for (std::size_t i = 0; i < urls.size(); ++i) {
    const std::string url = urls[i].str();
    try {
      DistributionPoint point = splitPoint(url);
      if (point.host.empty()) {
        // A point without a host is an entry of the server on the command line.
        ZEVASNx500Name entry = ZEVASNx500Name::fromRFC4514(ZEVString(point.dn));
        Deadline::phase("reading distribution point " + url + " from " + directory_.server());
        try {
          fetch(url, found, problems, [&] { return directory_.lists(entry, point.authorities); });
        } catch (const ZEVDIRException&) {
          if (!directory_.noSuchEntry()) throw;
          problems.push_back(url + ": the entry is not in the directory");
        }
      } else {
        // A point on another host gets its share of the time left, so that one dead server
        // cannot take the whole budget from the points and the entry after it.
        int share = std::max(1, Deadline::remaining() / static_cast<int>(urls.size() - i + 1));
        Deadline::phase("reading distribution point " + url +
                        " (its share: " + std::to_string(share) + " s)");
        try {
          fetch(url, found, problems, [&] { return directory_.listsAt(url, share); });
        } catch (const ZEVException& e) {
          problems.push_back(url + ": " + directory_.describe(e));
        }
      }
    } catch (const ZEVDIRException&) {
      throw;
    } catch (const ZEVException& e) {
      problems.push_back(url + ": " + e.getMessage().str());
    } catch (const UsageError& e) {
      problems.push_back(url + ": " + e.what());
    }
  }

  auto usable = [&](std::vector<std::string>& skipped) {
    const FoundList* best = nullptr;
    for (const FoundList& f : found) {
      std::string why = whyUnusable(*f.crl, cert, issuer, now_);
      if (!why.empty()) {
        skipped.push_back(f.source + ": the list of " + nameText(f.crl->getIssuer()) + " issued " +
                          formatTime(f.crl->getThisUpdateTime()) + ": " + why);
      } else if (best == nullptr || f.crl->getThisUpdateTime() > best->crl->getThisUpdateTime()) {
        best = &f;
      }
    }
    return best;
  };
  std::vector<std::string> skipped;
  if (cert.isCA() || usable(skipped) == nullptr) {
    ZEVASNx500Name entry = cert.getIssuer();
    std::string source = "entry " + nameText(entry);
    Deadline::phase("reading the revocation lists of " + source + " from " + directory_.server());
    try {
      fetch(source, found, problems, [&] { return directory_.lists(entry, cert.isCA()); });
    } catch (const ZEVDIRException&) {
      if (!directory_.noSuchEntry()) throw;
      problems.push_back(source + ": not in the directory");
    }
  }
  skipped.clear();
  const FoundList* best = usable(skipped);
  link.skipped = problems;
  link.skipped.insert(link.skipped.end(), skipped.begin(), skipped.end());
  if (best == nullptr) {
    link.status = "unknown";
    link.reason = "no usable revocation list";
    for (const std::string& s : link.skipped) link.reason += "; " + s;
    link.skipped.clear();
    return link;
  }
  EpochSeconds next = 0;
  link.crlSource = best->source;
  link.crlThisUpdate = formatTime(best->crl->getThisUpdateTime());
  link.crlNextUpdate = best->crl->getNextUpdateTime(next) ? formatTime(next) : "NONE";
  ZEVRevocationInfo info = best->crl->findRevoked(cert);
  if (info.revoked) {
    link.status = "revoked";
    link.revocationDate = formatTime(info.dateTime);
    link.reason = info.reason.str();
  } else {
    link.status = "good";
  }
  return link;
}

void Checker::print(std::ostream& out, const std::vector<Link>& links, const std::string& status,
                    const std::string& reason, const std::string& anchor) const {
  auto fields = [](const Link& l) {
    std::vector<std::pair<std::string, std::string>> f = {
        {"subject", l.subject}, {"issuer", l.issuer}, {"serial", l.serial}, {"status", l.status}};
    if (!l.revocationDate.empty()) f.push_back({"revocationDate", l.revocationDate});
    if (!l.reason.empty()) f.push_back({"reason", l.reason});
    if (!l.crlSource.empty()) {
      f.push_back({"crlSource", l.crlSource});
      f.push_back({"crlThisUpdate", l.crlThisUpdate});
      f.push_back({"crlNextUpdate", l.crlNextUpdate});
    }
    return f;
  };
  std::string at = formatTime(now_);
  if (o_.format == OutputFormat::kJson) {
    out << "{\"status\": " << jsonString(status);
    if (!reason.empty()) out << ", \"reason\": " << jsonString(reason);
    out << ", \"checkedAt\": " << jsonString(at) << ", \"anchor\": " << jsonString(anchor)
        << ", \"anchorPinned\": " << (anchored_ ? "true" : "false") << ", \"chain\": [";
    for (std::size_t i = 0; i < links.size(); ++i) {
      out << (i ? ",\n  {" : "\n  {");
      bool first = true;
      for (const auto& f : fields(links[i])) {
        out << (first ? "" : ", ") << jsonString(f.first) << ": " << jsonString(f.second);
        first = false;
      }
      out << ", \"skipped\": [";
      for (std::size_t k = 0; k < links[i].skipped.size(); ++k) {
        out << (k ? ", " : "") << jsonString(links[i].skipped[k]);
      }
      out << "]}";
    }
    out << "\n]}\n";
    return;
  }
  for (std::size_t i = 0; i < links.size(); ++i) {
    out << "# certificate " << i + 1 << " of " << links.size() << "\n";
    for (const auto& f : fields(links[i])) out << f.first << "=" << f.second << "\n";
    for (const std::string& s : links[i].skipped) out << "skipped=" << s << "\n";
    out << "\n";
  }
  out << "# overall\nstatus=" << status << "\n";
  if (!reason.empty()) out << "reason=" << reason << "\n";
  out << "checkedAt=" << at << "\n";
  if (!anchor.empty()) out << "anchor=" << anchor << "\n";
}

int Checker::run(std::ostream& out) {
  loadInputs();
  std::string pathProblem;
  bool complete = buildPath(pathProblem);

  std::vector<Link> links;
  // Every certificate that has an issuer on the path is checked; the last one is the anchor
  // when the path is complete, and the one without an issuer when it is not.
  for (std::size_t i = 0; i + 1 < path_.size(); ++i) {
    links.push_back(checkLink(*path_[i].cert, *path_[i + 1].cert));
  }
  Link last = describeCert(*path_.back().cert);
  std::string anchor;
  if (complete) {
    last.status = "anchor";
    anchor = last.subject + " (serial " + last.serial + ")";
    if (anchored_) {
      last.reason = "a trust anchor of --ca-file";
      anchor += ", pinned by --ca-file";
    } else {
      last.reason =
          "self-signed, found " +
          std::string(path_.back().origin == Origin::kGiven ? "in --issuer" : "in the directory") +
          "; not pinned (no --ca-file)";
      anchor += ", not pinned: self-signed, no --ca-file";
    }
  } else {
    last.status = "unknown";
    last.reason = pathProblem;
  }
  links.push_back(last);

  // Revoked when any link is; unknown when any cannot be decided or the path has no anchor;
  // good only when every link is good.
  std::string status = "good", reason;
  for (const Link& l : links) {
    if (l.status == "revoked") {
      status = "revoked";
      reason = l.subject + " (serial " + l.serial + ") was revoked at " + l.revocationDate + " (" +
               l.reason + ") according to " + l.crlSource;
      break;
    }
  }
  if (status == "good") {
    for (const Link& l : links) {
      if (l.status == "unknown") {
        status = "unknown";
        reason = l.subject + " (serial " + l.serial + "): " + l.reason;
        break;
      }
    }
  }
  print(out, links, status, reason, anchor);
  if (status == "revoked") return kExitRevoked;
  return status == "good" ? kExitOK : kExitNotFound;
}

}  // namespace

std::vector<CertPtr> readCertificates(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read certificate file " + path);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<CertPtr> certs;
  try {
    std::size_t begin = bytes.find("-----BEGIN ");
    if (begin == std::string::npos) {
      CertPtr cert(new ZEVASNx509Certificate());
      ZEVASNUtility::setDEREncoding(ZEVFastBuffer(bytes.size(), bytes.data()), *cert);
      certs.push_back(std::move(cert));
    }
    // A PEM bundle: each armoured block on its own (text between blocks is ignored).
    while (begin != std::string::npos) {
      std::size_t next = bytes.find("-----BEGIN ", begin + 11);
      std::string block = bytes.substr(begin, next == std::string::npos ? next : next - begin);
      ZEVFastBuffer der;
      ZEVString type;
      if (ZEVUtility::Base64DearmorPemToBuf(der, type, ZEVFastBuffer(block.size(), block.data()),
                                            nullptr) != 0) {
        throw UsageError(path + ": a PEM block at byte " + std::to_string(begin) +
                         " does not decode");
      }
      CertPtr cert(new ZEVASNx509Certificate());
      ZEVASNUtility::setDEREncoding(der, *cert);
      certs.push_back(std::move(cert));
      begin = next;
    }
  } catch (const ZEVException& e) {
    throw UsageError(path + " holds no certificate in DER or PEM: " + e.getMessage().str());
  }
  if (certs.empty()) throw UsageError(path + " holds no certificate");
  return certs;
}

int runCheck(const Options& options, CheckDirectory& directory, std::ostream& out) {
  Checker checker(options, directory);
  return checker.run(out);
}

}  // namespace zevdir
