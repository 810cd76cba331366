// Small helpers both NTFS engines use when they walk the attributes of a
// record held in memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "engines/ntfs/ntfs_structures.h"
#include "platform/byte_view.h"

namespace velmira {

// The walk of a record's attributes while it is listed: stops at type 0,
// any type from 0xFDFDFDFD up, and steps by the signed 16-bit length.
inline constexpr uint32_t kNtfsRecordWalkFlags =
    kWalkStopAtTypeZero | kWalkStopAtFillOrAbove | kWalkLength16Signed;

// The part of a record its attributes may occupy: the bytes in use, but
// never more than the record.
[[nodiscard]] inline size_t NtfsRecordWalkLimit(ByteView record) {
  return std::min<size_t>(record.U32At(kNtfsRecBytesInUse), record.size());
}

// The attribute the walk stands on, cut to its own (16-bit) length. False
// when that length runs past the walk's limit: such an attribute is not read.
[[nodiscard]] inline bool NtfsCurrentAttribute(const NtfsAttributeWalk& walk, ByteView record, size_t limit,
                                               ByteView& attribute) {
  const size_t length = walk.length() & 0xFFFF;
  if (walk.offset() + length > limit) return false;
  attribute = record.Sub(walk.offset(), length);
  return true;
}

// The parent folder a record names in its first $FILE_NAME attribute, its
// attributes walked up to `limit` with `walkFlags`; none when the walk meets
// no $FILE_NAME it can read before one that runs past the limit.
[[nodiscard]] inline std::optional<uint32_t> NtfsParentOf(ByteView record, size_t limit, uint32_t walkFlags) {
  NtfsAttributeWalk walk(record, limit, walkFlags);
  while (walk.Next()) {
    ByteView attr;
    if (!NtfsCurrentAttribute(walk, record, limit, attr)) break;
    if (walk.type() != kNtfsAttrFileName) continue;
    NtfsFileName name;
    if (ReadFileNameValue(attr, name)) return name.parent;
    break;
  }
  return std::nullopt;
}

}  // namespace velmira
