// Test PKIs, made once per process by scripts/make-test-pki and scripts/make-test-chain-pki (the
// openssl command, never the toolkit's own code) in temporary folders removed at exit. Under
// Wine the scripts run on the Linux side and the files are read through drive Z:.
#ifndef TESTS_SUPPORT_TESTPKI_H
#define TESTS_SUPPORT_TESTPKI_H

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/platform.h"

namespace testpki {

typedef std::vector<unsigned char> Bytes;

class Material {
 public:
  const std::string& dir() const { return dir_.path(); }
  std::string path(const std::string& file) const { return dir_.file(file); }
  Bytes der(const std::string& name) const { return read(name + ".der"); }  // "ca", "crl", ...
  std::string pem(const std::string& name) const {
    Bytes b = read(name + ".pem");
    return std::string(b.begin(), b.end());
  }
  // A value of the PKI's "times" file (seconds since the epoch), e.g. "NOW".
  long long time(const std::string& key) const {
    Bytes b = read("times");
    std::string text(b.begin(), b.end());
    std::size_t at = text.find("\n" + key + "=");
    if (text.compare(0, key.size() + 1, key + "=") == 0)
      at = 0;
    else if (at != std::string::npos)
      ++at;
    if (at == std::string::npos) throw std::runtime_error("no " + key + " in the PKI's times");
    return std::stoll(text.substr(at + key.size() + 1));
  }

 private:
  friend const Material& get();
  friend const Material& chain(int deadPort);
  explicit Material(const std::string& script, const std::string& arguments = "")
      : dir_("zevpki.") {
    std::string cmd = testsupport::shellQuoted(ZEV_SOURCE_DIR "/scripts/" + script) + " " +
                      testsupport::shellQuoted(dir_.path()) + " " + arguments;
    if (testsupport::runShell(cmd).status != 0) throw std::runtime_error(script + " failed");
  }
  Bytes read(const std::string& file) const {
    std::ifstream in(path(file), std::ios::binary);
    if (!in) throw std::runtime_error("missing test PKI file " + file);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  testsupport::TempDir dir_;
};

inline const Material& get() {
  static const Material material("make-test-pki");
  return material;
}

// The root -> intermediate -> end entity PKI of scripts/make-test-chain-pki, made on the first
// call; deadPort (of that call) is where leaf-dead's distribution point points.
inline const Material& chain(int deadPort = 9) {
  static const Material material("make-test-chain-pki", std::to_string(deadPort));
  return material;
}

// Bare Base64 of bytes, in lines of 64 characters unless lineBreaks is false.
inline std::string toBase64(const Bytes& bytes, bool lineBreaks = true) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    unsigned v = 0;
    for (size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? bytes[i + k] : 0);
    for (size_t k = 0; k < 4; ++k) out += k <= n ? a[(v >> (18 - 6 * k)) & 63] : '=';
    if (lineBreaks && (out.size() % 65 == 64 || i + 3 >= bytes.size())) out += '\n';
  }
  return out;
}

inline std::string toHex(const Bytes& bytes, bool upper = true) {
  const char* d = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += std::string{d[c >> 4], d[c & 15]};
  return out;
}

}  // namespace testpki

#endif
