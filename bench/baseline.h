#pragma once
// The baseline rebuild: the TAPI rows of every contact in AD, written with the
// least work each provider allows, to measure the real rebuild against.
//
// SQLite: one transaction; DELETE FROM TAPI, then one prepared INSERT per row
// into the indexed table while one query walks AD in Kennung order.
// PostgreSQL: one transaction on a writing connection; TRUNCATE TAPI, then
// COPY ... FROM STDIN into the indexed table, fed from a second connection's
// COPY (SELECT ... FROM AD ORDER BY Kennung) TO STDOUT. No progress, no
// component layer. DSN values are time-ordered GUID texts from the same
// generator the rebuild uses, so the keys arrive in the order of TAPI's key
// index. With a log file, every contact writes the line the rebuild writes
// for it ("<time stamp>: AD|<row number>|<Kennung>|"), as one write to a
// file kept open for appending.

#include <string>

#include "bench/harvest.h"

namespace fonwerk::bench {

struct BaselineResult {
  long long contacts = 0;
  long long rows = 0;
};

// The page cache the rebuild's SQLite sessions use (PRAGMA cache_size), in
// MiB. The baseline uses the same, so that the ratio compares the work done
// and not the cache.
inline constexpr int kRebuildSqliteCacheMb = 32;

struct BaselineOptions {
  int sqlite_cache_mb = kRebuildSqliteCacheMb;  // 0: SQLite's default
  // For analysis only (SQLite): wrap each contact's rows in SAVEPOINT ...
  // RELEASE, as a rebuild that isolates contact failures must, to measure
  // what that costs on its own.
  bool savepoint_per_contact = false;
  // For analysis only: drop the secondary indexes of TAPI after emptying it
  // and create them again after the refill, inside the same transaction, to
  // measure bulk index builds against row-by-row index inserts.
  bool rebuild_indexes = false;
  // The per-contact log lines go to this file (appended); "" for none.
  std::string log_path;
};

// Rebuilds TAPI of the database named by `connect_string`. The column widths
// of `settings` are replaced by the declared widths of TAPI.NUMMER and
// TAPI.BEMERKUNG. All or nothing. Throws std::runtime_error with the
// provider's message.
BaselineResult RunBaseline(const std::string& connect_string, HarvestSettings settings,
                           const BaselineOptions& options = {});

}  // namespace fonwerk::bench
