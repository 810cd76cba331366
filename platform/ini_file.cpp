#include "platform/ini_file.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/errors.h"
#include "platform/text.h"

namespace velmira {
namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";

std::string_view Trim(std::string_view s) {
  const size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

// Splits text into lines without their line ends.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    pos = end + 1;
  }
  return lines;
}

// The name of a "[name]" line, or false when the line is not a section line.
bool SectionNameOf(std::string_view line, std::string_view& name) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return false;
  line.remove_prefix(1);
  const size_t close = line.find(']');
  name = Trim(close == std::string_view::npos ? line : line.substr(0, close));
  return true;
}

bool IsComment(std::string_view trimmed) {
  return !trimmed.empty() && (trimmed.front() == ';' || trimmed.front() == '#');
}

// Appends items in order while the list (each item plus its terminator,
// and the final terminator) fits into bufferChars; false at the first item
// that does not fit, which ends the list as a full buffer would.
bool AppendIfFits(std::vector<std::string>& out, size_t& used, size_t bufferChars, std::string item) {
  const size_t need = CharCount(item) + 1;
  if (used + need + 1 > bufferChars) return false;
  used += need;
  out.push_back(std::move(item));
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  text = buffer.str();
  return true;
}

bool HasLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

size_t CharCount(std::string_view text) {
  size_t count = 0;
  for (const char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  return count;
}

std::string CutToChars(std::string_view text, size_t maxChars) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (chars == maxChars) return std::string(text.substr(0, i));
    ++chars;
  }
  return std::string(text);
}

bool IniFile::Load(const std::string& path) {
  m_sections.clear();
  std::string text;
  if (!ReadWholeFile(path, text)) return false;
  Parse(text);
  return true;
}

void IniFile::Parse(std::string_view text) {
  m_sections.clear();
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  Section* current = nullptr;
  for (const std::string_view raw : SplitLines(text)) {
    const std::string_view line = Trim(raw);
    std::string_view name;
    if (SectionNameOf(line, name)) {
      current = &m_sections.emplace_back();
      current->name = std::string(name);
      continue;
    }
    if (current == nullptr || line.empty() || IsComment(line)) continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    if (key.empty()) continue;
    current->entries.emplace_back(std::string(key), std::string(Trim(line.substr(eq + 1))));
  }
}

const IniFile::Section* IniFile::Find(std::string_view section) const {
  for (const Section& s : m_sections)
    if (AsciiEqualNoCase(s.name, section)) return &s;
  return nullptr;
}

bool IniFile::HasSection(std::string_view section) const {
  return Find(section) != nullptr;
}

std::vector<std::string> IniFile::SectionNames(size_t bufferChars) const {
  std::vector<std::string> names;
  size_t used = 0;
  for (const Section& s : m_sections)
    if (!AppendIfFits(names, used, bufferChars, s.name)) break;
  return names;
}

std::vector<std::string> IniFile::SectionLines(std::string_view section, size_t bufferChars) const {
  std::vector<std::string> lines;
  const Section* s = Find(section);
  if (s == nullptr) return lines;
  size_t used = 0;
  for (const auto& [key, text] : s->entries)
    if (!AppendIfFits(lines, used, bufferChars, key + "=" + text)) break;
  return lines;
}

std::string IniFile::GetString(std::string_view section, std::string_view key, std::string_view fallback,
                               size_t bufferChars) const {
  std::string_view value = fallback;
  if (const Section* s = Find(section); s != nullptr) {
    for (const auto& [k, text] : s->entries) {
      if (!AsciiEqualNoCase(k, key)) continue;
      value = text;
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      break;
    }
  }
  return bufferChars == 0 ? std::string() : CutToChars(value, bufferChars - 1);
}

void AddIniLines(const std::vector<std::string>& lines, size_t lineChars,
                 std::map<std::string, std::string>& table) {
  for (const std::string& full : lines) {
    const std::string line = CutToChars(full, lineChars == 0 ? 0 : lineChars - 1);
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    table.emplace(line.substr(0, eq), line.substr(eq + 1));  // a present key keeps its text
  }
}

int32_t WriteIniString(const std::string& path, std::string_view section, std::string_view key,
                       std::string_view text) {
  if (Trim(section).empty() || Trim(key).empty() || HasLineBreak(section) || HasLineBreak(key) ||
      HasLineBreak(text) || section.find(']') != std::string_view::npos ||
      key.find('=') != std::string_view::npos) {
    return kErrInvalidParameter;
  }
  std::string old;
  if (!ReadWholeFile(path, old)) {
    if (::access(path.c_str(), F_OK) == 0) return kErrAccessDenied;
    old.clear();
  }
  const bool crlf = old.find("\r\n") != std::string::npos;
  const std::string eol = crlf ? "\r\n" : "\n";
  const std::string entry = std::string(key) + "=" + std::string(text);

  std::vector<std::string> lines;
  for (const std::string_view line : SplitLines(old)) lines.emplace_back(line);

  // Where the section starts and ends, and its first entry of the key.
  size_t head = lines.size();
  size_t end = lines.size();
  size_t found = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view name;
    if (!SectionNameOf(lines[i], name)) continue;
    if (head == lines.size()) {
      if (AsciiEqualNoCase(name, Trim(section))) head = i;
    } else {
      end = i;
      break;
    }
  }
  if (head < lines.size()) {
    for (size_t i = head + 1; i < end; ++i) {
      const std::string_view line = Trim(lines[i]);
      const size_t eq = line.find('=');
      if (IsComment(line) || eq == std::string_view::npos) continue;
      if (AsciiEqualNoCase(Trim(line.substr(0, eq)), Trim(key))) {
        found = i;
        break;
      }
    }
    if (found < lines.size()) {
      lines[found] = entry;
    } else {
      // After the section's last non-blank line.
      size_t at = end;
      while (at > head + 1 && Trim(lines[at - 1]).empty()) --at;
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), entry);
    }
  } else {
    if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back();
    lines.push_back("[" + std::string(Trim(section)) + "]");
    lines.push_back(entry);
  }

  std::string out;
  for (const std::string& line : lines) out += line + eol;

  const std::string temp = path + ".tmp~" + std::to_string(::getpid());
  {
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    if (!file) return LastError(IoDirection::kWrite);
    file << out;
    file.flush();
    if (!file) {
      std::remove(temp.c_str());
      return kErrWriteFault;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    const int32_t err = LastError(IoDirection::kWrite);
    std::remove(temp.c_str());
    return err;
  }
  return kOk;
}

}  // namespace velmira
