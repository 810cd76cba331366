// velmira-cli commands register themselves here, one file per command, so
// that --help lists exactly the commands that exist.
#pragma once

#include <string>
#include <vector>

namespace velmira::cli {

struct CliCommand {
  const char* name;      // "probe"
  const char* synopsis;  // "probe SOURCE"
  const char* help;      // indented description lines for --help, each ending in "\n"
  int order;             // position in --help
  int (*run)(const std::vector<std::string>& args);
  // A test aid: runs when named, but --help, the manual page and the shell
  // completion leave it out.
  bool hidden = false;
};

// Called by static registrars before main runs.
bool RegisterCommand(const CliCommand& command);
// All registered commands in --help order.
std::vector<CliCommand> Commands();
// The commands --help, the manual page and the completion show, in order.
std::vector<CliCommand> VisibleCommands();

}  // namespace velmira::cli

// At namespace scope in a command's file.
#define VELMIRA_CLI_COMMAND(id, ...)   \
  static const bool kRegistered_##id = \
      ::velmira::cli::RegisterCommand(::velmira::cli::CliCommand{__VA_ARGS__})
