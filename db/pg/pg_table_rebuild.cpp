// PostgreSQL half of the table rebuild (table_rebuild.h).
//
// The new rows go into a table "fonwerk_new_<name>" in the old table's
// schema, made in the open transaction with LIKE (columns, defaults, check
// constraints, storage, compression, column comments) and completed from the
// catalog: primary key, unique and exclusion constraints, foreign keys,
// unique indexes and triggers before the rows come (they check the rows as
// they are stored), owner, grants and the table's comment. A check compares
// the new table's definition with the old one's before any row is stored; a
// difference makes the rebuild run in place. The session redirects the table
// recordsets of the old name to the new table, so the harvesting's stores go
// there by COPY. Complete() builds the plain indexes, analyzes the new table,
// drops the old one, renames the new one and its indexes and constraints to
// the old names, and compares the whole definition once more. Only the drop
// takes a lock that makes readers wait (TryLockTable asks for it beforehand).

#include <algorithm>

#include "base/errors.h"
#include "base/text.h"
#include "db/table_replacement.h"

namespace fonwerk::ado::rebuild {
namespace {

using text::DoubleQuoted;
using text::SqlQuote;

constexpr const char* kShadowPrefix = "fonwerk_new_";
constexpr size_t kMaxIdentifier = 63;
// Memory of the server's sorts for the index builds of Complete().
constexpr const char* kIndexWorkMem = "256MB";

bool IsTrue(const std::optional<std::string>& value) { return value && *value == "true"; }

std::string ReplaceFirst(const std::string& text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at == std::string::npos) return text;
  return text.substr(0, at) + to + text.substr(at + from.size());
}

// The table as the catalog describes it, as far as the rebuild needs it.
struct TableFacts {
  std::string oid;
  std::string reltype;
  std::string schema;     // unquoted
  std::string name;       // unquoted
  std::string qualified;  // schema.name, quoted as PostgreSQL writes it
  std::string owner;      // unquoted
  bool owner_is_me = false;
  bool has_acl = false;
  std::optional<std::string> comment;
  bool unlogged = false;
};

// An index or index-backed constraint that the new table gets under a
// temporary name and that takes its own name after the swap.
struct Renamed {
  std::string temporary;
  std::string name;
  bool constraint = false;  // renamed with ALTER TABLE ... RENAME CONSTRAINT
};

// The statements that make the new table, in order, and what Complete() needs.
struct Plan {
  std::vector<std::string> before_rows;
  std::vector<std::string> deferred_indexes;
  std::vector<Renamed> renames;
};

std::string Single(Session& session, const std::string& sql) {
  const std::vector<TextRow> rows = QueryTexts(session, sql);
  return rows.empty() || rows.front().empty() ? std::string() : TextOf(rows.front().front());
}

std::string RegclassOf(const std::string& table) {
  return "COALESCE(to_regclass(" + SqlQuote(table) + "), to_regclass(quote_ident(" +
         SqlQuote(table) + ")))";
}

std::optional<TableFacts> ReadTable(Session& session, const std::string& table,
                                    std::string& obstacle) {
  const std::vector<TextRow> rows = QueryTexts(
      session,
      "SELECT c.oid::text, c.reltype::text, n.nspname, c.relname,"
      " quote_ident(n.nspname) || '.' || quote_ident(c.relname), pg_get_userbyid(c.relowner),"
      " (c.relowner = (SELECT oid FROM pg_roles WHERE rolname = current_user))::text,"
      " pg_has_role(c.relowner, 'MEMBER')::text, has_schema_privilege(n.oid, 'CREATE')::text,"
      " (c.relacl IS NOT NULL)::text, obj_description(c.oid, 'pg_class'), c.relkind::text,"
      " c.relpersistence::text, (c.reltablespace <> 0)::text, (c.reloptions IS NOT NULL)::text,"
      " (c.relrowsecurity OR c.relforcerowsecurity)::text, c.relreplident::text,"
      " (c.relispartition OR EXISTS (SELECT 1 FROM pg_inherits i"
      "   WHERE i.inhrelid = c.oid OR i.inhparent = c.oid))::text"
      " FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace"
      " WHERE c.oid = " + RegclassOf(table));
  if (rows.empty()) {
    obstacle = "no table " + table;
    return std::nullopt;
  }
  const TextRow& row = rows.front();
  TableFacts facts;
  facts.oid = TextOf(row[0]);
  facts.reltype = TextOf(row[1]);
  facts.schema = TextOf(row[2]);
  facts.name = TextOf(row[3]);
  facts.qualified = TextOf(row[4]);
  facts.owner = TextOf(row[5]);
  facts.owner_is_me = IsTrue(row[6]);
  facts.has_acl = IsTrue(row[9]);
  facts.comment = row[10];
  facts.unlogged = TextOf(row[12]) == "u";
  if (TextOf(row[11]) != "r") {
    obstacle = table + " is not a plain table";
  } else if (TextOf(row[12]) == "t") {
    obstacle = table + " is a temporary table";
  } else if (IsTrue(row[17])) {
    obstacle = table + " is part of an inheritance or partitioning";
  } else if (IsTrue(row[13])) {
    obstacle = table + " lies in a tablespace of its own";
  } else if (IsTrue(row[14])) {
    obstacle = table + " has storage parameters";
  } else if (IsTrue(row[15])) {
    obstacle = table + " has row-level security";
  } else if (TextOf(row[16]) != "d") {
    obstacle = table + " has a replica identity of its own";
  } else if (!IsTrue(row[7])) {
    obstacle = table + " belongs to the role " + facts.owner;
  } else if (!IsTrue(row[8])) {
    obstacle = "no right to create tables in the schema " + facts.schema;
  }
  return facts;
}

// Why the table cannot be replaced faithfully, or "".
std::string Obstacle(Session& session, const TableFacts& t) {
  const std::string column = Single(
      session,
      "SELECT attname FROM pg_attribute WHERE attrelid = " + t.oid +
          " AND attnum > 0 AND NOT attisdropped AND (attidentity <> '' OR attstattarget >= 0"
          " OR attacl IS NOT NULL OR attoptions IS NOT NULL OR attfdwoptions IS NOT NULL) LIMIT 1");
  if (!column.empty()) return "the column " + column + " of " + t.name + " has settings of its own";

  // Everything that depends on the table or its row type, beyond its own parts.
  const std::string dependent = Single(
      session,
      "SELECT pg_describe_object(d.classid, d.objid, d.objsubid) FROM pg_depend d"
      " WHERE ((d.refclassid = 'pg_class'::regclass AND d.refobjid = " + t.oid + ")"
      "   OR (d.refclassid = 'pg_type'::regclass AND d.refobjid = " + t.reltype + "))"
      " AND d.deptype <> 'p'"
      " AND NOT (d.classid = 'pg_type'::regclass AND (d.objid = " + t.reltype +
          " OR d.objid = (SELECT typarray FROM pg_type WHERE oid = " + t.reltype + ")))"
      " AND NOT (d.classid = 'pg_class'::regclass AND (d.objid = " + t.oid +
          " OR d.objid IN (SELECT indexrelid FROM pg_index WHERE indrelid = " + t.oid + ")"
      "   OR d.objid = (SELECT reltoastrelid FROM pg_class WHERE oid = " + t.oid + ")))"
      " AND NOT (d.classid = 'pg_constraint'::regclass AND d.objid IN"
      "   (SELECT oid FROM pg_constraint WHERE conrelid = " + t.oid + " AND confrelid <> " + t.oid +
          " AND contype IN ('c', 'f', 'p', 'u', 'x')))"
      " AND NOT (d.classid = 'pg_attrdef'::regclass AND d.objid IN"
      "   (SELECT oid FROM pg_attrdef WHERE adrelid = " + t.oid + "))"
      " AND NOT (d.classid = 'pg_trigger'::regclass AND d.objid IN"
      "   (SELECT oid FROM pg_trigger WHERE tgrelid = " + t.oid + "))"
      " ORDER BY 1 LIMIT 1");
  if (!dependent.empty()) return dependent + " depends on " + t.name;

  const std::vector<TextRow> triggers = QueryTexts(
      session, "SELECT tgname, ((tgtype & 40) <> 0)::text, tgenabled::text, "
               "(tgconstraint <> 0)::text FROM pg_trigger WHERE tgrelid = " + t.oid +
                   " AND NOT tgisinternal ORDER BY tgname");
  for (const TextRow& trigger : triggers) {
    const std::string name = TextOf(trigger[0]);
    if (IsTrue(trigger[1])) return "the delete or truncate trigger " + name + " on " + t.name;
    if (TextOf(trigger[2]) != "O") return "the trigger " + name + " is not simply enabled";
    if (IsTrue(trigger[3])) return "the constraint trigger " + name + " on " + t.name;
  }

  const std::string index = Single(
      session, "SELECT c.relname FROM pg_index i JOIN pg_class c ON c.oid = i.indexrelid"
               " WHERE i.indrelid = " + t.oid +
                   " AND (c.reltablespace <> 0 OR NOT i.indisvalid OR i.indisclustered"
                   " OR i.indisreplident) LIMIT 1");
  if (!index.empty()) return "the index " + index + " has settings of its own";

  // Comments that LIKE does not carry over: on indexes, triggers and
  // constraints other than check constraints.
  const std::string comment = Single(
      session,
      "SELECT 1 FROM pg_description d WHERE"
      " (d.classoid = 'pg_class'::regclass AND d.objoid IN"
      "   (SELECT indexrelid FROM pg_index WHERE indrelid = " + t.oid + "))"
      " OR (d.classoid = 'pg_trigger'::regclass AND d.objoid IN"
      "   (SELECT oid FROM pg_trigger WHERE tgrelid = " + t.oid + "))"
      " OR (d.classoid = 'pg_constraint'::regclass AND d.objoid IN"
      "   (SELECT oid FROM pg_constraint WHERE conrelid = " + t.oid + " AND contype <> 'c'))"
      " LIMIT 1");
  if (!comment.empty()) return "comments on the indexes, triggers or keys of " + t.name;

  if (t.has_acl) {
    const std::string grantor = Single(
        session, "SELECT pg_get_userbyid(a.grantor) FROM pg_class c, aclexplode(c.relacl) a"
                 " WHERE c.oid = " + t.oid + " AND a.grantor <> c.relowner LIMIT 1");
    if (!grantor.empty()) return "a right on " + t.name + " granted by " + grantor;
  }
  return {};
}

// The definition of the table `oid` as one text: columns, constraints,
// indexes, triggers, owner, rights and comments. `qualified` (the table's
// quoted name) is written as "<table>" in it, so that two tables can be
// compared. With `with_keys` false, the indexes and the index-backed
// constraints (whose names differ until the swap) are left out.
std::string Signature(Session& session, const std::string& oid, const std::string& qualified,
                      bool with_keys) {
  std::string text;
  auto add = [&](const std::string& sql) {
    for (const TextRow& row : QueryTexts(session, sql)) {
      for (const auto& value : row) text += (value ? *value : std::string("<null>")) + '\x1f';
      text += '\n';
    }
    text += "--\n";
  };
  add("SELECT a.attname, format_type(a.atttypid, a.atttypmod), a.attnotnull::text,"
      " pg_get_expr(d.adbin, d.adrelid), a.attcollation::text, a.attgenerated::text,"
      " a.attstorage::text, a.attcompression::text, col_description(a.attrelid, a.attnum)"
      " FROM pg_attribute a LEFT JOIN pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum"
      " WHERE a.attrelid = " + oid + " AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum");
  add(std::string("SELECT conname, contype::text, pg_get_constraintdef(oid), convalidated::text,"
                  " obj_description(oid, 'pg_constraint') FROM pg_constraint WHERE conrelid = ") +
      oid + (with_keys ? "" : " AND contype NOT IN ('p', 'u', 'x')") + " ORDER BY conname");
  if (with_keys) {
    add("SELECT pg_get_indexdef(indexrelid) FROM pg_index WHERE indrelid = " + oid + " ORDER BY 1");
  }
  add("SELECT tgname, pg_get_triggerdef(oid) FROM pg_trigger WHERE tgrelid = " + oid +
      " AND NOT tgisinternal ORDER BY tgname");
  add("SELECT pg_get_userbyid(relowner), relpersistence::text, obj_description(oid, 'pg_class'),"
      " (relacl IS NULL)::text FROM pg_class WHERE oid = " + oid);
  add("SELECT a.grantee::text, a.privilege_type, a.is_grantable::text"
      " FROM pg_class c, aclexplode(c.relacl) a WHERE c.oid = " + oid + " ORDER BY 1, 2, 3");
  return text::ReplaceAll(text, qualified, "<table>");
}

// The statements that make the new table `shadow` (quoted, qualified) like `t`.
Plan MakePlan(Session& session, const TableFacts& t, const std::string& shadow,
              std::string& obstacle) {
  Plan plan;
  plan.before_rows.push_back(std::string("CREATE ") + (t.unlogged ? "UNLOGGED " : "") + "TABLE " +
                             shadow + " (LIKE " + t.qualified +
                             " INCLUDING DEFAULTS INCLUDING CONSTRAINTS INCLUDING GENERATED"
                             " INCLUDING STORAGE INCLUDING COMMENTS INCLUDING COMPRESSION)");
  if (t.comment)
    plan.before_rows.push_back("COMMENT ON TABLE " + shadow + " IS " + SqlQuote(*t.comment));

  for (const TextRow& row : QueryTexts(
           session, "SELECT oid::text, conname, contype::text, pg_get_constraintdef(oid)"
                    " FROM pg_constraint WHERE conrelid = " + t.oid +
                        " AND contype IN ('f', 'p', 'u', 'x') ORDER BY oid")) {
    const std::string name = TextOf(row[1]);
    const std::string definition = TextOf(row[3]);
    if (TextOf(row[2]) == "f") {
      plan.before_rows.push_back("ALTER TABLE " + shadow + " ADD CONSTRAINT " + DoubleQuoted(name) +
                                 " " + definition);
      continue;
    }
    const std::string temporary = kShadowPrefix + TextOf(row[0]);
    plan.before_rows.push_back("ALTER TABLE " + shadow + " ADD CONSTRAINT " +
                               DoubleQuoted(temporary) + " " + definition);
    plan.renames.push_back({temporary, name, true});
  }

  // Indexes of their own (not those of constraints): "CREATE [UNIQUE] INDEX
  // name ON schema.table USING ...".
  for (const TextRow& row : QueryTexts(
           session,
           "SELECT c.oid::text, c.relname, quote_ident(c.relname), pg_get_indexdef(i.indexrelid),"
           " i.indisunique::text FROM pg_index i JOIN pg_class c ON c.oid = i.indexrelid"
           " WHERE i.indrelid = " + t.oid +
               " AND NOT EXISTS (SELECT 1 FROM pg_constraint k WHERE k.conindid = i.indexrelid"
               " AND k.conrelid = i.indrelid) ORDER BY c.oid")) {
    const std::string temporary = kShadowPrefix + TextOf(row[0]);
    const std::string definition = TextOf(row[3]);
    const std::string from = "INDEX " + TextOf(row[2]) + " ON " + t.qualified + " USING ";
    const size_t at = definition.find(from);
    if (at == std::string::npos) {
      obstacle = "the index " + TextOf(row[1]) + " cannot be read";
      return plan;
    }
    const std::string statement = definition.substr(0, at) + "INDEX " + DoubleQuoted(temporary) +
                                  " ON " + shadow + " USING " + definition.substr(at + from.size());
    (IsTrue(row[4]) ? plan.before_rows : plan.deferred_indexes).push_back(statement);
    plan.renames.push_back({temporary, TextOf(row[1]), false});
  }

  for (const TextRow& row :
       QueryTexts(session, "SELECT tgname, pg_get_triggerdef(oid) FROM pg_trigger WHERE tgrelid = " +
                               t.oid + " AND NOT tgisinternal ORDER BY oid")) {
    const std::string definition = TextOf(row[1]);
    const std::string from = " ON " + t.qualified + " ";
    if (definition.find(from) == std::string::npos) {
      obstacle = "the trigger " + TextOf(row[0]) + " cannot be read";
      return plan;
    }
    plan.before_rows.push_back(ReplaceFirst(definition, from, " ON " + shadow + " "));
  }

  if (!t.owner_is_me)
    plan.before_rows.push_back("ALTER TABLE " + shadow + " OWNER TO " + DoubleQuoted(t.owner));
  if (t.has_acl) {
    plan.before_rows.push_back("REVOKE ALL ON " + shadow + " FROM " + DoubleQuoted(t.owner));
    for (const TextRow& row : QueryTexts(
             session, "SELECT CASE WHEN a.grantee = 0 THEN 'PUBLIC'"
                      " ELSE quote_ident(pg_get_userbyid(a.grantee)) END, a.privilege_type,"
                      " a.is_grantable::text FROM pg_class c, aclexplode(c.relacl) a"
                      " WHERE c.oid = " + t.oid + " ORDER BY a.grantee, a.privilege_type")) {
      plan.before_rows.push_back("GRANT " + TextOf(row[1]) + " ON " + shadow + " TO " +
                                 TextOf(row[0]) + (IsTrue(row[2]) ? " WITH GRANT OPTION" : ""));
    }
  }
  return plan;
}

class PostgresReplacement final : public TableRebuild {
 public:
  PostgresReplacement(std::shared_ptr<Session> session, std::string table, TableFacts facts,
                      std::string shadow, Plan plan, std::string signature)
      : session_(std::move(session)),
        table_(std::move(table)),
        facts_(std::move(facts)),
        shadow_(std::move(shadow)),
        plan_(std::move(plan)),
        signature_(std::move(signature)) {
    session_->RedirectTable(table_, shadow_);
  }
  ~PostgresReplacement() override { session_->EndRedirection(table_); }

  bool Replaces() const override { return true; }

  bool TryLockTable(std::chrono::milliseconds wait) override {
    const std::string timeout = std::to_string(std::max<int64_t>(1, wait.count()));
    try {  // one statement: a refusal undoes the setting with the request
      session_->Execute("SET LOCAL lock_timeout = " + timeout + "; LOCK TABLE " +
                        facts_.qualified + " IN ACCESS EXCLUSIVE MODE");
    } catch (const DbError& error) {
      if (error.connection_lost() || error.sqlstate() != "55P03") throw;  // lock_not_available
      return false;
    }
    session_->Execute("SET LOCAL lock_timeout TO DEFAULT");
    return true;
  }

  std::vector<std::string> TableHolders() override {
    std::vector<std::string> holders;
    for (const TextRow& row : QueryTexts(
             *session_, "SELECT DISTINCT l.pid, a.application_name FROM pg_locks l"
                        " LEFT JOIN pg_stat_activity a ON a.pid = l.pid WHERE l.relation = " +
                            facts_.oid + " AND l.pid <> pg_backend_pid() ORDER BY 1"))
      holders.push_back("'" + TextOf(row[1]) + "' (pid " + TextOf(row[0]) + ")");
    return holders;
  }

  void Complete(const std::function<void()>& before_swap) override {
    Session& session = *session_;
    session.EndRedirection(table_);
    if (!plan_.deferred_indexes.empty()) {
      const std::string memory = Single(session, "SHOW maintenance_work_mem");
      session.Execute(std::string("SELECT set_config('maintenance_work_mem', '") + kIndexWorkMem +
                      "', true)");
      for (const std::string& index : plan_.deferred_indexes) session.Execute(index);
      session.Execute("SELECT set_config('maintenance_work_mem', " + SqlQuote(memory) + ", true)");
    }
    session.Execute("ANALYZE " + shadow_);
    if (before_swap) before_swap();
    // From here on readers of the old table wait for the commit.
    session.Execute("DROP TABLE " + facts_.qualified);
    session.Execute("ALTER TABLE " + shadow_ + " RENAME TO " + DoubleQuoted(facts_.name));
    for (const Renamed& renamed : plan_.renames) {
      if (renamed.constraint) {
        session.Execute("ALTER TABLE " + facts_.qualified + " RENAME CONSTRAINT " +
                        DoubleQuoted(renamed.temporary) + " TO " + DoubleQuoted(renamed.name));
      } else {
        session.Execute("ALTER INDEX " + DoubleQuoted(facts_.schema) + "." +
                        DoubleQuoted(renamed.temporary) + " RENAME TO " +
                        DoubleQuoted(renamed.name));
      }
    }
    const std::string oid = Single(session, "SELECT " + RegclassOf(facts_.qualified) + "::oid::text");
    if (Signature(session, oid, facts_.qualified, true) != signature_) {
      throw DbError(DbError::Kind::kStatement,
                    "The new table " + facts_.qualified + " does not match the old one's definition");
    }
  }

 private:
  std::shared_ptr<Session> session_;
  std::string table_;
  TableFacts facts_;
  std::string shadow_;
  Plan plan_;
  std::string signature_;
};

}  // namespace

Replacement BeginPostgresReplacement(const std::shared_ptr<Session>& session,
                                     const std::string& table) {
  Session& db = *session;
  Replacement result;
  std::optional<TableFacts> facts = ReadTable(db, table, result.in_place_reason);
  if (!facts || !result.in_place_reason.empty()) return result;
  result.in_place_reason = Obstacle(db, *facts);
  if (!result.in_place_reason.empty()) return result;

  std::string shadow_name = kShadowPrefix + facts->name;
  if (shadow_name.size() > kMaxIdentifier) shadow_name.resize(kMaxIdentifier);
  // Quoted the way PostgreSQL writes it in definitions, so they can be compared.
  const std::string shadow =
      Single(db, "SELECT quote_ident(" + SqlQuote(facts->schema) + ") || '.' || quote_ident(" +
                     SqlQuote(shadow_name) + ")");
  Plan plan = MakePlan(db, *facts, shadow, result.in_place_reason);
  if (!result.in_place_reason.empty()) return result;

  // The names the new table and its indexes take until the swap must be free.
  std::string names = SqlQuote(shadow_name);
  for (const Renamed& renamed : plan.renames) names += ", " + SqlQuote(renamed.temporary);
  const std::string taken =
      Single(db, "SELECT relname FROM pg_class WHERE relnamespace = (SELECT relnamespace FROM"
                 " pg_class WHERE oid = " + facts->oid + ") AND relname IN (" + names + ") LIMIT 1");
  if (!taken.empty()) {
    result.in_place_reason = "the name " + taken + " is taken";
    return result;
  }

  const std::string signature = Signature(db, facts->oid, facts->qualified, true);
  try {
    for (const std::string& statement : plan.before_rows) db.Execute(statement);
    const std::string shadow_oid = Single(db, "SELECT " + RegclassOf(shadow) + "::oid::text");
    if (Signature(db, shadow_oid, shadow, false) != Signature(db, facts->oid, facts->qualified, false)) {
      throw DbError(DbError::Kind::kStatement, "its copy does not come out the same");
    }
  } catch (const DbError& error) {
    if (error.connection_lost() || !db.InTransaction()) throw;
    db.Execute("DROP TABLE IF EXISTS " + shadow);
    result.in_place_reason = facts->name + " could not be copied: " + error.description();
    return result;
  }
  result.in_place_reason.clear();
  result.rebuild = std::make_unique<PostgresReplacement>(session, table, std::move(*facts), shadow,
                                                         std::move(plan), signature);
  return result;
}

}  // namespace fonwerk::ado::rebuild
