#include "com/dbutil.h"

#include <filesystem>
#include <optional>
#include <vector>

#include "base/errors.h"
#include "base/text.h"
#include "db/connection_string.h"
#include "platform/ini_reader.h"

namespace fonwerk::com {
namespace {

constexpr const char* kSection = "Database";
constexpr const char* kReplicaSection = "Replica";

[[noreturn]] void ThrowIniError(const std::string& cause, const std::string& ini_path) {
  throw Error(errnum::kInvalidProcedureCall, "SQL.INI: " + cause + " (" + ini_path + ")");
}

// A non-empty value of `name` in [Database], or nullopt.
std::optional<std::string> Value(const std::vector<IniEntry>& entries, std::string_view name) {
  std::optional<std::string> value = FindIniValue(entries, kSection, name);
  if (value && value->empty()) return std::nullopt;
  return value;
}

// `data_source` made absolute: a relative path is taken from the INI's folder.
std::string ResolveDataSource(const std::string& data_source, const std::string& ini_path) {
  namespace fs = std::filesystem;
  fs::path path(data_source);
  try {
    if (path.is_relative()) path = fs::absolute(fs::path(ini_path)).parent_path() / path;
  } catch (const fs::filesystem_error& error) {
    ThrowIniError(std::string("Data Source nicht auflösbar: ") + error.what(), ini_path);
  }
  return path.lexically_normal().string();
}

std::string SqliteConnectString(const std::vector<IniEntry>& entries, const std::string& ini_path) {
  std::optional<std::string> data_source = Value(entries, "Data Source");
  if (!data_source) ThrowIniError("Data Source fehlt in [Database]", ini_path);
  ConnectionString result;
  result.Set("Provider", "SQLite");
  result.Set("Data Source", ResolveDataSource(*data_source, ini_path));
  return result.ToString();
}

std::string PostgresConnectString(const std::vector<IniEntry>& entries,
                                  const std::string& ini_path) {
  if (!Value(entries, "Database")) ThrowIniError("Database fehlt in [Database]", ini_path);
  ConnectionString result;
  result.Set("Provider", "PostgreSQL");
  for (const char* key : {"Host", "Port", "Database", "User ID", "Password"}) {
    std::optional<std::string> value = FindIniValue(entries, kSection, key);
    if (value) result.Set(key, *value);
  }
  return result.ToString();
}

std::string ConnectStringOf(const std::vector<IniEntry>& entries, const std::string& ini_path) {
  std::optional<std::string> provider = Value(entries, "Provider");
  if (!provider) ThrowIniError("Provider fehlt in [Database]", ini_path);
  if (text::EqualsNoCase(*provider, "SQLite")) return SqliteConnectString(entries, ini_path);
  if (text::EqualsNoCase(*provider, "PostgreSQL")) return PostgresConnectString(entries, ini_path);
  ThrowIniError("unbekannter Provider '" + *provider + "'", ini_path);
}

std::vector<IniEntry> ReadEntries(const std::string& ini_path) {
  std::optional<std::vector<IniEntry>> entries = ReadIniFile(ini_path);
  if (!entries) throw Error(errnum::kFileNotFound, "SQL.INI nicht gefunden: " + ini_path);
  return std::move(*entries);
}

}  // namespace

Variant cDBUtil::GetConnectString(const std::string& ini_path, int32_t /*flags*/) {
  return Variant(ConnectStringOf(ReadEntries(ini_path), ini_path));
}

std::optional<std::string> ReplicaConnectString(const std::string& ini_path) {
  std::vector<IniEntry> entries = ReadEntries(ini_path);
  bool has_replica = false;
  // The pairs of [Replica] are read as later pairs of [Database]: the last
  // pair of a name counts, so they replace what [Database] says.
  std::vector<IniEntry> replica;
  for (const IniEntry& entry : entries) {
    if (!text::EqualsNoCase(entry.section, kReplicaSection)) continue;
    has_replica = true;
    replica.push_back({kSection, entry.name, entry.value});
  }
  if (!has_replica) return std::nullopt;
  entries.insert(entries.end(), replica.begin(), replica.end());
  return ConnectStringOf(entries, ini_path);
}

}  // namespace fonwerk::com
