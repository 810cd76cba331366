// The manual pages velmira-cli(1) and velmira(1) in man(7) markup, built
// from the command registry and the tables of help_text.cpp.
#include <cctype>
#include <cstdio>
#include <sstream>

#include "cli/help_text.h"

namespace velmira::cli {
namespace {

// Text for a troff input line: backslashes and dashes escaped, and a
// leading "." or "'" kept from being read as a request.
std::string Roff(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

// A synopsis with the command and options in bold and the arguments the
// user fills in italic: "recover SOURCE [--fast]".
std::string RoffSynopsis(const std::string& synopsis) {
  std::istringstream in(synopsis);
  std::string out, token;
  bool first = true;
  while (in >> token) {
    const size_t b = token.find_first_not_of('[');
    const size_t e = token.find_last_not_of(']');
    std::string lead = token.substr(0, b == std::string::npos ? token.size() : b);
    std::string word = b == std::string::npos ? "" : token.substr(b, e - b + 1);
    std::string tail = b == std::string::npos ? "" : token.substr(e + 1);
    std::string marked;
    // Alternatives "--continue|--restart" are marked one by one.
    for (size_t start = 0; start <= word.size();) {
      size_t bar = word.find('|', start);
      if (bar == std::string::npos) bar = word.size();
      const std::string part = word.substr(start, bar - start);
      if (part.empty() || part == "...")
        marked += Roff(part);
      else if (first || part[0] == '-')
        marked += "\\fB" + Roff(part) + "\\fR";
      else
        marked += "\\fI" + Roff(part) + "\\fR";
      if (bar < word.size()) marked += "|";
      start = bar + 1;
    }
    out += (out.empty() ? "" : " ") + lead + marked + tail;
    first = false;
  }
  return out;
}

void TaggedList(std::string& page, const std::vector<DocItem>& items, int program, bool italicTerm) {
  for (const DocItem& item : items) {
    if ((item.programs & program) == 0) continue;
    page += ".TP\n";
    if (item.term[0] == '-')
      page += RoffSynopsis(item.term) + "\n";
    else
      page += std::string(italicTerm ? ".I " : ".B ") + Roff(item.term) + "\n";
    page += Roff(item.text) + "\n";
  }
}

void Environment(std::string& page, int program) {
  page += ".SH ENVIRONMENT\n";
  TaggedList(page, EnvironmentVariables(), program, false);
}

void FilesSection(std::string& page, int program) {
  page += ".SH FILES\n";
  TaggedList(page, Files(), program, true);
}

std::string Header(const char* name, const char* title) {
  return std::string(".\\\" Made by velmira-cli from its own command table; do not edit.\n") + ".TH " + name +
         " 1 \"\" \"velmira " VELMIRA_VERSION "\" \"User Commands\"\n" +
         // Paths and options must not be hyphenated or spread out.
         ".nh\n.ad l\n.SH NAME\n" + title + "\n";
}

}  // namespace

std::string CliManualPage(const std::vector<CliCommand>& commands) {
  std::string page = Header("VELMIRA\\-CLI", "velmira\\-cli \\- find and recover deleted and lost files");
  page +=
      ".SH SYNOPSIS\n"
      ".B velmira\\-cli\n"
      "[\\fB\\-\\-drive\\fR \\fIPATH\\fR]... \\fICOMMAND\\fR [\\fIARGS\\fR]\n"
      ".br\n"
      ".B velmira\\-cli\n"
      "\\fB\\-\\-help\\fR | \\fB\\-\\-version\\fR\n"
      ".SH DESCRIPTION\n";
  page += Roff(kCliSummary) + "\n";
  page +=
      ".PP\n"
      "Stop using a medium that lost files: anything written to it may overwrite them. Save the recovered "
      "files on another disk. A failing medium is best copied into an image file first (\\fBimage\\fR) "
      "and the image scanned. Reading drives and partitions needs read permission on their device files "
      "(root, or membership of the group \\fBdisk\\fR); image files the user can read need nothing.\n"
      ".SH COMMANDS\n";
  for (const CliCommand& c : commands) {
    page += ".TP\n" + RoffSynopsis(c.synopsis) + "\n";
    page += Roff(UnwrapHelp(c.help)) + "\n";
  }
  page += ".SH SOURCE\nEvery command that reads a medium takes a \\fISOURCE\\fR, one of:\n";
  TaggedList(page, SourceForms(), kDocCli, true);
  page += ".SH OPTIONS\n";
  TaggedList(page, GlobalOptions(), kDocCli, false);
  page += ".SH EXIT STATUS\n";
  for (const ExitCodeDoc& e : ExitCodes())
    page += ".TP\n.B " + std::to_string(e.code) + "\n" + Roff(e.text) + "\n";
  page +=
      ".SH JSON OUTPUT\n"
      "Keys are written in camelCase; sizes and offsets are numbers of bytes, sectors counted from 0, times "
      "text (ISO 8601 in the report), and a value that is not known is null. Names read from the medium are "
      "given as the terminal shows them: control characters and bytes that are not UTF-8 as C escapes.\n";
  TaggedList(page, JsonOutputs(), kDocCli, false);
  Environment(page, kDocCli);
  FilesSection(page, kDocCli);
  page += ".SH EXAMPLES\n";
  for (const ExampleDoc& example : Examples()) {
    page += ".SS " + Roff(example.title) + "\n" + Roff(example.text) + "\n.PP\n.RS\n.nf\n";
    std::istringstream lines(example.commands);
    for (std::string line; std::getline(lines, line);) page += Roff(line) + "\n";
    page += ".fi\n.RE\n";
  }
  page +=
      ".SH SEE ALSO\n"
      ".BR velmira (1),\n"
      ".BR lsblk (8),\n"
      ".BR umount (8)\n";
  return page;
}

std::string GuiManualPage() {
  std::string page =
      Header("VELMIRA", "velmira \\- find and recover deleted and lost files (desktop program)");
  page +=
      ".SH SYNOPSIS\n"
      ".B velmira\n"
      "[\\fIQt options\\fR]\n"
      ".SH DESCRIPTION\n";
  page += Roff(kCliSummary) + "\n";
  page +=
      ".PP\n"
      "The window leads through four pages:\n"
      ".TP\n.B Start\n"
      "choose \\fIRecover files\\fR, or \\fICreate disk image\\fR to copy a failing card or disk into an "
      "image file first and scan the copy later.\n"
      ".TP\n.B Select disk\n"
      "every disk with its partitions, unallocated space and disks without partitions; "
      "\\fILoad image file...\\fR adds an image. Cards and sticks that are plugged in or pulled out "
      "appear and disappear by themselves.\n"
      ".TP\n.B File types\n"
      "the kinds of files to look for.\n"
      ".TP\n.B Recover\n"
      "the files found, by type and folder, to tick and copy into a folder on another disk.\n"
      ".PP\n"
      "Only one copy runs per user: starting it again brings the open window to the front. The menu at "
      "the top right opens the help, the About box and the choice of language.\n"
      ".SH PERMISSIONS\n"
      "Reading whole disks and cards needs read permission on their device files: start "
      "\\fBvelmira\\fR as root (\\fBsudo \\-E velmira\\fR) or become a member of the group \\fBdisk\\fR. "
      "Image files the user can read need nothing. The scanned medium is only ever opened read-only.\n"
      ".SH OPTIONS\n"
      "\\fBvelmira\\fR has no options of its own; it understands the standard options of Qt programs, "
      "such as \\fB\\-platform\\fR \\fIname\\fR and \\fB\\-style\\fR \\fIname\\fR.\n";
  Environment(page, kDocGui);
  FilesSection(page, kDocGui);
  page +=
      ".SH SEE ALSO\n"
      ".BR velmira\\-cli (1)\n";
  return page;
}

bool WriteDocs(const std::string& folder) {
  const std::pair<const char*, std::string> files[] = {
      {"velmira-cli.1", CliManualPage(VisibleCommands())},
      {"velmira.1", GuiManualPage()},
      {"velmira-cli.bash", BashCompletion(VisibleCommands())},
  };
  for (const auto& [name, text] : files) {
    const std::string path = folder + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
      std::perror(path.c_str());
      return false;
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok) {
      std::fprintf(stderr, "velmira-cli: cannot write %s\n", path.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace velmira::cli
