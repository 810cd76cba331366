#include "platform/time_util.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace velmira {
namespace {

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
}

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

constexpr int64_t kDaysFrom1601To1970 = 134774;

}  // namespace

bool FileTimeFromCivil(const CivilTime& c, uint64_t& fileTime) {
  fileTime = 0;
  if (c.year < 1601 || c.year > 30827 || c.month < 1 || c.month > 12 || c.day < 1 ||
      c.day > DaysInMonth(c.year, c.month) || c.hour < 0 || c.hour > 23 || c.minute < 0 || c.minute > 59 ||
      c.second < 0 || c.second > 59 || c.millisecond < 0 || c.millisecond > 999)
    return false;
  const int64_t days = DaysFromCivil(c.year, static_cast<unsigned>(c.month), static_cast<unsigned>(c.day)) +
                       kDaysFrom1601To1970;
  const int64_t secs = days * 86400 + c.hour * 3600 + c.minute * 60 + c.second;
  fileTime = static_cast<uint64_t>(secs) * 10000000ULL + static_cast<uint64_t>(c.millisecond) * 10000ULL;
  return true;
}

CivilTime CivilFromFileTime(uint64_t fileTime) {
  CivilTime c;
  const uint64_t totalMs = fileTime / 10000ULL;
  const auto days = static_cast<int64_t>(totalMs / 86400000ULL);
  const uint64_t msOfDay = totalMs % 86400000ULL;
  CivilFromDays(days - kDaysFrom1601To1970, c.year, c.month, c.day);
  c.hour = static_cast<int>(msOfDay / 3600000ULL);
  c.minute = static_cast<int>((msOfDay / 60000ULL) % 60);
  c.second = static_cast<int>((msOfDay / 1000ULL) % 60);
  c.millisecond = static_cast<int>(msOfDay % 1000ULL);
  c.dayOfWeek = static_cast<int>((days + 1) % 7);  // 1601-01-01 was a Monday
  return c;
}

uint64_t FileTimeFromUnixSeconds(int64_t seconds) {
  const int64_t ft = seconds * 10000000LL + static_cast<int64_t>(kFileTimeUnixEpoch);
  return ft < 0 ? 0 : static_cast<uint64_t>(ft);
}

int64_t UnixSecondsFromFileTime(uint64_t fileTime) {
  return (static_cast<int64_t>(fileTime / 10000000ULL)) -
         static_cast<int64_t>(kFileTimeUnixEpoch / 10000000ULL);
}

std::string FileTimeText(uint64_t fileTime) {
  if (fileTime == 0) return {};
  const CivilTime c = CivilFromFileTime(fileTime);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", c.year, c.month, c.day, c.hour, c.minute,
                c.second);
  return buf;
}

CivilTime LocalTimeNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  CivilTime c;
  c.year = tm.tm_year + 1900;
  c.month = tm.tm_mon + 1;
  c.day = tm.tm_mday;
  c.hour = tm.tm_hour;
  c.minute = tm.tm_min;
  c.second = tm.tm_sec;
  c.millisecond = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  c.dayOfWeek = tm.tm_wday;
  return c;
}

uint64_t TickCountMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace velmira
