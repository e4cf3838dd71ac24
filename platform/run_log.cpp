#include "platform/run_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/errors.h"
#include "platform/platform.h"

namespace fonwerk::platform {
namespace {

[[noreturn]] void ThrowLogError(const char* action, const std::string& path, int error_number) {
  ThrowFileError(action, path, error_number, false);
}

bool RefusesWriting(int error_number) {
  return error_number == EACCES || error_number == EPERM || error_number == EROFS;
}

bool TryLock(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates `folder` and its missing parents (mode 0700, as a state folder should be).
void CreateFolders(const std::string& folder) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = slash == std::string::npos ? folder : folder.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      ThrowLogError("Ordner kann nicht angelegt werden", part, errno);
    }
    if (slash == std::string::npos) return;
  }
}

// Whether the open file `fd` may be replaced by a new log: an empty file, or
// one whose first line is a run log's start line. Sets `reason` otherwise.
bool IsRunLog(int fd, std::string& reason) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    reason = std::strerror(errno);
    return false;
  }
  if (S_ISDIR(info.st_mode)) return true;  // the unlink refuses it and names the path
  if (!S_ISREG(info.st_mode)) {
    reason = "keine gewöhnliche Datei";
    return false;
  }
  if (info.st_size == 0) return true;
  // "<time stamp>: <start line>" CR LF; a time stamp is far shorter than this.
  char head[512];
  ssize_t got = 0;
  while ((got = ::pread(fd, head, sizeof head, 0)) < 0 && errno == EINTR) {
  }
  if (got < 0) {
    reason = std::strerror(errno);
    return false;
  }
  const std::string_view text(head, static_cast<size_t>(got));
  const size_t end = text.find("\r\n");
  const std::string marker = std::string(": ") + kRunLogStartLine;
  if (end == std::string_view::npos || end < marker.size() ||
      text.substr(end - marker.size(), marker.size()) != marker) {
    reason = "die erste Zeile ist nicht der Start eines Laufs von Fonwerk";
    return false;
  }
  return true;
}

[[noreturn]] void ThrowRefused(const std::string& path, const std::string& reason) {
  throw RunLogRefused("Die Datei '" + path + "' ist kein Protokoll von Fonwerk (" + reason +
                      ") und wird nicht ersetzt. Das Protokoll braucht eine eigene Datei "
                      "(--log PATH oder FONWERK_LOG).");
}

// True when `path` still names the file open as `fd` (nothing was put in its place).
bool StillNames(const std::string& path, int fd) {
  struct stat named {};
  struct stat open_file {};
  return ::lstat(path.c_str(), &named) == 0 && ::fstat(fd, &open_file) == 0 &&
         named.st_dev == open_file.st_dev && named.st_ino == open_file.st_ino;
}

}  // namespace

// Removes the log of an earlier run at `path`: kOpened when the name is free
// afterwards (also when there was nothing), kBusy when a running program holds
// the log, kRefused (with `reason`) when the file is no run log.
RunLogFile::Outcome RunLogFile::RemoveOldLog(const std::string& path, std::string& reason) {
  // The old log is locked before it is deleted: a run still writing it keeps it.
  UniqueFd old_log(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY));
  if (!old_log.valid()) {
    if (errno == ENOENT) return Outcome::kOpened;
    if (errno == ELOOP) {
      reason = "ein symbolischer Verweis";
    } else if (errno == EACCES) {
      reason = "nicht lesbar, also nicht zu prüfen";
    } else {
      ThrowLogError("Datei kann nicht geöffnet werden", path, errno);
    }
    return Outcome::kRefused;
  }
  if (!IsRunLog(old_log.get(), reason)) return Outcome::kRefused;
  if (!TryLock(old_log.get())) return Outcome::kBusy;
  // The check holds for the file that is deleted, not for one put there meanwhile.
  if (!StillNames(path, old_log.get())) return Outcome::kBusy;
  // Unlinking asks the folder, not the file: a read-only old log goes all the same.
  if (::unlink(path.c_str()) != 0) {
    if (RefusesWriting(errno)) return Outcome::kNotWritable;
    ThrowLogError("Datei kann nicht gelöscht werden", path, errno);
  }
  return Outcome::kOpened;
}

RunLogFile::Outcome RunLogFile::StartNew(const std::string& path,
                                         std::unique_ptr<RunLogFile>& opened,
                                         std::string* refusal) {
  std::string reason;
  // A file that appears between the removal of the old log and the creation
  // of the new one (another run starting, a link planted there) is looked at
  // again like the old log was.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const Outcome removed = RemoveOldLog(path, reason);
    if (removed == Outcome::kRefused && refusal != nullptr) *refusal = reason;
    if (removed != Outcome::kOpened) return removed;

    UniqueFd fd(::open(path.c_str(),
                       O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) {
      if (errno == EEXIST) continue;
      if (RefusesWriting(errno)) return Outcome::kNotWritable;
      ThrowLogError("Datei kann nicht geöffnet werden", path, errno);
    }
    if (!TryLock(fd.get())) return Outcome::kBusy;
    opened.reset(new RunLogFile(path, std::move(fd)));
    return Outcome::kOpened;
  }
  return Outcome::kBusy;
}

std::unique_ptr<RunLogFile> RunLogFile::OpenForAppend(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid()) ThrowLogError("Datei kann nicht geöffnet werden", path, errno);
  return std::unique_ptr<RunLogFile>(new RunLogFile(path, std::move(fd)));
}

void RunLogFile::Append(const std::string& line) {
  std::string record;
  record.reserve(line.size() + 2);
  record.append(line).append("\r\n");
  size_t written = 0;
  while (written < record.size()) {
    const ssize_t n = ::write(fd_.get(), record.data() + written, record.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowLogError("Datei kann nicht geschrieben werden", path_, errno);
    }
    written += static_cast<size_t>(n);
  }
}

std::string StateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // Relative values are to be ignored, as every XDG base directory.
  if (state != nullptr && state[0] == '/') return std::string(state) + "/fonwerk";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    throw Error(errnum::kPathNotFound,
                "Kein Ordner für das Protokoll: weder XDG_STATE_HOME noch HOME ist gesetzt");
  }
  return std::string(home) + "/.local/state/fonwerk";
}

RunLogPlacement PlaceRunLog(const std::optional<std::string>& requested,
                            const std::string& beside_program) {
  RunLogPlacement placement;
  std::string first = requested ? *requested : beside_program;
  if (first.empty()) {
    CreateFolders(StateFolder());
    first = StateFolder() + "/Fonwerk.log";
  }
  std::string refusal;
  const RunLogFile::Outcome outcome = RunLogFile::StartNew(first, placement.file, &refusal);
  if (outcome == RunLogFile::Outcome::kOpened) return placement;
  if (outcome == RunLogFile::Outcome::kRefused) ThrowRefused(first, refusal);
  if (outcome == RunLogFile::Outcome::kNotWritable && requested) {
    ThrowLogError("Datei kann nicht angelegt werden", first, EACCES);
  }

  const std::string folder = StateFolder();
  CreateFolders(folder);
  const std::string own_path = folder + "/Fonwerk-" + std::to_string(::getpid()) + ".log";
  std::string path = folder + "/Fonwerk.log";
  // A log held by a running program stays its own: this run takes a file of
  // its own, as it does when the state folder's log is held too.
  if (outcome == RunLogFile::Outcome::kBusy || path == first ||
      RunLogFile::StartNew(path, placement.file) != RunLogFile::Outcome::kOpened) {
    path = own_path;
    const RunLogFile::Outcome own = RunLogFile::StartNew(path, placement.file, &refusal);
    if (own == RunLogFile::Outcome::kRefused) ThrowRefused(path, refusal);
    if (own != RunLogFile::Outcome::kOpened) {
      ThrowLogError("Datei kann nicht angelegt werden", path, EACCES);
    }
  }
  placement.note = outcome == RunLogFile::Outcome::kBusy
                       ? "Das Protokoll '" + first +
                             "' gehört einem laufenden Aufbau; dieses Protokoll steht in '" + path +
                             "'."
                       : "Der Ordner '" + FolderOf(first) +
                             "' ist nicht beschreibbar; das Protokoll steht in '" + path + "'.";
  return placement;
}

}  // namespace fonwerk::platform
