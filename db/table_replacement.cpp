// Catalog helpers shared by the providers' table replacements.

#include "db/table_replacement.h"

namespace fonwerk::ado::rebuild {

std::vector<TextRow> QueryTexts(Session& session, const std::string& sql) {
  std::unique_ptr<Cursor> cursor = session.Query(sql, false);
  std::vector<TextRow> rows;
  std::vector<Variant> values;
  while (cursor->Next(values)) {
    TextRow row;
    row.reserve(values.size());
    for (const Variant& value : values) {
      if (value.IsNull() || value.IsEmpty()) {
        row.emplace_back(std::nullopt);
      } else {
        row.emplace_back(value.ToText());
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace fonwerk::ado::rebuild
