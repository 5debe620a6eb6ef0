#include "times.h"

#include <cctype>
#include <cstdio>
#include <ctime>

#include "options.h"
#include "zevasn.h"

namespace zevdir {
namespace {

using zev09000003::ZEVASNUtility;

// The date of a day counted from 1970-01-01 (the inverse of ZEVASNUtility::daysFromCivil).
void civilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
}

// Reads exactly n digits at pos.
bool digits(const std::string& text, std::size_t& pos, std::size_t n, long long& value) {
  value = 0;
  for (std::size_t i = 0; i < n; ++i, ++pos) {
    if (pos >= text.size() || !std::isdigit(static_cast<unsigned char>(text[pos]))) return false;
    value = value * 10 + (text[pos] - '0');
  }
  return true;
}

[[noreturn]] void bad(const std::string& text, const std::string& why) {
  throw UsageError("--at \"" + text + "\" is not a time (RFC 3339, e.g. 2026-12-07T10:00:00Z, " +
                   "or YYYYMMDDHHMMSSZ): " + why);
}

}  // namespace

EpochSeconds parseTime(const std::string& text) {
  std::size_t pos = 0;
  long long year, month, day, hour, minute, second;
  bool rfc3339 = text.size() > 4 && text[4] == '-';
  auto expect = [&](char c, const char* where) {
    if (pos >= text.size() || std::toupper(static_cast<unsigned char>(text[pos])) != c) {
      bad(text, std::string("'") + c + "' expected " + where);
    }
    ++pos;
  };
  if (!digits(text, pos, 4, year)) bad(text, "four digits of the year expected");
  if (rfc3339) expect('-', "after the year");
  if (!digits(text, pos, 2, month)) bad(text, "two digits of the month expected");
  if (rfc3339) expect('-', "after the month");
  if (!digits(text, pos, 2, day)) bad(text, "two digits of the day expected");
  if (rfc3339) expect('T', "between the date and the time");
  if (!digits(text, pos, 2, hour)) bad(text, "two digits of the hour expected");
  if (rfc3339) expect(':', "after the hour");
  if (!digits(text, pos, 2, minute)) bad(text, "two digits of the minutes expected");
  if (rfc3339) expect(':', "after the minutes");
  if (!digits(text, pos, 2, second)) bad(text, "two digits of the seconds expected");
  if (month < 1 || month > 12) bad(text, "no month " + std::to_string(month));
  if (day < 1 || day > ZEVASNUtility::daysInMonth(year, static_cast<unsigned>(month))) {
    bad(text, "no day " + std::to_string(day) + " in that month");
  }
  if (hour > 23 || minute > 59 || second > 59) bad(text, "hour, minute or second out of range");
  long long offset = 0;
  if (rfc3339 && pos < text.size() && text[pos] == '.') {
    ++pos;
    std::size_t start = pos;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) ++pos;
    if (pos == start) bad(text, "digits expected after the decimal point");
  }
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-') && rfc3339) {
    int sign = text[pos] == '-' ? -1 : 1;
    ++pos;
    long long oh, om;
    if (!digits(text, pos, 2, oh)) bad(text, "two digits of the offset's hours expected");
    expect(':', "in the offset");
    if (!digits(text, pos, 2, om)) bad(text, "two digits of the offset's minutes expected");
    if (oh > 23 || om > 59) bad(text, "offset out of range");
    offset = sign * (oh * 3600 + om * 60);
  } else {
    expect('Z', "at the end (the time must say its zone)");
  }
  if (pos != text.size()) bad(text, "unexpected \"" + text.substr(pos) + "\" at the end");
  return ZEVASNUtility::daysFromCivil(year, static_cast<unsigned>(month),
                                      static_cast<unsigned>(day)) *
             86400 +
         hour * 3600 + minute * 60 + second - offset;
}

std::string formatTime(EpochSeconds time) {
  long long days = time >= 0 ? time / 86400 : -((-time + 86399) / 86400);
  long long rest = time - days * 86400;
  long long year;
  unsigned month, day;
  civilFromDays(days, year, month, day);
  char text[96];  // room for any year the type holds
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", year, month, day,
                rest / 3600, rest / 60 % 60, rest % 60);
  return text;
}

EpochSeconds timeNow() { return static_cast<EpochSeconds>(std::time(nullptr)); }

}  // namespace zevdir
