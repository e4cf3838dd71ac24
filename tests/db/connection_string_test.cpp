#include "db/connection_string.h"

#include <gtest/gtest.h>

#include "base/errors.h"

namespace fonwerk {
namespace {

TEST(ConnectionStringTest, ParsesPairsWithBlanksAndQuotes) {
  const ConnectionString cs = ConnectionString::Parse(
      " Provider = PostgreSQL ; Host=db1;;Port=5432;Password=\"a;b\"\"c\" ;User ID=fw;");
  EXPECT_EQ(cs.Get("provider"), "PostgreSQL");
  EXPECT_EQ(cs.Get("HOST"), "db1");
  EXPECT_EQ(cs.Get("Port"), "5432");
  EXPECT_EQ(cs.Get("password"), "a;b\"c");
  EXPECT_EQ(cs.Get("User ID"), "fw");
  EXPECT_EQ(cs.Get("Database"), std::nullopt);
}

TEST(ConnectionStringTest, MalformedTextIsRejectedWithoutShowingThePassword) {
  const char* cases[] = {
      "Provider=SQLite;Data Source",           // pair without '='
      "Password=\"secret;Provider=SQLite",     // unterminated quote
      "Password=\"secret\"x;Provider=SQLite",  // text after the closing quote
      "=secret",                               // value without a key
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    try {
      ConnectionString::Parse(text);
      ADD_FAILURE() << "accepted";
    } catch (const Error& error) {
      EXPECT_EQ(error.number(), errnum::kInvalidArgument);
      if (std::string(text).find("Password") != std::string::npos) {
        EXPECT_EQ(error.description().find("secret"), std::string::npos) << error.description();
      }
    }
  }
}

TEST(ConnectionStringTest, SetReplacesWithoutRegardToCaseAndKeepsOrder) {
  ConnectionString cs = ConnectionString::Parse("Provider=SQLite;Data Source=/a.db");
  cs.Set("data source", "/b.db");
  cs.Set("Mode", "x");
  EXPECT_EQ(cs.ToString(), "Provider=SQLite;Data Source=/b.db;Mode=x");
}

TEST(ConnectionStringTest, ToStringQuotesWhatWouldNotParseBack) {
  ConnectionString cs;
  const std::pair<const char*, const char*> pairs[] = {
      {"Provider", "PostgreSQL"}, {"Password", "p;w\"d"}, {"Host", " padded "}, {"Empty", ""}};
  for (const auto& [key, value] : pairs) cs.Set(key, value);
  EXPECT_EQ(cs.ToString(), "Provider=PostgreSQL;Password=\"p;w\"\"d\";Host=\" padded \";Empty=");
  const ConnectionString back = ConnectionString::Parse(cs.ToString());
  for (const auto& [key, value] : pairs) EXPECT_EQ(back.Get(key), value) << key;
}

TEST(ConnectionStringTest, MaskPasswordHidesOnlyThePasswordValue) {
  const std::pair<const char*, const char*> cases[] = {
      {"Provider=PostgreSQL;Password=geheim;Host=h", "Provider=PostgreSQL;Password=***;Host=h"},
      {"pwd = geheim ;x=1", "pwd = *** ;x=1"},
      {"PASSWORD=\"ge;heim\";Host=h", "PASSWORD=***;Host=h"},
      {"Password=\"unterminated", "Password=***"},
      {"PasswordHint=geheim;Host=h", "PasswordHint=geheim;Host=h"},
      {"Provider=SQLite;Data Source=/x.db", "Provider=SQLite;Data Source=/x.db"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(ConnectionString::MaskPassword(text), expected);
  }
}

}  // namespace
}  // namespace fonwerk
