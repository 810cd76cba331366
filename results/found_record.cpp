#include "results/found_record.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "platform/text.h"

namespace velmira {
namespace {

// "…~" and eight hex digits between the start of a long name and its extension.
constexpr std::string_view kCutMark = "\xE2\x80\xA6~";
constexpr size_t kHashDigits = 8;
constexpr size_t kMaxKeptExtensionBytes = 40;

// Long names of this process by their stored form. Only names that do not
// fit the field are kept; a process meets few of them.
struct LongNameTable {
  std::shared_mutex mutex;
  std::unordered_map<std::string, std::string> byStored;
};

LongNameTable& Table() {
  static LongNameTable table;
  return table;
}

uint32_t NameHash(std::string_view name) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (const char c : name) {
    h ^= static_cast<unsigned char>(c);
    h *= 16777619u;
  }
  return h;
}

std::string_view UpToNul(std::string_view name) {
  const size_t nul = name.find('\0');
  return nul == std::string_view::npos ? name : name.substr(0, nul);
}

}  // namespace

std::string LongNameStoredForm(std::string_view name) {
  name = UpToNul(name);
  if (name.size() < kFoundNameBytes) return std::string(name);
  std::string_view extension;
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0 && name.size() - dot <= kMaxKeptExtensionBytes)
    extension = name.substr(dot);
  const std::string_view base = name.substr(0, name.size() - extension.size());
  const size_t room = kFoundNameBytes - 1 - kCutMark.size() - kHashDigits - extension.size();
  char digits[kHashDigits + 1];
  std::snprintf(digits, sizeof digits, "%08x", NameHash(name));
  std::string stored(base.substr(0, Utf8BoundaryAtOrBefore(base, room)));
  stored += kCutMark;
  stored.append(digits, kHashDigits);
  stored += extension;
  return stored;
}

std::string RememberLongName(std::string_view name) {
  name = UpToNul(name);
  std::string stored = LongNameStoredForm(name);
  if (stored.size() == name.size()) return stored;
  LongNameTable& table = Table();
  std::unique_lock lock(table.mutex);
  table.byStored.insert_or_assign(stored, std::string(name));
  return stored;
}

bool FindLongName(std::string_view stored, std::string& name) {
  // Stored forms fill the field but for the room a character boundary takes.
  if (stored.size() + 4 < kFoundNameBytes - 1 || stored.find(kCutMark) == std::string_view::npos)
    return false;
  LongNameTable& table = Table();
  std::shared_lock lock(table.mutex);
  const auto it = table.byStored.find(std::string(stored));
  if (it == table.byStored.end()) return false;
  name = it->second;
  return true;
}

std::string RecordName(const FoundRecord& record) {
  std::string name = NameFieldText(record.name, sizeof record.name);
  if (std::string full; FindLongName(name, full)) return full;
  return name;
}

void SetRecordName(FoundRecord& record, const std::string& name) {
  CopyToNameField(record.name, sizeof record.name, RememberLongName(name));
}

}  // namespace velmira
