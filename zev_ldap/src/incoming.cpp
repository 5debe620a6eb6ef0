// The read layer under every connection of ours: it follows the framing of the incoming
// messages to name the failures OpenLDAP reports alike, and bounds each read by the deadline
// of the call that waits.
#include "incoming.h"

#include <lber.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>

#include "netio.h"
#include "zevldapcodes.h"

namespace {

// OpenLDAP reports a message over the incoming cap, a malformed message header and a server
// that closed the connection all alike: "server down" (or "local error" for a message that
// is not an LDAP message), which callers retry. To name the cause, every connection gets a
// read layer of ours above the transport (TLS included) that follows the framing of the
// incoming messages - tag, length, content - without copying anything, and notes a header
// that declares more than the cap, or that OpenLDAP refuses, for the call that is waiting.

// What the read layer saw during the current call of this thread. The reads happen inside
// the call that waits for an answer, on its thread, so a thread-local note cannot be
// another call's.
struct IncomingNote {
  uint64_t oversized = 0;   // declared length of a message over the cap, 0 when none
  ber_len_t cap = 0;        // the cap it was over
  bool malformed = false;   // a header that is no LDAP message's
};
thread_local IncomingNote tIncoming;

// When the call that is reading must end, for the read layer (none: it may wait for ever).
struct ReadDeadline {
  bool set = false;
  std::chrono::steady_clock::time_point at;
};
thread_local ReadDeadline tDeadline;

// The last message over the cap in this process, for zev_ldap_err2string's text.
std::atomic<uint64_t> gLastOversized{0};
std::atomic<uint64_t> gLastCap{0};

// The framing of the incoming byte stream of one connection.
struct Framing {
  enum Phase { kTag, kTagMore, kLength, kLengthBytes, kContent, kLost };
  Phase phase = kTag;
  bool ldapTag = false;  // the message's tag is SEQUENCE (0x30), as for every LDAP message
  unsigned tagBytes = 0;
  unsigned lengthBytes = 0;  // length bytes announced
  unsigned lengthLeft = 0;   // length bytes still to come
  uint64_t length = 0;
  uint64_t remaining = 0;  // content bytes still to come
};

// A header is complete: compare it with the cap (OpenLDAP's own, read from the sockbuf so the
// two never disagree) and with what OpenLDAP accepts (a non-zero length in at most 4 bytes).
void headerDone(Sockbuf* sb, Framing* f) {
  ber_len_t cap = 0;
  ber_sockbuf_ctrl(sb, LBER_SB_OPT_GET_MAX_INCOMING, &cap);
  if (cap != 0 && f->length > cap) {
    tIncoming.oversized = f->length;  // 4 GiB and more do not fit a 32-bit ber_len_t
    tIncoming.cap = cap;
    gLastOversized = f->length;
    gLastCap = cap;
    f->phase = Framing::kLost;
    return;
  }
  if (!f->ldapTag || f->length == 0 || f->lengthBytes > 4) {
    tIncoming.malformed = true;
    f->phase = Framing::kLost;
    return;
  }
  f->remaining = f->length;
  f->phase = Framing::kContent;
}

void follow(Sockbuf* sb, Framing* f, const unsigned char* p, size_t n) {
  while (n > 0) {
    switch (f->phase) {
      case Framing::kTag:
        f->ldapTag = *p == 0x30;
        f->tagBytes = 1;
        f->phase = (*p & 0x1f) == 0x1f ? Framing::kTagMore : Framing::kLength;
        ++p, --n;
        break;
      case Framing::kTagMore:
        ++f->tagBytes;
        if ((*p & 0x80) == 0) {
          f->phase = Framing::kLength;
        } else if (f->tagBytes >= 8) {  // a tag that goes on beyond 8 bytes: OpenLDAP stops
          tIncoming.malformed = true;
          f->phase = Framing::kLost;
        }
        ++p, --n;
        break;
      case Framing::kLength:
        f->length = *p & 0x7f;
        if ((*p & 0x80) == 0) {
          f->lengthBytes = 0;
          ++p, --n;
          headerDone(sb, f);
          break;
        }
        f->lengthBytes = f->lengthLeft = *p & 0x7f;
        f->length = 0;
        ++p, --n;
        if (f->lengthBytes == 0 || f->lengthBytes > 8) {  // indefinite, or beyond 64 bits
          tIncoming.malformed = true;
          f->phase = Framing::kLost;
        } else {
          f->phase = Framing::kLengthBytes;
        }
        break;
      case Framing::kLengthBytes:
        f->length = (f->length << 8) | *p;
        ++p, --n;
        if (--f->lengthLeft == 0) headerDone(sb, f);
        break;
      case Framing::kContent: {
        uint64_t take = f->remaining < n ? f->remaining : n;
        f->remaining -= take;
        p += take;
        n -= static_cast<size_t>(take);
        if (f->remaining == 0) f->phase = Framing::kTag;
        break;
      }
      case Framing::kLost:
        // OpenLDAP drops the connection after such a header; nothing after it is framed.
        return;
    }
  }
}

int framingSetup(Sockbuf_IO_Desc* sbiod, void* /*arg*/) {
  sbiod->sbiod_pvt = new (std::nothrow) Framing();
  return sbiod->sbiod_pvt != nullptr ? 0 : -1;
}

int framingRemove(Sockbuf_IO_Desc* sbiod) {
  delete static_cast<Framing*>(sbiod->sbiod_pvt);
  sbiod->sbiod_pvt = nullptr;
  return 0;
}

int framingCtrl(Sockbuf_IO_Desc* sbiod, int option, void* arg) {
  return LBER_SBIOD_CTRL_NEXT(sbiod, option, arg);
}

// Waits until the connection has something to read, at most until the calling call's
// deadline. OpenLDAP polls before it reads, but its sockets block, and once it has read part
// of a message it may read again on an earlier poll's word: a server that stops in the middle
// of a message would hold that read, and the call, for ever. False when the deadline passed.
bool readableInTime(Sockbuf_IO_Desc* sbiod) {
  if (!tDeadline.set) return true;
  // Bytes already decrypted by a TLS layer below are there without the socket.
  if (LBER_SBIOD_CTRL_NEXT(sbiod, LBER_SB_OPT_DATA_READY, nullptr) > 0) return true;
  ber_socket_t fd = -1;
  if (ber_sockbuf_ctrl(sbiod->sbiod_sb, LBER_SB_OPT_GET_FD, &fd) != 1 || fd < 0) return true;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        tDeadline.at - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p = {static_cast<zevldap::NetSocket>(fd), POLLIN, 0};
    int ready = zevldap::netPoll(&p, 1, static_cast<int>(left.count()));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (!zevldap::netInterrupted()) return true;  // the read reports what is wrong
  }
}

ber_slen_t framingRead(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
  if (!readableInTime(sbiod)) {
    // What a non-blocking socket says: OpenLDAP goes back to its own wait, whose time is up.
    zevldap::netSetWouldBlock();
    return -1;
  }
  ber_slen_t got = LBER_SBIOD_READ_NEXT(sbiod, buf, len);
  if (got > 0) {
    // Reading may not change errno: OpenLDAP looks at it after a short read.
    int saved = errno;
    follow(sbiod->sbiod_sb, static_cast<Framing*>(sbiod->sbiod_pvt),
           static_cast<const unsigned char*>(buf), static_cast<size_t>(got));
    errno = saved;
  }
  return got;
}

ber_slen_t framingWrite(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
  return LBER_SBIOD_WRITE_NEXT(sbiod, buf, len);
}

// No close of its own: OpenLDAP closes each layer in turn.
Sockbuf_IO gFramingIO = {framingSetup, framingRemove, framingCtrl,
                         framingRead,  framingWrite,  nullptr};

// Called by OpenLDAP for each connection it opens for a session, before TLS starts on it; the
// layer sits above TLS whatever the order, since layers are kept sorted by level.
int addFraming(LDAP* /*ld*/, Sockbuf* sb, LDAPURLDesc* /*srv*/, struct sockaddr* /*addr*/,
               struct ldap_conncb* /*ctx*/) {
  return ber_sockbuf_add_io(sb, &gFramingIO, LBER_SBIOD_LEVEL_APPLICATION, nullptr) == 0
             ? 0
             : LDAP_NO_MEMORY;
}

void dropFraming(LDAP* /*ld*/, Sockbuf* /*sb*/, struct ldap_conncb* /*ctx*/) {
  // The layer goes with the connection's sockbuf.
}

ldap_conncb gFramingCallbacks = {addFraming, dropFraming, nullptr};

}  // namespace

namespace zevldap {

ReadingSpan::ReadingSpan(const struct timeval* limit) {
  tIncoming = IncomingNote();
  tDeadline = ReadDeadline();
  if (limit != nullptr && (limit->tv_sec > 0 || limit->tv_usec > 0)) {
    tDeadline.set = true;
    tDeadline.at = std::chrono::steady_clock::now() + std::chrono::seconds(limit->tv_sec) +
                   std::chrono::microseconds(limit->tv_usec);
  }
}

ReadingSpan::~ReadingSpan() { tDeadline = ReadDeadline(); }

int namedIncomingFailure(LDAP* ld, int rc) {
  if (rc != LDAP_SERVER_DOWN && rc != LDAP_LOCAL_ERROR) return rc;
  int named = rc;
  if (tIncoming.oversized != 0) {
    named = ZEV_LDAP_INCOMING_TOO_LARGE;
  } else if (tIncoming.malformed) {
    named = LDAP_DECODING_ERROR;
  }
  if (named != rc) ldap_set_option(ld, LDAP_OPT_RESULT_CODE, &named);
  return named;
}

ldap_conncb* readLayerCallbacks() { return &gFramingCallbacks; }

bool lastOversized(uint64_t* length, uint64_t* cap) {
  *length = gLastOversized;
  if (*length == 0) return false;
  *cap = gLastCap;
  return true;
}

}  // namespace zevldap
