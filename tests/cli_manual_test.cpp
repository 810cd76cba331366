// The manual pages and the bash completion velmira-cli writes for the build:
// they render cleanly, say what --help says, their examples are commands
// that exist, and the completion offers the right words.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::ShellQuote;

std::string Squeeze(const std::string& text) {
  std::istringstream in(text);
  std::string word, out;
  while (in >> word) out += (out.empty() ? "" : " ") + word;
  return out;
}

// A command of --help: its name and its synopsis line.
std::map<std::string, std::string> HelpCommands(const std::string& help) {
  std::map<std::string, std::string> commands;
  const size_t start = help.find("\nCommands:\n");
  const size_t end = help.find("\n\n", start + 1);
  std::istringstream lines(help.substr(start + 11, end - start - 11));
  for (std::string line; std::getline(lines, line);) {
    if (line.size() > 2 && line.compare(0, 2, "  ") == 0 && line[2] != ' ')
      commands[line.substr(2, line.find(' ', 2) - 2)] = line.substr(2);
  }
  return commands;
}

class CliManual : public ::testing::Test {
 protected:
  void SetUp() override {
    int status = 0;
    m_help = testing::RunCapture(ShellQuote(VELMIRA_CLI_PATH) + " --help", status);
    ASSERT_EQ(status, 0);
    testing::RunCapture(ShellQuote(VELMIRA_CLI_PATH) + " --write-docs " + ShellQuote(m_dir.path()), status);
    ASSERT_EQ(status, 0);
    m_commands = HelpCommands(m_help);
    ASSERT_GE(m_commands.size(), 5u) << m_help;
  }

  // The page as man shows it, one very long line per paragraph, without
  // hyphenation, bold or underlining. `warnings` gets what groff complained of.
  std::string Render(const std::string& page, std::string& warnings) {
    int status = 0;
    const std::string err = m_dir.File("groff.err");
    std::string text = testing::RunCapture(
        "groff -man -Tascii -P-cbou -ww -rLL=2000n " + ShellQuote(m_dir.File(page)) + " 2>" + ShellQuote(err),
        status);
    const auto bytes = testing::ReadFileBytes(err);
    warnings.assign(bytes.begin(), bytes.end());
    EXPECT_EQ(status, 0);
    return text;
  }

  testing::TempDir m_dir;
  std::string m_help;
  std::map<std::string, std::string> m_commands;
};

TEST_F(CliManual, PagesRenderAndSayWhatHelpSays) {
  VELMIRA_REQUIRE_TOOL("groff");
  std::string warnings;
  const std::string cli = Squeeze(Render("velmira-cli.1", warnings));
  EXPECT_EQ(warnings, "");
  for (const auto& [name, synopsis] : m_commands)
    EXPECT_NE(cli.find(Squeeze(synopsis)), std::string::npos) << "velmira-cli(1) lacks " << synopsis;
  // Every exit code, environment variable and form of SOURCE of --help.
  for (const char* term : {"EXIT STATUS", "VELMIRA_DRIVES", "XDG_DATA_HOME", "Orvanta/ScanLog/",
                           "disk:N:START:COUNT", "--drive PATH", "EXAMPLES", "A formatted memory card",
                           "A deleted folder on a USB stick", "A disk image"})
    EXPECT_NE(cli.find(term), std::string::npos) << term;
  for (int code = 0; code <= 5; ++code) {
    const std::string line = "\n  " + std::to_string(code) + "  ";
    const size_t at = m_help.find(line);
    ASSERT_NE(at, std::string::npos) << "exit code " << code << " missing from --help";
    const std::string text =
        Squeeze(m_help.substr(at + line.size(), m_help.find('\n', at + 1) - at - line.size()));
    EXPECT_NE(cli.find(std::to_string(code) + " " + text), std::string::npos) << text;
  }

  const std::string gui = Squeeze(Render("velmira.1", warnings));
  EXPECT_EQ(warnings, "");
  for (const char* term : {"velmira - find and recover", "PERMISSIONS", "group disk", "config.ini",
                           "XDG_CONFIG_HOME", "Orvanta/ScanLog/", "Languages/", "velmira-cli(1)"})
    EXPECT_NE(gui.find(term), std::string::npos) << term;
}

// The examples are meant to be typed: each names a command of --help and
// only options that command (or every command) takes.
TEST_F(CliManual, ExamplesUseCommandsAndOptionsThatExist) {
  VELMIRA_REQUIRE_TOOL("groff");
  std::string warnings;
  const std::string page = Render("velmira-cli.1", warnings);
  std::istringstream lines(page.substr(page.find("EXAMPLES")));
  int checked = 0;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string word;
    if (!(words >> word) || word != "velmira-cli") continue;
    std::string command;
    std::vector<std::string> options;
    while (words >> word) {
      if (word == "--drive") {
        words >> word;
      } else if (word.rfind("--", 0) == 0) {
        options.push_back(word);
      } else if (command.empty()) {
        command = word;
      }
    }
    ASSERT_EQ(m_commands.count(command), 1u) << line;
    const std::string synopsis = m_commands[command] + " ";
    for (const std::string& option : options)
      EXPECT_TRUE(synopsis.find(option + " ") != std::string::npos ||
                  synopsis.find(option + "]") != std::string::npos ||
                  synopsis.find(option + "|") != std::string::npos)
          << line << ": " << option << " is not in " << synopsis;
    ++checked;
  }
  EXPECT_GE(checked, 8);
}

class BashCompletion : public CliManual {
 protected:
  // The words the completion offers for `line` (the cursor at its end).
  std::set<std::string> Complete(const std::string& line, const std::string& env = "") {
    const std::string script = "source " + ShellQuote(m_dir.File("velmira-cli.bash")) + "\n" + env +
                               "\nCOMP_LINE=" + ShellQuote(line) + "\nCOMP_POINT=${#COMP_LINE}\ncd " +
                               ShellQuote(m_dir.path()) +
                               "\n_velmira_cli\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
    testing::WriteFileBytes(m_dir.File("complete.sh"), std::vector<uint8_t>(script.begin(), script.end()));
    int status = 0;
    std::istringstream out(testing::RunCapture("bash " + ShellQuote(m_dir.File("complete.sh")), status));
    EXPECT_EQ(status, 0) << line;
    std::set<std::string> words;
    for (std::string w; std::getline(out, w);)
      if (!w.empty()) words.insert(w);
    return words;
  }
};

TEST_F(BashCompletion, CommandsOptionsAndArguments) {
  VELMIRA_REQUIRE_TOOL("bash");
  std::set<std::string> names;
  for (const auto& [name, synopsis] : m_commands) names.insert(name);
  std::set<std::string> all = Complete("velmira-cli ");
  for (const char* option : {"--drive", "--sector-size", "--help", "--version"})
    EXPECT_EQ(all.erase(option), 1u) << option;
  EXPECT_EQ(all, names) << "the commands offered are those --help lists";
  EXPECT_EQ(Complete("velmira-cli --drive x.img pro"), std::set<std::string>{"probe"});

  EXPECT_EQ(Complete("velmira-cli recover card.img --t"), (std::set<std::string>{"--to", "--types"}));
  EXPECT_EQ(Complete("velmira-cli recover card.img --re"), (std::set<std::string>{"--report", "--restart"}));
  EXPECT_EQ(Complete("velmira-cli disks --"), (std::set<std::string>{"--json", "--drive", "--sector-size"}));
  EXPECT_EQ(Complete("velmira-cli --sector-size 4"), std::set<std::string>{"4096"});
  EXPECT_EQ(Complete("velmira-cli --sector-size 4096 pro"), std::set<std::string>{"probe"})
      << "N is no command";

  // Folders for --to, files and drives for SOURCE, nothing for a list of types.
  testing::WriteFileBytes(m_dir.File("card.img"), {1});
  std::filesystem::create_directory(m_dir.File("cards"));
  EXPECT_EQ(Complete("velmira-cli recover card.img --to car"), std::set<std::string>{"cards"});
  EXPECT_EQ(Complete("velmira-cli recover car"), (std::set<std::string>{"card.img", "cards"}));
  EXPECT_EQ(Complete("velmira-cli recover --restart car"), (std::set<std::string>{"card.img", "cards"}))
      << "a flag takes no value";
  EXPECT_EQ(Complete("velmira-cli recover card.img --types "), std::set<std::string>{});
  EXPECT_EQ(Complete("velmira-cli image card.img car"), (std::set<std::string>{"card.img", "cards"}));
  EXPECT_EQ(Complete("velmira-cli log car"), std::set<std::string>{"cards"});
  EXPECT_EQ(Complete("velmira-cli probe card.img "), std::set<std::string>{}) << "probe takes one SOURCE";

  // disk:N counts the drives velmira-cli would; bash splits words at ":",
  // so the answer is what follows it.
  const std::string drives = "VELMIRA_DRIVES=a.img::b.img";
  EXPECT_EQ(Complete("velmira-cli probe disk", drives), (std::set<std::string>{"disk:0", "disk:1"}));
  EXPECT_EQ(Complete("velmira-cli probe disk:", drives), (std::set<std::string>{"0", "1"}));
  EXPECT_EQ(Complete("velmira-cli recover --drive card.img disk:", drives), std::set<std::string>{"0"})
      << "--drive replaces the list";
}

}  // namespace
}  // namespace velmira
