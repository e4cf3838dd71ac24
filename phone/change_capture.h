#pragma once
// Change capture on AD: a queue table that triggers on AD fill with the key
// of every contact whose harvested columns (DSN, TELEFON, FAX, EMAIL,
// WEITEMAIL) were inserted, deleted or changed, so that a follower can bring
// exactly those contacts' TAPI rows up to date. An update that changes DSN
// records the old and the new key. On PostgreSQL the triggers also notify
// the channel kChangeChannel when their transaction commits.
//
// The objects (the same names on both databases, folded to lower case on
// PostgreSQL):
//   FONWERK_AD_CHANGES         the queue: SEQ (ascending), AD_DSN (the key as
//                              text; NULL on PostgreSQL after TRUNCATE AD:
//                              every contact), CHANGED_AT (seconds since 1970)
//   FONWERK_AD_CHANGES_INSERT, FONWERK_AD_CHANGES_DELETE,
//   FONWERK_AD_CHANGES_UPDATE  triggers on AD (SQLite); on PostgreSQL the
//                              triggers FONWERK_AD_CHANGES_ROW (insert, delete),
//                              FONWERK_AD_CHANGES_UPDATE and
//                              FONWERK_AD_CHANGES_TRUNCATE and their function
//                              FONWERK_AD_CHANGES_CAPTURE()
//   FONWERK_TAPI_AD_DSN        an index on TAPI (AD_DSN), made only when TAPI
//                              has no index that starts with AD_DSN
// None of them is on TAPI except the index, which a rebuild recreates with
// the table; a rebuild that replaces TAPI leaves the rest alone.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fonwerk::ado {
class Session;
}

namespace fonwerk::capture {

// The channel that PostgreSQL's triggers notify.
inline constexpr const char* kChangeChannel = "fonwerk_ad_changes";

// Whether every object of the change capture (queue and triggers) is there.
bool Enabled(ado::Session& session);

// Installs the change capture in one transaction; what exists already is
// made anew (so the triggers name AD's columns as they are now), the queue
// and its records are kept. Throws Error naming the table and column when AD
// or TAPI lacks a column of the harvesting, DbError otherwise.
void Enable(ado::Session& session);

// Removes every object of the change capture in one transaction; removing
// what is not there is no failure. Throws DbError.
void Disable(ado::Session& session);

// One record of the queue.
struct Change {
  int64_t seq = 0;
  std::optional<std::string> key;  // nullopt: every contact (AD was truncated)
  double age_seconds = 0;          // how long ago it was recorded
};

// The oldest `limit` records, oldest first.
std::vector<Change> ReadChanges(ado::Session& session, int limit);

// Deletes the records `seqs` (exactly those: records added meanwhile stay).
void DeleteChanges(ado::Session& session, const std::vector<int64_t>& seqs);

}  // namespace fonwerk::capture
