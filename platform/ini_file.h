// INI files (config.ini and the language files): a small reader and writer
// with the usual profile-file rules (first "=" splits, first key wins).
// Files are UTF-8 (a leading byte-order mark is skipped), lines end in LF or
// CRLF. "[name]" opens a section; in a section every line with a "=" is an
// entry, split at its first "=", key and text trimmed of blanks. Lines
// starting with ";" or "#", lines without "=", and lines before the first
// section are ignored. Section and key names compare without regard to ASCII
// case; of two sections with one name the first answers.
//
// The buffer limits are counted in characters (Unicode code points), so that
// a limit means the same for every language whatever its UTF-8 byte length:
// every listed name or line takes its length plus one, and the list ends with
// one more; a list of at most `bufferChars` ends before the first item that
// does not fit whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmira {

class IniFile {
 public:
  // Reads and parses a file. False (and an empty document) when it cannot be read.
  [[nodiscard]] bool Load(const std::string& path);
  // Parses text already in memory.
  void Parse(std::string_view text);

  // Whether a section of that name exists.
  [[nodiscard]] bool HasSection(std::string_view section) const;

  // The section names in file order, as far as they fit into `bufferChars`.
  [[nodiscard]] std::vector<std::string> SectionNames(size_t bufferChars) const;

  // The entries of a section as "key=text" lines in file order, as far as
  // they fit into `bufferChars`. Empty for a missing section.
  [[nodiscard]] std::vector<std::string> SectionLines(std::string_view section, size_t bufferChars) const;

  // The text of the first entry of `key` in `section`, else `fallback`; one
  // pair of enclosing double or single quotes is removed; the result is cut
  // to bufferChars - 1 characters.
  [[nodiscard]] std::string GetString(std::string_view section, std::string_view key,
                                      std::string_view fallback, size_t bufferChars) const;

 private:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;
  };
  [[nodiscard]] const Section* Find(std::string_view section) const;

  std::vector<Section> m_sections;
};

// Sets `key` in `section` of the file at `path` to `text`: the first entry of
// that key is rewritten, or the key is added at the end of the section, or
// the section is added at the end of the file; every other line stays as it
// was. A missing file is created (its folder must exist). The file is
// replaced through a temporary file in the same folder. 0 or a Win32 code;
// 87 for a section or key that is empty or holds a line break, "]" or (key) "=".
[[nodiscard]] int32_t WriteIniString(const std::string& path, std::string_view section, std::string_view key,
                                     std::string_view text);

// The first `maxChars` characters of a UTF-8 text (cut on a character boundary).
[[nodiscard]] std::string CutToChars(std::string_view text, size_t maxChars);
// The number of characters (code points) of a UTF-8 text.
[[nodiscard]] size_t CharCount(std::string_view text);

// Splits "key=text" lines at their first "=" into a map; a key that is
// already present keeps its first text. Each line is first cut to
// `lineChars` - 1 characters; lines without "=" or with an empty key are skipped.
void AddIniLines(const std::vector<std::string>& lines, size_t lineChars,
                 std::map<std::string, std::string>& table);

}  // namespace velmira
