// velmira-cli log: looks inside a scan's log folder. For each log it prints
// the number of records, the directory keys of the relation map with their
// child counts, and the named folders.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "cli/cli_support.h"
#include "cli/command_registry.h"
#include "cli/commands.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "results/scan_log.h"

namespace velmira::cli {
namespace {

namespace fs = std::filesystem;

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

int RunLog(const std::vector<std::string>& rawArgs) {
  bool json = false;
  std::vector<std::string> args;
  if (!SplitJsonOption(rawArgs, "log", json, args)) return kExitUsage;
  if (args.size() != 1) {
    std::fprintf(stderr, "velmira-cli: log needs exactly one FOLDER (see velmira-cli --help)\n");
    return kExitUsage;
  }
  std::error_code ec;
  const fs::path folder = fs::absolute(args[0], ec);
  if (ec || !fs::is_directory(folder, ec)) {
    std::fprintf(stderr, "velmira-cli: '%s' is not a log folder\n", args[0].c_str());
    return kExitCannotOpen;
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file(ec) || EndsWith(name, "_Relation") || EndsWith(name, "_DirInfo") ||
        EndsWith(name, "_Names"))
      continue;
    if (!fs::exists(entry.path().string() + "_Relation", ec)) continue;  // not a log
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  if (names.empty()) {
    std::fprintf(stderr, "velmira-cli: no scan logs in '%s'\n", args[0].c_str());
    return kExitFailed;
  }
  if (json) std::printf("{\"folder\":%s,\"logs\":[", JsonString(TerminalText(folder.string())).c_str());
  for (size_t n = 0; n < names.size(); ++n) {
    const std::string& name = names[n];
    // Only looked at: nothing is created, opened for writing or changed.
    CScanLog log;
    const int32_t err = log.OpenLogReadOnly((folder / name).string());
    if (json) {
      std::string out = (n ? ",\n" : "\n") + std::string("{\"name\":") + JsonString(name);
      if (err != kOk) {
        out += ",\"error\":" + std::to_string(err) + ",\"message\":" + JsonString(ErrorText(err)) + "}";
        std::fputs(out.c_str(), stdout);
        continue;
      }
      out += ",\"records\":" + std::to_string(log.TotalRecords()) + ",\"keys\":[";
      bool first = true;
      for (const auto& [key, children] : log.Relations()) {
        out += std::string(first ? "" : ",") + "{\"key\":" + std::to_string(key) +
               ",\"depth\":" + std::to_string(DirectoryDepth(key)) +
               ",\"id\":" + std::to_string(DirectoryId(key)) +
               ",\"children\":" + std::to_string(children.size()) + "}";
        first = false;
      }
      out += "],\"folders\":[";
      first = true;
      for (const DirInfoRecord& dir : log.Directories()) {
        const uint32_t key = dir.key;
        const uint32_t number = dir.recordNumber;
        out += std::string(first ? "" : ",") + "{\"key\":" + std::to_string(key) +
               ",\"record\":" + std::to_string(number) +
               ",\"name\":" + JsonString(TerminalText(NameFieldText(dir.name, sizeof dir.name))) + "}";
        first = false;
      }
      out += "]}";
      std::fputs(out.c_str(), stdout);
      continue;
    }
    if (err != kOk) {
      std::printf("%s: cannot open: %s (error %d)\n", name.c_str(), ErrorText(err).c_str(), err);
      continue;
    }
    const auto relations = log.Relations();
    std::printf("%s: %" PRIu64 " records, %zu directory keys, %zu folders\n", name.c_str(),
                log.TotalRecords(), relations.size(), log.Directories().size());
    for (const auto& [key, children] : relations)
      std::printf("  key %" PRIu64 " (depth %u, id %u): %zu children\n", key, DirectoryDepth(key),
                  DirectoryId(key), children.size());
    for (const DirInfoRecord& dir : log.Directories()) {
      const uint32_t key = dir.key;
      const uint32_t number = dir.recordNumber;
      std::printf("  folder %u (record %u): %s\n", key, number,
                  TerminalText(NameFieldText(dir.name, sizeof dir.name)).c_str());
    }
  }
  if (json) std::printf("\n]}\n");
  return kExitOk;
}

}  // namespace

VELMIRA_CLI_COMMAND(log, "log", "log FOLDER [--json]",
                    "      show what the scan logs of a log folder hold (by default in\n"
                    "      ~/.local/share/Orvanta/ScanLog/N/): records, directory keys with\n"
                    "      their child counts, and the named folders. --json prints the same as\n"
                    "      one JSON document\n",
                    80, RunLog);

}  // namespace velmira::cli
