#include "phone/rebuild_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <exception>
#include <optional>
#include <thread>

#include "base/text.h"
#include "com/ado.h"
#include "db/connection_string.h"

namespace fonwerk {
namespace {

// The advisory lock key of a rebuild of TAPI ("FWKTAPI" in ASCII).
constexpr const char* kAdvisoryLockQuery = "SELECT pg_try_advisory_lock(19799229417476169)";
constexpr const char* kAdvisoryUnlockQuery = "SELECT pg_advisory_unlock(19799229417476169)";

std::optional<std::string> SqliteFile(const std::string& connect_string) {
  try {
    const ConnectionString params = ConnectionString::Parse(connect_string);
    const std::optional<std::string> provider = params.Get("Provider");
    if (!provider) return std::nullopt;
    if (!text::EqualsNoCase(*provider, "sqlite")) return std::nullopt;
    return params.Get("Data Source");
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

RebuildLock::RebuildLock() = default;
RebuildLock::~RebuildLock() { Release(); }

void RebuildLock::Release() {
  lock_file_ = platform::UniqueFd();
  if (!session_) return;
  // The server would drop the lock with the session, but only once its
  // backend has seen the connection go, a moment after this process ended;
  // a rebuild started right after this one must not find it still held.
  try {
    if (advisory_held_) {
      ado::Recordset answer;
      answer.Open(kAdvisoryUnlockQuery, *session_, ado::CursorType::kStatic);
      answer.Close();
    }
  } catch (const std::exception&) {
    // The session is gone, and the lock with it.
  }
  advisory_held_ = false;
  session_.reset();
}

RebuildLock::Outcome RebuildLock::TryAcquire(const std::string& connect_string) {
  if (const std::optional<std::string> file = SqliteFile(connect_string)) {
    if (file->empty()) return Outcome::kUnchecked;
    // No database, nothing to guard: its opening fails, and no lock file is
    // left beside a database that is not there.
    struct stat database {};
    if (::stat(file->c_str(), &database) != 0) return Outcome::kUnchecked;
    const std::string lock_path = *file + ".lock";
    platform::UniqueFd fd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid()) return Outcome::kUnchecked;
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      return errno == EWOULDBLOCK ? Outcome::kHeld : Outcome::kUnchecked;
    }
    lock_file_ = std::move(fd);
    return Outcome::kAcquired;
  }
  try {
    // The rebuild's own connection joins this pooled session, which keeps
    // the lock as long as the process runs.
    auto connection = std::make_unique<ado::Connection>();
    connection->SetConnectionString(connect_string);
    connection->Open();
    ado::Recordset answer;
    // A static recordset runs on the session itself (a streaming one has a connection of its own).
    answer.Open(kAdvisoryLockQuery, *connection, ado::CursorType::kStatic);
    const bool acquired = !answer.Eof() && answer.Fields(0).Value().ToBool();
    answer.Close();
    session_ = std::move(connection);
    advisory_held_ = acquired;
    return acquired ? Outcome::kAcquired : Outcome::kHeld;
  } catch (const std::exception&) {
    return Outcome::kUnchecked;
  }
}

RebuildLock::Outcome RebuildLock::Acquire(const std::string& connect_string,
                                          std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (true) {
    const Outcome outcome = TryAcquire(connect_string);
    if (outcome != Outcome::kHeld || std::chrono::steady_clock::now() >= deadline) return outcome;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace fonwerk
