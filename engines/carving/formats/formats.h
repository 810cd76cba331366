// Every format unit's descriptor. Each unit (one .cpp per format family in
// this folder) defines its descriptors; engines/carving/signature_table.cpp
// lists them in the one ordered table.
#pragma once

#include "engines/carving/signature_table.h"

namespace velmira {

// Video (mpeg_program.cpp, iso_media.cpp, real_media.cpp, asf.cpp, flash.cpp,
// riff.cpp, matroska.cpp, transport_stream.cpp, mxf.cpp).
extern const FormatSpec kMpegFormat;
extern const FormatSpec kMp4Format;
extern const FormatSpec kRmFormat;
extern const FormatSpec kAsfFormat;
extern const FormatSpec kSwfFormat;
extern const FormatSpec kAviFormat;
extern const FormatSpec kFlvFormat;
extern const FormatSpec k3gpFormat;
extern const FormatSpec kMkvFormat;
extern const FormatSpec kTsFormat;
extern const FormatSpec kMtsFormat;
extern const FormatSpec kMxfFormat;
extern const FormatSpec kMovFormat;
extern const FormatSpec kFlaFormat;

// Audio (mpeg_audio.cpp, midi.cpp, ape.cpp, riff.cpp).
extern const FormatSpec kMp3Format;
extern const FormatSpec kMidiFormat;
extern const FormatSpec kApeFormat;
extern const FormatSpec kWavFormat;
extern const FormatSpec kMp2Format;
extern const FormatSpec kMmfFormat;

// Pictures (gif.cpp, bmp.cpp, jpeg.cpp, png.cpp, tiff_psd.cpp, ico.cpp).
extern const FormatSpec kGifFormat;
extern const FormatSpec kBmpFormat;
extern const FormatSpec kJpegFormat;
extern const FormatSpec kPngFormat;
extern const FormatSpec kPsdFormat;
extern const FormatSpec kTiffFormat;
extern const FormatSpec kIcoFormat;

// Documents, archives and other data (compound_document.cpp, ooxml.cpp,
// archives.cpp, executable.cpp, data_files.cpp).
extern const FormatSpec kCompoundFormat;
extern const FormatSpec kOoxmlFormat;
extern const FormatSpec kPdfFormat;
extern const FormatSpec kGzipFormat;
extern const FormatSpec k7zFormat;
extern const FormatSpec kZipFormat;
extern const FormatSpec kRarFormat;
extern const FormatSpec kCabFormat;
extern const FormatSpec kExeFormat;
extern const FormatSpec kGhoFormat;
extern const FormatSpec kSqliteFormat;
extern const FormatSpec kDbxFormat;
extern const FormatSpec kPstFormat;
extern const FormatSpec kTtfFormat;

}  // namespace velmira
