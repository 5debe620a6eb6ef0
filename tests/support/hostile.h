// A loopback LDAP server of our own that misbehaves on purpose, for the failures slapd never
// shows: it answers every bind with success and answers every search the way its mode says.
// It counts the connections it accepted, so a test can tell a retry from none. One thread
// serves one connection at a time; the destructor stops it and closes everything.
#ifndef TESTS_SUPPORT_HOSTILE_H
#define TESTS_SUPPORT_HOSTILE_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace slapdtest {

enum class Hostility {
  kGarbage,       // answers with a BER element that is no LDAP message (an OCTET STRING)
  kLength4GiB,    // a message header that declares 4 GiB (five length bytes), then nothing
  kLength4GiBm1,  // one that declares 4 GiB - 1 (four length bytes), then nothing
  kLargeEntry,    // a well-formed entry of about 2 KB and the search's end
  kCut,           // the first half of that entry, then the connection is closed
  kDrip,          // that entry, one byte every half second
  kSilent,        // nothing, the connection stays open
  kAnswer,        // the bytes given to the constructor
};

class HostileServer {
 public:
  explicit HostileServer(Hostility mode, std::string answer = "")
      : mode_(mode), answer_(std::move(answer)), fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd_, 8) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      if (fd_ >= 0) close(fd_);
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~HostileServer() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  int port() const { return port_; }
  int connections() const { return connections_; }

  // The entry that kLargeEntry, kCut and kDrip send: a SearchResultEntry whose one value is
  // 2000 bytes, followed by a SearchResultDone.
  static std::string largeEntry(int id) {
    return entryMessage(id) + message(id, tlv(0x65, success()));
  }
  // The length that the entry's message header declares.
  static std::size_t largeEntryLength() {
    std::string m = entryMessage(1);
    unsigned char first = static_cast<unsigned char>(m[1]);
    return m.size() - 2 - (first & 0x80 ? first & 0x7f : 0);
  }

 private:
  static std::string entryMessage(int id) {
    std::string value(2000, 'x');
    std::string attribute = tlv(0x04, "description") + tlv(0x31, tlv(0x04, value));
    std::string entry = tlv(0x04, "cn=Hostile") + tlv(0x30, tlv(0x30, attribute));
    return message(id, tlv(0x64, entry));
  }
  static std::string length(std::size_t n) {
    if (n < 0x80) return std::string(1, static_cast<char>(n));
    std::string bytes;
    for (; n != 0; n >>= 8) bytes.insert(bytes.begin(), static_cast<char>(n & 0xff));
    return static_cast<char>(0x80 | bytes.size()) + bytes;
  }
  static std::string tlv(int tag, const std::string& content) {
    return static_cast<char>(tag) + length(content.size()) + content;
  }
  static std::string message(int id, const std::string& op) {
    std::string number;
    for (int v = id; number.empty() || v != 0; v >>= 8) {
      number.insert(number.begin(), static_cast<char>(v & 0xff));
    }
    if (number[0] & 0x80) number.insert(number.begin(), '\0');
    return tlv(0x30, tlv(0x02, number) + op);
  }
  static std::string success() {
    return tlv(0x0a, std::string(1, '\0')) + tlv(0x04, "") + tlv(0x04, "");
  }

  // Waits up to 100 ms for fd to be ready; false when it is not (yet).
  static bool ready(int fd, short events) {
    pollfd p = {fd, events, 0};
    return poll(&p, 1, 100) > 0;
  }

  void run() {
    while (!stop_) {
      if (!ready(fd_, POLLIN)) continue;
      int connection = accept(fd_, nullptr, nullptr);
      if (connection < 0) continue;
      ++connections_;
      serve(connection);
      close(connection);
    }
  }

  bool send(int fd, const std::string& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

  // Reads requests until the client leaves (or the server stops) and answers them.
  void serve(int fd) {
    std::string in;
    while (!stop_) {
      if (!ready(fd, POLLIN)) continue;
      char buffer[4096];
      ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      in.append(buffer, static_cast<std::size_t>(got));
      // Our clients send short messages: 0x30, a length of at most 0x84 form, then the id.
      while (in.size() >= 2) {
        std::size_t header = 2, size = static_cast<unsigned char>(in[1]);
        if (size & 0x80) {
          header += size & 0x7f;
          if (in.size() < header) break;
          size = 0;
          for (std::size_t i = 2; i < header; ++i)
            size = size << 8 | static_cast<unsigned char>(in[i]);
        }
        if (in.size() < header + size) break;
        std::string request = in.substr(header, size);
        in.erase(0, header + size);
        int id = 0;
        std::size_t idLength = static_cast<unsigned char>(request[1]);
        for (std::size_t i = 0; i < idLength; ++i)
          id = id << 8 | static_cast<unsigned char>(request[2 + i]);
        unsigned char op = static_cast<unsigned char>(request[2 + idLength]);
        if (op == 0x60) {  // bind
          if (!send(fd, message(id, tlv(0x61, success())))) return;
        } else if (op == 0x63 && !answerSearch(fd, id)) {  // search
          return;
        }
      }
    }
  }

  // False when the connection is to be closed.
  bool answerSearch(int fd, int id) {
    switch (mode_) {
      case Hostility::kGarbage:
        return send(fd, tlv(0x04, "not an LDAP message"));
      case Hostility::kLength4GiB:
        return send(fd, std::string("\x30\x85\x01\x00\x00\x00\x00\x02\x01", 9));
      case Hostility::kLength4GiBm1:
        return send(fd, std::string("\x30\x84\xff\xff\xff\xff\x02\x01", 8));
      case Hostility::kLargeEntry:
        return send(fd, largeEntry(id));
      case Hostility::kCut: {
        std::string entry = largeEntry(id);
        send(fd, entry.substr(0, entry.size() / 2));
        return false;
      }
      case Hostility::kDrip:
        for (char c : largeEntry(id)) {
          if (!send(fd, std::string(1, c))) return false;
          for (int i = 0; i < 5 && !stop_; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
          }
          if (stop_) return false;
        }
        return true;
      case Hostility::kSilent:
        return true;
      case Hostility::kAnswer:
        return send(fd, answer_);
    }
    return true;
  }

  const Hostility mode_;
  const std::string answer_;
  int fd_, port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

}  // namespace slapdtest

#endif
