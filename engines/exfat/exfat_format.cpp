#include "engines/exfat/exfat_format.h"

#include <ctime>
#include <string_view>

#include "platform/text.h"
#include "platform/time_util.h"

namespace velmira {

bool IsExfatBootSector(ByteView s) {
  if (s.size() < 512 || !s.Matches(3, "EXFAT   ")) return false;
  if (s.U8At(510) != 0x55 || s.U8At(511) != 0xAA) return false;
  for (size_t i = 11; i < 64; ++i)
    if (s.U8At(i) != 0) return false;
  ExfatGeometry g;
  return ReadExfatGeometry(s, g);
}

bool ReadExfatGeometry(ByteView s, ExfatGeometry& g) {
  if (s.size() < 512 || !s.Matches(3, "EXFAT   ")) return false;
  const uint8_t bpsShift = s.U8At(108);
  const uint8_t spcShift = s.U8At(109);
  if (bpsShift < 9 || bpsShift > 12 || spcShift > 25 - bpsShift) return false;
  ExfatGeometry out;
  out.bytesPerSector = 1u << bpsShift;
  out.sectorsPerCluster = 1u << spcShift;
  out.volumeSectors = s.U64At(72);
  out.fatOffset = s.U32At(80);
  out.fatLength = s.U32At(84);
  out.heapOffset = s.U32At(88);
  out.clusterCount = s.U32At(92);
  out.rootCluster = s.U32At(96);
  out.volumeFlags = s.U16At(106);
  out.numberOfFats = s.U8At(110);
  if (out.numberOfFats != 1 && out.numberOfFats != 2) return false;
  if (out.fatOffset < 24 || out.fatLength == 0 || out.clusterCount == 0 || out.clusterCount > 0xFFFFFFF5u)
    return false;
  // The table must hold an entry for every cluster, and everything must lie
  // in order inside the volume.
  if (uint64_t{out.fatLength} * out.bytesPerSector / 4 < uint64_t{out.clusterCount} + 2) return false;
  if (uint64_t{out.fatOffset} + uint64_t{out.fatLength} * out.numberOfFats > out.heapOffset) return false;
  if (out.volumeSectors < out.heapOffset ||
      uint64_t{out.clusterCount} * out.sectorsPerCluster > out.volumeSectors - out.heapOffset)
    return false;
  if (!out.ValidCluster(out.rootCluster)) return false;
  g = out;
  return true;
}

uint32_t ExfatBootChecksum(ByteView region, uint32_t bps) {
  uint32_t sum = 0;
  const size_t n = size_t{bps} * 11;
  for (size_t i = 0; i < n && i < region.size(); ++i) {
    if (i == 106 || i == 107 || i == 112) continue;
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region.U8At(i);
  }
  return sum;
}

bool ExfatBootRegionValid(ByteView region, uint32_t bps) {
  if (bps < 512 || !region.Has(0, size_t{bps} * kExfatBootRegionSectors)) return false;
  if (!IsExfatBootSector(region.Sub(0, bps))) return false;
  const uint32_t sum = ExfatBootChecksum(region, bps);
  for (size_t off = size_t{bps} * 11; off < size_t{bps} * 12; off += 4)
    if (region.U32At(off) != sum) return false;
  return true;
}

uint64_t ExfatFileTime(uint32_t stamp, uint8_t tenMs, uint8_t utcOffset) {
  if (stamp == 0) return 0;
  CivilTime c;
  c.year = 1980 + static_cast<int>(stamp >> 25);
  c.month = static_cast<int>((stamp >> 21) & 0x0F);
  c.day = static_cast<int>((stamp >> 16) & 0x1F);
  c.hour = static_cast<int>((stamp >> 11) & 0x1F);
  c.minute = static_cast<int>((stamp >> 5) & 0x3F);
  c.second = static_cast<int>((stamp & 0x1F) * 2);
  if (c.month < 1 || c.month > 12 || c.day < 1 || c.hour > 23 || c.minute > 59 || c.second > 59) return 0;
  uint64_t civil = 0;
  if (!FileTimeFromCivil(c, civil)) return 0;
  if (tenMs < 200) civil += uint64_t{tenMs} * 100000;  // 10 ms in 100 ns units
  constexpr int64_t kQuarterHour = 15LL * 60 * 10000000;
  if (utcOffset & 0x80) {
    // A signed 7-bit count of quarter hours east of UTC.
    int quarters = utcOffset & 0x7F;
    if (quarters >= 64) quarters -= 128;
    const int64_t shift = int64_t{quarters} * kQuarterHour;
    if (shift > 0 && civil < static_cast<uint64_t>(shift)) return 0;
    return static_cast<uint64_t>(static_cast<int64_t>(civil) - shift);
  }
  // Local time without an offset: what the local zone made of it.
  std::tm tm{};
  tm.tm_year = c.year - 1900;
  tm.tm_mon = c.month - 1;
  tm.tm_mday = c.day;
  tm.tm_hour = c.hour;
  tm.tm_min = c.minute;
  tm.tm_sec = c.second;
  tm.tm_isdst = -1;
  const time_t local = std::mktime(&tm);
  if (local == static_cast<time_t>(-1)) return 0;
  return FileTimeFromUnixSeconds(local) + (tenMs < 200 ? uint64_t{tenMs} * 100000 : 0);
}

uint16_t ExfatSetChecksum(ByteView set) {
  uint16_t sum = 0;
  for (size_t i = 0; i < set.size(); ++i) {
    if (i == 2 || i == 3) continue;
    uint8_t b = set.U8At(i);
    if (i % kExfatEntryBytes == 0) b |= kExfatEntryInUse;  // as it was while the set lived
    sum = static_cast<uint16_t>(((sum & 1) ? 0x8000u : 0u) + (sum >> 1) + b);
  }
  return sum;
}

bool LooksLikeExfatSetStart(ByteView bytes, size_t off) {
  const uint8_t type = bytes.U8At(off);
  if ((type | kExfatEntryInUse) != kExfatFileEntry) return false;
  const uint8_t count = bytes.U8At(off + 1);
  if (count < 2 || count > kExfatMaxSecondaries) return false;
  const uint8_t stream = bytes.U8At(off + kExfatEntryBytes);
  // Every entry of a set shares the File entry's in-use state.
  return stream == (kExfatStreamEntry & (type | 0x7F));
}

namespace {

// The entries of the set at `off` belong together (the same in-use state
// throughout, a Stream entry, enough Name entries for the name length); the
// set lies whole in `bytes`. `checksumOk` tells whether its checksum holds.
bool SetHoldsTogether(ByteView bytes, size_t off, bool& checksumOk) {
  if (!LooksLikeExfatSetStart(bytes, off)) return false;
  const uint32_t secondaries = bytes.U8At(off + 1);
  const size_t total = size_t{secondaries + 1} * kExfatEntryBytes;
  if (!bytes.Has(off, total)) return false;
  const ByteView all = bytes.Sub(off, total);
  const bool live = (all.U8At(0) & kExfatEntryInUse) != 0;
  const uint8_t nameLength = all.U8At(kExfatEntryBytes + 3);
  if (nameLength == 0) return false;
  const uint32_t nameEntries = (nameLength + 14u) / 15u;
  if (nameEntries > secondaries - 1) return false;
  for (uint32_t i = 0; i < nameEntries; ++i) {
    const uint8_t type = all.U8At(size_t{i + 2} * kExfatEntryBytes);
    if (type != (live ? kExfatNameEntry : (kExfatNameEntry & 0x7F))) return false;
  }
  // Further secondaries (vendor entries) share the in-use state too.
  for (uint32_t i = nameEntries + 2; i <= secondaries; ++i) {
    const uint8_t type = all.U8At(size_t{i} * kExfatEntryBytes);
    if (type < 0x40 || ((type & kExfatEntryInUse) != 0) != live) return false;
  }
  checksumOk = ExfatSetChecksum(all) == all.U16At(2);
  return true;
}

}  // namespace

bool ParseExfatEntrySet(ByteView bytes, size_t off, ExfatEntrySet& set, bool requireChecksum) {
  bool checksumOk = false;
  if (!SetHoldsTogether(bytes, off, checksumOk)) return false;
  const ByteView file = bytes.Sub(off, kExfatEntryBytes);
  const uint32_t secondaries = file.U8At(1);
  const ByteView all = bytes.Sub(off, size_t{secondaries + 1} * kExfatEntryBytes);
  const bool live = (file.U8At(0) & kExfatEntryInUse) != 0;
  const ByteView stream = all.Sub(kExfatEntryBytes, kExfatEntryBytes);
  const uint8_t nameLength = stream.U8At(3);
  if (!checksumOk && (requireChecksum || live)) return false;

  ExfatEntrySet out;
  out.checksumOk = checksumOk;
  out.deleted = !live;
  out.secondaryCount = secondaries;
  out.attributes = file.U16At(4);
  out.noFatChain = (stream.U8At(1) & 0x02) != 0;
  out.validDataLength = stream.U64At(8);
  out.firstCluster = stream.U32At(20);
  out.dataLength = stream.U64At(24);
  if (out.validDataLength > out.dataLength) out.validDataLength = out.dataLength;
  std::u16string name;
  for (uint32_t i = 0; i < nameLength; ++i) {
    const size_t at = size_t{2 + i / 15} * kExfatEntryBytes + 2 + size_t{i % 15} * 2;
    name.push_back(static_cast<char16_t>(all.U16At(at)));
  }
  out.name = Utf16ToUtf8(name);
  out.times.created = ExfatFileTime(file.U32At(8), file.U8At(20), file.U8At(22));
  out.times.modified = ExfatFileTime(file.U32At(12), file.U8At(21), file.U8At(23));
  out.times.accessed = ExfatFileTime(file.U32At(16), 0, file.U8At(24));
  set = std::move(out);
  return true;
}

bool HasExfatEntrySet(ByteView bytes, size_t sectorBytes) {
  // Called for every sector of a sweep: the type byte is looked at first,
  // and a set is checked without being read out.
  const size_t n = sectorBytes < bytes.size() ? sectorBytes : bytes.size();
  const uint8_t* p = bytes.data();
  // One cache line decides most sectors.
  if (!MayHoldExfatEntrySet(bytes)) return false;
  for (size_t off = 0; off + kExfatEntryBytes <= n; off += kExfatEntryBytes) {
    if ((p[off] | kExfatEntryInUse) != kExfatFileEntry) continue;
    bool checksumOk = false;
    if (SetHoldsTogether(bytes, off, checksumOk) && checksumOk) return true;
  }
  return false;
}

}  // namespace velmira
