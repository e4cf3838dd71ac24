#pragma once
// Reading the catalog for the SQLite table replacement (sqlite_table_rebuild.cpp):
// the table's entries in sqlite_master, and the statements that make, fill
// and put in place the new table, worked out before anything is changed.
// Private to the SQLite provider.

#include <string>
#include <vector>

#include "db/session.h"

namespace fonwerk::ado::sqlite {

// The name of the new table until the swap is this prefix and the old name.
inline constexpr const char* kShadowPrefix = "fonwerk_new_";

struct SchemaEntry {
  std::string type;  // "table", "index", "trigger"
  std::string name;
  std::string sql;  // empty for the indexes of the table's own constraints
};

// An index of the new table, made under a name of its own and given the old
// index's name and text once the old table is gone.
struct RenamedIndex {
  std::string temporary;
  std::string name;
  std::string sql;
};

// The statements of a rebuild, worked out before anything is changed.
struct RebuildPlan {
  std::string shadow;                    // the new table's name until the swap
  std::vector<std::string> before_rows;  // make the new table
  std::vector<std::string> indexes;      // the plain indexes, built before the swap
  std::vector<RenamedIndex> renamed;     // every index of the old table's own
  std::vector<std::string> after_swap;   // triggers from the old texts
};

// The entries of `table` (ASCII case-insensitive) in sqlite_master: the table
// first, then its indexes and triggers in the order they were made. Empty
// when there is no such table. Throws DbError.
std::vector<SchemaEntry> ReadSchema(Session& session, const std::string& table);

// Works out the statements into `plan`; returns why the table cannot be
// replaced (it is then rebuilt in place), or "" when it can. Throws DbError
// only when a catalog query fails.
std::string MakeRebuildPlan(Session& session, const std::vector<SchemaEntry>& entries,
                            RebuildPlan& plan);

// The table's entries in sqlite_master and its statistics, as one text: two
// equal signatures mean an equal definition.
std::string SchemaSignature(Session& session, const std::string& table);

}  // namespace fonwerk::ado::sqlite
