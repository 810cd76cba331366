// printf-style formatting of texts that come from the language files
// ("%s %d", "MSG1102" with four integers, ...). The format is untrusted: a
// translation may hold more, fewer or other conversions than the program
// passes. Each conversion takes the next argument and writes it in the way
// the conversion asks as far as that makes sense (a number for %s is written
// in decimal, a text for %d as it is); a missing argument writes nothing.
// Nothing here can read past the arguments or overflow.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace velmira {

class FormatArg {
 public:
  FormatArg(int value) : m_kind(Kind::kSigned), m_signed(value) {}
  FormatArg(long value) : m_kind(Kind::kSigned), m_signed(value) {}
  FormatArg(long long value) : m_kind(Kind::kSigned), m_signed(value) {}
  FormatArg(unsigned value) : m_kind(Kind::kUnsigned), m_unsigned(value) {}
  FormatArg(unsigned long value) : m_kind(Kind::kUnsigned), m_unsigned(value) {}
  FormatArg(unsigned long long value) : m_kind(Kind::kUnsigned), m_unsigned(value) {}
  FormatArg(const char* text) : m_kind(Kind::kText), m_text(text == nullptr ? "" : text) {}
  FormatArg(std::string_view text) : m_kind(Kind::kText), m_text(text) {}
  FormatArg(const std::string& text) : m_kind(Kind::kText), m_text(text) {}
  // One character (a code point), for %c.
  static FormatArg Char(char32_t c) {
    FormatArg arg(0);
    arg.m_kind = Kind::kChar;
    arg.m_unsigned = c;
    return arg;
  }

  enum class Kind { kSigned, kUnsigned, kText, kChar };
  [[nodiscard]] Kind kind() const { return m_kind; }
  [[nodiscard]] int64_t signedValue() const { return m_signed; }
  [[nodiscard]] uint64_t unsignedValue() const { return m_unsigned; }
  [[nodiscard]] std::string_view text() const { return m_text; }

 private:
  Kind m_kind;
  int64_t m_signed = 0;
  uint64_t m_unsigned = 0;
  std::string_view m_text;
};

// Understands %%, and %[flags -0+ ][width][.precision][h|l|ll|z|j]
// followed by d, i, u, x, X, c or s (a language file's %I64u reads as %llu); widths and precisions above 256
// are cut to 256. Anything else after "%" is copied as it stands.
[[nodiscard]] std::string FormatText(std::string_view format, std::initializer_list<FormatArg> args);

}  // namespace velmira
