#pragma once
// brixcom.cDBUtil: the installation's connection string from its SQL.INI.

#include <cstdint>
#include <optional>
#include <string>

#include "com/components.h"

namespace fonwerk::com {

class cDBUtil : public IDBUtil {
 public:
  // Reads section [Database] of the INI file at `ini_path` (section and key
  // names in any case; inline comments after " ;" allowed):
  //   Provider=SQLite      with Data Source=<file>, relative to the INI's folder
  //   Provider=PostgreSQL  with Database=<name> and optionally Host, Port,
  //                        User ID, Password
  // and returns, as text, "Provider=SQLite;Data Source=/absolute/path" or
  // "Provider=PostgreSQL;Host=..;Port=..;Database=..;User ID=..;Password=.."
  // (only the keys the INI gives; values holding ';' are quoted).
  // `flags` (4802719 from the caller) is accepted and ignored.
  // Throws Error naming the cause and the INI path: file missing (53) or
  // unreadable, a syntax error (with its line), no or an unknown Provider, no
  // Data Source / Database.
  Variant GetConnectString(const std::string& ini_path, int32_t flags) override;
};

// The connection string of the server that lookups read from: section
// [Replica] of SQL.INI, whose keys replace those of [Database] (a key it
// lacks is taken from [Database]); nullopt when the file has no [Replica]
// with a key in it.
// Throws as GetConnectString does.
std::optional<std::string> ReplicaConnectString(const std::string& ini_path);

}  // namespace fonwerk::com
