// The map kept beside a disk image (OUT.img.map): which byte ranges of the
// copy are done, not tried yet, or found bad. It is written in the mapfile
// format of GNU ddrescue, so that ddrescuelog and the habits of people who
// rescue failing drives work with it:
//
//   # comment lines (the program, the source, times, the phase)
//   # current_pos  current_status  current_pass
//   0x00120000     ?               1
//   #      pos        size  status
//   0x00000000  0x00117000  +
//   0x00117000  0x00000200  -
//
// Positions are byte offsets into the image (the first copied sector is 0).
// Block statuses: '?' not tried, '*' failed and not trimmed, '/' failed and
// not scraped, '-' bad sector(s), '+' copied. The blocks are contiguous and
// together cover the whole copy.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace velmira {

enum MapStatus : char {
  kMapNonTried = '?',
  kMapNonTrimmed = '*',
  kMapNonScraped = '/',
  kMapBad = '-',
  kMapFinished = '+',
};

struct MapBlock {
  uint64_t pos = 0;
  uint64_t size = 0;
  char status = kMapNonTried;
  [[nodiscard]] uint64_t end() const { return pos + size; }
  bool operator==(const MapBlock&) const = default;
};

class RescueMap {
 public:
  // One block of `size` bytes, not tried; the copy's phase starts at pass 1.
  void Reset(uint64_t size);
  // Gives [pos, pos + size) the status; neighbours of the same status merge.
  // The range is clipped to the map.
  void Mark(uint64_t pos, uint64_t size, char status);
  // The first block of `status` that ends after `from`, clipped to start no
  // earlier than `from`; false when there is none.
  [[nodiscard]] bool NextBlock(char status, uint64_t from, MapBlock& block) const;
  // The block holding byte `pos` (pos < Size()).
  [[nodiscard]] MapBlock BlockAt(uint64_t pos) const;
  [[nodiscard]] std::vector<MapBlock> Blocks() const;
  // Bytes in blocks of `status`.
  [[nodiscard]] uint64_t Bytes(char status) const;
  [[nodiscard]] uint64_t Size() const { return m_size; }
  // True when nothing is left to read: every byte is copied or bad.
  [[nodiscard]] bool Complete() const { return Bytes(kMapFinished) + Bytes(kMapBad) == m_size; }

  // The status line: where the copy is, its phase (a block status, '+' when
  // finished) and the pass of that phase.
  uint64_t currentPos = 0;
  char currentStatus = kMapNonTried;
  int currentPass = 1;

  // The whole file; `comments` are lines put before the status line, each
  // without its "# ".
  [[nodiscard]] std::string Format(const std::vector<std::string>& comments) const;
  // Reads a map written by Format, ddrescue or by hand (decimal, 0x hex or
  // 0 octal numbers; '#' starts a comment). False with a reason when the
  // text is not a map, or its blocks overlap, leave gaps or do not start at 0.
  [[nodiscard]] bool Parse(const std::string& text, std::string& error);

 private:
  // Makes a block boundary at `pos` (inside the map).
  void Split(uint64_t pos);
  // pos -> (size, status)
  std::map<uint64_t, std::pair<uint64_t, char>> m_blocks;
  uint64_t m_size = 0;
};

// The phase text ddrescue users know, for the comment line: "Copying non-tried
// blocks... Pass 1", "Trimming failed blocks...", "Finished".
[[nodiscard]] std::string MapPhaseText(char status, int pass);

// Reads a small text file (at most `limit` bytes). 0, kErrFileNotFound, or the
// read error; kErrInvalidData when the file is larger than the limit.
[[nodiscard]] int32_t LoadTextFile(const std::string& path, std::string& text, uint64_t limit);

}  // namespace velmira
