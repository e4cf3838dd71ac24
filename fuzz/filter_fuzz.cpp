// Fuzz target: the Filter of a static recordset (the country list uses it with
// the short code of the own country, which comes from the database).
//
// Input: <flags> 0x1F <value> 0x1F <raw filter text>
// Flag byte 0: bits 0..1 choose the filter in force before (none or one of
// three); bit 2 tests the raw text, else a filter built from the value;
// bits 3..4 choose the column (id, name, code); bits 5..7 add blanks and
// change the case of the column name. Flag byte 1 non-zero tests an integer
// filter (the value of bytes 1..2) instead.
// Properties:
//  - a filter built as Column='value' (quotes doubled) shows exactly the rows
//    whose column holds the value, and stands on the first of them;
//  - a text the filter rejects throws a usage error and leaves the rows of the
//    previous filter in force; an accepted one shows rows of the table, in
//    order, the same rows when set again, and 0 brings every row back;
//  - of the integers, only 0 is accepted.

#include <string>
#include <vector>

#include "base/errors.h"
#include "com/ado.h"
#include "fuzz/fuzz_support.h"

namespace fonwerk::fuzz {
namespace {

constexpr const char* kColumns[] = {"id", "name", "code"};
constexpr const char* kPrevious[] = {"", "code='DEU'", "name = 'O''Brien'", "id='6'"};

ado::Recordset& Rows() {
  static ado::Connection connection;
  static ado::Recordset rs;
  if (!rs.IsOpen()) {
    connection.SetConnectionString(ScratchInstall::Normal().connect());
    connection.Open();
    rs.Open("SELECT id, name, code FROM FILTERROWS ORDER BY id", connection,
            ado::CursorType::kStatic);
  }
  return rs;
}

std::vector<int64_t> VisibleIds(ado::Recordset& rs) {
  std::vector<int64_t> ids;
  rs.MoveFirst();
  for (; !rs.Eof(); rs.MoveNext()) ids.push_back(rs.Fields("id").Value().ToInteger());
  return ids;
}

std::vector<int64_t> AllIds() {
  std::vector<int64_t> ids;
  for (const FilterRow& row : FilterRows()) ids.push_back(row.id);
  return ids;
}

std::string ColumnText(const FilterRow& row, int column, bool& is_null) {
  const char* text = column == 0 ? nullptr : column == 1 ? row.name : row.code;
  is_null = column != 0 && text == nullptr;
  return column == 0 ? std::to_string(row.id) : text != nullptr ? std::string(text) : std::string();
}

std::string Ids(const std::vector<int64_t>& ids) {
  std::string text;
  for (const int64_t id : ids) text += std::to_string(id) + " ";
  return text;
}

void CheckBuiltFilter(ado::Recordset& rs, uint8_t flags, const std::string& value) {
  const int column = ((flags >> 3) & 3) % 3;
  std::string name = kColumns[column];
  if ((flags & 0x20) != 0) name[0] = static_cast<char>(name[0] - 'a' + 'A');
  const std::string blanks((flags >> 6) & 3, ' ');
  std::string quoted = "'";
  for (const char c : value) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  quoted += "'";
  const std::string filter = blanks + name + blanks + "=" + blanks + quoted + blanks;

  std::vector<int64_t> expected;
  for (const FilterRow& row : FilterRows()) {
    bool is_null = false;
    const std::string text = ColumnText(row, column, is_null);
    if (!is_null && text == value) expected.push_back(row.id);
  }
  try {
    rs.SetFilter(Variant(filter));
  } catch (const DbError& error) {
    Fail("filter rejected", "'" + Printable(filter) + "': " + error.what());
  }
  if (expected.empty()) {
    FUZZ_CHECK(rs.Eof(), "'" + Printable(filter) + "' matched a row");
  } else {
    FUZZ_CHECK(!rs.Eof() && rs.Fields("id").Value().ToInteger() == expected.front(),
               "'" + Printable(filter) + "' does not stand on the first match");
  }
  const std::vector<int64_t> ids = VisibleIds(rs);
  FUZZ_CHECK(ids == expected, "'" + Printable(filter) + "' shows " + Ids(ids) + "expected " +
                                  Ids(expected));
}

bool InOrderSubset(const std::vector<int64_t>& ids, const std::vector<int64_t>& all) {
  size_t j = 0;
  for (const int64_t id : ids) {
    while (j < all.size() && all[j] != id) ++j;
    if (j == all.size()) return false;
    ++j;
  }
  return true;
}

void CheckRawFilter(ado::Recordset& rs, const Variant& filter) {
  const std::vector<int64_t> before = VisibleIds(rs);
  const std::string shown = filter.IsText() ? Printable(filter.text()) : filter.ToText();
  try {
    rs.SetFilter(filter);
  } catch (const DbError& error) {
    FUZZ_CHECK(error.kind() == DbError::Kind::kUsage, "'" + shown + "': " + error.what());
    FUZZ_CHECK(VisibleIds(rs) == before, "rejected '" + shown + "' changed the rows");
    return;
  }
  if (!filter.IsText()) {
    FUZZ_CHECK(filter.ToInteger() == 0, "the integer " + shown + " was accepted");
  }
  const std::vector<int64_t> ids = VisibleIds(rs);
  FUZZ_CHECK(InOrderSubset(ids, AllIds()), "'" + shown + "' shows " + Ids(ids));
  rs.SetFilter(filter);
  FUZZ_CHECK(VisibleIds(rs) == ids, "'" + shown + "' set twice shows other rows");
  rs.SetFilter(Variant(int32_t{0}));
  FUZZ_CHECK(VisibleIds(rs) == AllIds(), "0 after '" + shown + "' hides rows");
}

}  // namespace
}  // namespace fonwerk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace fonwerk::fuzz;
  const std::vector<std::string> fields = SplitFields(data, size, 3);
  const uint8_t flags = FlagByte(fields[0], 0);
  fonwerk::ado::Recordset& rs = Rows();
  rs.SetFilter(fonwerk::Variant(kPrevious[flags & 3]));
  if (FlagByte(fields[0], 1) != 0) {
    const int64_t number = (FlagByte(fields[0], 1) << 8 | FlagByte(fields[0], 2)) - 256;
    CheckRawFilter(rs, fonwerk::Variant(number));
  } else if ((flags & 4) != 0) {
    CheckRawFilter(rs, fonwerk::Variant(fields[2]));
  } else {
    CheckBuiltFilter(rs, flags, fields[1]);
  }
  return 0;
}
