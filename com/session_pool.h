#pragma once
// The session pool: one open session per connection string and process, the
// way ADO pools its connections. The provider is chosen by the connection
// string's Provider key (SQLite or PostgreSQL).

#include <memory>
#include <string>

#include "db/session.h"

namespace fonwerk::ado {

// Returns the pooled session for `connect_string`, opening it on first use.
// Throws DbError (kConnection) when the database cannot be opened, or
// DbError (kUsage) when the connection string names no known provider.
std::shared_ptr<Session> OpenSession(const std::string& connect_string);

// Drops every pooled session (sessions still referenced stay open until released).
void ResetSessionPool();

}  // namespace fonwerk::ado
