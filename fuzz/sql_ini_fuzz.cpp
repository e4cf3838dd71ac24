// Fuzz target: reading an installation's SQL/SQL.INI into a connection string
// (cDBUtil.GetConnectString over the INI reader).
//
// Input: the bytes of SQL.INI.
// Properties:
//  - the result is either a fonwerk::Error whose text names the INI file, or a
//    connection string that parses, names SQLite or PostgreSQL, and carries
//    exactly what the INI says: for SQLite its Data Source made absolute from
//    the SQL folder, for PostgreSQL every key of [Database] the INI gives,
//    whatever quotes, semicolons or blanks the values hold;
//  - masking the password of the result leaves "***" as the password.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "base/errors.h"
#include "com/dbutil.h"
#include "db/connection_string.h"
#include "fuzz/fuzz_support.h"
#include "platform/ini_reader.h"

namespace fonwerk::fuzz {
namespace {

namespace fs = std::filesystem;

// A folder with SQL/ in it, removed when the process ends.
class IniFolder {
 public:
  IniFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/fonwerk-fuzz-ini-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp", std::strerror(errno));
    folder_ = pattern;
    fs::create_directories(folder_ / "SQL");
  }
  ~IniFolder() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  fs::path sql() const { return folder_ / "SQL"; }
  std::string ini() const { return (folder_ / "SQL" / "SQL.INI").string(); }

 private:
  fs::path folder_;
};

const IniFolder& Folder() {
  static const IniFolder folder;
  return folder;
}

std::optional<std::string> IniValue(const std::string& name) {
  const auto entries = com::ReadIniFile(Folder().ini());
  if (!entries) return std::nullopt;
  return com::FindIniValue(*entries, "Database", name);
}

void CheckConnectString(const std::string& text) {
  ConnectionString parsed;
  try {
    parsed = ConnectionString::Parse(text);
  } catch (const Error& error) {
    Fail("result does not parse", Printable(text) + ": " + error.what());
  }
  const std::string provider = parsed.Get("Provider").value_or("");
  FUZZ_CHECK(provider == "SQLite" || provider == "PostgreSQL", "provider " + Printable(provider));
  if (provider == "SQLite") {
    const std::string source = IniValue("Data Source").value_or("");
    const fs::path expected = fs::path(source).is_relative()
                                  ? (Folder().sql() / source).lexically_normal()
                                  : fs::path(source).lexically_normal();
    FUZZ_CHECK(parsed.Get("Data Source") == expected.string(),
               "Data Source " + Printable(parsed.Get("Data Source").value_or("(none)")) +
                   ", expected " + Printable(expected.string()));
  } else {
    for (const char* key : {"Host", "Port", "Database", "User ID", "Password"}) {
      FUZZ_CHECK(parsed.Get(key) == IniValue(key),
                 std::string(key) + " is " + Printable(parsed.Get(key).value_or("(none)")) +
                     " in " + Printable(text));
    }
  }
  if (parsed.Get("Password")) {
    const std::string masked = ConnectionString::MaskPassword(text);
    FUZZ_CHECK(ConnectionString::Parse(masked).Get("Password") == "***",
               "masked " + Printable(masked));
  }
}

}  // namespace
}  // namespace fonwerk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace fonwerk::fuzz;
  const std::string ini = Folder().ini();
  {
    std::ofstream out(ini, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) Fail("write", ini);
  }
  std::string text;
  try {
    fonwerk::com::cDBUtil util;
    text = util.GetConnectString(ini, 4802719).ToText();
  } catch (const fonwerk::Error& error) {
    FUZZ_CHECK(std::string(error.what()).find(ini) != std::string::npos,
               std::string("error without the INI path: ") + error.what());
    return 0;
  } catch (const std::exception& error) {
    Fail("unexpected exception", error.what());
  }
  CheckConnectString(text);
  return 0;
}
