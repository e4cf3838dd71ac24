#include "db/sqlite/sqlite_error.h"

#include <sqlite3.h>

#include "db/sqlite/sqlite_dialect.h"

namespace fonwerk::ado::sqlite {
namespace {

constexpr size_t kMaxStatementInMessage = 300;

DbError::Kind KindOf(int rc) {
  switch (rc & 0xff) {
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_IOERR:
      return DbError::Kind::kConnection;
    default:
      return DbError::Kind::kStatement;
  }
}

}  // namespace

std::string StatementForMessage(std::string_view sql) {
  while (!sql.empty() && IsSpace(sql.front())) sql.remove_prefix(1);
  while (!sql.empty() && IsSpace(sql.back())) sql.remove_suffix(1);
  if (sql.size() <= kMaxStatementInMessage) return std::string(sql);
  return std::string(sql.substr(0, kMaxStatementInMessage)) + "...";
}

DbError SqliteError(sqlite3* db, int rc, std::string_view sql) {
  std::string text = sqlite3_errmsg(db);
  if (!sql.empty()) text += " (statement: " + StatementForMessage(sql) + ")";
  return DbError(KindOf(rc), text, std::to_string(rc));
}

}  // namespace fonwerk::ado::sqlite
