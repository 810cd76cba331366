// config.ini, the language files and the texts made from them: the INI
// reader and writer, the language manager and the formatting of untrusted
// format texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/ini_file.h"
#include "platform/language_manager.h"
#include "platform/message_format.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::TempDir;

void WriteText(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(IniFile, FirstEqualsSplitsAndTheFirstTextOfAKeyWins) {
  IniFile ini;
  ini.Parse(
      "\xEF\xBB\xBF"
      "orphan=before any section\r\n"
      "[Messages]\r\n"
      "; a comment=not an entry\r\n"
      "  MSG0101 =  a = b  \r\n"
      "no equals sign\r\n"
      "=empty key\r\n"
      "MSG0102=first\r\n"
      "MSG0102=second\r\n"
      "[messages]\n"
      "MSG0103=in the second section of that name\n");
  EXPECT_EQ(ini.SectionNames(1024), (std::vector<std::string>{"Messages", "messages"}));
  const std::vector<std::string> lines = ini.SectionLines("MESSAGES", 10240);
  EXPECT_EQ(lines, (std::vector<std::string>{"MSG0101=a = b", "MSG0102=first", "MSG0102=second"}));

  TextSection table;
  AddIniLines(lines, 1024, table);
  EXPECT_EQ(table["MSG0101"], "a = b");
  EXPECT_EQ(table["MSG0102"], "first");
  EXPECT_EQ(table.size(), 2u);
  EXPECT_EQ(ini.GetString("messages", "msg0102", "x", 64), "first") << "profile keys ignore case";
  EXPECT_EQ(ini.GetString("Messages", "missing", "fallback", 64), "fallback");
  EXPECT_EQ(ini.GetString("None", "MSG0101", "fallback", 64), "fallback");
}

TEST(IniFile, BufferLimitsKeepWholeItemsAndCutLongLines) {
  IniFile ini;
  std::string text;
  // Ten names of 99 characters and "Long" take 1,005 characters and the
  // list's end one more; in 1,000 the tenth name no longer fits, and the
  // list ends there.
  for (char c = 'a'; c < 'a' + 10; ++c) text += "[" + std::string(99, c) + "]\nk=v\n";
  text += "[Long]\nkey=" + std::string(2000, 'x') + "\nafter=" + std::string(10, 'y') + "\n";
  ini.Parse(text);
  const std::vector<std::string> names = ini.SectionNames(1024);
  ASSERT_EQ(names.size(), 11u);
  EXPECT_EQ(names[9], std::string(99, 'j'));
  EXPECT_EQ(ini.SectionNames(1000).size(), 9u);

  // The two lines of "Long" take 2,005 and 17 characters.
  EXPECT_EQ(ini.SectionLines("Long", 2023).size(), 2u);
  EXPECT_EQ(ini.SectionLines("Long", 2022).size(), 1u);
  TextSection table;
  AddIniLines(ini.SectionLines("Long", 10240), 1024, table);
  EXPECT_EQ(table["key"].size(), 1023u - 4u) << "each line is cut to 1,023 characters";
  EXPECT_EQ(table["after"], std::string(10, 'y'));

  ini.Parse("[L]\nname=\"" + std::string(100, 'n') + "\"\nq='x'\n");
  EXPECT_EQ(ini.GetString("L", "name", "", 64), std::string(63, 'n'));
  EXPECT_EQ(ini.GetString("L", "q", "", 64), "x") << "one pair of quotes goes";

  // Limits count characters, not bytes; a cut never splits one.
  EXPECT_EQ(CharCount("Größe"), 5u);
  EXPECT_EQ(CutToChars("Größe", 3), "Grö");
}

TEST(IniFile, WritingChangesOnlyTheOneEntry) {
  TempDir dir;
  const std::string path = dir.File("config.ini");
  EXPECT_EQ(WriteIniString(path, "DefaultLanguage", "Default", "German"), 0) << "a missing file is created";
  EXPECT_EQ(ReadText(path), "[DefaultLanguage]\nDefault=German\n");

  WriteText(path,
            "; settings\r\n[DefaultLanguage]\r\nDEFAULT = English\r\nDefault=Other\r\n\r\n[Languages]\r\n"
            "English=English\r\n");
  EXPECT_EQ(WriteIniString(path, "defaultlanguage", "Default", "German"), 0);
  EXPECT_EQ(WriteIniString(path, "Languages", "German", "Deutsch"), 0);
  EXPECT_EQ(WriteIniString(path, "Players", "Video", "mpv"), 0);
  EXPECT_EQ(ReadText(path),
            "; settings\r\n[DefaultLanguage]\r\nDefault=German\r\nDefault=Other\r\n\r\n[Languages]\r\n"
            "English=English\r\nGerman=Deutsch\r\n\r\n[Players]\r\nVideo=mpv\r\n");
  IniFile ini;
  ASSERT_TRUE(ini.Load(path));
  EXPECT_EQ(ini.GetString("DefaultLanguage", "Default", "", 64), "German");

  EXPECT_EQ(WriteIniString(path, "A]", "k", "v"), 87);
  EXPECT_EQ(WriteIniString(path, "A", "k=", "v"), 87);
  EXPECT_EQ(WriteIniString(path, "A", "k", "two\nlines"), 87);
  EXPECT_EQ(WriteIniString(dir.File("no/such/folder/config.ini"), "A", "k", "v"), 2);
  EXPECT_FALSE(std::filesystem::exists(dir.File("no")));
}

class LanguageFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteText(m_program.File("config.ini"),
              "[DefaultLanguage]\nDefault=English\n[Languages]\nEnglish=English\nD=G\nEnglish=again\n");
    WriteText(m_program.File("Languages/English.ini"),
              "[Messages]\nMSG1209=Velmira\nMSG0101=Hello\n[MainWnd]\nBtnNext=Next\n");
    WriteText(m_program.File("Languages/D.ini"), "[Messages]\nMSG0101=Hallo\n[MainWnd]\nBtnNext=Weiter\n");
  }
  LanguagePaths Paths() const { return {m_program.path(), m_user.path() + "/Orvanta"}; }

  TempDir m_program;
  TempDir m_user;
};

TEST_F(LanguageFiles, TextsOfTheCurrentLanguageAndTheSwitch) {
  LanguageManager manager(Paths());
  EXPECT_EQ(manager.CurrentLanguage(), "English");
  ASSERT_EQ(manager.ListLanguages().size(), 2u) << "a repeated base name is offered once";
  EXPECT_EQ(manager.ListLanguages()[1].name, "D");
  EXPECT_EQ(manager.ListLanguages()[1].menuText, "G");
  EXPECT_EQ(manager.Text("Messages", "MSG1209"), "Velmira");
  EXPECT_EQ(manager.Text("Messages", "MSG9999"), "");
  EXPECT_EQ(manager.Text("Nowhere", "MSG0101"), "");
  EXPECT_TRUE(manager.GetSection("Elsewhere").empty());
  EXPECT_EQ(manager.Text("messages", "MSG0101"), "") << "sections of the table compare exactly";

  // The menu entry D/G loads D.ini and writes D as the language.
  EXPECT_TRUE(manager.SwitchLanguage("D"));
  EXPECT_EQ(manager.CurrentLanguage(), "D");
  EXPECT_EQ(manager.GetSection("MainWnd").at("BtnNext"), "Weiter");
  EXPECT_EQ(manager.Text("Messages", "MSG1209"), "") << "D.ini has no product name";
  EXPECT_NE(ReadText(m_program.File("config.ini")).find("Default=D\n"), std::string::npos);
  EXPECT_EQ(LanguageManager(Paths()).CurrentLanguage(), "D") << "the choice is kept";

  // A missing file: no texts, no failure.
  EXPECT_TRUE(manager.SwitchLanguage("Missing"));
  EXPECT_FALSE(manager.LanguageFileLoaded());
  EXPECT_TRUE(manager.GetSection("Messages").empty());

  // Names that would lead out of the Languages folder are refused.
  EXPECT_FALSE(manager.SwitchLanguage("../config"));
  EXPECT_FALSE(manager.SwitchLanguage(""));
  EXPECT_FALSE(manager.SwitchLanguage(std::string(64, 'x')));
  EXPECT_EQ(manager.CurrentLanguage(), "Missing");
}

TEST_F(LanguageFiles, MissingSettingsAndTheUsersOwnFile) {
  std::filesystem::remove(m_program.File("config.ini"));
  LanguageManager manager(Paths());
  EXPECT_EQ(manager.CurrentLanguage(), "English");
  EXPECT_TRUE(manager.ListLanguages().empty());
  EXPECT_EQ(manager.Text("Messages", "MSG0101"), "Hello");

  // Once the user has a config.ini of their own it is read and written
  // first; the offered languages still come from the program's.
  WriteText(m_program.File("config.ini"), "[Languages]\nEnglish=English\nD=G\n");
  WriteText(m_user.File("Orvanta/config.ini"), "[DefaultLanguage]\nDefault=D\n");
  manager.Reset(Paths());
  EXPECT_EQ(manager.CurrentLanguage(), "D");
  EXPECT_EQ(manager.ListLanguages().size(), 2u);
  EXPECT_EQ(manager.SettingsWritePath(), m_user.File("Orvanta/config.ini"));
  EXPECT_TRUE(manager.SwitchLanguage("English"));
  EXPECT_EQ(ReadText(m_user.File("Orvanta/config.ini")), "[DefaultLanguage]\nDefault=English\n");
  EXPECT_EQ(manager.Text("MainWnd", "BtnNext"), "Next");
}

TEST_F(LanguageFiles, LongSectionNamesAreLeftOut) {
  WriteText(m_program.File("Languages/English.ini"),
            "[" + std::string(256, 's') + "]\nk=too long a name\n[" + std::string(255, 't') + "]\nk=fits\n");
  LanguageManager manager(Paths());
  EXPECT_EQ(manager.Text(std::string(256, 's'), "k"), "");
  EXPECT_EQ(manager.Text(std::string(255, 't'), "k"), "fits");
}

TEST(MessageFormat, UntrustedFormatsNeverReadPastTheArguments) {
  EXPECT_EQ(FormatText("%s %d", {"Disk", 2}), "Disk 2");
  EXPECT_EQ(FormatText("%d of %d files done: %d recovered, %d failed.", {3, 10, 2, 1}),
            "3 of 10 files done: 2 recovered, 1 failed.");
  EXPECT_EQ(FormatText("Scanning drive %c:", {FormatArg::Char(U'E')}), "Scanning drive E:");
  EXPECT_EQ(FormatText("%c", {FormatArg::Char(U'\u00E4')}), "\xC3\xA4");
  EXPECT_EQ(FormatText("%s %s", {"only one"}), "only one ") << "a missing argument writes nothing";
  EXPECT_EQ(FormatText("%s", {"a", "b"}), "a");
  EXPECT_EQ(FormatText("%d", {"text"}), "text") << "a text for %d is written as it is";
  EXPECT_EQ(FormatText("%s", {42}), "42");
  EXPECT_EQ(FormatText("%n%p%q %", {1}), "%n%p%q %") << "unknown conversions stay as they are";
  EXPECT_EQ(FormatText("100%%", {}), "100%");
  EXPECT_EQ(FormatText("%02d:%02d", {5, 7}), "05:07");
  EXPECT_EQ(FormatText("%-4d|%4s|%.2s", {7, "ab", "xyz"}), "7   |  ab|xy");
  EXPECT_EQ(FormatText("%I64u / %I64u", {18446744073709551615ull, 0ull}), "18446744073709551615 / 0");
  EXPECT_EQ(FormatText("%d", {-2147483647 - 1}), "-2147483648");
  EXPECT_EQ(FormatText("%u", {-1}), "18446744073709551615");
  EXPECT_EQ(FormatText("%X", {255}), "FF");
  EXPECT_EQ(FormatText("%999999999d", {1}).size(), 256u) << "widths are bounded";
}

}  // namespace
}  // namespace velmira
