// Reading and writing the files of an installation.

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/unique_fd.h"
#include "tools/install.h"
#include "tools/install_internal.h"

namespace fonwerk::install {
namespace {

namespace fs = std::filesystem;

std::string ErrnoText() { return std::strerror(errno); }

}  // namespace

std::string TrimSpace(std::string_view text) {
  const char* kSpace = " \t\r\n";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(kSpace);
  return std::string(text.substr(first, last - first + 1));
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw InstallError(fmt::format("cannot read {}", file.string()));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw InstallError(fmt::format("cannot write {}", file.string()));
}

void WriteFileWithMode(const fs::path& file, const std::string& text, mode_t mode) {
  fs::path temporary = file;
  temporary += fmt::format(".new.{}", ::getpid());
  ::unlink(temporary.c_str());
  platform::UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd.valid()) {
    throw InstallError(fmt::format("cannot write {}: {}", temporary.string(), ErrnoText()));
  }
  std::string_view rest = text;
  while (!rest.empty()) {
    const ssize_t written = ::write(fd.get(), rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      const std::string reason = ErrnoText();
      ::unlink(temporary.c_str());
      throw InstallError(fmt::format("cannot write {}: {}", temporary.string(), reason));
    }
    rest.remove_prefix(static_cast<size_t>(written));
  }
  // Closing tells whether the data reached the file (a late write error shows here).
  if (::close(fd.release()) != 0 || ::rename(temporary.c_str(), file.c_str()) != 0) {
    const std::string reason = ErrnoText();
    ::unlink(temporary.c_str());
    throw InstallError(fmt::format("cannot write {}: {}", file.string(), reason));
  }
}

}  // namespace fonwerk::install
