#pragma once
// The platform services the system leans on: message boxes on the terminal,
// the run-time error report, the command line, the executable's folder, file
// operations of the run log, locale time stamps and the message pump.

#include <cstdint>
#include <functional>
#include <string>

#include "base/errors.h"

namespace fonwerk::platform {

// Message-box style flags (the Windows numbers) and button results.
inline constexpr int32_t kMbOk = 0;
inline constexpr int32_t kMbOkCancel = 1;
inline constexpr int32_t kMbIconStop = 16;
inline constexpr int32_t kMbIconQuestion = 32;
inline constexpr int32_t kMbDefButton2 = 256;
inline constexpr int32_t kIdOk = 1;
inline constexpr int32_t kIdCancel = 2;

// Exit statuses of the programs.
inline constexpr int kExitOk = 0;
inline constexpr int kExitStopped = 1;       // a check failed or the confirmation was refused
inline constexpr int kExitWithFailures = 2;  // the rebuild finished but reported failures
inline constexpr int kExitRuntimeError = 3;  // an unhandled failure
inline constexpr int kExitNotRebuilt = 3;    // the rebuild could not be done: the old table was kept
inline constexpr int kExitUsage = 64;        // the command line is wrong

// The application title ("Fonwerk").
const std::string& AppTitle();

// Shows a message box: "<title>: <text>" with CR LF as a line break. Boxes with
// the stop icon go to standard error, the others to standard output. With the
// OK/Cancel buttons it prompts "(ja/nein)" on a line of its own (followed by a
// blank on a terminal, by a line break otherwise) and reads one line from standard input: ok, j, ja, y, yes
// (any case) answer OK; anything else, an empty line or end of input answer
// Cancel. Returns kIdOk or kIdCancel. An empty title means AppTitle().
int32_t MsgBox(const std::string& text, int32_t style, const std::string& title = "");

// Writes the run-time error report: one line "Laufzeitfehler '<n>': <description>"
// on standard error.
void ReportRuntimeError(const Error& error);
void ReportRuntimeError(int32_t number, const std::string& description);
// The text of that report, without the line break.
std::string RuntimeErrorText(int32_t number, const std::string& description);

// argv[1..] joined with single blanks.
std::string CommandLine(int argc, const char* const* argv);

// Folder of the running executable (/proc/self/exe), without a trailing '/'.
std::string ExecutableFolder();

// The data folder of the prefix the running program is installed in
// (<prefix>/bin/../share/fonwerk, normalised) when that folder exists; empty
// for a program that runs from the build tree.
std::string InstalledDataFolder();

// The run-log path: folder + "/" + file name, with every "//" from the third
// character on replaced by "/" (one left-to-right pass over non-overlapping pairs).
std::string JoinLogPath(const std::string& folder, const std::string& file_name);

bool FolderExists(const std::string& path);
bool FileExists(const std::string& path);
// Deletes a file, read-only or not. Throws Error naming the path and the cause.
void DeleteFileForced(const std::string& path);
// Throws the Error of a file operation that failed with errno `error_number`:
// "<action> '<path>': <cause>", numbered by the cause (a missing file is 53
// when `file_itself` names the file, 76 for a missing folder on its way).
[[noreturn]] void ThrowFileError(const char* action, const std::string& path, int error_number,
                                 bool file_itself);

// Opens `path` for appending (creating it), writes `line` + CR LF, closes it.
// Throws Error naming the path and the cause.
void AppendLine(const std::string& path, const std::string& line);

// Current local date and time in the user's format (LC_TIME): short date, a blank, long time.
std::string NowStamp();

// Lets pending "window messages" be processed: repaints the progress bar when due.
void DoEvents();
// Registers the hook DoEvents calls (the progress bar); an empty function removes it.
void SetMessageHook(std::function<void()> hook);

}  // namespace fonwerk::platform
