// What velmira-cli --help, the manual pages velmira-cli(1) and velmira(1)
// and the bash completion say, kept in one place: the commands come from the
// command registry, everything else from the tables here, so a new command,
// option, exit code, variable or file shows up in all of them at once.
#pragma once

#include <string>
#include <vector>

#include "cli/command_registry.h"

namespace velmira::cli {

// Which program a table entry concerns.
enum DocProgram : int { kDocCli = 1, kDocGui = 2, kDocBoth = 3 };

// A term and its description (one paragraph, unwrapped).
struct DocItem {
  const char* term;
  const char* text;
  int programs = kDocBoth;
};

struct ExitCodeDoc {
  int code;
  const char* text;
};

// A worked example: a title, a paragraph, and command lines ("\n"-separated;
// a line starting with "#" is a comment).
struct ExampleDoc {
  const char* title;
  const char* text;
  const char* commands;
};

// One-paragraph description of the program, shared by --help and the manuals.
extern const char kCliSummary[];

std::vector<DocItem> SourceForms();
std::vector<ExitCodeDoc> ExitCodes();
// What each --json output and the recovery report hold.
std::vector<DocItem> JsonOutputs();
std::vector<DocItem> EnvironmentVariables();
std::vector<DocItem> Files();
std::vector<ExampleDoc> Examples();
// Global options taken by every command ("--drive PATH").
std::vector<DocItem> GlobalOptions();

// The text of velmira-cli --help.
std::string UsageText();
// The text of velmira-cli COMMAND --help: the command's synopsis, its
// description, each option its synopsis names, the global options and the
// exit statuses.
std::string CommandHelpText(const CliCommand& command);
// The exit statuses as --help lists them ("  0  success\n...").
std::string ExitCodeList();

// `text` re-flowed into lines of at most `width` characters, each starting
// with `indent` spaces and ending in "\n". Words longer than a line stand alone.
std::string WrapText(const std::string& text, size_t indent, size_t width = 80);

// A command's help paragraph (the registry's pre-wrapped lines) as one line.
std::string UnwrapHelp(const char* help);

// An option of a command's synopsis: "--to" with value "DIR", or a flag.
struct SynopsisOption {
  std::string name;
  std::string value;  // empty for a flag
};

// The options and positional arguments a synopsis line names:
// "recover SOURCE --to DIR [--fast]" gives {--to DIR, --fast} and {SOURCE}.
struct SynopsisParts {
  std::vector<SynopsisOption> options;
  std::vector<std::string> positionals;
};
SynopsisParts ParseSynopsis(const std::string& synopsis);

// The manual pages in man(7) markup, and the bash completion script.
std::string CliManualPage(const std::vector<CliCommand>& commands);
std::string GuiManualPage();
std::string BashCompletion(const std::vector<CliCommand>& commands);

// Writes velmira-cli.1, velmira.1 and velmira-cli.bash into `folder` (the
// build does this); false with a message on stderr when a file cannot be written.
bool WriteDocs(const std::string& folder);

}  // namespace velmira::cli
