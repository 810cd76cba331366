// FILETIME values (100 ns units since 1601-01-01) and the civil-time,
// FAT-word and tick-count conversions built on them.
#pragma once

#include <cstdint>
#include <string>

namespace velmira {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
inline constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;

struct CivilTime {
  int year = 1601;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int dayOfWeek = 1;  // 0 = Sunday
};

// Civil time to FILETIME, with no zone adjustment. Returns false (and 0) for
// fields out of range or dates before 1601.
[[nodiscard]] bool FileTimeFromCivil(const CivilTime& civil, uint64_t& fileTime);
[[nodiscard]] CivilTime CivilFromFileTime(uint64_t fileTime);

[[nodiscard]] uint64_t FileTimeFromUnixSeconds(int64_t seconds);
[[nodiscard]] int64_t UnixSecondsFromFileTime(uint64_t fileTime);

// "YYYY-MM-DD hh:mm:ss" of a FILETIME as stored; empty for 0.
[[nodiscard]] std::string FileTimeText(uint64_t fileTime);

// The local wall-clock time now.
[[nodiscard]] CivilTime LocalTimeNow();

// Milliseconds of a monotonic clock (the tick count).
[[nodiscard]] uint64_t TickCountMs();

}  // namespace velmira
