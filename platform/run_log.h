#pragma once
// The run log's file: where it goes, and one open, locked file per run.
//
// A run holds its log open for its whole life (appending with O_APPEND, one
// unbuffered write per line, so every line is on disk when Append returns and
// other programs can read it meanwhile) and keeps an exclusive flock on it, so
// that a second run that would use the same file can tell and go elsewhere
// instead of deleting the log of the run in progress.

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/unique_fd.h"

namespace fonwerk::platform {

// The text of a run log's first line, after its time stamp and ": ". A file
// whose first line ends with it is a run log and may be replaced; an empty
// file may be too. Any other file is left alone.
inline constexpr const char* kRunLogStartLine =
    "*********************** START ***********************";

// A file in the log's place that is not a run log (the installation's
// database, its SQL.INI, a link, a device, ...): nothing was written to it.
class RunLogRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class RunLogFile {
 public:
  enum class Outcome {
    kOpened,       // the old log (if any) was replaced; this run owns the file
    kBusy,         // another running program holds the file
    kNotWritable,  // the folder refuses a new file (permissions, read-only file system)
    kRefused,      // the file there is no run log (see kRunLogStartLine): it stays as it is
  };

  // Starts a new log at `path`: takes the lock, deletes a log left by an
  // earlier run (read-only or not, empty or starting with kRunLogStartLine)
  // and creates the file afresh. A symbolic link, a device or pipe, a file
  // that cannot be read or one that is no run log is kRefused, with the
  // reason in `refusal`. Throws Error naming the path for any other failure
  // (a folder in the log's place, a missing folder, ...).
  static Outcome StartNew(const std::string& path, std::unique_ptr<RunLogFile>& opened,
                          std::string* refusal = nullptr);

  // Opens `path` for appending without replacing it or locking it (creating
  // it when missing). Throws Error naming the path.
  static std::unique_ptr<RunLogFile> OpenForAppend(const std::string& path);

  const std::string& path() const { return path_; }
  // Writes `line` followed by CR LF in one write. Throws Error naming the path.
  void Append(const std::string& line);

 private:
  static Outcome RemoveOldLog(const std::string& path, std::string& reason);
  RunLogFile(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  std::string path_;
  UniqueFd fd_;
};

// Where the log of a run goes and which file it is.
struct RunLogPlacement {
  std::unique_ptr<RunLogFile> file;
  std::string note;  // one line for standard error when the log is not where it was asked to be
};

// Opens the log of a new run. `requested` is the file named by --log or
// FONWERK_LOG (std::nullopt: none was named); `beside_program` the default
// beside the executable, or empty when the default is the state folder's
// $XDG_STATE_HOME/fonwerk/Fonwerk.log (default ~/.local/state/fonwerk/).
// A named file must be usable as it is; the default beside the program gives
// way to the state folder's log when its folder is not writable. A log held by a
// running program is left alone: this run then logs to a file of its own in
// the state folder. Throws RunLogRefused, before anything is written, when
// the file that would be replaced is no run log; Error when no log can be opened.
RunLogPlacement PlaceRunLog(const std::optional<std::string>& requested,
                            const std::string& beside_program);

// $XDG_STATE_HOME/fonwerk, else $HOME/.local/state/fonwerk (created on demand
// by PlaceRunLog). Throws Error when neither variable is set.
std::string StateFolder();

}  // namespace fonwerk::platform
