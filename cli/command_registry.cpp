#include "cli/command_registry.h"

#include <algorithm>

namespace velmira::cli {
namespace {

std::vector<CliCommand>& Table() {
  static std::vector<CliCommand> table;
  return table;
}

}  // namespace

bool RegisterCommand(const CliCommand& command) {
  Table().push_back(command);
  return true;
}

std::vector<CliCommand> Commands() {
  std::vector<CliCommand> all = Table();
  std::stable_sort(all.begin(), all.end(),
                   [](const CliCommand& a, const CliCommand& b) { return a.order < b.order; });
  return all;
}

std::vector<CliCommand> VisibleCommands() {
  std::vector<CliCommand> shown;
  for (const CliCommand& c : Commands())
    if (!c.hidden) shown.push_back(c);
  return shown;
}

}  // namespace velmira::cli
