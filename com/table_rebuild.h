#pragma once
// Rebuild of a whole table inside one transaction, by replacement where the
// database allows it.
//
// The refill of a table row by row into its indexed B-trees costs several
// times what a build of the rows first and of the indexes afterwards costs. A
// TableRebuild therefore starts the new table empty and without its plain
// (non-unique) indexes, lets the caller store the rows, and at Complete()
// builds the indexes in one sorted pass each and puts the new table in place
// of the old one. Everything happens in the caller's transaction: readers in
// other sessions keep answering from the old table until the commit, and a
// run that ends before the commit leaves the old table as it was.
//
// The new table carries the old one's definition as the catalog holds it
// (columns with types and widths, defaults, constraints, every index,
// triggers; on PostgreSQL also owner, grants and comments). What a store into
// the table checks is in force while the rows are stored (unique constraints
// and unique indexes, foreign keys, insert triggers), so a row that the old
// table would have rejected is rejected by the new one in the same store.
// (SQLite rebuilds a table with insert triggers in place: see below.)
//
//  - SQLite: the old table is dropped and created anew from its own text in
//    the transaction; its pages go to the free list without being overwritten
//    (they are written over by the new rows), which makes the drop cheap.
//    Readers in other processes see the old table until the commit (WAL).
//  - PostgreSQL: the rows go into a new table beside the old one (COPY
//    through the session's store path: the session redirects table
//    recordsets of the old name to it, see Session::RedirectTable). The old
//    table stays readable; Complete() builds the indexes, drops the old table
//    and renames the new one, so readers wait only for that moment until the
//    commit.
//
// Where a replacement would change what the database does (a view, a rule or
// a foreign key of another table that depends on the table, delete or
// truncate triggers that the in-place emptying fires, on SQLite insert
// triggers, whose stores need savepoints that cannot be rolled back once the
// transaction changed the schema, a definition that cannot be recreated
// exactly), the rebuild runs in place: the table is
// emptied with the caller's statement and refilled under all its indexes,
// and the reason goes to the run log once.
//
// Thread use: one thread, the session's.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "com/ado.h"
#include "db/table_replacement.h"

namespace fonwerk::ado {

using RebuildLog = std::function<void(const std::string&)>;

// Starts the rebuild of `table` in the open transaction of `connection`.
// Either prepares the empty new table (and, on PostgreSQL, redirects the
// session's table recordsets of `table` to it until the returned object is
// destroyed), or, when the rebuild has to run in place, writes one line with
// the reason to `log` and runs `empty_sql` (the statement that empties the
// table) on the connection.
// REQUIRES: connection.IsOpen() and a transaction begun on it.
// Throws DbError when the statement that empties the table fails or the
// database went away; nothing has been changed then.
std::unique_ptr<TableRebuild> BeginTableRebuild(Connection& connection, const std::string& table,
                                                const std::string& empty_sql,
                                                const RebuildLog& log);

// How long the swap of a replacing rebuild waits for the sessions that hold
// the old table (a report in an open transaction, a pg_dump, an idle admin
// session), and who is told what it waits for.
struct SwapWait {
  std::chrono::milliseconds limit{std::chrono::seconds(600)};
  // Called once, at the first attempt that did not get the lock, with the
  // holders (TableRebuild::TableHolders) joined by ", ".
  std::function<void(const std::string& holders)> notice;
  // One attempt, and the pause after a refused one: a reader that arrives
  // during an attempt waits for it at most `attempt`; between attempts
  // readers are served from the old table at once.
  std::chrono::milliseconds attempt{100};
  std::chrono::milliseconds pause{150};
};

// Completes `rebuild` (TableRebuild::Complete) with the swap's lock taken in
// attempts of `wait.attempt`, so that readers arriving while it waits are
// not queued behind it. Throws DbError naming the holders when the lock
// could not be had within `wait.limit`; the caller then rolls back and the
// old table stays.
void CompleteTableRebuild(TableRebuild& rebuild, const SwapWait& wait);

}  // namespace fonwerk::ado
