// Every format unit's descriptor. Each unit (one .cpp per format family in
// this folder) defines its descriptors; engines/carving/signature_table.cpp
// lists them in the one ordered table.
#pragma once

#include "engines/carving/signature_table.h"

namespace velmira {

// Video (mpeg_program.cpp, iso_media.cpp, real_media.cpp, asf.cpp, flash.cpp,
// riff.cpp, matroska.cpp, transport_stream.cpp, mxf.cpp).
extern const FileFormat kMpegFormat;
extern const FileFormat kMp4Format;
extern const FileFormat kRmFormat;
extern const FileFormat kAsfFormat;
extern const FileFormat kSwfFormat;
extern const FileFormat kAviFormat;
extern const FileFormat kFlvFormat;
extern const FileFormat k3gpFormat;
extern const FileFormat kMkvFormat;
extern const FileFormat kTsFormat;
extern const FileFormat kMtsFormat;
extern const FileFormat kMxfFormat;
extern const FileFormat kMovFormat;
extern const FileFormat kFlaFormat;

// Audio (mpeg_audio.cpp, midi.cpp, ape.cpp, riff.cpp).
extern const FileFormat kMp3Format;
extern const FileFormat kMidiFormat;
extern const FileFormat kApeFormat;
extern const FileFormat kWavFormat;
extern const FileFormat kMp2Format;
extern const FileFormat kMmfFormat;

// Pictures (gif.cpp, bmp.cpp, jpeg.cpp, png.cpp, psd.cpp, tiff.cpp, ico.cpp).
extern const FileFormat kGifFormat;
extern const FileFormat kBmpFormat;
extern const FileFormat kJpegFormat;
extern const FileFormat kPngFormat;
extern const FileFormat kPsdFormat;
extern const FileFormat kTiffFormat;  // TIFF, BigTIFF and the raw files built on TIFF
extern const FileFormat kRafFormat;
extern const FileFormat kIcoFormat;

// Documents, archives and other data (compound_document.cpp, ooxml.cpp,
// archives.cpp, executable.cpp, data_files.cpp).
extern const FileFormat kCompoundFormat;
extern const FileFormat kOoxmlFormat;
extern const FileFormat kPdfFormat;
extern const FileFormat kGzipFormat;
extern const FileFormat k7zFormat;
extern const FileFormat kZipFormat;
extern const FileFormat kRarFormat;
extern const FileFormat kCabFormat;
extern const FileFormat kExeFormat;
extern const FileFormat kGhoFormat;
extern const FileFormat kSqliteFormat;
extern const FileFormat kDbxFormat;
extern const FileFormat kPstFormat;
extern const FileFormat kTtfFormat;

}  // namespace velmira
