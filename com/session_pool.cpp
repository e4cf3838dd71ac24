// The pool holds a strong reference, so a session stays open between uses
// until ResetSessionPool().

#include "com/session_pool.h"

#include <map>
#include <mutex>
#include <optional>

#include "base/errors.h"
#include "base/text.h"
#include "db/connection_string.h"
#include "db/session.h"
#include "db/session_providers.h"

namespace fonwerk::ado {
namespace {

struct Pool {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<Session>> sessions;  // key: the exact connection string
};

Pool& ThePool() {
  static Pool pool;
  return pool;
}

ConnectionString ParseForSession(const std::string& connect_string) {
  try {
    return ConnectionString::Parse(connect_string);
  } catch (const DbError&) {
    throw;
  } catch (const Error& error) {
    throw DbError(DbError::Kind::kUsage, error.description());
  }
}

std::unique_ptr<Session> OpenProviderSession(const std::string& connect_string) {
  const ConnectionString params = ParseForSession(connect_string);
  const std::optional<std::string> provider = params.Get("Provider");
  if (!provider || provider->empty()) {
    throw DbError(DbError::Kind::kUsage, "The connection string names no provider: " +
                                             ConnectionString::MaskPassword(connect_string));
  }
  if (text::EqualsNoCase(*provider, "SQLite")) return OpenSqliteSession(params);
  if (text::EqualsNoCase(*provider, "PostgreSQL")) return OpenPostgresSession(params);
  throw DbError(DbError::Kind::kUsage, "Unknown database provider: " + *provider);
}

}  // namespace

std::shared_ptr<Session> OpenSession(const std::string& connect_string) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  if (auto found = pool.sessions.find(connect_string); found != pool.sessions.end()) {
    return found->second;
  }
  std::shared_ptr<Session> session = OpenProviderSession(connect_string);
  pool.sessions.emplace(connect_string, session);
  return session;
}

void ResetSessionPool() {
  Pool& pool = ThePool();
  std::map<std::string, std::shared_ptr<Session>> dropped;
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    dropped.swap(pool.sessions);
  }
  // Sessions nobody else holds close here, outside the lock.
}

}  // namespace fonwerk::ado
