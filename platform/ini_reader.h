#pragma once
// Reading INI files (SQL.INI, the registry file) with libinih.
//
// Format: `[section]` lines, `name=value` pairs with blanks around name and
// value stripped, whole-line comments starting with ';' or '#', and inline
// comments starting with a ';' that follows a blank (so `Password=a;b` keeps
// its ';'). Lines may be of any length; indented lines are ordinary lines.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fonwerk::com {

struct IniEntry {
  std::string section;
  std::string name;
  std::string value;
};

// Every name=value pair of the file at `path`, in file order. Returns
// std::nullopt when the file does not exist. Throws Error naming the path and
// the cause when it exists but cannot be read (a folder, no permission) or has
// a syntax error (naming the first bad line).
std::optional<std::vector<IniEntry>> ReadIniFile(const std::string& path);

// The value of the last pair `name` in `section` (both ASCII case-insensitive),
// or std::nullopt.
std::optional<std::string> FindIniValue(const std::vector<IniEntry>& entries,
                                        std::string_view section, std::string_view name);

}  // namespace fonwerk::com
