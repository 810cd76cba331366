// Text helpers: UTF-8 is the "system code page", UTF-16LE is what some stored
// fields hold, and case-insensitive comparison folds ASCII only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmira {

// Invalid input sequences become U+FFFD; unpaired surrogates likewise.
[[nodiscard]] std::u16string Utf8ToUtf16(std::string_view text);
[[nodiscard]] std::string Utf16ToUtf8(std::u16string_view text);

// UTF-16LE bytes (as stored on disk, possibly unaligned) to UTF-8; stops at
// the first NUL unit or after `units` units.
[[nodiscard]] std::string Utf16LeBytesToUtf8(const uint8_t* bytes, size_t units);

// Writes text as UTF-16LE into a field of `units` code units, NUL-padded;
// the text is cut so that at least one NUL remains and no pair is split.
void WriteUtf16LeField(uint8_t* field, size_t units, std::u16string_view text);

[[nodiscard]] char AsciiLower(char c);
[[nodiscard]] char AsciiUpper(char c);
[[nodiscard]] std::string AsciiLower(std::string_view text);
[[nodiscard]] std::string AsciiUpper(std::string_view text);
// stricmp: <0, 0, >0, folding ASCII letters only.
[[nodiscard]] int AsciiCompareNoCase(std::string_view a, std::string_view b);
[[nodiscard]] bool AsciiEqualNoCase(std::string_view a, std::string_view b);

// Copies text into a fixed char field of `size` bytes, NUL-terminated, cut on
// a UTF-8 character boundary so that the stored name stays valid. The rest
// of the field is zero-filled.
void CopyToNameField(char* field, size_t size, std::string_view text);

// The text of a NUL-terminated fixed field (never reads past `size`).
[[nodiscard]] std::string NameFieldText(const char* field, size_t size);

// The length of the longest prefix of `text` not longer than `maxBytes` that
// ends on a character boundary.
[[nodiscard]] size_t Utf8BoundaryAtOrBefore(std::string_view text, size_t maxBytes);

// A found name made safe to use as one path component of a recovered file:
// "/", "\", NUL and control characters become "_", and "." or ".." (or an
// empty name) become "_".
[[nodiscard]] std::string SafeFileName(std::string_view name);

// Linux file systems take names of up to 255 bytes; a recovered file's name
// leaves room for a "(N)" to make it unique and for ".partial".
inline constexpr size_t kMaxRecoveredNameBytes = 239;

// `name` when it has at most `maxBytes` bytes; else its start and its
// extension (the text from the last ".", up to 40 bytes) joined by "…",
// cut on a character boundary, so that the name keeps its type.
[[nodiscard]] std::string FitNameBytes(std::string_view name, size_t maxBytes);

}  // namespace velmira
