#include "engines/boot_sector.h"

#include "engines/exfat/exfat_format.h"

namespace velmira {
namespace {

bool HasBootSignature(ByteView s) {
  return s.U8At(510) == 0x55 && s.U8At(511) == 0xAA;
}

bool IsPowerOfTwoUpTo128(uint8_t v) {
  return v != 0 && v <= 128 && (v & (v - 1)) == 0;
}

}  // namespace

bool IsNtfsBootSector(ByteView s) {
  if (s.size() < 512) return false;
  if (!s.Matches(3, "NTFS    ")) return false;
  if (s.U16At(11) % 512 != 0) return false;
  if (s.U16At(14) != 0) return false;
  if (!IsPowerOfTwoUpTo128(s.U8At(13))) return false;
  if (s.U64At(40) == 0) return false;
  for (size_t off : {16, 17, 18, 19, 20, 22, 23, 32, 33, 34, 35})
    if (s.U8At(off) != 0) return false;
  return HasBootSignature(s);
}

bool IsEncryptedVolumeBootSector(ByteView s) {
  if (s.Matches(3, "-FVE-FS-")) return true;
  if (!s.Has(480, 30)) return false;
  for (size_t i = 0; i < 8; ++i)
    if (s.U8At(480 + i) != 'x') return false;
  for (size_t i = 8; i < 27; ++i)
    if (s.U8At(480 + i) != 0xFF) return false;
  return s.U8At(507) == 0x00 && s.U8At(508) == 0x1F && s.U8At(509) == 0x2C;
}

bool IsFat16BootSector(ByteView s) {
  if (s.size() < 512) return false;
  if (s.U8At(16) == 0) return false;
  if (s.U16At(19) == 0 && s.U32At(32) == 0) return false;
  if (!IsPowerOfTwoUpTo128(s.U8At(13))) return false;
  if (s.U16At(22) < 1) return false;
  return HasBootSignature(s);
}

bool IsFat32BootSector(ByteView s) {
  if (s.size() < 512) return false;
  if (!s.Matches(82, "FAT32   ")) return false;
  if (s.U8At(16) == 0) return false;
  // A small volume (as mkfs.fat makes on 4096-byte sectors) keeps its sector
  // count in the 16-bit field and leaves the 32-bit one 0.
  if (s.U32At(32) == 0 && s.U16At(19) == 0) return false;
  if (!IsPowerOfTwoUpTo128(s.U8At(13))) return false;
  if (s.U32At(36) == 0) return false;
  return HasBootSignature(s);
}

bool IsFatBootSector(ByteView s) {
  if (s.size() < 512) return false;
  if (IsEncryptedVolumeBootSector(s)) return false;
  uint32_t sectorsPerFat = s.U16At(22);
  if (sectorsPerFat == 0) sectorsPerFat = s.U32At(36);
  uint32_t totalSectors = s.U32At(32);
  if (totalSectors == 0) totalSectors = s.U16At(19);
  const uint32_t bytesPerSector = s.U16At(11);
  const uint32_t sectorsPerCluster = s.U8At(13);
  if (bytesPerSector == 0 || bytesPerSector % 512 != 0 || sectorsPerCluster == 0) return false;
  const uint32_t rootSectors = uint32_t{s.U16At(17)} * 32 / bytesPerSector;
  // Unsigned 32-bit on purpose: a nonsense layout wraps to a huge count and fails.
  const uint32_t clusters =
      (totalSectors - rootSectors - uint32_t{s.U8At(16)} * sectorsPerFat - s.U16At(14)) / sectorsPerCluster;
  if (clusters < 0xFFF5u) return IsFat16BootSector(s) || IsFat32BootSector(s);
  if (clusters < 0x0FFFFFF0u) return IsFat32BootSector(s) || IsFat16BootSector(s);
  return false;
}

bool IsExtSuperblock(ByteView sb) {
  if (sb.size() < 1024) return false;
  if (sb.U16At(56) != 0xEF53) return false;
  const uint32_t inodes = sb.U32At(0);
  const uint32_t blocks = sb.U32At(4);
  const uint32_t blocksPerGroup = sb.U32At(32);
  const uint32_t inodesPerGroup = sb.U32At(40);
  const uint32_t firstInode = sb.U32At(84);
  if (inodes == 0 || blocks == 0 || blocksPerGroup == 0 || inodesPerGroup == 0 || firstInode <= 2)
    return false;
  const uint32_t firstDataBlock = sb.U32At(20);
  // 1024 << log equals 1024 only for log 0 (and larger shifts must not be evaluated).
  const bool block1k = sb.U32At(24) == 0;
  if (firstDataBlock != (block1k ? 1u : 0u)) return false;
  if (blocks <= firstDataBlock) return false;
  const uint32_t groupsByBlocks = (blocks - firstDataBlock - 1) / blocksPerGroup + 1;
  const uint32_t groupsByInodes = (inodes - 1) / inodesPerGroup + 1;
  if (groupsByBlocks != groupsByInodes) return false;
  return firstInode < inodes;
}

bool IsNtfsHead(ByteView head) {
  return IsNtfsBootSector(head.Sub(0, 512));
}

bool IsFatHead(ByteView head) {
  return IsFatBootSector(head.Sub(0, 512));
}

bool IsExfatHead(ByteView head) {
  return IsExfatBootSector(head.Sub(0, 512));
}

bool IsExtHead(ByteView head) {
  return IsExtSuperblock(head.Sub(1024, 1024));
}

}  // namespace velmira
