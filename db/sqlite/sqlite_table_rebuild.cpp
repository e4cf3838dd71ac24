// SQLite half of the table rebuild (table_rebuild.h).
//
// The new rows go into a table "fonwerk_new_<name>" made in the open
// transaction from the old table's own text in sqlite_master, with the
// old table's unique indexes under names of their own (they check the rows
// as they are stored); the session redirects the table
// recordsets of the old name to it. Complete() builds the plain indexes on
// the new table, each by one sorted build, drops the old table, renames the
// new one, gives its indexes the old names and texts and creates the
// triggers from the old texts. The old table's statistics rows
// (sqlite_stat1) and its AUTOINCREMENT counter are carried over. Readers in
// other processes keep the old table until the commit (WAL).
//
// Three details keep the definition exact and the swap cheap:
//  - the rename runs with legacy_alter_table, so that it neither checks nor
//    rewrites the views and triggers that name the table (they name it again
//    once the rename is done);
//  - SQLite writes the new name quoted into the table's text, and indexes
//    cannot be renamed: the old texts and index names are written back into
//    sqlite_master (writable_schema; the parsed schema differs in nothing but
//    these names) and the session reads its schema anew;
//  - the drop runs with secure_delete in its FAST mode: otherwise SQLite
//    writes every page of the old table, zeroed, once more through the WAL,
//    which costs more than building the new table.
//  - the transaction runs with temp_store FILE: with temporary storage in
//    memory the sorter of CREATE INDEX keeps every row of an index in memory.
//    The setting can change only before the transaction first uses
//    temporary storage, so it changes at the start and goes back after the
//    commit.
// Tables cannot be dropped while a statement of the session reads: the
// contacts' cursor is open until the walk has ended, so everything that drops
// waits for Complete().
//
// Reading the catalog and working out the statements is sqlite_rebuild_plan.cpp.

#include "base/errors.h"
#include "base/text.h"
#include "db/sqlite/sqlite_rebuild_plan.h"
#include "db/table_replacement.h"

namespace fonwerk::ado::rebuild {
namespace {

using sqlite::RebuildPlan;
using sqlite::RenamedIndex;
using sqlite::SchemaEntry;
using sqlite::SchemaSignature;
using text::DoubleQuoted;
using text::SqlQuote;

// The page cache (KiB) while the rows are stored: they are appended, so a
// small cache does; and for Complete(), where the sorter of CREATE INDEX keeps
// runs of this size in memory, one run being sorted on a helper thread while
// the next is read. With 8 MiB runs and one helper the whole rebuild of a
// million contacts stays below 50 MB; 12 MiB runs with the helper went over
// 64 MB, and without the helper the index builds took about half again as long.
constexpr int kFillCacheKib = 8 * 1024;
constexpr int kIndexCacheKib = 8 * 1024;
constexpr int kIndexSortThreads = 1;
constexpr const char* kTempStoreMemory = "2";

class SqliteReplacement final : public TableRebuild {
 public:
  SqliteReplacement(std::shared_ptr<Session> session, std::string table, std::string table_sql,
                    RebuildPlan plan, std::vector<TextRow> statistics, std::string signature,
                    std::string temp_store, std::string cache_size)
      : session_(std::move(session)),
        table_(std::move(table)),
        table_sql_(std::move(table_sql)),
        plan_(std::move(plan)),
        statistics_(std::move(statistics)),
        signature_(std::move(signature)),
        temp_store_(std::move(temp_store)),
        cache_size_(std::move(cache_size)) {
    session_->RedirectTable(table_, plan_.shadow);
  }
  ~SqliteReplacement() override {
    session_->EndRedirection(table_);
    try {
      session_->Execute("PRAGMA cache_size=" + cache_size_);
    } catch (const DbError&) {
      // The cache keeps the rebuild's size; nothing depends on it.
    }
    // After the commit (or the rollback) the setting can go back.
    if (!temp_store_.empty() && !session_->InTransaction()) {
      try {
        session_->Execute("PRAGMA temp_store=" + temp_store_);
      } catch (const DbError&) {
        // The session keeps temporary storage in files; nothing depends on it.
      }
    }
  }

  bool Replaces() const override { return true; }

  void Complete(const std::function<void()>& before_swap) override {
    Session& session = *session_;
    session.EndRedirection(table_);
    // The indexes are built before the old table goes: their pages come from
    // the end of the file. Pages that the drop frees would each be copied to
    // the statement journal first, which this transaction keeps in memory.
    session.Execute("PRAGMA cache_size=-" + std::to_string(kIndexCacheKib));
    BuildIndexes(session);
    if (before_swap) before_swap();
    Swap(session);
    for (const std::string& statement : plan_.after_swap) session.Execute(statement);
    for (const TextRow& row : statistics_) {
      session.Execute("INSERT INTO sqlite_stat1 (tbl, idx, stat) VALUES (" +
                      SqlQuote(TextOf(row.at(0))) + ", " +
                      (row.at(1) ? SqlQuote(*row.at(1)) : std::string("NULL")) + ", " +
                      SqlQuote(TextOf(row.at(2))) + ")");
    }
    if (SchemaSignature(session, table_) != signature_) {
      throw DbError(DbError::Kind::kStatement,
                    "The new table " + table_ + " does not match the old one's definition");
    }
  }

 private:
  // Builds the deferred indexes, letting the sorter of CREATE INDEX sort its
  // runs on helper threads meanwhile.
  void BuildIndexes(Session& session) {
    if (plan_.indexes.empty()) return;
    const std::string threads = TextOf(QueryTexts(session, "PRAGMA threads").at(0).at(0));
    session.Execute("PRAGMA threads=" + std::to_string(kIndexSortThreads));
    try {
      for (const std::string& statement : plan_.indexes) session.Execute(statement);
    } catch (const DbError&) {
      session.Execute("PRAGMA threads=" + threads);
      throw;
    }
    session.Execute("PRAGMA threads=" + threads);
  }

  // Drops the old table and gives the new one its name and its text.
  void Swap(Session& session) {
    const std::string secure = TextOf(QueryTexts(session, "PRAGMA secure_delete").at(0).at(0));
    const std::string legacy = TextOf(QueryTexts(session, "PRAGMA legacy_alter_table").at(0).at(0));
    session.Execute("PRAGMA secure_delete=FAST");
    session.Execute("PRAGMA legacy_alter_table=ON");
    try {
      session.Execute("DROP TABLE " + DoubleQuoted(table_));
      session.Execute("ALTER TABLE " + DoubleQuoted(plan_.shadow) + " RENAME TO " + DoubleQuoted(table_));
    } catch (const DbError&) {
      session.Execute("PRAGMA secure_delete=" + secure);
      session.Execute("PRAGMA legacy_alter_table=" + legacy);
      throw;
    }
    session.Execute("PRAGMA secure_delete=" + secure);
    session.Execute("PRAGMA legacy_alter_table=" + legacy);

    // The texts and index names as they were; then the session reads the
    // schema anew.
    session.Execute("PRAGMA writable_schema=ON");
    try {
      session.Execute("UPDATE sqlite_master SET sql = " + SqlQuote(table_sql_) +
                      " WHERE type = 'table' AND name = " + SqlQuote(table_));
      for (const RenamedIndex& index : plan_.renamed) {
        session.Execute("UPDATE sqlite_master SET name = " + SqlQuote(index.name) + ", sql = " +
                        SqlQuote(index.sql) + " WHERE type = 'index' AND name = " +
                        SqlQuote(index.temporary));
      }
    } catch (const DbError&) {
      session.Execute("PRAGMA writable_schema=RESET");
      throw;
    }
    session.Execute("PRAGMA writable_schema=RESET");
  }

  std::shared_ptr<Session> session_;
  std::string table_;
  std::string table_sql_;
  RebuildPlan plan_;
  std::vector<TextRow> statistics_;
  std::string signature_;
  std::string temp_store_;  // the setting to go back to; "" for none
  std::string cache_size_;  // the session's own page cache size
};

// Moves temporary storage to files for the transaction when it is in memory.
// Returns the setting to go back to, or "" when nothing was changed.
std::string TempStoreInFiles(Session& session) {
  const std::string now = TextOf(QueryTexts(session, "PRAGMA temp_store").at(0).at(0));
  if (now != kTempStoreMemory) return {};
  try {
    session.Execute("PRAGMA temp_store=FILE");
  } catch (const DbError&) {
    return {};  // already in use in this transaction: the indexes are sorted in memory
  }
  return now;
}

}  // namespace

Replacement BeginSqliteReplacement(const std::shared_ptr<Session>& session,
                                   const std::string& table) {
  Session& db = *session;
  const std::vector<SchemaEntry> entries = sqlite::ReadSchema(db, table);
  Replacement result;
  RebuildPlan plan;
  result.in_place_reason = sqlite::MakeRebuildPlan(db, entries, plan);
  if (!result.in_place_reason.empty()) return result;
  const std::string& name = entries.front().name;

  std::vector<TextRow> statistics;
  if (!QueryTexts(db, "SELECT 1 FROM sqlite_master WHERE name = 'sqlite_stat1'").empty()) {
    statistics = QueryTexts(db, "SELECT tbl, idx, stat FROM sqlite_stat1 WHERE tbl = " +
                                    SqlQuote(name) + " COLLATE NOCASE");
  }
  std::optional<std::string> sequence;
  if (!QueryTexts(db, "SELECT 1 FROM sqlite_master WHERE name = 'sqlite_sequence'").empty()) {
    const std::vector<TextRow> rows =
        QueryTexts(db, "SELECT seq FROM sqlite_sequence WHERE name = " + SqlQuote(name));
    if (!rows.empty() && rows.front().at(0)) sequence = *rows.front().at(0);
  }
  const std::string signature = SchemaSignature(db, name);

  std::string temp_store = TempStoreInFiles(db);
  const std::string cache_size = TextOf(QueryTexts(db, "PRAGMA cache_size").at(0).at(0));
  db.Execute("SAVEPOINT fonwerk_replace");
  try {
    for (const std::string& statement : plan.before_rows) db.Execute(statement);
    if (sequence) {
      db.Execute("INSERT INTO sqlite_sequence (name, seq) VALUES (" + SqlQuote(plan.shadow) +
                 ", " + *sequence + ")");
    }
    db.Execute("PRAGMA cache_size=-" + std::to_string(kFillCacheKib));
    db.Execute("RELEASE fonwerk_replace");
  } catch (const DbError& error) {
    if (!db.InTransaction()) throw;
    db.Execute("ROLLBACK TO fonwerk_replace; RELEASE fonwerk_replace");
    if (!temp_store.empty()) db.Execute("PRAGMA temp_store=" + temp_store);
    db.Execute("PRAGMA cache_size=" + cache_size);
    result.in_place_reason = name + " could not be copied: " + error.description();
    return result;
  }
  result.rebuild = std::make_unique<SqliteReplacement>(session, name, entries.front().sql,
                                                       std::move(plan), std::move(statistics),
                                                       signature, std::move(temp_store),
                                                       cache_size);
  return result;
}

}  // namespace fonwerk::ado::rebuild
