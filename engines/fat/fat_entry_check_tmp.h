// Temporary stand-ins until the directory-entry tests land.
#pragma once
#include <string>
#include "platform/byte_view.h"
#include "platform/time_util.h"
namespace velmira {
inline bool IsValidFatEntry(ByteView dir, size_t off) {
  const uint8_t attr = dir.U8At(off + 11);
  if (attr >= 0x40) return false;
  return true;
}
inline void FatEntryTimes(ByteView e, uint64_t& created, uint64_t& accessed, uint64_t& modified) {
  created = FileTimeFromFatDateTime(e.U16At(16), e.U16At(14), e.U8At(13));
  accessed = FileTimeFromFatDateTime(e.U16At(18), 0);
  modified = FileTimeFromFatDateTime(e.U16At(24), e.U16At(22));
}
inline bool CheckContent(const std::string&, ByteView) { return true; }
}  // namespace velmira
