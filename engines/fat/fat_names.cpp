#include "engines/fat/fat_names.h"

#include "platform/text.h"

namespace velmira {
namespace {

// Offsets of the 13 UTF-16 characters inside a long-name part.
constexpr size_t kCharOffsets[LongNameBuffer::kPartChars] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

void AppendLatin1(std::string& out, uint8_t b) {
  if (b < 0x80) {
    out.push_back(static_cast<char>(AsciiLower(static_cast<char>(b))));
  } else {
    out.push_back(static_cast<char>(0xC0 | (b >> 6)));
    out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
  }
}

}  // namespace

bool LongNameBuffer::AddPart(ByteView entry) {
  if (m_pos <= kPartChars) return false;
  m_pos -= kPartChars;
  for (size_t i = 0; i < kPartChars; ++i) m_chars[m_pos + i] = entry.U16At(kCharOffsets[i]);
  return true;
}

std::string LongNameBuffer::Take() {
  std::u16string name;
  for (size_t i = m_pos; i < kChars && m_chars[i] != 0; ++i) name.push_back(m_chars[i]);
  Reset();
  return Utf16ToUtf8(name);
}

std::string ShortEntryName(ByteView entry, bool isFolder) {
  std::string name;
  size_t baseEnd = 8;
  while (baseEnd > 0 && entry.U8At(baseEnd - 1) == ' ') --baseEnd;
  for (size_t i = 0; i < baseEnd; ++i) {
    const uint8_t b = entry.U8At(i);
    if (i == 0 && b == 0xE5)
      name.push_back('!');
    else
      AppendLatin1(name, b);
  }
  if (!isFolder && entry.U8At(8) != ' ') {
    size_t extEnd = 11;
    while (extEnd > 8 && entry.U8At(extEnd - 1) == ' ') --extEnd;
    name.push_back('.');
    for (size_t i = 8; i < extEnd; ++i) AppendLatin1(name, entry.U8At(i));
  }
  return name;
}

}  // namespace velmira
