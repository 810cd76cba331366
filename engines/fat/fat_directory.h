// FAT directory entries as the fast and the deep FAT engines read them: the
// 32-byte entry layout, the conversion of its date and time words, the entry
// validity test, and the tests that recognise a directory sector (or the first
// sector of a folder) among raw sectors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/byte_view.h"

namespace velmira {

inline constexpr size_t kFatEntryBytes = 32;

// Attribute bits of a directory entry (offset 11).
enum FatAttribute : uint8_t {
  kFatReadOnly = 0x01,
  kFatHidden = 0x02,
  kFatSystem = 0x04,
  kFatVolumeLabel = 0x08,
  kFatLongNamePart = 0x0F,  // the whole byte: a long-name part
  kFatFolder = 0x10,
  kFatArchive = 0x20,
};

inline constexpr uint8_t kFatDeletedMark = 0xE5;
// Bit of a long-name part's sequence byte that marks the last part.
inline constexpr uint8_t kFatLastLongNamePart = 0x40;
// UTF-16 characters in one long-name part.
inline constexpr size_t kFatLongNamePartChars = 13;

// One 32-byte entry read through a bounds-checked view; fields past the end of
// the view read as 0.
class FatEntryView {
 public:
  explicit FatEntryView(ByteView entry) : m_entry(entry) {}

  [[nodiscard]] ByteView Bytes() const { return m_entry; }
  [[nodiscard]] uint8_t FirstByte() const { return m_entry.U8At(0); }
  // One of the 11 bytes of the short name (0 to 7 the base, 8 to 10 the
  // extension).
  [[nodiscard]] uint8_t NameByte(size_t i) const { return i < 11 ? m_entry.U8At(i) : 0; }
  [[nodiscard]] uint8_t Attributes() const { return m_entry.U8At(11); }
  // A first byte of 0: this entry and all after it were never used.
  [[nodiscard]] bool IsEndMark() const { return FirstByte() == 0; }
  [[nodiscard]] bool IsDeleted() const { return FirstByte() == kFatDeletedMark; }
  // The names of a folder's first two entries: "." (a dot and a blank) for
  // the folder itself, ".." for its parent. A name that merely starts with a
  // dot is one of the two, as no other short name may.
  [[nodiscard]] bool StartsWithDot() const { return FirstByte() == '.'; }
  [[nodiscard]] bool IsDotName() const { return m_entry.Matches(0, ". "); }
  [[nodiscard]] bool IsDotDotName() const { return m_entry.Matches(0, ".."); }
  [[nodiscard]] bool IsFolder() const { return (Attributes() & kFatFolder) != 0; }
  [[nodiscard]] bool IsLongNamePart() const { return Attributes() == kFatLongNamePart; }
  [[nodiscard]] bool IsVolumeLabel() const { return Attributes() == kFatVolumeLabel; }
  [[nodiscard]] uint8_t CreationHundredths() const { return m_entry.U8At(13); }
  [[nodiscard]] uint16_t CreationTime() const { return m_entry.U16At(14); }
  [[nodiscard]] uint16_t CreationDate() const { return m_entry.U16At(16); }
  [[nodiscard]] uint16_t AccessDate() const { return m_entry.U16At(18); }
  [[nodiscard]] uint16_t ClusterHigh() const { return m_entry.U16At(20); }
  [[nodiscard]] uint16_t WriteTime() const { return m_entry.U16At(22); }
  [[nodiscard]] uint16_t WriteDate() const { return m_entry.U16At(24); }
  [[nodiscard]] uint16_t ClusterLow() const { return m_entry.U16At(26); }
  [[nodiscard]] uint32_t FirstCluster() const { return (uint32_t{ClusterHigh()} << 16) | ClusterLow(); }
  [[nodiscard]] uint32_t Size() const { return m_entry.U32At(28); }
  // Long-name parts: the sequence byte without the last-part bit, and the
  // checksum of the short name the part belongs to.
  [[nodiscard]] uint8_t SequenceNumber() const {
    return static_cast<uint8_t>(FirstByte() & ~kFatLastLongNamePart);
  }
  [[nodiscard]] uint8_t LongNameChecksum() const { return m_entry.U8At(13); }
  // Character i (0 to 12) of the 13 UTF-16 characters a long-name part holds.
  [[nodiscard]] char16_t LongNameChar(size_t i) const {
    static constexpr size_t kOffsets[kFatLongNamePartChars] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    return i < kFatLongNamePartChars ? static_cast<char16_t>(m_entry.U16At(kOffsets[i])) : char16_t{0};
  }

 private:
  ByteView m_entry;
};

// Entry `index` of a buffer of entries (32 bytes each); an entry cut short by
// the end of the buffer reads as zeros past it, one wholly outside as all
// zeros (an end mark).
[[nodiscard]] inline FatEntryView FatEntryAt(ByteView entries, size_t index) {
  if (index > entries.size() / kFatEntryBytes) return FatEntryView(ByteView());
  return FatEntryView(entries.Sub(index * kFatEntryBytes, kFatEntryBytes));
}

// True when the first two entries of the buffer are named "." and "..": the
// start of a folder, as the ".." walks and the searches for a lost folder's
// cluster test it (without the stricter checks of IsDotDirectorySector).
[[nodiscard]] inline bool StartsWithDotNames(ByteView sector) {
  return FatEntryAt(sector, 0).IsDotName() && FatEntryAt(sector, 1).IsDotDotName();
}

// The three timestamps of an entry as FILETIMEs (civil time as stored, no
// zone adjustment); a word pair that does not form a valid date and time
// gives 0.
struct FatEntryTimes {
  uint64_t created = 0;   // date at 16, time at 14, hundredths at 13
  uint64_t accessed = 0;  // date at 18, time 00:00:00
  uint64_t modified = 0;  // date at 24, time at 22

  friend bool operator==(const FatEntryTimes&, const FatEntryTimes&) = default;
};

// Converts a date word (day bits 0-4, month 5-8, year - 1980 9-15) and a time
// word (seconds / 2 bits 0-4, minutes 5-10, hours 11-15) to a FILETIME. The
// hundredths byte (0..199) adds whole seconds and milliseconds. Returns 0 for
// a date or time that does not exist (month 13, 30 February, 25:00, second 60).
[[nodiscard]] uint64_t FatDateTimeToFileTime(uint16_t date, uint16_t time, uint8_t hundredths = 0);

[[nodiscard]] FatEntryTimes ReadFatEntryTimes(FatEntryView entry);

// The checksum that long-name parts carry of their short entry's 11 name
// bytes. Bytes past the end of the view count as 0.
[[nodiscard]] uint8_t ShortNameChecksum(FatEntryView entry);

// The entry validity test: false for an entry a directory walk must skip as
// noise. `entries` is the buffer and `offset` the entry's position in it; the
// entry that follows (when present) takes part in recognising a "." / ".."
// pair. An entry that does not fit in the buffer is not valid.
[[nodiscard]] bool IsValidFatEntry(ByteView entries, size_t offset);

// True when the sector starts a folder: a "." entry and a ".." entry, both
// folders of size 0, whose created, accessed and modified times convert to
// the same values.
[[nodiscard]] bool IsDotDirectorySector(ByteView sector);

// True when the buffer looks like a piece of a FAT directory: every 32-byte
// entry up to the first end mark passes the validity test and the stricter
// checks of raw directory sectors (no repeated filler pattern, long-name runs
// that end in their short entry, clean short names with a creation time), and
// everything after the end mark is zero. A buffer shorter than one entry
// passes; one that begins with the end mark does not. A long-name run that
// reaches the end of the buffer passes, since its short entry lies in the
// next sector.
[[nodiscard]] bool IsDirectorySector(ByteView buffer);

// The first look of the two sector tests above, inline for the sweep that
// asks them of every sector: a sector either starts with a "." entry or its
// first entry is no end mark and has an attribute byte below 0x40
// (IsValidFatEntry refuses every other entry). False for most other data.
[[nodiscard]] inline bool MayBeDirectorySector(ByteView buffer) {
  if (buffer.size() < kFatEntryBytes) return true;
  const uint8_t first = buffer.data()[0];
  return first == '.' || (first != 0 && buffer.data()[11] < 0x40);
}

// 1 for the bytes a short name may hold: no control byte, no lower-case
// letter and none of the characters a short name may not contain. Bytes of
// 0x80 and above (code-page letters, the deleted mark) pass.
inline constexpr std::array<uint8_t, 256> kCleanShortNameByte = [] {
  std::array<uint8_t, 256> table{};
  for (unsigned b = 0x20; b < 256; ++b) table[b] = 1;
  for (unsigned b = 'a'; b <= 'z'; ++b) table[b] = 0;
  for (char c : {'"', '*', '.', ':', '<', '>', '?', '\\', '|'}) table[static_cast<uint8_t>(c)] = 0;
  return table;
}();

// The deep FAT sweep's first look at a sector, asked of every sector: false
// only when the sector neither starts a folder (".") nor can pass
// IsDirectorySector, whose first entry must be valid (IsValidFatEntry): no
// end mark, an attribute below 0x40 and, but for a long-name part or a
// label, no other label bit and a clean short name. Most data fails it on
// the attribute or the name, without a branch on each name byte.
[[nodiscard]] inline bool MayStartDirectorySector(ByteView sector) {
  if (sector.size() < kFatEntryBytes) return true;
  const uint8_t* p = sector.data();
  const uint8_t attr = p[11];
  if (p[0] == '.') return true;
  // Most data is turned away here, on its attribute byte.
  if (attr >= 0x40 || p[0] == 0) return false;
  if (attr == kFatLongNamePart || attr == kFatVolumeLabel) return true;
  if ((attr & kFatVolumeLabel) != 0) return false;
  uint8_t clean = 1;
  for (size_t i = 0; i < 11; ++i) clean &= kCleanShortNameByte[p[i]];
  return clean != 0;
}

}  // namespace velmira
