#pragma once
// Writing generated contacts into table AD of an existing Korvana database,
// the fastest way each provider offers: SQLite with one prepared INSERT in one
// transaction, PostgreSQL with COPY (followed by ANALYZE, as a loaded table
// would have had by the time anyone rebuilds from it).

#include <cstdint>
#include <string>

namespace fonwerk::bench {

// Which provider a connection string names: "SQLite" or "PostgreSQL" (as
// written in the string, compared without regard to case). Throws
// std::runtime_error for any other or a missing Provider key.
enum class Provider { kSQLite, kPostgreSQL };
Provider ProviderOf(const std::string& connect_string);

// The database file of a SQLite connection string (its Data Source).
std::string SqliteFileOf(const std::string& connect_string);

// Adds `count` contacts of the sequence of `seed` to AD of the database named
// by `connect_string` (existing rows stay). All or nothing: one transaction.
// Throws std::runtime_error with the provider's message on failure.
void FillContacts(const std::string& connect_string, uint64_t count, uint64_t seed);

}  // namespace fonwerk::bench
