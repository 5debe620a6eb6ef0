// What the read layer under every connection of ours tells the rest of the library: the span
// of a call that reads answers (with its time limit), and the code of a failure it explains.
#ifndef ZEV_LDAP_INCOMING_H
#define ZEV_LDAP_INCOMING_H

#include <ldap.h>

#include <cstdint>

namespace zevldap {

// The span of one call that reads answers, with the time it may take (null or zero: no
// limit): nothing seen yet when it starts, and no deadline left behind when it ends, for a
// later read outside such a span must not find an old deadline passed.
class ReadingSpan {
 public:
  explicit ReadingSpan(const struct timeval* limit);
  ~ReadingSpan();
  ReadingSpan(const ReadingSpan&) = delete;
  ReadingSpan& operator=(const ReadingSpan&) = delete;
};

// At the end of such a span: a message over the cap becomes ZEV_LDAP_INCOMING_TOO_LARGE and a
// header that is no LDAP message's LDAP_DECODING_ERROR (81 and 82 otherwise pass unchanged),
// and the session's result code says the same. Other codes pass unchanged.
int namedIncomingFailure(LDAP* ld, int rc);

// The connection callbacks that put the read layer on each connection a session opens (for
// LDAP_OPT_CONNECT_CB).
ldap_conncb* readLayerCallbacks();

// The declared length of the last message over the cap in this process, and the cap it was
// over; false when there has been none.
bool lastOversized(uint64_t* length, uint64_t* cap);

}  // namespace zevldap

#endif
