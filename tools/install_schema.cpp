// The schema scripts: splitting a script into statements and running the one
// of the session's provider.

#include <fmt/format.h>

#include "base/errors.h"
#include "base/text.h"
#include "db/session.h"
#include "tools/install.h"
#include "tools/install_internal.h"

namespace fonwerk::install {
namespace fs = std::filesystem;


std::vector<std::string> SplitSqlScript(const std::string& script) {
  std::vector<std::string> statements;
  std::string current;
  auto flush = [&] {
    std::string statement = TrimSpace(current);
    if (!statement.empty()) statements.push_back(std::move(statement));
    current.clear();
  };
  size_t i = 0;
  while (i < script.size()) {
    const char c = script[i];
    const char next = i + 1 < script.size() ? script[i + 1] : '\0';
    if (c == '-' && next == '-') {
      i = script.find('\n', i);
      if (i == std::string::npos) i = script.size();
    } else if (c == '/' && next == '*') {
      const size_t end = script.find("*/", i + 2);
      i = end == std::string::npos ? script.size() : end + 2;
      current += ' ';
    } else if (c == '\'' || c == '"') {
      const size_t end = text::EndOfQuoted(script, i);
      current.append(script, i, end - i);
      i = end;
    } else if (c == ';') {
      flush();
      ++i;
    } else {
      current += c;
      ++i;
    }
  }
  flush();
  return statements;
}

void RunSchema(ado::Session& session, const fs::path& sql_dir) {
  const std::string provider = session.ProviderName();
  const fs::path script =
      sql_dir / (text::EqualsNoCase(provider, "PostgreSQL") ? "postgres" : "sqlite") / "schema.sql";
  for (const std::string& statement : SplitSqlScript(ReadFile(script))) {
    try {
      session.Execute(statement);
    } catch (const DbError& e) {
      throw DbError(e.kind(), e.number(),
                    fmt::format("{}: {} (in: {})", script.string(), e.description(),
                                statement.substr(0, statement.find('\n'))),
                    e.sqlstate());
    }
  }
}

}  // namespace fonwerk::install
