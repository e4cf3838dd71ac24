// The hashes of the differential refresh and its side tables.

#include <xxhash.h>

#include <algorithm>
#include <cstring>

#include "base/errors.h"
#include "com/ado.h"
#include "phone/tapi_sync_parts.h"

namespace fonwerk::tapisync {
namespace {

// Raised whenever the harvesting's rules change what it derives from a
// contact: every stored fingerprint is then out of date.
constexpr std::string_view kRulesVersion = "fonwerk-harvest-1";

// Statements with more rows than this are cut into several.
constexpr size_t kRowsPerStatement = 500;

constexpr const char* kCreateSync =
    "CREATE TABLE TAPI_SYNC (AD_DSN VARCHAR(255) NOT NULL PRIMARY KEY, "
    "FINGERPRINT BIGINT NOT NULL)";
constexpr const char* kCreateState =
    "CREATE TABLE TAPI_SYNC_STATE (NAME VARCHAR(40) NOT NULL PRIMARY KEY, VALUE TEXT)";

constexpr const char* kSqliteIndexQuery =
    "SELECT count(*) FROM pragma_index_list('TAPI') AS l, pragma_index_info(l.name) AS i "
    "WHERE i.seqno = 0 AND lower(i.name) = 'ad_dsn'";
constexpr const char* kPostgresIndexQuery =
    "SELECT count(*) FROM pg_catalog.pg_index x JOIN pg_catalog.pg_attribute a "
    "ON a.attrelid = x.indrelid AND a.attnum = x.indkey[0] "
    "WHERE x.indrelid = to_regclass('tapi') AND lower(a.attname) = 'ad_dsn'";

// Appends `field` with its length first, so that the fields of a hashed
// text cannot run into each other.
void AppendField(std::string& buffer, std::string_view field) {
  const uint32_t size = static_cast<uint32_t>(field.size());
  char bytes[sizeof size];
  std::memcpy(bytes, &size, sizeof size);
  buffer.append(bytes, sizeof size).append(field);
}

uint64_t Hash(const std::string& buffer, uint64_t seed = 0) {
  return XXH3_64bits_withSeed(buffer.data(), buffer.size(), seed);
}

}  // namespace

std::string_view TextOf(const Variant& value, std::string& converted) {
  if (value.IsText()) return value.text();
  if (value.IsNull() || value.IsEmpty()) return {};
  converted = value.ToText();
  return converted;
}

uint64_t HashKey(std::string_view key) { return XXH3_64bits(key.data(), key.size()); }

uint64_t HashRow(std::string_view nummer, std::string_view bemerkung, std::string_view type) {
  thread_local std::string buffer;
  buffer.clear();
  AppendField(buffer, nummer);
  AppendField(buffer, bemerkung);
  AppendField(buffer, type);
  return Hash(buffer);
}

Fingerprinter::Fingerprinter(const cCanonicalTelephone& phone, const TapiWidths& widths) {
  std::string settings;
  AppendField(settings, kRulesVersion);
  AppendField(settings, phone.Plus);
  AppendField(settings, phone.code);
  AppendField(settings, phone.VAZ);
  AppendField(settings, phone.Suspress ? "1" : "0");
  AppendField(settings, std::to_string(widths.nummer));
  AppendField(settings, std::to_string(widths.bemerkung));
  seed_ = Hash(settings);
}

uint64_t Fingerprinter::Of(ado::Recordset& contact) {
  buffer_.clear();
  for (int32_t column = 1; column <= 4; ++column) {
    AppendField(buffer_, TextOf(contact.Fields(column).Value(), converted_));
  }
  return Hash(buffer_, seed_);
}

std::string Placeholders(size_t count) {
  std::string list = "(";
  for (size_t i = 0; i < count; ++i) list += i == 0 ? "?" : ", ?";
  return list + ")";
}

bool SideTables::Exists(const std::string& table) {
  try {
    ado::Recordset probe;
    probe.Open("SELECT 1 FROM " + table + " WHERE 1 = 0", connection_, ado::CursorType::kStatic);
    probe.Close();
    return true;
  } catch (const DbError& error) {
    if (error.connection_lost()) throw;
    return false;
  }
}

bool SideTables::Ensure(bool create) {
  const bool sqlite = connection_.session().ProviderName() == "SQLite";
  present_ = Exists("TAPI_SYNC") && Exists("TAPI_SYNC_STATE");
  if (present_ || !create) return false;
  bool created = false;
  if (!Exists("TAPI_SYNC")) {
    // Without a rowid SQLite keeps the table as one B-tree ordered by the key.
    connection_.Execute(std::string(kCreateSync) + (sqlite ? " WITHOUT ROWID" : ""));
    created = true;
  }
  if (!Exists("TAPI_SYNC_STATE")) {
    connection_.Execute(kCreateState);
    created = true;
  }
  present_ = true;
  return created;
}

std::string SideTables::FirstValue(const std::string& sql) {
  ado::Recordset rs;
  rs.Open(sql, connection_, ado::CursorType::kStatic);
  std::string value;
  if (!rs.Eof()) {
    const Variant& first = rs.Fields(0).Value();
    if (!first.IsNull() && !first.IsEmpty()) value = first.ToText();
  }
  rs.Close();
  return value;
}

std::string SideTables::StoredMarker() {
  if (!present_) return {};
  return FirstValue("SELECT VALUE FROM TAPI_SYNC_STATE WHERE NAME = 'tapi'");
}

std::string SideTables::CurrentMarker() {
  // Two queries: each is answered from the key's index, where one query with
  // both aggregates would read the whole table on SQLite.
  return "keys:" + FirstValue("SELECT min(DSN) FROM TAPI") + "|" +
         FirstValue("SELECT max(DSN) FROM TAPI");
}

void SideTables::StoreMarker(const std::string& marker) {
  if (!present_) return;
  connection_.Execute(
      "INSERT INTO TAPI_SYNC_STATE (NAME, VALUE) VALUES ('tapi', ?) "
      "ON CONFLICT (NAME) DO UPDATE SET VALUE = excluded.VALUE",
      {Variant(marker)});
}

bool SideTables::TapiIndexedByContact() {
  const bool sqlite = connection_.session().ProviderName() == "SQLite";
  const std::string count = FirstValue(sqlite ? kSqliteIndexQuery : kPostgresIndexQuery);
  return !count.empty() && count != "0";
}

void SideTables::UpsertFingerprints(const std::vector<std::pair<std::string, uint64_t>>& rows) {
  if (!present_) return;
  std::vector<Variant> params;
  for (size_t begin = 0; begin < rows.size(); begin += kRowsPerStatement) {
    const size_t end = std::min(rows.size(), begin + kRowsPerStatement);
    std::string sql = "INSERT INTO TAPI_SYNC (AD_DSN, FINGERPRINT) VALUES ";
    params.clear();
    for (size_t i = begin; i < end; ++i) {
      sql += i == begin ? "(?, ?)" : ", (?, ?)";
      params.emplace_back(rows[i].first);
      params.emplace_back(static_cast<int64_t>(rows[i].second));
    }
    sql += " ON CONFLICT (AD_DSN) DO UPDATE SET FINGERPRINT = excluded.FINGERPRINT";
    connection_.Execute(sql, params);
  }
}

void SideTables::DeleteFingerprints(const std::vector<std::string>& keys) {
  if (!present_) return;
  std::vector<Variant> params;
  for (size_t begin = 0; begin < keys.size(); begin += kRowsPerStatement) {
    const size_t end = std::min(keys.size(), begin + kRowsPerStatement);
    params.assign(keys.begin() + static_cast<std::ptrdiff_t>(begin),
                  keys.begin() + static_cast<std::ptrdiff_t>(end));
    connection_.Execute("DELETE FROM TAPI_SYNC WHERE AD_DSN IN " + Placeholders(params.size()),
                        params);
  }
}

}  // namespace fonwerk::tapisync
