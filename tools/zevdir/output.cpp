#include "output.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

namespace zevdir {

using zev09000003::ZEVASNCertificateContainer;
using zev09000003::ZEVASNCertificateList;
using zev09000003::ZEVASNCRLContainer;
using zev09000003::ZEVASNObject;
using zev09000003::ZEVASNx509Certificate;

std::string errorLine(long code, const std::string& message) {
  char hex[32];
  std::snprintf(hex, sizeof hex, "0x%lX", static_cast<unsigned long>(code));
  return "zevdir: error " + std::to_string(code) + " (" + hex + "): " + message;
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

namespace {

// "key=value" lines to a JSON object, with the listed keys as numbers.
std::string jsonObject(const std::vector<std::string>& lines) {
  std::string out = "{";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::size_t eq = lines[i].find('=');
    std::string key = lines[i].substr(0, eq);
    std::string value = lines[i].substr(eq + 1);
    for (char& c : key) {
      if (c == ' ') c = '_';
    }
    out += (i ? ", " : "") + jsonString(key) + ": ";
    out += key == "revoked" ? value : jsonString(value);
  }
  return out + "}";
}

template <class Container>
void listObjects(const Options& options, std::ostream& out, const std::string& command,
                 const std::string& subject, const Container& items, const char* noun,
                 const char* jsonKey, std::size_t undecodable,
                 const std::function<std::string(std::size_t, const ZEVASNObject&)>& writeDER) {
  switch (options.format) {
    case OutputFormat::kText: {
      std::size_t n = 0;
      for (const auto* item : items) {
        out << (n ? "\n" : "") << "# " << noun << " " << n + 1 << " of " << items.size() << "\n";
        ++n;
        for (const std::string& line : Printer::summary(*item)) out << line << "\n";
      }
      break;
    }
    case OutputFormat::kPem:
      for (const auto* item : items) out << item->getPEM();
      break;
    case OutputFormat::kDer: {
      std::size_t n = 0;
      for (const auto* item : items) out << writeDER(++n, *item) << "\n";
      break;
    }
    case OutputFormat::kJson: {
      out << "{\"command\": " << jsonString(command) << ", \"query\": " << jsonString(subject)
          << ", \"" << jsonKey << "\": [";
      std::size_t n = 0;
      for (const auto* item : items) {
        out << (n++ ? ",\n  " : "\n  ") << jsonObject(Printer::summary(*item));
      }
      out << (n ? "\n" : "") << "], \"undecodable\": " << undecodable << "}\n";
      break;
    }
  }
}

}  // namespace

Printer::Printer(const Options& options, std::ostream& out, std::ostream& err)
    : options_(options), out_(out), err_(err) {}

std::vector<std::string> Printer::summary(const ZEVASNx509Certificate& cert) {
  return {"subject=" + cert.getSubjectText().str(), "issuer=" + cert.getIssuerText().str(),
          "serial=" + cert.getSerialNumberHex().str(),
          "notBefore=" + cert.getNotBefore().str(),
          "notAfter=" + cert.getNotAfter().str(),
          "sha256 Fingerprint=" + cert.getSHA256Fingerprint().str()};
}

std::vector<std::string> Printer::summary(const ZEVASNCertificateList& crl) {
  std::string next = crl.getNextUpdate().str();
  return {"issuer=" + crl.getIssuer().getRFC2253String().str(),
          "lastUpdate=" + crl.getThisUpdate().str(),
          "nextUpdate=" + (next.empty() ? std::string("NONE") : next),
          "revoked=" + std::to_string(crl.getRevokedCount()),
          "sha256 Fingerprint=" + crl.getSHA256Fingerprint().str()};
}

void Printer::nothingFound(const std::string& what) {
  err_ << "zevdir: nothing found: " << what << "\n";
}

void Printer::record(const std::vector<std::string>& lines) {
  if (options_.format == OutputFormat::kJson) {
    out_ << jsonObject(lines) << "\n";
  } else {
    for (const std::string& line : lines) out_ << line << "\n";
  }
}

void Printer::undecodableNote(std::size_t undecodable) {
  if (undecodable == 0 || options_.format == OutputFormat::kJson) return;
  err_ << "zevdir: " << undecodable << " stored value" << (undecodable == 1 ? "" : "s")
       << " did not decode and " << (undecodable == 1 ? "was" : "were") << " skipped\n";
}

std::string Printer::writeDER(const std::string& stem, std::size_t index,
                              const ZEVASNObject& object) {
  std::filesystem::path dir(options_.outDir);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  std::string path = (dir / (stem + "-" + std::to_string(index) + ".der")).string();
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  const zev09000003::ZEVFastBuffer& der = object.getDEREncoding();
  file.write(reinterpret_cast<const char*>(der.getValue()),
             static_cast<std::streamsize>(der.getLength()));
  if (!file.flush()) throw std::runtime_error("cannot write " + path);
  return path;
}

void Printer::certificates(const std::string& command, const std::string& subject,
                           const ZEVASNCertificateContainer& certs, std::size_t undecodable) {
  listObjects(options_, out_, command, subject, certs, "certificate", "certificates", undecodable,
              [this](std::size_t i, const ZEVASNObject& o) { return writeDER("cert", i, o); });
  undecodableNote(undecodable);
}

void Printer::revocationLists(const std::string& command, const std::string& subject,
                              const ZEVASNCRLContainer& lists, std::size_t undecodable) {
  const char* stem = command == "arls" ? "arl" : "crl";
  listObjects(options_, out_, command, subject, lists, "revocation list", "revocation_lists",
              undecodable,
              [this, stem](std::size_t i, const ZEVASNObject& o) { return writeDER(stem, i, o); });
  undecodableNote(undecodable);
}

}  // namespace zevdir
