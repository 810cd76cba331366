// Tags that audio files carry: behind their last frame: APE tags (with or
// without their 32-byte header), Lyrics3 blocks and the 128-byte ID3v1 tag
// (with its 227-byte extension). Shared by the MPEG audio and Monkey's
// Audio rules (ape.cpp holds the walk).
#pragma once

#include <cstdint>

#include "engines/carving/carving_state.h"
#include "engines/carving/file_cursor.h"
#include "platform/byte_view.h"

namespace velmira {

// The offset past the tags that follow each other from `at` on (`at` itself
// when there are none). Every tag must hold together (sizes, marks, item
// layout); the first thing that is not a whole tag ends the walk, and an
// ID3v1 tag is always the last.
[[nodiscard]] uint64_t TrailingTagsEnd(FileCursor& cursor, uint64_t at);

// For a file that opens with an ID3v2 tag (mpeg_audio.cpp): the tag's
// length, 0 for any other first sector.
[[nodiscard]] uint64_t Id3TagEnd(ByteView sector);
// The type code of the stream right behind the tag (FLAC, AAC, MP2 or MP3,
// read from the source when the tag is longer than the sector); kNoType when
// the sector does not open with a tag.
[[nodiscard]] uint32_t Id3FollowerType(ByteView sector, CarvingState& state);

}  // namespace velmira
