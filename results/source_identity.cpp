#include "results/source_identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/file_handle.h"
#include "results/scan_log_registry.h"
#include "storage/sector_source.h"

namespace fs = std::filesystem;

namespace velmira {
namespace {

constexpr const char* kFileName = "source";
constexpr const char* kVersionLine = "velmira-source=1";
// A folder's identity is a few hundred bytes; anything far larger is not one.
constexpr uint64_t kMaxFileBytes = 65536;
constexpr size_t kMaxLogs = 64;

constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

std::string InFolder(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// FNV-1a of up to kSourceHeadBytes from `offset`, as far as reads go.
void HashHead(const FileHandle& handle, uint64_t offset, uint64_t available, SourceIdentity& identity) {
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(available, kSourceHeadBytes)));
  size_t have = 0;
  while (have < head.size()) {
    size_t done = 0;
    if (ReadAt(handle, head.data() + have, head.size() - have, offset + have, done) != kOk || done == 0)
      break;
    have += done;
  }
  uint64_t hash = kFnvOffset;
  for (size_t i = 0; i < have; ++i) hash = (hash ^ head[i]) * kFnvPrime;
  identity.headBytes = have;
  identity.headHash = hash;
}

std::string Escape(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '%' || c == '=') {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unescape(std::string_view text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

bool ParseNumber(std::string_view text, uint64_t& value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseHex(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 16) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return ec == std::errc() && end == text.data() + text.size();
}

std::string Line(const char* key, std::string_view value) {
  return std::string(key) + "=" + Escape(value) + "\n";
}
std::string Line(const char* key, uint64_t value) {
  return std::string(key) + "=" + std::to_string(value) + "\n";
}

std::string Serialise(const SourceIdentity& identity) {
  std::string text = std::string(kVersionLine) + "\n";
  const bool image = identity.kind == SourceIdentity::Kind::kImage;
  text += Line("kind", image ? "image" : "partition");
  text += Line("drive", identity.drive);
  if (image) {
    text += Line("path", identity.imagePath);
    text += Line("writeTime", identity.imageWriteTime);
  } else {
    text += Line("start", identity.startSector);
    text += Line("count", identity.sectorCount);
  }
  text += Line("bytes", identity.bytes);
  text += Line("headBytes", identity.headBytes);
  char hash[24];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(identity.headHash));
  text += Line("headHash", hash);
  for (const std::string& log : identity.logs) text += Line("log", log);
  return text;
}

bool Parse(std::string_view text, SourceIdentity& out) {
  out = SourceIdentity{};
  bool versioned = false;
  bool hashed = false;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) return false;  // cut short
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (!versioned) {
      if (line != kVersionLine) return false;
      versioned = true;
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    const std::string_view key = line.substr(0, eq);
    std::string value;
    if (!Unescape(line.substr(eq + 1), value)) return false;
    bool ok = true;
    if (key == "kind") {
      if (value == "image")
        out.kind = SourceIdentity::Kind::kImage;
      else if (value == "partition")
        out.kind = SourceIdentity::Kind::kPartition;
      else
        ok = false;
    } else if (key == "path") {
      out.imagePath = value;
    } else if (key == "drive") {
      out.drive = value;
    } else if (key == "writeTime") {
      ok = ParseNumber(value, out.imageWriteTime);
    } else if (key == "start") {
      ok = ParseNumber(value, out.startSector);
    } else if (key == "count") {
      ok = ParseNumber(value, out.sectorCount);
    } else if (key == "bytes") {
      ok = ParseNumber(value, out.bytes);
    } else if (key == "headBytes") {
      ok = ParseNumber(value, out.headBytes);
    } else if (key == "headHash") {
      ok = ParseHex(value, out.headHash);
      hashed = ok;
    } else if (key == "log") {
      ok = !value.empty() && value.find('/') == std::string::npos && out.logs.size() < kMaxLogs;
      if (ok) out.logs.push_back(value);
    }
    // Keys written by later versions are passed over.
    if (!ok) return false;
  }
  if (!versioned || !hashed || out.kind == SourceIdentity::Kind::kNone) return false;
  if (out.kind == SourceIdentity::Kind::kImage && out.imagePath.empty()) return false;
  return true;
}

}  // namespace

SourceIdentity PartitionSourceIdentity(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount) {
  SourceIdentity identity;
  std::string device;
  if (DiskDevicePath(diskNumber, device) != kOk) return identity;
  SectorSource source;
  OpenedTarget opened;
  if (OpenTargetSource(PartitionTarget(diskNumber, startSector, sectorCount, 0), source, opened) != kOk)
    return identity;
  identity.kind = SourceIdentity::Kind::kPartition;
  identity.drive = DriveIdentity(device);
  identity.startSector = startSector;
  identity.sectorCount = sectorCount;
  const uint64_t bps = opened.bytesPerSector;
  identity.bytes = opened.sectorCount <= UINT64_MAX / bps ? opened.sectorCount * bps : 0;
  if (startSector <= UINT64_MAX / bps) HashHead(source.handle, startSector * bps, identity.bytes, identity);
  (void)CloseSource(source);  // read-only, and the identity is already taken
  return identity;
}

SourceIdentity ImageSourceIdentity(const std::string& path) {
  SourceIdentity identity;
  std::error_code ec;
  const fs::path canonical = fs::canonical(path, ec);
  if (ec) return identity;
  FileHandle handle;
  uint64_t length = 0;
  if (OpenReadOnly(canonical.string(), handle) != kOk || HandleLength(handle, length) != kOk) return identity;
  identity.kind = SourceIdentity::Kind::kImage;
  identity.imagePath = canonical.string();
  if (fs::is_block_file(canonical, ec)) {
    // A device named by its path: its node's time says nothing about the
    // medium (it is made anew when a card goes in), the drive itself does.
    identity.drive = DriveIdentity(identity.imagePath);
  } else {
    identity.imageWriteTime = FileWriteTime(identity.imagePath);
  }
  identity.bytes = length;
  HashHead(handle, 0, length, identity);
  return identity;
}

bool SameSource(const SourceIdentity& stored, const SourceIdentity& current) {
  if (stored.kind != current.kind || stored.kind == SourceIdentity::Kind::kNone) return false;
  if (stored.bytes != current.bytes || stored.headBytes != current.headBytes ||
      stored.headHash != current.headHash)
    return false;
  if (stored.kind == SourceIdentity::Kind::kImage)
    return stored.imagePath == current.imagePath && stored.imageWriteTime == current.imageWriteTime &&
           stored.drive == current.drive;
  if (stored.startSector != current.startSector || stored.sectorCount != current.sectorCount) return false;
  return stored.drive.empty() || current.drive.empty() || stored.drive == current.drive;
}

std::string LoggedName(const SourceIdentity& identity, std::string_view prefix) {
  for (const std::string& log : identity.logs)
    if (log.size() > prefix.size() && log.compare(0, prefix.size(), prefix) == 0) return log;
  return {};
}

int32_t WriteSourceIdentity(const std::string& folder, const SourceIdentity& identity) {
  if (identity.kind == SourceIdentity::Kind::kNone) return kErrInvalidParameter;
  return ReplaceFileContents(InFolder(folder, kFileName), Serialise(identity));
}

bool ReadSourceIdentity(const std::string& folder, SourceIdentity& identity) {
  identity = SourceIdentity{};
  const std::string path = InFolder(folder, kFileName);
  // Only a plain file is read: a FIFO or a link put there must not block or
  // lead elsewhere.
  std::error_code ec;
  if (!fs::is_regular_file(fs::symlink_status(path, ec))) return false;
  FileHandle in;
  uint64_t length = 0;
  if (OpenReadOnly(path, in) != kOk || HandleLength(in, length) != kOk || length > kMaxFileBytes)
    return false;
  std::string text(static_cast<size_t>(length), '\0');
  size_t have = 0;
  while (have < text.size()) {
    size_t done = 0;
    if (ReadAt(in, text.data() + have, text.size() - have, have, done) != kOk || done == 0) return false;
    have += done;
  }
  if (!Parse(text, identity)) {
    identity = SourceIdentity{};
    return false;
  }
  return true;
}

bool HasSourceIdentity(const std::string& folder) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(InFolder(folder, kFileName), ec));
}

}  // namespace velmira
