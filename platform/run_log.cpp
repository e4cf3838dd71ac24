#include "platform/run_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

}  // namespace

RunLogFile::Outcome RunLogFile::StartNew(const std::string& path,
                                         std::unique_ptr<RunLogFile>& opened) {
  // The old log is locked before it is deleted: a run still writing it keeps it.
  UniqueFd old_log(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (old_log.valid()) {
    if (!TryLock(old_log.get())) return Outcome::kBusy;
    // Unlinking asks the folder, not the file: a read-only old log goes all the same.
    if (::unlink(path.c_str()) != 0) {
      if (RefusesWriting(errno)) return Outcome::kNotWritable;
      ThrowLogError("Datei kann nicht gelöscht werden", path, errno);
    }
  } else if (errno == EACCES && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
    // An unreadable old log cannot be locked; it is deleted all the same.
    if (RefusesWriting(errno)) return Outcome::kNotWritable;
    ThrowLogError("Datei kann nicht gelöscht werden", path, errno);
  }

  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd.valid() && errno == EEXIST) {
    // Another run created it meanwhile (its lock tells), or the name is a
    // link: it is opened as it stands.
    fd = UniqueFd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  }
  if (!fd.valid()) {
    if (RefusesWriting(errno)) return Outcome::kNotWritable;
    ThrowLogError("Datei kann nicht geöffnet werden", path, errno);
  }
  if (!TryLock(fd.get())) return Outcome::kBusy;
  opened.reset(new RunLogFile(path, std::move(fd)));
  return Outcome::kOpened;
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
  const std::string& first = requested ? *requested : beside_program;
  const RunLogFile::Outcome outcome = RunLogFile::StartNew(first, placement.file);
  if (outcome == RunLogFile::Outcome::kOpened) return placement;
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
    if (RunLogFile::StartNew(path, placement.file) != RunLogFile::Outcome::kOpened) {
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
