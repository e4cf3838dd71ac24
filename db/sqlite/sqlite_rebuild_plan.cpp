#include "db/sqlite/sqlite_rebuild_plan.h"

#include "base/text.h"
#include "db/sqlite/sqlite_dialect.h"
#include "db/table_replacement.h"

namespace fonwerk::ado::sqlite {
namespace {

using rebuild::QueryTexts;
using rebuild::TextOf;
using rebuild::TextRow;
using text::DoubleQuoted;
using text::SqlQuote;

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
    const size_t quoted_end = SkipQuoted(sql, i);
    if (quoted_end != i && (sql[i] == '-' || sql[i] == '/')) {
      i = quoted_end;  // a comment
      continue;
    }
    size_t length = quoted_end - i;
    if (length == 0) {
      length = 1;
      if (IsWordChar(sql[i])) {
        while (i + length < sql.size() && IsWordChar(sql[i + length])) ++length;
      }
    }
    tokens.push_back({sql.substr(i, length), i});
    i += length;
  }
  return tokens;
}

bool IsWord(const std::vector<Token>& tokens, size_t at, std::string_view word) {
  return at < tokens.size() && text::EqualsNoCase(tokens[at].text, word);
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

}  // namespace

std::vector<SchemaEntry> ReadSchema(Session& session, const std::string& table) {
  std::vector<SchemaEntry> entries;
  // The table first, then its other entries in the order they were made.
  for (const TextRow& row : QueryTexts(
           session, "SELECT type, name, sql FROM sqlite_master WHERE tbl_name = " +
                        SqlQuote(table) +
                        " COLLATE NOCASE AND type IN ('table', 'index', 'trigger') "
                        "ORDER BY type <> 'table', rowid")) {
    entries.push_back({TextOf(row.at(0)), TextOf(row.at(1)), TextOf(row.at(2))});
  }
  return entries;
}

std::string MakeRebuildPlan(Session& session, const std::vector<SchemaEntry>& entries,
                            RebuildPlan& plan) {
  if (entries.empty() || entries.front().type != "table") return "no such table";
  const SchemaEntry& table = entries.front();
  const std::vector<Token> head = Tokenize(table.sql);
  if (!IsWord(head, 0, "create") || !IsWord(head, 1, "table") || head.size() < 3) {
    return table.name + " is not a plain table";
  }
  plan.shadow = kShadowPrefix + table.name;
  const std::string shadow = DoubleQuoted(plan.shadow);
  if (!QueryTexts(session, "SELECT 1 FROM sqlite_master WHERE name = " + SqlQuote(plan.shadow) +
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
    const std::string helper = DoubleQuoted(plan.shadow + "_" + std::to_string(++temporary));
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
  if (text::ContainsNoCase(table.sql, "WITHOUT ROWID") ||
      text::ContainsNoCase(table.sql, "CONFLICT")) {
    return "rows of " + table.name + " cannot be taken back one store at a time";
  }
  if (!QueryTexts(session, "SELECT 1 FROM pragma_table_info(" + SqlQuote(table.name) +
                               ") WHERE lower(name) IN ('rowid', 'oid', '_rowid_')").empty()) {
    return "rows of " + table.name + " cannot be taken back one store at a time";
  }
  if (TranslateForSqlite(table.sql) != table.sql) {
    return "the definition of " + table.name + " cannot be run unchanged";
  }
  const std::vector<TextRow> references = QueryTexts(
      session,
      "SELECT m.name FROM sqlite_master m, pragma_foreign_key_list(m.name) f "
      "WHERE m.type = 'table' AND m.name <> " + SqlQuote(table.name) +
          " COLLATE NOCASE AND f.\"table\" = " + SqlQuote(table.name) + " COLLATE NOCASE LIMIT 1");
  if (!references.empty()) {
    return "a foreign key of table " + TextOf(references.front().at(0)) + " references " +
           table.name;
  }
  return {};
}

std::string SchemaSignature(Session& session, const std::string& table) {
  std::string text;
  auto add = [&](const std::string& sql) {
    for (const TextRow& row : QueryTexts(session, sql)) {
      for (const auto& value : row) text += (value ? *value : std::string("<null>")) + '\x1f';
      text += '\n';
    }
  };
  add("SELECT type, name, tbl_name, sql FROM sqlite_master WHERE tbl_name = " + SqlQuote(table) +
      " COLLATE NOCASE ORDER BY type, name");
  if (!QueryTexts(session, "SELECT 1 FROM sqlite_master WHERE name = 'sqlite_stat1'").empty()) {
    add("SELECT tbl, idx, stat FROM sqlite_stat1 WHERE tbl = " + SqlQuote(table) +
        " COLLATE NOCASE ORDER BY idx");
  }
  return text;
}

}  // namespace fonwerk::ado::sqlite
