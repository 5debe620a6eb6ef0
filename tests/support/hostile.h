// A loopback LDAP server of our own that misbehaves on purpose, for the failures slapd never
// shows: it answers every bind with success and every search with the bytes it was given, in
// the manner its Delivery says. It counts the connections it accepted, so that a test can
// tell a retry from none. One thread serves one connection at a time; the destructor stops it.
#ifndef TESTS_SUPPORT_HOSTILE_H
#define TESTS_SUPPORT_HOSTILE_H

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/sockets.h"

namespace slapdtest {


enum class Delivery {
  kWhole,   // the bytes, then the connection stays open
  kCut,     // the bytes, then the connection is closed
  kDrip,    // the bytes one at a time, half a second apart
  kSilent,  // nothing, the connection stays open
};

class HostileServer {
 public:
  HostileServer(Delivery delivery, std::string answer)
      : delivery_(delivery), answer_(std::move(answer)), fd_(listenOnLoopback(&port_)) {
    thread_ = std::thread([this] { run(); });
  }
  ~HostileServer() {
    stop_ = true;
    thread_.join();
    closeSocket(fd_);
  }
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  int port() const { return port_; }
  int connections() const { return connections_; }

  // BER: one element, and an LDAPMessage of message id 2 (the first search after a bind).
  static std::string tlv(int tag, const std::string& content) {
    std::string length;
    for (std::size_t n = content.size(); n != 0; n >>= 8) {
      length.insert(length.begin(), static_cast<char>(n & 0xff));
    }
    if (content.size() >= 0x80) {
      length.insert(length.begin(), static_cast<char>(0x80 | length.size()));
    } else {
      length = std::string(1, static_cast<char>(content.size()));
    }
    return static_cast<char>(tag) + length + content;
  }
  static std::string message(const std::string& op) { return tlv(0x30, tlv(0x02, "\x02") + op); }
  // A SearchResultEntry whose one value is 2000 bytes.
  static std::string largeEntry() {
    std::string attribute = tlv(0x04, "description") + tlv(0x31, tlv(0x04, std::string(2000, 'x')));
    return message(tlv(0x64, tlv(0x04, "cn=Hostile") + tlv(0x30, tlv(0x30, attribute))));
  }
  static std::string searchDone() { return message(tlv(0x65, success())); }

 private:
  static std::string success() {
    return tlv(0x0a, std::string(1, '\0')) + tlv(0x04, "") + tlv(0x04, "");
  }

  // Waits up to 100 ms for fd to be readable.
  static bool readable(Socket fd) {
    pollfd p = {fd, POLLIN, 0};
    return pollSockets(&p, 1, 100) > 0;
  }
  static bool send(Socket fd, const std::string& bytes) {
    return ::send(fd, bytes.data(), static_cast<int>(bytes.size()), kSendFlags) ==
           static_cast<int>(bytes.size());
  }

  void run() {
    while (!stop_) {
      if (!readable(fd_)) continue;
      Socket connection = accept(fd_, nullptr, nullptr);
      if (connection == kNoSocket) continue;
      ++connections_;
      serve(connection);
      closeSocket(connection);
    }
  }

  // Answers requests until the client leaves or the server stops. Our clients' requests are
  // short: 0x30, a length in at most five bytes, the message id, the operation's tag.
  void serve(Socket fd) {
    std::string in;
    while (!stop_) {
      if (!readable(fd)) continue;
      char buffer[4096];
      auto got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      in.append(buffer, static_cast<std::size_t>(got));
      for (;;) {
        std::size_t header = 2, size = in.size() >= 2 ? static_cast<unsigned char>(in[1]) : 0;
        if (size & 0x80) {
          header += size & 0x7f;
          size = 0;
          for (std::size_t i = 2; i < header && i < in.size(); ++i) {
            size = size << 8 | static_cast<unsigned char>(in[i]);
          }
        }
        if (in.size() < 2 || in.size() < header + size) break;
        std::string request = in.substr(header, size);
        in.erase(0, header + size);
        std::size_t id = static_cast<unsigned char>(request[1]);
        unsigned char op = static_cast<unsigned char>(request[2 + id]);
        if (op == 0x60 && !send(fd, tlv(0x30, request.substr(0, 2 + id) + tlv(0x61, success())))) {
          return;  // a bind, answered with the request's own id
        }
        if (op == 0x63 && !answerSearch(fd)) return;
      }
    }
  }

  // False when the connection is to be closed.
  bool answerSearch(Socket fd) {
    switch (delivery_) {
      case Delivery::kWhole:
        return send(fd, answer_);
      case Delivery::kCut:
        send(fd, answer_);
        return false;
      case Delivery::kDrip:
        for (char c : answer_) {
          if (!send(fd, std::string(1, c))) return false;
          for (int i = 0; i < 5; ++i) {
            if (stop_) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
          }
        }
        return true;
      case Delivery::kSilent:
        return true;
    }
    return true;
  }

  SocketsStarted started_;
  const Delivery delivery_;
  const std::string answer_;
  int port_ = 0;  // before the socket, which sets it
  Socket fd_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

}  // namespace slapdtest

#endif
