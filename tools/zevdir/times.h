// Times on zevdir's command line and in its output: seconds since the epoch, UTC.
#ifndef TOOLS_ZEVDIR_TIMES_H
#define TOOLS_ZEVDIR_TIMES_H

#include <string>

namespace zevdir {

typedef long long EpochSeconds;

// Parses RFC 3339 ("2026-12-07T10:00:00Z", "2026-12-07T11:00:00+01:00", fractions of a second
// dropped) or the ASN.1 form "20261207100000Z". Throws UsageError naming the text and the
// part that is wrong.
EpochSeconds parseTime(const std::string& text);

// RFC 3339 in UTC: "2026-12-07T10:00:00Z".
std::string formatTime(EpochSeconds time);

// The current time.
EpochSeconds timeNow();

}  // namespace zevdir

#endif
