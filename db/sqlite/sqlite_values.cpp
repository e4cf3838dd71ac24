#include "db/sqlite/sqlite_values.h"

#include <sqlite3.h>

#include <cstdint>
#include <string_view>

namespace fonwerk::ado::sqlite {

void ReadColumn(sqlite3_stmt* stmt, int index, Variant& out) {
  switch (sqlite3_column_type(stmt, index)) {
    case SQLITE_INTEGER:
      out = Variant(static_cast<int64_t>(sqlite3_column_int64(stmt, index)));
      return;
    case SQLITE_FLOAT:
      out = Variant(sqlite3_column_double(stmt, index));
      return;
    case SQLITE_NULL:
      out.SetNull();
      return;
    case SQLITE_BLOB: {
      const void* data = sqlite3_column_blob(stmt, index);
      const int bytes = sqlite3_column_bytes(stmt, index);
      out.SetText(std::string_view(static_cast<const char*>(data), data ? bytes : 0));
      return;
    }
    default: {
      const unsigned char* text = sqlite3_column_text(stmt, index);
      const int bytes = sqlite3_column_bytes(stmt, index);
      out.SetText(std::string_view(reinterpret_cast<const char*>(text), text ? bytes : 0));
      return;
    }
  }
}

int BindValue(sqlite3_stmt* stmt, int position, const Variant& value) {
  switch (value.type()) {
    case Variant::Type::kText:
      return sqlite3_bind_text(stmt, position, value.text().data(),
                               static_cast<int>(value.text().size()), SQLITE_STATIC);
    case Variant::Type::kInteger:
      return sqlite3_bind_int64(stmt, position, value.ToInteger());
    case Variant::Type::kDouble:
      return sqlite3_bind_double(stmt, position, value.ToDouble());
    case Variant::Type::kBoolean:
      return sqlite3_bind_int(stmt, position, value.ToBool() ? 1 : 0);
    default:
      return sqlite3_bind_null(stmt, position);
  }
}

}  // namespace fonwerk::ado::sqlite
