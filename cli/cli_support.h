// Pieces the velmira-cli commands share: opening an engine for a SOURCE
// argument, a progress line on a terminal, Ctrl-C as a cancel, JSON text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "engines/engine_factory.h"
#include "engines/file_recovery_parse.h"

namespace velmira::cli {

// Parses SOURCE as ParseSourceArg does and, when it is a plain decimal
// number that names no existing file, reads the disk list and turns the
// region of that number (as `disks` numbers it) into disk:D:START:COUNT with
// regionNumber set. False with a one-line message in `error` and the exit
// code in `exitCode` (usage error, no such region, unreadable mount table).
bool ResolveSourceArg(const std::string& text, SourceArg& out, std::string& error, int& exitCode);

// How messages name a source: "region 3", "disk 0" or the path.
std::string SourceName(const SourceArg& source);

// Builds the engine for SOURCE through the factories (source key: the region
// number, 1 for another drive range, 1001 for an image). On failure prints
// one line and returns null with the exit code in `exitCode`. A source whose
// first sectors cannot all be read still gets its engine (the file system
// told from what can be read or from a backup boot sector, else the deep
// scan over the whole medium); `exitCode` is then kExitUnreadSectors.
// `probed`, when given, gets what the first look at the source told.
std::unique_ptr<IFileRecoveryParse> OpenEngine(const SourceArg& source, bool deep, int& exitCode,
                                               TargetProbe* probed = nullptr);

// The source key records of this SOURCE carry.
uint16_t SourceKeyOf(const SourceArg& source);

// True when stderr is a terminal (progress lines are shown only then).
bool ProgressWanted();
// Rewrites the progress line on stderr.
void ShowProgress(const std::string& text);
void EndProgress();

// Ctrl-C sets a flag instead of killing the program; callbacks answer it
// with kCancelled.
void InstallCancelHandler();
bool CancelRequested();

// A scan callback that shows "scanning NN%" and answers a Ctrl-C.
int32_t ScanProgressLine(void* userData, int32_t percent, int32_t scale, int32_t secondsLeft,
                         uint64_t position, uint64_t total, uint64_t filesFound, int32_t reserved);

std::string JsonString(const std::string& text);
// Splits the arguments of a command that takes only --json besides its
// operands: sets `json`, fills `operands`, and says an unknown option on
// stderr (false then: a usage error).
bool SplitJsonOption(const std::vector<std::string>& rawArgs, const char* command, bool& json,
                     std::vector<std::string>& operands);

// Text from the medium (a found name, a path) made safe for a terminal:
// control characters become C escapes (\n, \t, \x1b, ...), a backslash
// becomes "\\", bytes that are not UTF-8 become \xNN; printable UTF-8 is
// kept as it is.
std::string TerminalText(std::string_view text);

// What --types chooses: empty is every file found; else a comma list of
// categories (photo, audio, video, document, archive, others) and
// extensions ("jpg,png", ".JPG", "photo,bin").
struct TypeSelection {
  std::string patterns;  // for CollectMatches: "*.jpg|*.png|", or "*.*|" for every file
  std::string named;     // the named extensions and category lists
  bool others = false;   // files of no category (and without an extension)
};
TypeSelection SelectTypes(const std::string& types);
// Leaves out of a collection made with "*.*|" for "others" the files of the
// categories that were not chosen.
void KeepSelected(const TypeSelection& selection, std::vector<FoundRecord>& files);

// Before a scan that writes into `folder`: false, with one line saying why,
// when the folder lies on the medium SOURCE names (compared by device) or
// cannot be created and written. The folder is created when it passes.
bool DestinationUsable(const std::string& folder, const SourceArg& source);
// The same for a file another option names (--report FILE): false, with one
// line, when its folder lies on the medium SOURCE names. Nothing is created.
bool OutputFileUsable(const std::string& option, const std::string& file, const SourceArg& source);

}  // namespace velmira::cli
