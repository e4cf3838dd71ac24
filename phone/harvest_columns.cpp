// Checking AD and TAPI for the columns of the harvesting.

#include "phone/harvest_columns.h"

#include <algorithm>

#include "base/errors.h"
#include "base/text.h"
#include "db/session.h"

namespace fonwerk {
namespace {

std::string Joined(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : ", ") + name;
  return joined;
}

void RequireColumns(ado::Session& session, const std::string& table,
                    const std::vector<std::string>& required, const char* use) {
  std::vector<std::string> present;
  try {
    for (const ado::ColumnInfo& column : session.TableColumns(table)) {
      present.push_back(column.name);
    }
  } catch (const DbError& error) {
    throw DbError(error.kind(), error.number(),
                  "the table " + table + " cannot be read: " + error.description(),
                  error.sqlstate());
  }
  const std::string missing = FirstMissingColumn(present, required);
  if (!missing.empty()) {
    throw Error(errnum::kItemNotFound, "the table " + table + " has no column " + missing +
                                           " (a refresh " + use + " " + Joined(required) + ")");
  }
}

}  // namespace

std::string FirstMissingColumn(const std::vector<std::string>& present,
                               const std::vector<std::string>& required) {
  for (const std::string& name : required) {
    const bool found = std::any_of(present.begin(), present.end(), [&](const std::string& column) {
      return text::EqualsNoCase(column, name);
    });
    if (!found) return name;
  }
  return {};
}

const std::vector<std::string>& HarvestedAdColumns() {
  static const std::vector<std::string> columns = {"DSN", "TELEFON", "FAX", "EMAIL", "WEITEMAIL"};
  return columns;
}

const std::vector<std::string>& WrittenTapiColumns() {
  static const std::vector<std::string> columns = {"DSN", "AD_DSN", "NUMMER", "BEMERKUNG",
                                                   "contactTypeDsn"};
  return columns;
}

void RequireHarvestColumns(ado::Session& session) {
  RequireColumns(session, "AD", HarvestedAdColumns(), "reads");
  RequireColumns(session, "TAPI", WrittenTapiColumns(), "writes");
}

}  // namespace fonwerk
