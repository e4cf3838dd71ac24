#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <utility>

#include "base/text.h"
#include "base/unique_fd.h"

#ifndef FONWERK_DATA_FROM_BIN
#error "FONWERK_DATA_FROM_BIN must name the data folder as seen from the installed programs"
#endif

namespace fonwerk::platform {
namespace {

// The error number a file operation's errno stands for.
int32_t FileErrorNumber(int error_number, bool file_itself) {
  switch (error_number) {
    case ENOENT:
      return file_itself ? errnum::kFileNotFound : errnum::kPathNotFound;
    case ENOTDIR:
      return errnum::kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return errnum::kPermissionDenied;
    default:
      return errnum::kPathFileAccess;
  }
}

bool AnswersOk(std::string_view answer) {
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r' ||
                             answer.back() == ' ' || answer.back() == '\t')) {
    answer.remove_suffix(1);
  }
  while (!answer.empty() && (answer.front() == ' ' || answer.front() == '\t')) {
    answer.remove_prefix(1);
  }
  const std::string lower = text::AsciiLower(answer);
  return lower == "ok" || lower == "j" || lower == "ja" || lower == "y" || lower == "yes";
}

// Reads one line from standard input; "" at end of input.
std::string ReadAnswerLine() {
  std::string line;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
    line += buffer;
    if (!line.empty() && line.back() == '\n') break;
  }
  return line;
}

std::function<void()>& MessageHook() {
  static std::function<void()> hook;
  return hook;
}

}  // namespace

[[noreturn]] void ThrowFileError(const char* action, const std::string& path, int error_number,
                                 bool file_itself) {
  throw Error(FileErrorNumber(error_number, file_itself),
              std::string(action) + " '" + path + "': " + std::strerror(error_number));
}

const std::string& AppTitle() {
  static const std::string title = "Fonwerk";
  return title;
}

int32_t MsgBox(const std::string& text, int32_t style, const std::string& title) {
  std::string message = title.empty() ? AppTitle() : title;
  message += ": ";
  message.reserve(message.size() + text.size() + 1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    message.push_back(text[i]);
  }
  message.push_back('\n');

  const bool stop_icon = (style & 0xF0) == kMbIconStop;
  std::FILE* stream = stop_icon ? stderr : stdout;
  std::fwrite(message.data(), 1, message.size(), stream);
  std::fflush(stream);
  if ((style & 0x0F) != kMbOkCancel) return kIdOk;
  // The answers that confirm are named after the question. On a terminal the
  // answer is typed behind them; otherwise nothing echoes a line break, so
  // the prompt ends its line itself.
  const char* prompt = ::isatty(STDIN_FILENO) ? "(ja/nein) " : "(ja/nein)\n";
  std::fputs(prompt, stdout);
  std::fflush(stdout);
  return AnswersOk(ReadAnswerLine()) ? kIdOk : kIdCancel;
}

void ReportRuntimeError(const Error& error) {
  ReportRuntimeError(error.number(), error.description());
}

std::string RuntimeErrorText(int32_t number, const std::string& description) {
  return "Laufzeitfehler '" + std::to_string(number) + "': " + description;
}

void ReportRuntimeError(int32_t number, const std::string& description) {
  std::string line = RuntimeErrorText(number, description) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::string CommandLine(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line.push_back(' ');
    line += argv[i];
  }
  return line;
}

std::string InstalledDataFolder() {
  std::error_code ignored;
  const std::filesystem::path folder =
      (std::filesystem::path(ExecutableFolder()) / FONWERK_DATA_FROM_BIN).lexically_normal();
  return std::filesystem::is_directory(folder, ignored) ? folder.string() : std::string();
}

std::string ExecutableFolder() {
  std::string path(4096, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) ThrowFileError("Programmpfad nicht lesbar", "/proc/self/exe", errno, true);
    if (static_cast<size_t>(length) < path.size()) {
      path.resize(static_cast<size_t>(length));
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string JoinLogPath(const std::string& folder, const std::string& file_name) {
  const std::string joined = folder + "/" + file_name;
  if (joined.size() <= 2) return joined;
  std::string result = joined.substr(0, 2);
  result.reserve(joined.size());
  for (size_t i = 2; i < joined.size(); ++i) {
    result.push_back(joined[i]);
    if (joined[i] == '/' && i + 1 < joined.size() && joined[i + 1] == '/') ++i;
  }
  return result;
}

bool FolderExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

void DeleteFileForced(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return;
  const int first_error = errno;
  if (first_error == EACCES || first_error == EPERM) {
    if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) == 0 && ::unlink(path.c_str()) == 0) return;
  }
  ThrowFileError("Datei kann nicht gelöscht werden", path, first_error, true);
}

void AppendLine(const std::string& path, const std::string& line) {
  std::string record;
  record.reserve(line.size() + 2);
  record.append(line).append("\r\n");

  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  if (fd.get() < 0) ThrowFileError("Datei kann nicht geöffnet werden", path, errno, false);
  size_t written = 0;
  while (written < record.size()) {
    const ssize_t n = ::write(fd.get(), record.data() + written, record.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowFileError("Datei kann nicht geschrieben werden", path, errno, true);
    }
    written += static_cast<size_t>(n);
  }
  if (!fd.Close()) ThrowFileError("Datei kann nicht geschlossen werden", path, errno, true);
}

std::string NowStamp() {
  static std::once_flag locale_once;
  std::call_once(locale_once, [] { std::setlocale(LC_TIME, ""); });

  // The text changes once a second; it is formatted again only then.
  thread_local std::time_t cached_time = -1;
  thread_local std::string cached_stamp;
  const std::time_t now = std::time(nullptr);
  if (now == cached_time) return cached_stamp;

  std::tm local{};
  localtime_r(&now, &local);
  char buffer[128];
  const size_t length = std::strftime(buffer, sizeof buffer, "%x %X", &local);
  cached_stamp.assign(buffer, length);
  cached_time = now;
  return cached_stamp;
}

void DoEvents() {
  const std::function<void()>& hook = MessageHook();
  if (hook) hook();
}

void SetMessageHook(std::function<void()> hook) { MessageHook() = std::move(hook); }

}  // namespace fonwerk::platform
