#include "platform/ini_reader.h"

#include <ini.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/errors.h"
#include "base/text.h"

namespace fonwerk::com {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// libinih keeps its options in globals: lines of any length on the heap, and
// no continuation lines, so an indented `name=value` is read as a pair of its own.
void ConfigureParser() {
  ini_use_stack = false;
  ini_allow_realloc = true;
  ini_max_line = 1 << 20;
  ini_allow_multiline = false;
  ini_allow_inline_comments = true;
  ini_stop_on_first_error = false;
}

int CollectPair(void* user, const char* section, const char* name, const char* value) {
  auto* entries = static_cast<std::vector<IniEntry>*>(user);
  entries->push_back(IniEntry{section, name, value ? value : ""});
  return 1;
}

[[noreturn]] void ThrowReadError(const std::string& path, int error_number) {
  const int32_t number = (error_number == EACCES || error_number == EPERM)
                             ? errnum::kPermissionDenied
                             : errnum::kPathFileAccess;
  throw Error(number, "INI-Datei nicht lesbar: " + path + ": " + std::strerror(error_number));
}

}  // namespace

std::optional<std::vector<IniEntry>> ReadIniFile(const std::string& path) {
  UniqueFile file(std::fopen(path.c_str(), "re"));
  if (!file) {
    if (errno == ENOENT) return std::nullopt;
    ThrowReadError(path, errno);
  }
  struct stat info {};
  if (fstat(fileno(file.get()), &info) != 0) ThrowReadError(path, errno);
  if (S_ISDIR(info.st_mode)) ThrowReadError(path, EISDIR);

  ConfigureParser();
  std::vector<IniEntry> entries;
  const int result = ini_parse_file(file.get(), CollectPair, &entries);
  if (std::ferror(file.get())) ThrowReadError(path, errno ? errno : EIO);
  if (result == -2) throw Error(errnum::kPathFileAccess, "Kein Speicher beim Lesen von " + path);
  if (result != 0) {
    throw Error(errnum::kPathFileAccess,
                "INI-Datei fehlerhaft: " + path + ", Zeile " + std::to_string(result));
  }
  return entries;
}

std::optional<std::string> FindIniValue(const std::vector<IniEntry>& entries,
                                        std::string_view section, std::string_view name) {
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (text::EqualsNoCase(it->section, section) && text::EqualsNoCase(it->name, name)) {
      return it->value;
    }
  }
  return std::nullopt;
}

}  // namespace fonwerk::com
