// Geometry, record reads, the fix-up, the attribute walk, resident data and
// $FILE_NAME values.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engines/ntfs/ntfs_structures.h"
#include "platform/errors.h"
#include "platform/text.h"

namespace velmira {
namespace {

constexpr size_t kFixupWords = kNtfsRecUpdateSequence + 2;  // 0x32
// The largest cluster the geometry accepts (2^20 sectors).
constexpr uint32_t kMaxClusterShift = 20;

uint32_t EffectiveBytesPerSector(uint32_t bytesPerSector) {
  return bytesPerSector == 0 ? 512u : bytesPerSector;
}

}  // namespace

uint32_t NtfsGeometry::WindowSectors() const {
  const uint32_t bps = EffectiveBytesPerSector(bytesPerSector);
  return (kNtfsWindowBytes + bps - 1) / bps;
}

void SetNtfsRecordGeometry(NtfsGeometry& g, uint32_t bytesPerSector) {
  g.bytesPerSector = EffectiveBytesPerSector(bytesPerSector);
  g.sectorsPerRecord = g.bytesPerSector <= 512 ? 2u : 1u;
  g.recordSize = g.sectorsPerRecord * g.bytesPerSector;
  g.chunkSize = g.recordSize * 1024u;
  // The update sequence protects every 512-byte block of a record whatever
  // the sector size: a 4,096-byte record carries eight words.
  g.fixupStride = kNtfsFixupBlock;
  g.fixupCount = std::max<uint32_t>(1, g.recordSize / kNtfsFixupBlock);
}

uint32_t NtfsRecordSizeFromBootSector(ByteView boot) {
  if (boot.size() < 512) return 0;
  const uint32_t bps = EffectiveBytesPerSector(boot.U16At(0x0B));
  const uint32_t raw = boot.U8At(0x0D);
  const uint64_t spc = raw > 128 ? (256 - raw <= kMaxClusterShift ? uint64_t{1} << (256 - raw) : 0) : raw;
  // Clusters per record, or when negative 2^-n bytes.
  const auto stated = static_cast<int8_t>(boot.U8At(0x40));
  uint64_t bytes = 0;
  if (stated < 0) {
    const int shift = -stated;
    bytes = shift < 32 ? uint64_t{1} << shift : 0;
  } else {
    bytes = uint64_t{static_cast<uint32_t>(stated)} * spc * bps;
  }
  // A record the reads can hold: whole sectors, a power of two, one window.
  if (bytes < 512 || bytes < bps || bytes > kNtfsWindowBytes || (bytes & (bytes - 1)) != 0) return 0;
  return static_cast<uint32_t>(bytes);
}

void SetNtfsRecordSize(NtfsGeometry& g, uint32_t recordSize) {
  const uint32_t bps = EffectiveBytesPerSector(g.bytesPerSector);
  if (recordSize < bps || recordSize % bps != 0) return;
  g.sectorsPerRecord = recordSize / bps;
  g.recordSize = recordSize;
  g.chunkSize = g.recordSize * 1024u;
  g.fixupCount = std::max<uint32_t>(1, g.recordSize / kNtfsFixupBlock);
}

int32_t NtfsGeometryFromBootSector(ByteView boot, uint64_t partitionStart, uint64_t partitionLength,
                                   NtfsGeometry& g) {
  SetNtfsRecordGeometry(g, boot.U16At(0x0B));
  g.partitionStart = partitionStart;
  g.partitionLength = partitionLength;
  g.mftSector = partitionStart;
  g.sectorsPerCluster = 0;
  if (boot.size() < 512 || g.bytesPerSector % 512 != 0) return kErrInvalidParameter;

  const uint32_t raw = boot.U8At(0x0D);
  uint32_t spc = raw;
  if (raw > 128) {
    const uint32_t shift = 256 - raw;
    if (shift > kMaxClusterShift) return kErrInvalidParameter;
    spc = 1u << shift;
  }
  if (spc == 0) return kErrInvalidParameter;
  g.sectorsPerCluster = spc;
  SetNtfsRecordSize(g, NtfsRecordSizeFromBootSector(boot));

  uint64_t offset = 0;
  if (__builtin_mul_overflow(boot.U64At(0x30), uint64_t{spc}, &offset) ||
      __builtin_add_overflow(partitionStart, offset, &g.mftSector)) {
    g.mftSector = partitionStart;
    return kErrInvalidParameter;
  }
  return kOk;
}

void ApplyFixup(std::span<uint8_t> record, uint32_t fixupCount, uint32_t fixupStride) {
  if (fixupStride < 2 || record.size() < kFixupWords) return;
  // Only blocks that lie wholly in the buffer, and only words that do.
  size_t count = std::min<size_t>(fixupCount, record.size() / fixupStride);
  count = std::min(count, (record.size() - kFixupWords) / 2);
  // All words are taken before any is written, as a tiny stride could make
  // the blocks' ends overlap the saved array.
  std::vector<uint8_t> saved(record.begin() + kFixupWords, record.begin() + kFixupWords + 2 * count);
  for (size_t i = 1; i <= count; ++i) {
    const size_t end = i * size_t{fixupStride};
    record[end - 2] = saved[2 * (i - 1)];
    record[end - 1] = saved[2 * (i - 1) + 1];
  }
}

bool FixupMatches(ByteView record, uint32_t fixupCount, uint32_t fixupStride) {
  if (fixupStride < 2 || record.size() < kFixupWords) return false;
  const uint16_t usn = record.U16At(kNtfsRecUpdateSequence);
  const size_t count = std::min<size_t>(fixupCount, record.size() / fixupStride);
  for (size_t i = 1; i <= count; ++i)
    if (record.U16At(i * size_t{fixupStride} - 2) != usn) return false;
  return true;
}

int32_t ReadRecordWindow(const SectorSource& source, const NtfsGeometry& g, uint64_t sector,
                         std::vector<uint8_t>& window) {
  const uint32_t bps = EffectiveBytesPerSector(g.bytesPerSector);
  const uint32_t sectors = g.WindowSectors();
  window.assign(std::max<size_t>(kNtfsWindowBytes, size_t{sectors} * bps), 0);
  uint32_t got = 0;
  const int32_t rc = ReadSectors(sectors, source, window.data(), sector, bps, got);
  if (rc == kOk) return kOk;

  // The record itself is what matters: a window cut short by the source's end
  // or by a bad sector after the record still holds a good record.
  const uint32_t needed = std::clamp<uint32_t>(g.sectorsPerRecord, 1u, sectors);
  if (rc != kErrInvalidParameter) {
    if (got >= needed && got <= sectors) {
      std::fill(window.begin() + static_cast<ptrdiff_t>(size_t{got} * bps), window.end(), 0);
      return kOk;
    }
    return rc;
  }
  if (needed == sectors) return rc;
  got = 0;
  std::fill(window.begin(), window.end(), 0);
  if (ReadSectors(needed, source, window.data(), sector, bps, got) != kOk) {
    std::fill(window.begin(), window.end(), 0);
    return rc;
  }
  return kOk;
}

int32_t ReadFileRecord(const SectorSource& source, const NtfsGeometry& g, uint64_t sector,
                       std::vector<uint8_t>& window) {
  const int32_t rc = ReadRecordWindow(source, g, sector, window);
  if (rc != kOk) return rc;
  if (!HasFileSignature(ByteView(window.data(), window.size()))) return kNtfsNotFileRecord;
  ApplyFixup(window, g.fixupCount, g.fixupStride);
  return kOk;
}

NtfsAttributeWalk::NtfsAttributeWalk(ByteView record, size_t limit, uint32_t flags)
    : m_record(record),
      m_limit(std::min(limit, record.size())),
      m_flags(flags),
      m_next(record.U16At(kNtfsRecFirstAttribute)) {}

bool NtfsAttributeWalk::Next() {
  if (m_done) return false;
  const size_t off = m_next;
  m_done = true;
  if (off >= m_limit) return false;
  const uint32_t type = m_record.U32At(off + kNtfsAttType);
  const uint32_t length = m_record.U32At(off + kNtfsAttLength);
  if (type == kNtfsAttrEnd) return false;
  if ((m_flags & kWalkStopAtTypeZero) && type == 0) return false;
  if ((m_flags & kWalkStopAtFill) && type == kNtfsAttrFill) return false;
  if ((m_flags & kWalkStopAtFillOrAbove) && type >= kNtfsAttrFill) return false;
  size_t next = off + length;  // off < limit <= size, length < 2^32: no wrap on 64-bit size_t
  if (m_flags & kWalkLength16Signed) {
    const auto step = static_cast<int16_t>(length & 0xFFFF);
    if (step == 0) return false;
    // A negative step would walk back over attributes already seen: this
    // attribute is the last.
    next = step > 0 ? off + static_cast<size_t>(step) : SIZE_MAX;
  } else if (length == 0) {
    return false;
  }
  m_offset = off;
  m_type = type;
  m_length = length;
  m_next = next;
  m_done = false;
  return true;
}

int32_t ResidentDataOf(ByteView record, const NtfsGeometry& g, std::vector<uint8_t>& data, size_t walkLimit) {
  NtfsAttributeWalk walk(record, walkLimit, kWalkStopAtFill);
  while (walk.Next()) {
    if (walk.type() != kNtfsAttrData) continue;
    const ByteView attr = walk.attribute();
    if (attr.U8At(kNtfsAttNonResident) != 0) return kNtfsNoResidentData;
    const uint32_t length = walk.length();
    const uint32_t valueOffset = attr.U16At(kNtfsAttValueOffset);
    if (valueOffset > length) return kErrInvalidParameter;
    const uint32_t size = length - valueOffset;
    if (size >= g.recordSize) return kErrInvalidParameter;
    if (!attr.Has(valueOffset, size)) return kErrInvalidParameter;
    data.assign(attr.data() + valueOffset, attr.data() + valueOffset + size);
    return kOk;
  }
  return kNtfsNoResidentData;
}

int32_t ReadResidentData(const SectorSource& source, const NtfsGeometry& g, uint64_t sector,
                         std::vector<uint8_t>& data, size_t walkLimit) {
  std::vector<uint8_t> window;
  const int32_t rc = ReadFileRecord(source, g, sector, window);
  if (rc == kNtfsNotFileRecord) return kNtfsNoResidentData;
  if (rc != kOk) return rc;
  return ResidentDataOf(ByteView(window.data(), window.size()), g, data, walkLimit);
}

NtfsDataForm DataFormOf(ByteView record) {
  NtfsDataForm form;
  const size_t limit = std::min<size_t>(record.U32At(kNtfsRecBytesInUse), record.size());
  NtfsAttributeWalk walk(record, limit, kWalkStopAtFill);
  while (walk.Next()) {
    const ByteView attr = walk.attribute();
    if (walk.type() == 0x10 && attr.U8At(kNtfsAttNonResident) == 0) {
      const uint32_t value = attr.U16At(kNtfsAttValueOffset);
      if (attr.U32At(kNtfsAttValueLength) >= 0x24 && attr.Has(value + 0x20, 4) &&
          (attr.U32At(value + 0x20) & kNtfsFileAttrEncrypted))
        form.encrypted = true;
      continue;
    }
    if (walk.type() != kNtfsAttrData || attr.U8At(kNtfsAttNameLength) != 0) continue;
    const uint16_t flags = attr.U16At(kNtfsAttFlags);
    if (flags & kNtfsAttFlagEncrypted) form.encrypted = true;
    // Only a non-resident $DATA is stored in compression units; 2^8 clusters
    // is far above any unit NTFS writes.
    const uint32_t shift = attr.U8At(kNtfsAttCompressionUnit);
    if ((flags & kNtfsAttFlagCompressed) && attr.U8At(kNtfsAttNonResident) != 0 && shift > 0 && shift <= 8) {
      form.compressed = true;
      form.unitClusters = 1u << shift;
    }
    break;
  }
  return form;
}

bool ReadFileNameValue(ByteView attribute, NtfsFileName& value) {
  constexpr size_t kValue = 0x18;
  constexpr size_t kName = kValue + 0x42;
  if (!attribute.Has(0, kName)) return false;
  value.parent = attribute.U32At(kValue + 0x00);
  value.created = attribute.U64At(kValue + 0x08);
  value.modified = attribute.U64At(kValue + 0x10);
  value.accessed = attribute.U64At(kValue + 0x20);
  value.dataSize = attribute.U64At(kValue + 0x30);
  value.nameSpace = attribute.U8At(kValue + 0x41);
  // The name ends with the attribute (or the view, whichever comes first).
  size_t end = attribute.size();
  const uint32_t length = attribute.U32At(kNtfsAttLength);
  if (length < end) end = std::max<size_t>(length, kName);
  const size_t units = std::min<size_t>(attribute.U8At(kValue + 0x40), (end - kName) / 2);
  value.name = Utf16LeBytesToUtf8(attribute.data() + kName, units);
  return true;
}

bool ReadStandardTimes(ByteView attribute, NtfsStandardTimes& times) {
  if (!attribute.Has(0, kNtfsAttValueOffset + 2) || attribute.U8At(kNtfsAttNonResident) != 0) return false;
  const size_t value = attribute.U16At(kNtfsAttValueOffset);
  if (!attribute.Has(value, 0x20)) return false;
  times.created = attribute.U64At(value + 0x00);
  times.modified = attribute.U64At(value + 0x08);
  times.accessed = attribute.U64At(value + 0x18);
  return true;
}

}  // namespace velmira
