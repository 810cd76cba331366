// Fuzzes disk discovery over one drive: the input is the start of a disk
// image (MBR, extended chains, GPT headers and entries, file-system boot
// sectors), padded with zeros to at least 1 MiB and listed as the only drive.
// Every table must give a sorted, bounded list of regions that lie on the
// drive, without a crash or a hang.
//
// libblkid is not built with coverage, so what it makes of the input is fed
// back to the fuzzer as extra counters: table type, entry count, each entry's
// type, flags and nesting, and each listed region's kind and file system.
#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "storage/disk_discovery.h"

namespace {

constexpr size_t kCounters = 8192;
__attribute__((section("__libfuzzer_extra_counters"))) uint8_t g_counters[kCounters];

std::string g_path;

void Setup() {
  if (!g_path.empty()) return;
  char tmpl[] = "/tmp/velmira-partfuzz-XXXXXX";
  const char* dir = ::mkdtemp(tmpl);
  if (dir == nullptr) std::abort();
  g_path = std::string(dir) + "/drive.img";
  ::setenv("VELMIRA_DRIVES", g_path.c_str(), 1);
}

uint64_t Mix(uint64_t h, uint64_t v) {
  h ^= v + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2);
  return h;
}

uint64_t MixText(uint64_t h, const char* text) {
  for (const char* p = text; p != nullptr && *p != '\0'; ++p) h = Mix(h, static_cast<unsigned char>(*p));
  return h;
}

void Mark(uint64_t h) {
  g_counters[h % kCounters] = 1;
}

unsigned Log2Bucket(uint64_t v) {
  unsigned b = 0;
  while (v != 0 && b < 63) {
    v >>= 1;
    ++b;
  }
  return b;
}

// What libblkid reads from the drive's table, as features.
void MarkPartitionTable(int fd) {
  blkid_probe pr = blkid_new_probe();
  if (pr == nullptr) return;
  if (blkid_probe_set_device(pr, fd, 0, 0) == 0) {
    (void)blkid_probe_enable_superblocks(pr, 0);
    (void)blkid_probe_enable_partitions(pr, 1);
    (void)blkid_probe_set_partitions_flags(pr, BLKID_PARTS_ENTRY_DETAILS);
    blkid_partlist list = blkid_probe_get_partitions(pr);
    blkid_parttable root = list != nullptr ? blkid_partlist_get_table(list) : nullptr;
    uint64_t h = MixText(1, root != nullptr ? blkid_parttable_get_type(root) : "none");
    const int count = list != nullptr ? blkid_partlist_numof_partitions(list) : -1;
    Mark(Mix(h, static_cast<uint64_t>(count + 1)));
    for (int i = 0; i < count && i < 64; ++i) {
      blkid_partition part = blkid_partlist_get_partition(list, i);
      if (part == nullptr) continue;
      blkid_parttable table = blkid_partition_get_table(part);
      uint64_t e = MixText(h, table != nullptr ? blkid_parttable_get_type(table) : "");
      e = Mix(e, static_cast<uint64_t>(blkid_partition_get_type(part)));
      e = Mix(e, static_cast<uint64_t>(blkid_partition_is_extended(part)) |
                     static_cast<uint64_t>(blkid_partition_is_logical(part)) << 1 |
                     static_cast<uint64_t>(blkid_partition_is_primary(part)) << 2 |
                     static_cast<uint64_t>(table != nullptr && blkid_parttable_get_parent(table) != nullptr)
                         << 3);
      Mark(e);
      Mark(MixText(Mix(e, static_cast<uint64_t>(i)), blkid_partition_get_type_string(part)));
      Mark(Mix(e, Log2Bucket(static_cast<uint64_t>(blkid_partition_get_size(part)))));
    }
  }
  blkid_free_probe(pr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  using namespace velmira;
  if (size > (4u << 20)) return 0;
  const int fd = ::open(g_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return 0;
  size_t put = 0;
  while (put < size) {
    const ssize_t n = ::write(fd, data + put, size - put);
    if (n <= 0) break;
    put += static_cast<size_t>(n);
  }
  // Whole sectors of zeros after the input, so that tables may point past it.
  const off_t length = size < (1u << 20) ? static_cast<off_t>(1u << 20) : static_cast<off_t>(size);
  if (::ftruncate(fd, length) != 0) {
    ::close(fd);
    return 0;
  }
  MarkPartitionTable(fd);
  ::close(fd);

  DiskMap map;
  if (!EnumeratePartitions(map)) return 0;
  const uint64_t driveSectors = static_cast<uint64_t>(length) / 512;
  PartitionCursor cursor;
  PartitionRecord record;
  uint64_t previousStart = 0;
  uint16_t expected = 1;
  while (NextPartitionRecord(map, cursor, record)) {
    // Regions are numbered in order, sorted by start and lie on the drive.
    if (record.letterOrNumber != expected++) std::abort();
    if (record.diskNumber != 0 || record.startSector < previousStart) std::abort();
    if (record.startSector > driveSectors || record.sectorCount > driveSectors - record.startSector)
      std::abort();
    if (record.kind != RegionKind::kVolume && record.freeBytes != record.totalBytes) std::abort();
    previousStart = record.startSector;
    uint64_t h = Mix(Mix(7, static_cast<uint64_t>(record.kind)), record.partitionType);
    h = MixText(Mix(h, static_cast<uint64_t>(record.partitionNumber + 1) & 0xFF),
                record.fileSystemName.c_str());
    Mark(h);
    Mark(Mix(h, Log2Bucket(record.sectorCount)));
    if (!record.volumeLabel.empty()) Mark(Mix(h, record.volumeLabel.size()));
  }
  if (expected > 2000) std::abort();  // 256 entries and the gaps between them at most
  Mark(Mix(11, expected));
  return 0;
}
