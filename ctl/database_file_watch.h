#pragma once
// Notices when the SQLite file of the service is replaced (`mv new.db
// korvana.db`) or removed under it: the open sessions would go on reading
// the old file, which is no longer the database.

#include <sys/types.h>

#include <mutex>
#include <optional>
#include <string>

namespace fonwerk::ctl {

class DatabaseFileWatch {
 public:
  // Watches the Data Source of `connect` when it names a SQLite database;
  // otherwise Changed() is always false.
  explicit DatabaseFileWatch(const std::string& connect);

  // Watches the database of a new connection string from now on. Thread-safe.
  void Watch(const std::string& connect);

  // Whether the file is another one (device and inode), or is gone or back,
  // since the last call (or Watch). Costs one stat(2). Thread-safe.
  bool Changed();

  // The file watched; empty when none is. Thread-safe.
  std::string path();

 private:
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const Identity& other) const {
      return device == other.device && inode == other.inode;
    }
  };
  static std::optional<Identity> IdentityOf(const std::string& path);

  std::mutex mutex_;
  std::string path_;
  std::optional<Identity> identity_;  // nullopt: the file does not exist
};

}  // namespace fonwerk::ctl
