// Noticing a SQLite file replaced or removed under the service.

#include "ctl/database_file_watch.h"

#include <sys/stat.h>

#include "base/text.h"
#include "db/connection_string.h"

namespace fonwerk::ctl {
namespace {

std::string SqlitePath(const std::string& connect) {
  const ConnectionString parsed = ConnectionString::Parse(connect);
  if (text::AsciiLower(parsed.Get("Provider").value_or("")) != "sqlite") return {};
  return parsed.Get("Data Source").value_or("");
}

}  // namespace

DatabaseFileWatch::DatabaseFileWatch(const std::string& connect) { Watch(connect); }

void DatabaseFileWatch::Watch(const std::string& connect) {
  std::string path = SqlitePath(connect);
  std::optional<Identity> identity = path.empty() ? std::nullopt : IdentityOf(path);
  const std::lock_guard<std::mutex> lock(mutex_);
  path_ = std::move(path);
  identity_ = identity;
}

bool DatabaseFileWatch::Changed() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (path_.empty()) return false;
  const std::optional<Identity> now = IdentityOf(path_);
  if (now == identity_) return false;
  identity_ = now;
  return true;
}

std::string DatabaseFileWatch::path() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

std::optional<DatabaseFileWatch::Identity> DatabaseFileWatch::IdentityOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return Identity{info.st_dev, info.st_ino};
}

}  // namespace fonwerk::ctl
