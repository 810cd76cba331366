// LZNT1, the compression of NTFS's compressed files: a compression unit
// (16 clusters) is stored as a stream of chunks, each standing for up to
// 4,096 bytes of data. A chunk starts with a 2-byte header: the low 12 bits
// are the chunk's stored size minus 1, bit 15 says it is compressed, bits
// 12-14 are 3. A header of 0 ends the stream. A compressed chunk is a run of
// groups: a tag byte whose bits, lowest first, tell whether each of the next
// 8 items is a literal byte (0) or a 2-byte back-reference (1) into the data
// of the same chunk; the split of a back-reference's 16 bits into offset and
// length depends on how far into the chunk it stands (more offset bits the
// further in).
//
// The input is untrusted: every read and write is bounds-checked, and a
// back-reference before the chunk's start or a chunk that says more than it
// holds is an error, never a read outside the buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmira {

inline constexpr size_t kLznt1ChunkBytes = 4096;

// Decompresses `input` into `output`, filling it whole: a chunk that gives
// fewer than 4,096 bytes is padded with zeros to its 4,096, and what the
// stream does not reach (it ended, or the input did) is zero. Data beyond
// the output's size is dropped. False when the stream is damaged (a
// back-reference before its chunk, a header whose signature bits are not 3,
// a chunk longer than the input); the output then holds what was decoded up
// to the damage, zeros after.
[[nodiscard]] bool Lznt1Decompress(std::span<const uint8_t> input, std::span<uint8_t> output);

}  // namespace velmira
