#include "db/sqlite/sqlite_dialect.h"

#include <cctype>
#include <charconv>
#include <optional>

#include "base/text.h"

namespace fonwerk::ado {
namespace {

using sqlite::IsSpace;
using sqlite::IsWordChar;
using sqlite::SkipQuoted;
using text::ContainsNoCase;
using text::EqualsNoCase;

// Consumes `keyword` and the blanks after it; at least one blank must follow.
bool ConsumeKeyword(std::string_view& text, std::string_view keyword) {
  if (text.size() <= keyword.size() || !EqualsNoCase(text.substr(0, keyword.size()), keyword) ||
      !IsSpace(text[keyword.size()])) {
    return false;
  }
  text.remove_prefix(keyword.size());
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  return true;
}

std::optional<std::string> TruncateAsDelete(std::string_view sql) {
  while (!sql.empty() && IsSpace(sql.front())) sql.remove_prefix(1);
  if (!ConsumeKeyword(sql, "truncate") || !ConsumeKeyword(sql, "table")) return std::nullopt;
  while (!sql.empty() && (IsSpace(sql.back()) || sql.back() == ';')) sql.remove_suffix(1);
  if (sql.empty()) return std::nullopt;
  return "DELETE FROM " + std::string(sql);
}

// Turns every call `RIGHT(` outside literals and comments into `"RIGHT"(`.
std::string QuoteRightCalls(const std::string& sql) {
  if (!ContainsNoCase(sql, "right")) return sql;
  std::string out;
  out.reserve(sql.size() + 8);
  size_t i = 0;
  while (i < sql.size()) {
    const size_t skipped = SkipQuoted(sql, i);
    if (skipped != i) {
      out.append(sql, i, skipped - i);
      i = skipped;
      continue;
    }
    if (!IsWordChar(sql[i])) {
      out += sql[i++];
      continue;
    }
    size_t end = i;
    while (end < sql.size() && IsWordChar(sql[end])) ++end;
    size_t next = end;
    while (next < sql.size() && IsSpace(sql[next])) ++next;
    const std::string_view word(sql.data() + i, end - i);
    const bool call = next < sql.size() && sql[next] == '(';
    out += (call && EqualsNoCase(word, "right")) ? std::string_view("\"RIGHT\"") : word;
    i = end;
  }
  return out;
}

// SQLite's affinity rule: a declared type holding "INT" is numeric; otherwise
// one holding "CHAR", "CLOB" or "TEXT" is text.
bool HasTextAffinity(std::string_view declared_type) {
  if (ContainsNoCase(declared_type, "int")) return false;
  return ContainsNoCase(declared_type, "char") || ContainsNoCase(declared_type, "clob") ||
         ContainsNoCase(declared_type, "text");
}

// The number between the parentheses of "(n)" (blanks allowed inside), or -1.
int32_t WidthInParentheses(std::string_view rest) {
  rest = text::TrimBlanks(rest);
  if (rest.size() < 3 || rest.front() != '(' || rest.back() != ')') return -1;
  rest = text::TrimBlanks(rest.substr(1, rest.size() - 2));
  int32_t width = -1;
  auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), width);
  if (ec != std::errc() || ptr != rest.data() + rest.size() || width < 0) return -1;
  return width;
}

}  // namespace

std::string TranslateForSqlite(const std::string& sql) {
  if (auto truncate = TruncateAsDelete(sql)) return *truncate;
  return QuoteRightCalls(sql);
}

int32_t DeclaredTextWidth(std::string_view declared_type) {
  // Upper case with runs of blanks collapsed, so "character  varying" matches.
  std::string collapsed;
  for (char c : declared_type) {
    if (IsSpace(c)) {
      if (!collapsed.empty() && collapsed.back() != ' ') collapsed += ' ';
    } else {
      collapsed += c;
    }
  }
  const std::string type = text::UpperAscii(collapsed);
  static constexpr std::string_view kTextTypes[] = {"CHARACTER VARYING", "NVARCHAR", "VARCHAR",
                                                    "CHARACTER",         "NCHAR",    "CHAR"};
  for (std::string_view name : kTextTypes) {
    if (type.compare(0, name.size(), name) != 0) continue;
    return WidthInParentheses(std::string_view(type).substr(name.size()));
  }
  return -1;
}

}  // namespace fonwerk::ado

namespace fonwerk::ado::sqlite {

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool IsWordChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '$' || u >= 0x80;
}

size_t SkipQuoted(std::string_view sql, size_t i) {
  const char c = sql[i];
  if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
    const size_t end = sql.find('\n', i);
    return end == std::string_view::npos ? sql.size() : end + 1;
  }
  if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
    const size_t end = sql.find("*/", i + 2);
    return end == std::string_view::npos ? sql.size() : end + 2;
  }
  if (c == '[') {  // [name]: no doubling inside
    const size_t end = sql.find(']', i + 1);
    return end == std::string_view::npos ? sql.size() : end + 1;
  }
  if (c != '\'' && c != '"' && c != '`') return i;
  return text::EndOfQuoted(sql, i);
}

ColumnInfo DescribeColumn(std::string name, const char* declared_type) {
  ColumnInfo info;
  info.name = std::move(name);
  const std::string_view type = declared_type ? declared_type : "";
  info.defined_size = DeclaredTextWidth(type);
  info.is_text = HasTextAffinity(type);
  return info;
}

}  // namespace fonwerk::ado::sqlite
