#include "storage/rescue_map.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/errors.h"
#include "platform/file_handle.h"

namespace velmira {
namespace {

bool IsBlockStatus(char c) {
  return c == kMapNonTried || c == kMapNonTrimmed || c == kMapNonScraped || c == kMapBad || c == kMapFinished;
}

// A C++-style integer constant (decimal, 0x hex, 0 octal), the whole token.
bool ParseNumber(const std::string& token, uint64_t& value) {
  if (token.empty() || token[0] == '-' || token[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(token.c_str(), &end, 0);
  if (errno != 0 || end == token.c_str() || *end != '\0') return false;
  value = v;
  return true;
}

std::string Hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%08" PRIX64, v);
  return buf;
}

}  // namespace

void RescueMap::Reset(uint64_t size) {
  m_blocks.clear();
  m_size = size;
  if (size != 0) m_blocks[0] = {size, kMapNonTried};
  currentPos = 0;
  currentStatus = kMapNonTried;
  currentPass = 1;
}

void RescueMap::Split(uint64_t pos) {
  if (pos == 0 || pos >= m_size) return;
  auto it = m_blocks.upper_bound(pos);
  --it;  // the block starting at or before pos; block 0 always exists
  const uint64_t start = it->first;
  if (start == pos) return;
  const auto [size, status] = it->second;
  it->second.first = pos - start;
  m_blocks.emplace_hint(std::next(it), pos, std::make_pair(start + size - pos, status));
}

void RescueMap::Mark(uint64_t pos, uint64_t size, char status) {
  if (pos >= m_size || size == 0) return;
  size = std::min(size, m_size - pos);
  const uint64_t end = pos + size;
  Split(pos);
  Split(end);
  auto first = m_blocks.find(pos);
  auto last = m_blocks.lower_bound(end);
  first = m_blocks.erase(first, last);
  auto it = m_blocks.emplace_hint(first, pos, std::make_pair(size, status));
  // Merge with the block after, then with the block before.
  auto next = std::next(it);
  if (next != m_blocks.end() && next->second.second == status) {
    it->second.first += next->second.first;
    m_blocks.erase(next);
  }
  if (it != m_blocks.begin()) {
    auto prev = std::prev(it);
    if (prev->second.second == status) {
      prev->second.first += it->second.first;
      m_blocks.erase(it);
    }
  }
}

bool RescueMap::NextBlock(char status, uint64_t from, MapBlock& block) const {
  if (from >= m_size) return false;
  auto it = m_blocks.upper_bound(from);
  --it;
  for (; it != m_blocks.end(); ++it) {
    if (it->second.second != status) continue;
    const uint64_t start = std::max(it->first, from);
    block = {start, it->first + it->second.first - start, status};
    return true;
  }
  return false;
}

MapBlock RescueMap::BlockAt(uint64_t pos) const {
  if (pos >= m_size) return {m_size, 0, kMapFinished};
  auto it = m_blocks.upper_bound(pos);
  --it;
  return {it->first, it->second.first, it->second.second};
}

std::vector<MapBlock> RescueMap::Blocks() const {
  std::vector<MapBlock> out;
  out.reserve(m_blocks.size());
  for (const auto& [pos, entry] : m_blocks) out.push_back({pos, entry.first, entry.second});
  return out;
}

uint64_t RescueMap::Bytes(char status) const {
  uint64_t total = 0;
  for (const auto& [pos, entry] : m_blocks)
    if (entry.second == status) total += entry.first;
  return total;
}

std::string RescueMap::Format(const std::vector<std::string>& comments) const {
  std::string out;
  out.reserve(128 + m_blocks.size() * 28);
  for (const auto& line : comments) out += "# " + line + "\n";
  out += "# current_pos  current_status  current_pass\n";
  out += Hex(currentPos) + "     " + currentStatus + "               " + std::to_string(currentPass) + "\n";
  out += "#      pos        size  status\n";
  for (const auto& [pos, entry] : m_blocks)
    out += Hex(pos) + "  " + Hex(entry.first) + "  " + entry.second + "\n";
  return out;
}

bool RescueMap::Parse(const std::string& text, std::string& error) {
  std::istringstream in(text);
  std::string line;
  bool haveStatus = false;
  std::map<uint64_t, std::pair<uint64_t, char>> blocks;
  uint64_t expected = 0;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string w; fields >> w;) words.push_back(w);
    if (words.empty()) continue;
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    if (!haveStatus) {
      // current_pos current_status [current_pass]
      uint64_t pos = 0;
      if (words.size() < 2 || words.size() > 3 || !ParseNumber(words[0], pos) || words[1].size() != 1) {
        error = where + "the status line is not 'position status pass'";
        return false;
      }
      const char status = words[1][0];
      if (!IsBlockStatus(status) && status != 'F' && status != 'G') {
        error = where + "unknown status '" + words[1] + "'";
        return false;
      }
      int pass = 1;
      if (words.size() == 3) {
        uint64_t p = 0;
        if (!ParseNumber(words[2], p) || p == 0 || p > 1000) {
          error = where + "the pass is not a small positive number";
          return false;
        }
        pass = static_cast<int>(p);
      }
      currentPos = pos;
      currentStatus = status;
      currentPass = pass;
      haveStatus = true;
      continue;
    }
    uint64_t pos = 0, size = 0;
    if (words.size() != 3 || !ParseNumber(words[0], pos) || !ParseNumber(words[1], size) ||
        words[2].size() != 1 || !IsBlockStatus(words[2][0])) {
      error = where + "a block line is not 'position size status'";
      return false;
    }
    if (pos != expected) {
      error = where + "the block at " + Hex(pos) + " does not follow the one before (expected " +
              Hex(expected) + ")";
      return false;
    }
    if (size == 0 || size > UINT64_MAX - pos) {
      error = where + "the block's size is 0 or too large";
      return false;
    }
    // Neighbours of one status are kept as one block.
    if (!blocks.empty() && std::prev(blocks.end())->second.second == words[2][0])
      std::prev(blocks.end())->second.first += size;
    else
      blocks[pos] = {size, words[2][0]};
    expected = pos + size;
  }
  if (!haveStatus) {
    error = "there is no status line";
    return false;
  }
  m_blocks = std::move(blocks);
  m_size = expected;
  return true;
}

std::string MapPhaseText(char status, int pass) {
  switch (status) {
    case kMapNonTried:
      return "Copying non-tried blocks... Pass " + std::to_string(pass) + " (forwards)";
    case kMapNonTrimmed:
      return "Trimming failed blocks... (forwards)";
    case kMapNonScraped:
      return "Scraping failed blocks... (forwards)";
    case kMapFinished:
      return "Finished";
    default:
      return "Retrying bad sectors...";
  }
}

int32_t LoadTextFile(const std::string& path, std::string& text, uint64_t limit) {
  FileHandle file;
  int32_t err = OpenReadOnly(path, file);
  if (err != kOk) return err;
  uint64_t length = 0;
  err = HandleLength(file, length);
  if (err != kOk) return err;
  if (length > limit) return kErrInvalidData;
  text.assign(static_cast<size_t>(length), '\0');
  size_t got = 0;
  while (got < text.size()) {
    size_t done = 0;
    err = ReadAt(file, text.data() + got, text.size() - got, got, done);
    if (err != kOk) return err;
    if (done == 0) break;
    got += done;
  }
  text.resize(got);
  return kOk;
}

}  // namespace velmira
