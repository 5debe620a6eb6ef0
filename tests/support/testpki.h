// Test PKI for unit tests, made once per process by scripts/make-test-pki (the openssl
// command, never the toolkit's own code) in a fresh temporary folder that is removed at exit.
#ifndef TESTS_SUPPORT_TESTPKI_H
#define TESTS_SUPPORT_TESTPKI_H

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef ZEV_SOURCE_DIR
#error "ZEV_SOURCE_DIR must name the project's source folder"
#endif

namespace testpki {

typedef std::vector<unsigned char> Bytes;

class Material {
 public:
  // The folder with the files that make-test-pki lists.
  const std::string& dir() const { return dir_; }
  Bytes der(const std::string& name) const { return readBytes(name + ".der"); }  // "ca", "crl"
  std::string pem(const std::string& name) const {
    Bytes b = readBytes(name + ".pem");
    return std::string(b.begin(), b.end());
  }
  std::string path(const std::string& file) const { return dir_ + "/" + file; }

  static const Material& get() {
    static std::unique_ptr<Material> material(new Material());
    return *material;
  }
  ~Material() {
    if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
  }

 private:
  Material() {
    char tmpl[] = "/tmp/zevpki.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    std::string cmd = std::string(ZEV_SOURCE_DIR) + "/scripts/make-test-pki '" + dir_ + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("make-test-pki failed");
  }
  Bytes readBytes(const std::string& file) const {
    std::ifstream in(path(file), std::ios::binary);
    if (!in) throw std::runtime_error("missing test PKI file " + file);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::string dir_;
};

inline const Material& get() { return Material::get(); }

// Bare Base64 of bytes, broken into lines of 64 characters, as the directory may store it.
inline std::string toBase64(const Bytes& bytes, bool lineBreaks = true) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);  // bytes in this group
    unsigned v = 0;
    for (size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? bytes[i + k] : 0);
    for (size_t k = 0; k < 4; ++k) out += k <= n ? a[(v >> (18 - 6 * k)) & 63] : '=';
  }
  if (!lineBreaks) return out;
  std::string broken;
  for (size_t p = 0; p < out.size(); p += 64) broken += out.substr(p, 64) + "\n";
  return broken;
}

// Hex digits of bytes (upper case when upper is true).
inline std::string toHex(const Bytes& bytes, bool upper = true) {
  const char* d = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

}  // namespace testpki

#endif
