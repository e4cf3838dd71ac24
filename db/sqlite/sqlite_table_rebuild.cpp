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

#include <cctype>

#include "base/errors.h"
#include "db/sqlite/sqlite_session.h"
#include "db/table_replacement.h"

namespace fonwerk::ado::rebuild {
namespace {

constexpr const char* kShadowPrefix = "fonwerk_new_";
// The page cache (KiB) while the rows are stored: they are appended, so a
// small cache does; and for Complete(), where the sorter of CREATE INDEX also
// keeps runs of this size in memory (fewer runs to merge). The two together
// stay well inside the process's memory budget.
constexpr int kFillCacheKib = 8 * 1024;
constexpr int kIndexCacheKib = 12 * 1024;
constexpr const char* kTempStoreMemory = "2";

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsWordChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '$' || u >= 0x80;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string QuoteName(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

// One token of an SQL text: a quoted name or literal as written, a word, or
// one other character, with its place in the text.
struct Token {
  std::string_view text;
  size_t offset = 0;
};

// The tokens of `sql`; blanks and comments are skipped.
std::vector<Token> Tokenize(std::string_view sql) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < sql.size()) {
    if (IsSpace(sql[i])) {
      ++i;
      continue;
    }
    if (sql.substr(i, 2) == "--") {
      const size_t end = sql.find('\n', i);
      i = end == std::string_view::npos ? sql.size() : end + 1;
      continue;
    }
    if (sql.substr(i, 2) == "/*") {
      const size_t end = sql.find("*/", i + 2);
      i = end == std::string_view::npos ? sql.size() : end + 2;
      continue;
    }
    size_t length = 1;
    const char first = sql[i];
    if (first == '"' || first == '\'' || first == '`' || first == '[') {
      const char close = first == '[' ? ']' : first;
      while (i + length < sql.size()) {
        const char c = sql[i + length];
        if (c == close && close != ']' && i + length + 1 < sql.size() &&
            sql[i + length + 1] == close) {
          length += 2;
          continue;
        }
        ++length;
        if (c == close) break;
      }
    } else if (IsWordChar(first)) {
      while (i + length < sql.size() && IsWordChar(sql[i + length])) ++length;
    }
    tokens.push_back({sql.substr(i, length), i});
    i += length;
  }
  return tokens;
}

bool IsWord(const std::vector<Token>& tokens, size_t at, std::string_view word) {
  return at < tokens.size() && EqualsNoCase(tokens[at].text, word);
}

// A schema entry's text taken apart: where its own name and the name of its
// table stand, and what it is.
struct Parsed {
  size_t name = 0;   // token index of the entry's name
  size_t table = 0;  // token index of the table's name (indexes, triggers)
  bool unique = false;
  std::string event;  // triggers: "INSERT", "UPDATE" or "DELETE"
  bool ok = false;
};

Parsed ParseIndex(const std::vector<Token>& t) {
  Parsed p;
  size_t at = 1;
  if (!IsWord(t, 0, "create")) return p;
  p.unique = IsWord(t, at, "unique");
  if (p.unique) ++at;
  if (!IsWord(t, at, "index")) return p;
  p.name = at + 1;
  if (!IsWord(t, p.name + 1, "on")) return p;
  p.table = p.name + 2;
  p.ok = p.table < t.size();
  return p;
}

Parsed ParseTrigger(const std::vector<Token>& t) {
  Parsed p;
  if (!IsWord(t, 0, "create") || !IsWord(t, 1, "trigger")) return p;
  p.name = 2;
  size_t at = 3;
  if (IsWord(t, at, "before") || IsWord(t, at, "after")) ++at;
  if (IsWord(t, at, "instead") && IsWord(t, at + 1, "of")) at += 2;
  for (const char* event : {"INSERT", "UPDATE", "DELETE"}) {
    if (IsWord(t, at, event)) p.event = event;
  }
  if (p.event.empty()) return p;
  while (at < t.size() && !IsWord(t, at, "on")) ++at;  // past UPDATE OF columns
  p.table = at + 1;
  if (p.table >= t.size()) return p;
  p.ok = true;
  return p;
}

// `sql` with the tokens at `first` and `second` (second > first) replaced.
std::string Rewrite(const std::string& sql, const std::vector<Token>& t, size_t first,
                    const std::string& first_text, size_t second, const std::string& second_text) {
  std::string out = sql.substr(0, t[first].offset) + first_text;
  const size_t after_first = t[first].offset + t[first].text.size();
  out += sql.substr(after_first, t[second].offset - after_first) + second_text;
  out += sql.substr(t[second].offset + t[second].text.size());
  return out;
}

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
struct Plan {
  std::string shadow;                    // the new table's name until the swap
  std::vector<std::string> before_rows;  // make the new table
  std::vector<std::string> indexes;      // the plain indexes, built before the swap
  std::vector<RenamedIndex> renamed;     // every index of the old table's own
  std::vector<std::string> after_swap;   // triggers from the old texts
};

// The table's entries in sqlite_master and its statistics, as one text.
std::string Signature(Session& session, const std::string& table) {
  std::string text;
  auto add = [&](const std::string& sql) {
    for (const TextRow& row : QueryTexts(session, sql)) {
      for (const auto& value : row) text += (value ? *value : std::string("<null>")) + '\x1f';
      text += '\n';
    }
  };
  add("SELECT type, name, tbl_name, sql FROM sqlite_master WHERE tbl_name = " + SqlLiteral(table) +
      " COLLATE NOCASE ORDER BY type, name");
  if (!QueryTexts(session, "SELECT 1 FROM sqlite_master WHERE name = 'sqlite_stat1'").empty()) {
    add("SELECT tbl, idx, stat FROM sqlite_stat1 WHERE tbl = " + SqlLiteral(table) +
        " COLLATE NOCASE ORDER BY idx");
  }
  return text;
}

class SqliteReplacement final : public TableRebuild {
 public:
  SqliteReplacement(std::shared_ptr<Session> session, std::string table, std::string table_sql,
                    Plan plan, std::vector<TextRow> statistics, std::string signature,
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

  void Complete() override {
    Session& session = *session_;
    session.EndRedirection(table_);
    // The indexes are built before the old table goes: their pages come from
    // the end of the file. Pages that the drop frees would each be copied to
    // the statement journal first, which this transaction keeps in memory.
    session.Execute("PRAGMA cache_size=-" + std::to_string(kIndexCacheKib));
    for (const std::string& statement : plan_.indexes) session.Execute(statement);
    Swap(session);
    for (const std::string& statement : plan_.after_swap) session.Execute(statement);
    for (const TextRow& row : statistics_) {
      session.Execute("INSERT INTO sqlite_stat1 (tbl, idx, stat) VALUES (" +
                      SqlLiteral(TextOf(row.at(0))) + ", " +
                      (row.at(1) ? SqlLiteral(*row.at(1)) : std::string("NULL")) + ", " +
                      SqlLiteral(TextOf(row.at(2))) + ")");
    }
    if (Signature(session, table_) != signature_) {
      throw DbError(DbError::Kind::kStatement,
                    "The new table " + table_ + " does not match the old one's definition");
    }
  }

 private:
  // Drops the old table and gives the new one its name and its text.
  void Swap(Session& session) {
    const std::string secure = TextOf(QueryTexts(session, "PRAGMA secure_delete").at(0).at(0));
    const std::string legacy = TextOf(QueryTexts(session, "PRAGMA legacy_alter_table").at(0).at(0));
    session.Execute("PRAGMA secure_delete=FAST");
    session.Execute("PRAGMA legacy_alter_table=ON");
    try {
      session.Execute("DROP TABLE " + QuoteName(table_));
      session.Execute("ALTER TABLE " + QuoteName(plan_.shadow) + " RENAME TO " + QuoteName(table_));
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
      session.Execute("UPDATE sqlite_master SET sql = " + SqlLiteral(table_sql_) +
                      " WHERE type = 'table' AND name = " + SqlLiteral(table_));
      for (const RenamedIndex& index : plan_.renamed) {
        session.Execute("UPDATE sqlite_master SET name = " + SqlLiteral(index.name) + ", sql = " +
                        SqlLiteral(index.sql) + " WHERE type = 'index' AND name = " +
                        SqlLiteral(index.temporary));
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
  Plan plan_;
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

std::vector<SchemaEntry> ReadSchema(Session& session, const std::string& table) {
  std::vector<SchemaEntry> entries;
  // The table first, then its other entries in the order they were made.
  for (const TextRow& row : QueryTexts(
           session, "SELECT type, name, sql FROM sqlite_master WHERE tbl_name = " +
                        SqlLiteral(table) +
                        " COLLATE NOCASE AND type IN ('table', 'index', 'trigger') "
                        "ORDER BY type <> 'table', rowid")) {
    entries.push_back({TextOf(row.at(0)), TextOf(row.at(1)), TextOf(row.at(2))});
  }
  return entries;
}

// Works out the statements; returns why the table cannot be replaced, or "".
std::string MakePlan(Session& session, const std::vector<SchemaEntry>& entries, Plan& plan) {
  if (entries.empty() || entries.front().type != "table") return "no such table";
  const SchemaEntry& table = entries.front();
  const std::vector<Token> head = Tokenize(table.sql);
  if (!IsWord(head, 0, "create") || !IsWord(head, 1, "table") || head.size() < 3) {
    return table.name + " is not a plain table";
  }
  plan.shadow = kShadowPrefix + table.name;
  const std::string shadow = QuoteName(plan.shadow);
  if (!QueryTexts(session, "SELECT 1 FROM sqlite_master WHERE name = " + SqlLiteral(plan.shadow) +
                               " COLLATE NOCASE").empty()) {
    return "the name " + plan.shadow + " is taken";
  }
  plan.before_rows.push_back(table.sql.substr(0, head[2].offset) + shadow +
                             table.sql.substr(head[2].offset + head[2].text.size()));
  int temporary = 0;
  for (const SchemaEntry& entry : entries) {
    if (entry.type == "table" || entry.sql.empty()) continue;
    // The session's statement translation must leave the texts as they are.
    if (TranslateForSqlite(entry.sql) != entry.sql) {
      return "the definition of " + entry.name + " cannot be run unchanged";
    }
    const std::vector<Token> tokens = Tokenize(entry.sql);
    const std::string helper = QuoteName(plan.shadow + "_" + std::to_string(++temporary));
    if (entry.type == "index") {
      const Parsed index = ParseIndex(tokens);
      if (!index.ok) return "the index " + entry.name + " cannot be read";
      const std::string statement = Rewrite(entry.sql, tokens, index.name, helper, index.table, shadow);
      (index.unique ? plan.before_rows : plan.indexes).push_back(statement);
      plan.renamed.push_back({plan.shadow + "_" + std::to_string(temporary), entry.name, entry.sql});
      continue;
    }
    const Parsed trigger = ParseTrigger(tokens);
    if (!trigger.ok) return "the trigger " + entry.name + " cannot be read";
    if (trigger.event == "DELETE") return "the delete trigger " + entry.name + " on " + table.name;
    // A store into a table with insert triggers runs under a savepoint, and
    // rolling one back after this transaction changed the schema would end
    // the walk over the contacts.
    if (trigger.event == "INSERT") return "the insert trigger " + entry.name + " on " + table.name;
    plan.after_swap.push_back(entry.sql);
  }
  // The same holds for the other tables whose stores need savepoints.
  std::string upper;
  for (char c : table.sql) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.find("WITHOUT ROWID") != std::string::npos || upper.find("CONFLICT") != std::string::npos) {
    return "rows of " + table.name + " cannot be taken back one store at a time";
  }
  if (!QueryTexts(session, "SELECT 1 FROM pragma_table_info(" + SqlLiteral(table.name) +
                               ") WHERE lower(name) IN ('rowid', 'oid', '_rowid_')").empty()) {
    return "rows of " + table.name + " cannot be taken back one store at a time";
  }
  if (TranslateForSqlite(table.sql) != table.sql) {
    return "the definition of " + table.name + " cannot be run unchanged";
  }
  const std::vector<TextRow> references = QueryTexts(
      session,
      "SELECT m.name FROM sqlite_master m, pragma_foreign_key_list(m.name) f "
      "WHERE m.type = 'table' AND m.name <> " + SqlLiteral(table.name) +
          " COLLATE NOCASE AND f.\"table\" = " + SqlLiteral(table.name) + " COLLATE NOCASE LIMIT 1");
  if (!references.empty()) {
    return "a foreign key of table " + TextOf(references.front().at(0)) + " references " +
           table.name;
  }
  return {};
}

}  // namespace

Replacement BeginSqliteReplacement(const std::shared_ptr<Session>& session,
                                   const std::string& table) {
  Session& db = *session;
  const std::vector<SchemaEntry> entries = ReadSchema(db, table);
  Replacement result;
  Plan plan;
  result.in_place_reason = MakePlan(db, entries, plan);
  if (!result.in_place_reason.empty()) return result;
  const std::string& name = entries.front().name;

  std::vector<TextRow> statistics;
  if (!QueryTexts(db, "SELECT 1 FROM sqlite_master WHERE name = 'sqlite_stat1'").empty()) {
    statistics = QueryTexts(db, "SELECT tbl, idx, stat FROM sqlite_stat1 WHERE tbl = " +
                                    SqlLiteral(name) + " COLLATE NOCASE");
  }
  std::optional<std::string> sequence;
  if (!QueryTexts(db, "SELECT 1 FROM sqlite_master WHERE name = 'sqlite_sequence'").empty()) {
    const std::vector<TextRow> rows =
        QueryTexts(db, "SELECT seq FROM sqlite_sequence WHERE name = " + SqlLiteral(name));
    if (!rows.empty() && rows.front().at(0)) sequence = *rows.front().at(0);
  }
  const std::string signature = Signature(db, name);

  std::string temp_store = TempStoreInFiles(db);
  const std::string cache_size = TextOf(QueryTexts(db, "PRAGMA cache_size").at(0).at(0));
  db.Execute("SAVEPOINT fonwerk_replace");
  try {
    for (const std::string& statement : plan.before_rows) db.Execute(statement);
    if (sequence) {
      db.Execute("INSERT INTO sqlite_sequence (name, seq) VALUES (" + SqlLiteral(plan.shadow) +
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
