#pragma once
// ADO-style connection strings: `Key=Value;Key=Value`. Keys match without
// regard to case; a value may be enclosed in double quotes (a doubled quote
// inside stands for one quote), which allows `;` in it.

#include <map>
#include <vector>
#include <optional>
#include <string>

namespace fonwerk {

class ConnectionString {
 public:
  // Throws Error (kInvalidArgument) on malformed input (an unterminated quote,
  // a pair without '=').
  static ConnectionString Parse(const std::string& text);

  std::optional<std::string> Get(const std::string& key) const;  // case-insensitive
  void Set(const std::string& key, const std::string& value);
  // Serialises in insertion order, quoting values that need it.
  std::string ToString() const;
  // The same string with the value of the password key ("Password", "Pwd")
  // replaced by "***"; everything else unchanged.
  static std::string MaskPassword(const std::string& text);

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
};

// The name this program gives itself to the database server (PostgreSQL's
// application_name, shown in pg_stat_activity) when the connection string
// names none with "Application Name": "fonwerk" unless the program set
// another ("fonwerkctl serve", ...). Set it once at start-up, before any
// session is opened; reading it is then safe from any thread.
void SetProgramName(std::string name);
const std::string& ProgramName();

}  // namespace fonwerk
