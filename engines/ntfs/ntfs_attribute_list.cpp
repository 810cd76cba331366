// The runs of an attribute: found in its base record, or gathered extent by
// extent through the record's $ATTRIBUTE_LIST.
#include <algorithm>
#include <cstring>

#include "engines/ntfs/ntfs_structures.h"
#include "platform/errors.h"

namespace velmira {
namespace {

// An attribute list larger than this is read only this far.
constexpr uint64_t kMaxListBytes = 4u << 20;
// A gap between two extents wider than this many clusters ends the list.
constexpr uint64_t kMaxExtentGap = uint64_t{1} << 32;
// At most this many extension records are read for one attribute.
constexpr int kMaxExtentReads = 4096;

// List entry fields.
constexpr size_t kEntType = 0x00;        // u32
constexpr size_t kEntLength = 0x04;      // u16
constexpr size_t kEntNameLength = 0x06;  // u8
constexpr size_t kEntNameOffset = 0x07;  // u8
constexpr size_t kEntStartVcn = 0x08;    // u64
constexpr size_t kEntReference = 0x10;   // 48-bit record number, 16-bit sequence
constexpr size_t kEntMinimum = 0x1A;

constexpr uint64_t kRecordNumberMask = (uint64_t{1} << 48) - 1;

struct ListEntry {
  uint64_t startVcn;
  uint64_t record;
};

// The name of an attribute or entry as raw UTF-16 bytes; `ok` is false when
// it does not lie inside its view.
struct RawName {
  ByteView bytes;
  bool ok = false;
};

RawName NameAt(ByteView view, size_t offset, size_t units) {
  RawName name;
  name.bytes = view.Sub(offset, 2 * units);
  name.ok = view.Has(offset, 2 * units);
  return name;
}

bool SameName(const RawName& a, const RawName& b) {
  return a.ok && b.ok && a.bytes.size() == b.bytes.size() &&
         (a.bytes.size() == 0 || std::memcmp(a.bytes.data(), b.bytes.data(), a.bytes.size()) == 0);
}

RawName AttributeName(ByteView attr) {
  return NameAt(attr, attr.U16At(kNtfsAttNameOffset), attr.U8At(kNtfsAttNameLength));
}

// The list's value: the resident value, or the non-resident data read run by
// run up to its data size (and kMaxListBytes).
std::vector<uint8_t> ReadListValue(const SectorSource& source, const NtfsGeometry& g, ByteView list) {
  std::vector<uint8_t> value;
  if (list.U8At(kNtfsAttNonResident) == 0) {
    constexpr size_t kValue = 0x18;
    const uint64_t length = list.U32At(kNtfsAttLength);
    const uint64_t end =
        std::min<uint64_t>({length, kValue + uint64_t{list.U32At(kNtfsAttValueLength)}, list.size()});
    if (end > kValue) value.assign(list.data() + kValue, list.data() + end);
    return value;
  }

  const uint64_t wanted = std::min(list.U64At(kNtfsAttDataSize), kMaxListBytes);
  const uint32_t bps = g.bytesPerSector == 0 ? 512u : g.bytesPerSector;
  std::vector<DataRun> runs;
  DecodeRunList(list, g, runs);
  std::vector<uint8_t> piece;
  for (const AbsoluteRun& run : ToAbsoluteRuns(runs)) {
    if (value.size() >= wanted || !run.valid || run.sparse) break;
    uint64_t runBytes = 0;
    if (__builtin_mul_overflow(run.length, uint64_t{g.sectorsPerCluster} * bps, &runBytes)) break;
    const uint64_t take = std::min(runBytes, wanted - value.size());
    const auto sectors = static_cast<uint32_t>((take + bps - 1) / bps);
    uint64_t sector = 0;
    if (sectors == 0 || !ClusterToSector(g, static_cast<int64_t>(run.firstCluster), sector)) break;
    piece.assign(size_t{sectors} * bps, 0);
    uint32_t got = 0;
    const int32_t rc = ReadSectors(sectors, source, piece.data(), sector, bps, got);
    const uint64_t usable = rc == kOk ? take : std::min<uint64_t>(take, uint64_t{got} * bps);
    value.insert(value.end(), piece.begin(), piece.begin() + static_cast<ptrdiff_t>(usable));
    if (rc != kOk) break;
  }
  return value;
}

// The entries of `type` that belong to the first-named attribute of that
// type, whose name goes to `chosen`.
std::vector<ListEntry> EntriesOf(ByteView value, uint32_t type, RawName& chosen) {
  std::vector<ListEntry> entries;
  bool haveName = false;
  size_t off = 0;
  while (off + kEntMinimum <= value.size()) {
    const uint32_t entryType = value.U32At(off + kEntType);
    const uint16_t length = value.U16At(off + kEntLength);
    if (entryType == 0 || entryType == kNtfsAttrEnd || length == 0) break;
    if (entryType == type) {
      const ByteView entry = value.Sub(off, length);
      const RawName name = NameAt(entry, entry.U8At(kEntNameOffset), entry.U8At(kEntNameLength));
      if (!haveName && name.ok) {
        chosen = name;
        haveName = true;
      }
      if (SameName(name, chosen))
        entries.push_back({entry.U64At(kEntStartVcn), entry.U64At(kEntReference) & kRecordNumberMask});
    }
    off += length;
  }
  return entries;
}

// The non-resident attribute of `type` and `name` whose extent starts at `vcn`.
bool FindExtent(ByteView record, uint32_t type, const RawName& name, uint64_t vcn, ByteView& found) {
  NtfsAttributeWalk walk(record, kNtfsWindowBytes);
  while (walk.Next()) {
    if (walk.type() != type) continue;
    const ByteView attr = walk.attribute();
    if (attr.U8At(kNtfsAttNonResident) == 0 || attr.U64At(kNtfsAttLowestVcn) != vcn) continue;
    if (!SameName(AttributeName(attr), name)) continue;
    found = attr;
    return true;
  }
  return false;
}

// Gathers the extents named by the list. `locator` maps record numbers to
// sectors; when it is null the runs gathered so far do (the $MFT's own list).
int32_t ResolveList(const SectorSource& source, const NtfsGeometry& g, const NtfsRecordLocator* locator,
                    ByteView baseRecord, uint64_t baseNumber, ByteView list, uint32_t type,
                    std::vector<DataRun>& runs) {
  const std::vector<uint8_t> value = ReadListValue(source, g, list);
  const ByteView valueView(value.data(), value.size());
  RawName name;  // every extent carries the name of the first entry
  const std::vector<ListEntry> entries = EntriesOf(valueView, type, name);
  if (entries.empty()) return kNtfsAttributeNotFound;

  std::vector<DataRun> out;
  std::vector<DataRun> extent;
  std::vector<uint8_t> window;
  uint64_t nextVcn = 0;
  int64_t cluster = 0;  // first cluster of the last run in `out`
  bool located = false;
  int reads = 0;
  for (const ListEntry& entry : entries) {
    if (entry.startVcn < nextVcn) continue;  // a repeated or overlapping extent
    if (entry.startVcn > nextVcn) {
      // An extent that could not be read: keep the later data in place.
      const uint64_t gap = entry.startVcn - nextVcn;
      if (gap > kMaxExtentGap) break;
      out.push_back(DataRun{gap, 0, true});
      nextVcn = entry.startVcn;
    }
    ByteView record = baseRecord;
    if (entry.record != baseNumber) {
      if (++reads > kMaxExtentReads) break;
      const uint64_t sector = locator ? (*locator)(entry.record) : RecordToSector(g, out, entry.record);
      if (ReadFileRecord(source, g, sector, window) != kOk) continue;
      record = ByteView(window.data(), window.size());
    }
    ByteView attr;
    if (!FindExtent(record, type, name, entry.startVcn, attr)) continue;
    extent.clear();
    DecodeRunList(attr, g, extent);
    if (extent.empty()) continue;
    // Each extent counts its deltas from cluster 0; in one list they count
    // from the previous run.
    bool overflow = __builtin_sub_overflow(extent[0].delta, cluster, &extent[0].delta);
    for (const DataRun& run : extent) {
      if (overflow || __builtin_add_overflow(cluster, run.delta, &cluster) ||
          __builtin_add_overflow(nextVcn, run.length, &nextVcn)) {
        overflow = true;
        break;
      }
      out.push_back(run);
    }
    located = true;
    if (overflow) break;
  }
  if (!located) return kNtfsAttributeNotFound;
  runs.insert(runs.end(), out.begin(), out.end());
  return kOk;
}

int32_t AttributeRuns(const SectorSource& source, const NtfsGeometry& g, const NtfsRecordLocator* locator,
                      uint64_t sector, uint32_t type, const uint64_t* baseNumber,
                      std::vector<DataRun>& runs) {
  std::vector<uint8_t> window;
  const int32_t rc = ReadFileRecord(source, g, sector, window);
  if (rc != kOk) return rc;
  const ByteView record(window.data(), window.size());

  size_t listOffset = 0;
  size_t foundOffset = 0;
  bool listSeen = false;
  bool found = false;
  NtfsAttributeWalk walk(record, kNtfsWindowBytes);
  while (walk.Next()) {
    if (walk.type() == kNtfsAttrAttributeList && !listSeen) {
      listSeen = true;
      listOffset = walk.offset();
    }
    if (walk.type() == type) {
      found = true;
      foundOffset = walk.offset();
      break;
    }
  }
  if (listSeen) {
    const uint64_t number = baseNumber ? *baseNumber : record.U32At(kNtfsRecNumber);
    const ByteView list = record.Sub(listOffset, record.size() - listOffset);
    if (ResolveList(source, g, locator, record, number, list, type, runs) == kOk) return kOk;
  }
  if (found) {
    DecodeRunList(record.Sub(foundOffset, record.size() - foundOffset), g, runs);
    return kOk;
  }
  return listSeen ? kOk : kNtfsAttributeNotFound;
}

}  // namespace

int32_t GetAttributeRuns(const SectorSource& source, const NtfsGeometry& g, const MftRunMap& mftRuns,
                         uint64_t sector, uint32_t type, std::vector<DataRun>& runs) {
  const NtfsRecordLocator locate = [&](uint64_t number) { return RecordToSector(g, mftRuns, number); };
  return AttributeRuns(source, g, &locate, sector, type, nullptr, runs);
}

int32_t ResolveAttributeList(const SectorSource& source, const NtfsGeometry& g, const MftRunMap& mftRuns,
                             ByteView baseRecord, ByteView listAttribute, uint32_t type,
                             std::vector<DataRun>& runs) {
  const NtfsRecordLocator locate = [&](uint64_t number) { return RecordToSector(g, mftRuns, number); };
  return ResolveAttributeListAt(source, g, locate, baseRecord, listAttribute, type, runs);
}

int32_t ResolveAttributeListAt(const SectorSource& source, const NtfsGeometry& g,
                               const NtfsRecordLocator& locate, ByteView baseRecord, ByteView listAttribute,
                               uint32_t type, std::vector<DataRun>& runs) {
  return ResolveList(source, g, &locate, baseRecord, baseRecord.U32At(kNtfsRecNumber), listAttribute, type,
                     runs);
}

uint64_t DataSizeThroughListAt(const SectorSource& source, const NtfsGeometry& g,
                               const NtfsRecordLocator& locate, ByteView baseRecord, ByteView listAttribute) {
  const std::vector<uint8_t> value = ReadListValue(source, g, listAttribute);
  const ByteView view(value.data(), value.size());
  const uint64_t base = baseRecord.U32At(kNtfsRecNumber);
  std::vector<uint8_t> window;
  for (size_t off = 0; off + kEntMinimum <= view.size();) {
    const uint32_t type = view.U32At(off + kEntType);
    const uint16_t length = view.U16At(off + kEntLength);
    if (type == 0 || type == kNtfsAttrEnd || length == 0) break;
    if (type == kNtfsAttrData && view.U8At(off + kEntNameLength) == 0 &&
        view.U64At(off + kEntStartVcn) == 0) {
      const uint64_t number = view.U64At(off + kEntReference) & kRecordNumberMask;
      ByteView record = baseRecord;
      if (number != base) {
        if (ReadFileRecord(source, g, locate(number), window) != kOk) return UINT64_MAX;
        record = ByteView(window.data(), window.size());
      }
      const size_t limit = std::min<size_t>(record.U32At(kNtfsRecBytesInUse), record.size());
      NtfsAttributeWalk walk(record, limit);
      while (walk.Next()) {
        const ByteView attr = walk.attribute();
        if (walk.type() != kNtfsAttrData || attr.U8At(kNtfsAttNameLength) != 0) continue;
        if (attr.U8At(kNtfsAttNonResident) == 0) return attr.U32At(kNtfsAttValueLength);
        if (attr.U64At(kNtfsAttLowestVcn) == 0 && attr.Has(kNtfsAttDataSize, 8))
          return attr.U64At(kNtfsAttDataSize);
      }
      return UINT64_MAX;
    }
    off += length;
  }
  return UINT64_MAX;
}

int32_t ReadMftRunMap(const SectorSource& source, const NtfsGeometry& g, MftRunMap& mftRuns) {
  mftRuns.clear();
  const uint64_t recordZero = 0;
  return AttributeRuns(source, g, nullptr, g.mftSector, kNtfsAttrData, &recordZero, mftRuns);
}

}  // namespace velmira
