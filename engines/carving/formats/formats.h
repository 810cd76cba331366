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

// Audio (mpeg_audio.cpp, midi.cpp, ape.cpp, flac.cpp, ogg.cpp, riff.cpp).
extern const FileFormat kMp3Format;
extern const FileFormat kMidiFormat;
extern const FileFormat kApeFormat;
extern const FileFormat kWavFormat;
extern const FileFormat kWebpFormat;  // WebP pictures, a RIFF form
extern const FileFormat kMp2Format;
extern const FileFormat kMmfFormat;
extern const FileFormat kAacFormat;
extern const FileFormat kFlacFormat;
extern const FileFormat kOggFormat;
extern const FileFormat kOpusFormat;

// Pictures (gif.cpp, bmp.cpp, jpeg.cpp, png.cpp, psd.cpp, tiff.cpp, ico.cpp).
extern const FileFormat kGifFormat;
extern const FileFormat kBmpFormat;
extern const FileFormat kJpegFormat;
extern const FileFormat kPngFormat;
extern const FileFormat kPsdFormat;
extern const FileFormat kTiffFormat;  // TIFF, BigTIFF and the raw files built on TIFF
extern const FileFormat kRafFormat;
extern const FileFormat kIcoFormat;

// Documents, archives and other data (compound_document.cpp, biff.cpp, zip_family.cpp,
// pdf.cpp, gzip.cpp, seven_zip.cpp, rar.cpp, cab.cpp, tar.cpp, bzip2.cpp,
// xz.cpp, executable.cpp, ghost.cpp, sqlite.cpp, mail_stores.cpp,
// truetype.cpp).
extern const FileFormat kCompoundFormat;
extern const FileFormat kMsgFormat;
extern const FileFormat kFlaFormat;
extern const FileFormat kOoxmlFormat;
extern const FileFormat kOpenDocumentFormat;
extern const FileFormat kJarFormat;
extern const FileFormat kApkFormat;
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
extern const FileFormat kTarFormat;
extern const FileFormat kBzip2Format;
extern const FileFormat kXzFormat;
extern const FileFormat kBiffFormat;

}  // namespace velmira
