#include "engines/fat/fat_directory.h"

#include "platform/time_util.h"

namespace velmira {
namespace {

// Long-name sequences longer than this many parts are taken for noise: 20
// parts of 13 characters hold the longest name, 255 UTF-16 characters.
constexpr uint8_t kMaxLongNameSequence = 20;

// Entries of live files must carry timestamps inside this window.
uint64_t FileTimeOf(int year) {
  CivilTime c;
  c.year = year;
  uint64_t ft = 0;
  (void)FileTimeFromCivil(c, ft);  // January 1 of these years is always a valid date
  return ft;
}

bool TimeInWindow(uint64_t ft) {
  static const uint64_t kEarliest = FileTimeOf(1990);
  static const uint64_t kLatest = FileTimeOf(2050);
  return ft != 0 && ft >= kEarliest && ft <= kLatest;
}

// A "." entry at `offset` followed by a ".." entry, both folders of size 0,
// with the same times.
bool IsDotPairAt(ByteView entries, size_t offset) {
  if (!entries.Has(offset, 2 * kFatEntryBytes)) return false;
  const FatEntryView dot(entries.Sub(offset, kFatEntryBytes));
  const FatEntryView dotDot(entries.Sub(offset + kFatEntryBytes, kFatEntryBytes));
  if (!dot.StartsWithDot() || !dot.IsFolder() || dot.Size() != 0) return false;
  if (!dotDot.IsDotDotName() || !dotDot.IsFolder() || dotDot.Size() != 0) return false;
  return ReadFatEntryTimes(dot) == ReadFatEntryTimes(dotDot);
}

// The name bytes of an entry that is not a long-name part are all clean
// (kCleanShortNameByte).
bool HasCleanShortName(FatEntryView e) {
  for (size_t i = 0; i < 11; ++i)
    if (kCleanShortNameByte[e.NameByte(i)] == 0) return false;
  return true;
}

// The stricter short-name rules of raw directory sectors: no control byte or
// "." in the base or the extension, blanks only as trailing padding of each,
// and double-byte characters complete.
bool IsPlausibleShortName(FatEntryView e) {
  auto fieldOk = [&](size_t from, size_t to) {
    bool blankSeen = false;
    for (size_t i = from; i < to; ++i) {
      const uint8_t b = e.NameByte(i);
      if (b < 0x20 || b == '.') return false;
      if (b == ' ') {
        blankSeen = true;
      } else if (blankSeen) {
        return false;
      }
    }
    return true;
  };
  if (!fieldOk(0, 8) || !fieldOk(8, 11)) return false;
  // A lead byte of a double-byte character needs its trail byte.
  size_t i = e.IsDeleted() ? 1 : 0;
  while (i <= 9) {
    if (e.NameByte(i) >= 0x80) {
      if (e.NameByte(i + 1) < 0x80) return false;
      i += 2;
    } else {
      ++i;
    }
  }
  return true;
}

bool IsZeroFrom(ByteView buffer, size_t from) {
  for (size_t i = from; i < buffer.size(); ++i)
    if (buffer.data()[i] != 0) return false;
  return true;
}

}  // namespace

uint64_t FatDateTimeToFileTime(uint16_t date, uint16_t time, uint8_t hundredths) {
  CivilTime c;
  c.year = 1980 + (date >> 9);
  c.month = (date >> 5) & 0x0F;
  c.day = date & 0x1F;
  c.hour = time >> 11;
  c.minute = (time >> 5) & 0x3F;
  // Hundredths count 10 ms units; 100 and more carry into the seconds.
  c.second = (time & 0x1F) * 2 + hundredths / 100;
  c.millisecond = (hundredths % 100) * 10;
  uint64_t ft = 0;
  if (!FileTimeFromCivil(c, ft)) return 0;
  return ft;
}

FatEntryTimes ReadFatEntryTimes(FatEntryView entry) {
  FatEntryTimes t;
  t.created = FatDateTimeToFileTime(entry.CreationDate(), entry.CreationTime(), entry.CreationHundredths());
  t.accessed = FatDateTimeToFileTime(entry.AccessDate(), 0);
  t.modified = FatDateTimeToFileTime(entry.WriteDate(), entry.WriteTime());
  return t;
}

uint8_t ShortNameChecksum(FatEntryView entry) {
  uint8_t sum = 0;
  for (size_t i = 0; i < 11; ++i)
    sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + entry.NameByte(i));
  return sum;
}

bool IsValidFatEntry(ByteView entries, size_t offset) {
  if (!entries.Has(offset, kFatEntryBytes)) return false;
  if (IsDotPairAt(entries, offset)) return true;

  const FatEntryView e(entries.Sub(offset, kFatEntryBytes));
  const uint8_t attr = e.Attributes();
  // The sweep asks this of every sector: the checks that turn most other
  // data away cheaply come first, the times (a calendar conversion) last.
  if (attr >= 0x40) return false;
  const bool folder = e.IsFolder();
  const bool longName = e.IsLongNamePart();
  const bool label = e.IsVolumeLabel();
  const bool deleted = e.IsDeleted();

  if (!folder && e.Size() == 0 && e.FirstCluster() != 0) return false;
  if (label && (e.Size() != 0 || e.FirstCluster() != 0)) return false;
  if (!label && !longName && (attr & kFatVolumeLabel) != 0) return false;
  if (folder && (attr & kFatReadOnly) != 0) return false;

  if (longName) {
    if (!deleted && e.SequenceNumber() > kMaxLongNameSequence) return false;
  } else {
    if (!label && !HasCleanShortName(e)) return false;
    if (!deleted && !folder) {
      const FatEntryTimes t = ReadFatEntryTimes(e);
      if (!TimeInWindow(t.created) || !TimeInWindow(t.accessed) || !TimeInWindow(t.modified)) return false;
    }
  }

  const bool shapeOk = deleted || !folder || e.Size() == 0;
  const bool clusterOk = !longName || e.ClusterLow() == 0;
  // Files without the archive bit (attribute 0, read-only, hidden, system)
  // are files all the same; the label bit outside a label or a long-name
  // part and bits 0x40 and up were refused above.
  return shapeOk && clusterOk;
}

bool IsDotDirectorySector(ByteView sector) {
  return IsDotPairAt(sector, 0);
}

bool IsDirectorySector(ByteView buffer) {
  const size_t count = buffer.size() / kFatEntryBytes;
  for (size_t i = 0; i < count; ++i) {
    const size_t off = i * kFatEntryBytes;
    const ByteView bytes = buffer.Sub(off, kFatEntryBytes);
    const FatEntryView e(bytes);

    if (e.IsEndMark()) return i != 0 && IsZeroFrom(buffer, off);
    if (!IsValidFatEntry(buffer, off)) return false;
    // A 16-byte pattern repeated twice is filler, not an entry.
    if (__builtin_memcmp(bytes.data() + 1, bytes.data() + 17, 14) == 0) return false;

    if (e.IsLongNamePart()) {
      const uint8_t checksum = e.LongNameChecksum();
      size_t j = i + 1;
      for (size_t further = 0; j < count && further < kMaxLongNameSequence; ++j, ++further) {
        const FatEntryView next(buffer.Sub(j * kFatEntryBytes, kFatEntryBytes));
        if (!next.IsLongNamePart() || next.LongNameChecksum() != checksum) break;
      }
      // The run may continue in the next sector.
      if (j >= count) continue;
      const FatEntryView owner(buffer.Sub(j * kFatEntryBytes, kFatEntryBytes));
      if (!IsValidFatEntry(buffer, j * kFatEntryBytes)) return false;
      const bool ownsRun =
          owner.IsDeleted() || (!owner.IsLongNamePart() && ShortNameChecksum(owner) == checksum);
      if (!ownsRun) return false;
    } else {
      if (!IsPlausibleShortName(e)) return false;
      if (!e.IsVolumeLabel() &&
          FatDateTimeToFileTime(e.CreationDate(), e.CreationTime(), e.CreationHundredths()) == 0)
        return false;
    }
  }
  return true;
}

}  // namespace velmira
