// Tags that audio files carry behind their last frame: APE tags (with or
// without their 32-byte header), Lyrics3 blocks and the 128-byte ID3v1 tag
// (with its 227-byte extension). Shared by the MPEG audio and Monkey's
// Audio rules (ape.cpp holds the walk).
#pragma once

#include <cstdint>

#include "engines/carving/file_cursor.h"

namespace velmira {

// The offset past the tags that follow each other from `at` on (`at` itself
// when there are none). Every tag must hold together (sizes, marks, item
// layout); the first thing that is not a whole tag ends the walk, and an
// ID3v1 tag is always the last.
[[nodiscard]] uint64_t TrailingTagsEnd(FileCursor& cursor, uint64_t at);

}  // namespace velmira
