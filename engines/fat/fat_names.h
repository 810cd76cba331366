// Names of FAT directory entries: long names collected from their parts, and
// short names as Velmira shows them (lower case, "!" for a deleted first byte).
#pragma once

#include <cstddef>
#include <string>

#include "platform/byte_view.h"

namespace velmira {

// Long-name parts precede their short entry in reverse order; each part's 13
// characters land 13 places lower in a 260-character buffer, so the parts
// come out in reading order. 20 parts fill it: a name of 255 characters.
class LongNameBuffer {
 public:
  static constexpr size_t kChars = 260;
  static constexpr size_t kPartChars = 13;  // kFatLongNamePartChars

  void Reset() { m_pos = kChars; }
  // Adds one 32-byte long-name part. False (nothing added) when 20 parts are
  // already held: no name is that long, and the caller drops the run.
  [[nodiscard]] bool AddPart(ByteView entry);
  [[nodiscard]] bool HasName() const { return m_pos < kChars; }
  // The collected name as UTF-8 (up to the first NUL); resets the buffer.
  [[nodiscard]] std::string Take();

 private:
  char16_t m_chars[kChars] = {};
  size_t m_pos = kChars;
};

// The short name of an entry: the base without trailing blanks, then, for a
// file whose extension does not start with a blank, "." and the extension
// without trailing blanks; A-Z lowered; a first byte 0xE5 shown as "!".
// Bytes above 0x7F are read in the short-name code page (Latin capitals
// lowered too); a first byte 0x05 stands for 0xE5.
[[nodiscard]] std::string ShortEntryName(ByteView entry, bool isFolder);

// The code page short names are read in, for the whole process: 437 (what
// DOS, cameras and Windows in most locales write), 850 or 1252. The front
// ends set it at start-up from config.ini ([Settings] ShortNameCodePage).
inline constexpr int kDefaultShortNameCodePage = 437;
// False (nothing changes) for a code page not in the list.
bool SetShortNameCodePage(int codePage);
[[nodiscard]] int ShortNameCodePage();

}  // namespace velmira
