#include "platform/text.h"

#include <cstring>

namespace velmira {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at text[i]; advances i. Malformed input gives U+FFFD
// and advances one byte.
char32_t DecodeUtf8(std::string_view text, size_t& i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int len = 0;
  char32_t cp = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    ++i;
    return kReplacement;
  }
  if (i + static_cast<size_t>(len) > text.size()) {
    ++i;
    return kReplacement;
  }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  const bool overlong = (len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
  if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return kReplacement;
  }
  i += static_cast<size_t>(len);
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

template <typename UnitAt>
std::string DecodeUtf16(size_t units, UnitAt unitAt) {
  std::string out;
  out.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    char16_t u = unitAt(i);
    if (u == 0) break;
    char32_t cp = u;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 < units) {
        char16_t lo = unitAt(i + 1);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (lo - 0xDC00);
          ++i;
        } else {
          cp = kReplacement;
        }
      } else {
        cp = kReplacement;
      }
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      cp = kReplacement;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    char32_t cp = DecodeUtf8(text, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  // Unlike the stored form, an in-memory string may hold NULs; keep them.
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u'\0', start);
    if (end == std::u16string_view::npos) end = text.size();
    out += DecodeUtf16(end - start, [&](size_t i) { return text[start + i]; });
    if (end == text.size()) break;
    out.push_back('\0');
    start = end + 1;
  }
  return out;
}

std::string Utf16LeBytesToUtf8(const uint8_t* bytes, size_t units) {
  return DecodeUtf16(units,
                     [&](size_t i) { return static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)); });
}

void WriteUtf16LeField(uint8_t* field, size_t units, std::u16string_view text) {
  std::memset(field, 0, units * 2);
  if (units == 0) return;
  size_t n = std::min(text.size(), units - 1);
  if (n > 0 && n < text.size() && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
  for (size_t i = 0; i < n; ++i) {
    field[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
    field[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
  }
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

int AsciiCompareNoCase(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(AsciiLower(a[i]));
    const auto cb = static_cast<unsigned char>(AsciiLower(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && AsciiCompareNoCase(a, b) == 0;
}

size_t Utf8BoundaryAtOrBefore(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text.size();
  size_t n = maxBytes;
  // Step back over continuation bytes so the cut falls before a lead byte.
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

void CopyToNameField(char* field, size_t size, std::string_view text) {
  if (size == 0) return;
  std::memset(field, 0, size);
  size_t end = text.find('\0');
  if (end != std::string_view::npos) text = text.substr(0, end);
  const size_t n = Utf8BoundaryAtOrBefore(text, size - 1);
  std::memcpy(field, text.data(), n);
}

std::string NameFieldText(const char* field, size_t size) {
  const void* nul = std::memchr(field, 0, size);
  const size_t n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : size;
  return std::string(field, n);
}

std::string SafeFileName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F)
      out.push_back('_');
    else
      out.push_back(c);
  }
  if (out.empty() || out == "." || out == "..") out = "_";
  return out;
}

std::string FitNameBytes(std::string_view name, size_t maxBytes) {
  if (name.size() <= maxBytes) return std::string(name);
  constexpr std::string_view kCut = "\xE2\x80\xA6";  // "…"
  constexpr size_t kMaxKeptExtension = 40;
  std::string_view extension;
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0 && name.size() - dot <= kMaxKeptExtension &&
      name.size() - dot + kCut.size() < maxBytes)
    extension = name.substr(dot);
  if (maxBytes < kCut.size() + extension.size())
    return std::string(name.substr(0, Utf8BoundaryAtOrBefore(name, maxBytes)));
  const std::string_view base = name.substr(0, name.size() - extension.size());
  std::string out(base.substr(0, Utf8BoundaryAtOrBefore(base, maxBytes - kCut.size() - extension.size())));
  out += kCut;
  out += extension;
  return out;
}

}  // namespace velmira
