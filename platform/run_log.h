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
#include <string>

#include "base/unique_fd.h"

namespace fonwerk::platform {

class RunLogFile {
 public:
  enum class Outcome {
    kOpened,       // the old log (if any) was replaced; this run owns the file
    kBusy,         // another running program holds the file
    kNotWritable,  // the folder refuses a new file (permissions, read-only file system)
  };

  // Starts a new log at `path`: takes the lock, deletes a log left by an
  // earlier run (read-only or not) and creates the file afresh. Throws Error
  // naming the path for any other failure (a folder in the log's place, a
  // missing folder, ...).
  static Outcome StartNew(const std::string& path, std::unique_ptr<RunLogFile>& opened);

  // Opens `path` for appending without replacing it or locking it (creating
  // it when missing). Throws Error naming the path.
  static std::unique_ptr<RunLogFile> OpenForAppend(const std::string& path);

  const std::string& path() const { return path_; }
  // Writes `line` followed by CR LF in one write. Throws Error naming the path.
  void Append(const std::string& line);

 private:
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
// beside the executable. A named file must be usable as it is; the default
// gives way to $XDG_STATE_HOME/fonwerk/Fonwerk.log (default
// ~/.local/state/fonwerk/) when its folder is not writable. A log held by a
// running program is left alone: this run then logs to a file of its own in
// the state folder. Throws Error when no log can be opened.
RunLogPlacement PlaceRunLog(const std::optional<std::string>& requested,
                            const std::string& beside_program);

// $XDG_STATE_HOME/fonwerk, else $HOME/.local/state/fonwerk (created on demand
// by PlaceRunLog). Throws Error when neither variable is set.
std::string StateFolder();

}  // namespace fonwerk::platform
