// The schema scripts: splitting a script into statements and running the one
// of the session's provider.

#include <fmt/format.h>

#include "base/errors.h"
#include "base/text.h"
#include "db/session.h"
#include "tools/install.h"
#include "tools/install_internal.h"

namespace fonwerk::install {
namespace {

namespace fs = std::filesystem;

// Index just past the quote that closes the quoted text starting at `open`
// (a doubled quote stands for one); the end of the text when it is unterminated.
size_t SkipQuoted(const std::string& text, size_t open) {
  const char quote = text[open];
  size_t i = open + 1;
  while (i < text.size()) {
    if (text[i] == quote) {
      if (i + 1 < text.size() && text[i + 1] == quote) {
        i += 2;
        continue;
      }
      return i + 1;
    }
    ++i;
  }
  return text.size();
}

}  // namespace

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
      const size_t end = SkipQuoted(script, i);
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
