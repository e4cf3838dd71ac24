#include "platform/platform.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/com/component_test_support.h"

namespace fonwerk::platform {
namespace {

using fonwerk::testing::TempDir;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

TEST(PlatformPaths, JoinLogPathCollapsesDoubleSlashesFromTheThirdCharacter) {
  struct Case {
    std::string folder, file, path;
  };
  const std::vector<Case> cases = {
      {"/opt/fonwerk", "Fonwerk.log", "/opt/fonwerk/Fonwerk.log"},
      {"/opt/fonwerk/", "Fonwerk.log", "/opt/fonwerk/Fonwerk.log"},
      {"", "Fonwerk.log", "/Fonwerk.log"},
      {"//server/share", "Fonwerk.log", "//server/share/Fonwerk.log"},
      {"/opt//a/", "F.log", "/opt/a/F.log"},
      {"a///", "F", "a///F"},  // pairs do not overlap: "///F" becomes "//F"
      {"/", "F", "//F"},
  };
  for (const Case& c : cases) EXPECT_EQ(JoinLogPath(c.folder, c.file), c.path) << c.folder;
}

TEST(PlatformPaths, CommandLineJoinsTheArgumentsWithSingleBlanks) {
  const char* none[] = {"fonwerk"};
  EXPECT_EQ(CommandLine(1, none), "");
  const char* several[] = {"fonwerk", "/srv/my korvana", "\"x\"", ""};
  EXPECT_EQ(CommandLine(4, several), "/srv/my korvana \"x\" ");
}

TEST(PlatformPaths, ExecutableFolderHoldsTheRunningProgram) {
  const std::string folder = ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), '/');
  EXPECT_TRUE(FileExists(folder + "/" + program_invocation_short_name)) << folder;
}

TEST(PlatformFiles, ExistenceTellsFilesAndFoldersApart) {
  TempDir dir;
  const std::string file = dir.Write("a.txt", "x");
  EXPECT_TRUE(FolderExists(dir.path()));
  EXPECT_FALSE(FileExists(dir.path()));
  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(FolderExists(file));
  EXPECT_FALSE(FileExists(dir.File("missing")));
  EXPECT_FALSE(FolderExists(dir.File("missing")));
}

TEST(PlatformFiles, AppendLineAddsCrLfLinesAndCreatesTheFile) {
  TempDir dir;
  const std::string log = dir.File("Fonwerk.log");
  AppendLine(log, "first");
  AppendLine(log, "zweite Zeile äöü");
  EXPECT_EQ(ReadFile(log), "first\r\nzweite Zeile äöü\r\n");
}

TEST(PlatformFiles, AppendLineFailsNamingThePath) {
  TempDir dir;
  const std::string in_missing_folder = dir.File("missing/Fonwerk.log");
  try {
    AppendLine(in_missing_folder, "x");
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.number(), errnum::kPathNotFound);
    EXPECT_NE(error.description().find(in_missing_folder), std::string::npos);
    EXPECT_NE(error.description().find(std::strerror(ENOENT)), std::string::npos);
  }
  EXPECT_THROW(AppendLine(dir.path(), "x"), Error);  // a folder
}

TEST(PlatformFiles, DeleteFileForcedDeletesReadOnlyFiles) {
  TempDir dir;
  const std::string file = dir.Write("Fonwerk.log", "old");
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  DeleteFileForced(file);
  EXPECT_FALSE(FileExists(file));
}

TEST(PlatformFiles, DeleteFileForcedFailsForAMissingFile) {
  TempDir dir;
  try {
    DeleteFileForced(dir.File("none.log"));
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.number(), errnum::kFileNotFound);
    EXPECT_NE(error.description().find(dir.File("none.log")), std::string::npos);
  }
}

TEST(PlatformTime, NowStampIsShortDateBlankLongTimeOfTheLocale) {
  std::string before;
  std::string stamp;
  std::string after;
  const auto format = [] {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[128];
    return std::string(buffer, std::strftime(buffer, sizeof buffer, "%x %X", &local));
  };
  stamp = NowStamp();  // sets LC_TIME from the environment
  before = format();
  stamp = NowStamp();
  after = format();
  EXPECT_TRUE(stamp == before || stamp == after) << stamp;
  EXPECT_NE(stamp.find(' '), std::string::npos);
}

// Runs `action` with standard input reading `input` (nullptr: nothing at all).
template <class Action>
auto WithStdin(const TempDir& dir, const char* input, Action action) {
  const std::string file = dir.Write("stdin.txt", input ? input : "");
  EXPECT_NE(std::freopen(file.c_str(), "r", stdin), nullptr);
  return action();
}

TEST(PlatformMsgBox, StopBoxesGoToStandardErrorOthersToStandardOutput) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(MsgBox("Pfad nicht gefunden '/x'", 16, "Fonwerk"), kIdOk);
  EXPECT_EQ(MsgBox("Tapi wurde neu aufgebaut.", 0), kIdOk);
  EXPECT_EQ(MsgBox("a\r\nb", 64, "Titel"), kIdOk);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Fonwerk: Pfad nicht gefunden '/x'\n");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Fonwerk: Tapi wurde neu aufgebaut.\nTitel: a\nb\n");
}

TEST(PlatformMsgBox, ConfirmationReadsOneAnswerLine) {
  struct Case {
    const char* input;
    int32_t answer;
  };
  const std::vector<Case> cases = {
      {"ok\n", kIdOk},       {"OK\n", kIdOk},       {"j\n", kIdOk},    {"Ja\r\n", kIdOk},
      {"y\n", kIdOk},        {"YES", kIdOk},        {" ja \n", kIdOk}, {"nein\n", kIdCancel},
      {"\nok\n", kIdCancel}, {"okay\n", kIdCancel}, {"", kIdCancel},   {"n\n", kIdCancel},
  };
  TempDir dir;
  for (const Case& c : cases) {
    ::testing::internal::CaptureStdout();
    const int32_t answer = WithStdin(
        dir, c.input, [] { return MsgBox("Tapi neu aufbauen?\r\n\r\nIm Pfad: '/k'", 289); });
    const std::string shown = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(answer, c.answer) << "input '" << c.input << "'";
    EXPECT_EQ(shown, "Fonwerk: Tapi neu aufbauen?\n\nIm Pfad: '/k'\n(ja/nein)\n");
  }
}

TEST(PlatformMsgBox, RuntimeErrorReportIsOneLineOnStandardError) {
  ::testing::internal::CaptureStderr();
  ReportRuntimeError(Error(429, "Objekt kann nicht erstellt werden: brixcom.cDal"));
  ReportRuntimeError(53, "Datei nicht gefunden");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Laufzeitfehler '429': Objekt kann nicht erstellt werden: brixcom.cDal\n"
            "Laufzeitfehler '53': Datei nicht gefunden\n");
}

TEST(PlatformMessages, DoEventsCallsTheHookUntilItIsRemoved) {
  int calls = 0;
  DoEvents();  // no hook: nothing happens
  SetMessageHook([&calls] { ++calls; });
  DoEvents();
  DoEvents();
  SetMessageHook({});
  DoEvents();
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace fonwerk::platform
