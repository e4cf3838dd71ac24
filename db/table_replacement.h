#pragma once
// The table a rebuild fills (see com/table_rebuild.h for the whole story), the
// providers' halves of BeginTableRebuild, and the small catalog helpers they
// share. Used by com/table_rebuild.cpp and the providers' rebuild files only.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/session.h"

namespace fonwerk::ado {

class TableRebuild {
 public:
  virtual ~TableRebuild() = default;

  // True when the rows go into a new table that Complete() puts in place;
  // false for a rebuild in place.
  virtual bool Replaces() const = 0;

  // Finishes the new table in the open transaction: builds the deferred
  // indexes, puts the new table in place of the old one and checks that its
  // definition is the old one's. Does nothing for a rebuild in place.
  // `before_swap`, when given, is called once the new table is ready, right
  // before the old one is dropped: the caller takes the swap's lock there on
  // its own terms (TryLockTable), or gives up by throwing.
  // REQUIRES: the stores of the rebuild are complete (Connection::FlushStores)
  // and the transaction is still open. Throws DbError with the provider's
  // message; the caller then rolls the transaction back, which keeps the old
  // table.
  virtual void Complete(const std::function<void()>& before_swap) = 0;

  // The swap needs the old table to itself. On PostgreSQL that is a lock
  // which sessions reading the table hold until their transactions end, and
  // a request for it that waits makes every reader arriving after it wait
  // too. TryLockTable asks for the lock for at most `wait`: false when it
  // could not be had (nothing changed, the transaction stays usable).
  // Where readers never wait for the swap (SQLite's WAL), it is true at once.
  virtual bool TryLockTable(std::chrono::milliseconds /*wait*/) { return true; }
  // The sessions that hold or wait for the old table, one text each
  // ("'application name' (pid N)"); empty where the database cannot tell.
  virtual std::vector<std::string> TableHolders() { return {}; }
};

}  // namespace fonwerk::ado

namespace fonwerk::ado::rebuild {

// What a provider decided: the replacing rebuild, or why it runs in place.
struct Replacement {
  std::unique_ptr<TableRebuild> rebuild;  // null: in place
  std::string in_place_reason;
};

// Each prepares the new table in the open transaction, or returns the reason
// why the table has to be rebuilt in place (nothing changed then). Throws
// DbError only when the database went away or ended the transaction.
Replacement BeginSqliteReplacement(const std::shared_ptr<Session>& session,
                                   const std::string& table);
Replacement BeginPostgresReplacement(const std::shared_ptr<Session>& session,
                                     const std::string& table);

// A row of text values; nullopt for NULL.
using TextRow = std::vector<std::optional<std::string>>;

// Runs a catalog query and returns its rows as texts. Throws DbError.
std::vector<TextRow> QueryTexts(Session& session, const std::string& sql);

// The text of a value, "" for NULL.
inline const std::string& TextOf(const std::optional<std::string>& value) {
  static const std::string kEmpty;
  return value ? *value : kEmpty;
}

}  // namespace fonwerk::ado::rebuild
