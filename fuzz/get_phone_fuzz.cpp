// Fuzz target: GetPhone over random telephone fields, names and keys, on a
// real SQLite database, inside a transaction that is rolled back after each input.
//
// Input: <flags> 0x1F <DSN 1> 0x1F <IDX_NAME 1> 0x1F <IDX_NAME2 1> 0x1F
//        <IDX_FIRMA 1> 0x1F <TELEFON 1> 0x1F <DSN 2> 0x1F <TELEFON 2> 0x1F <extra keys>
// Flag byte 0: bit 0 stores the second contact; bits 1, 2 and 3 ask for the
// key of contact 1, of contact 2 and the extra text; bits 4..7 give the row
// number on entry (-2..13). A field of one NUL byte is a Null column. Texts
// are cut to 2048 bytes.
// Properties:
//  - the table is empty or ends with CR LF; every line has five columns
//    (see CheckShape for the two exceptions the rules allow);
//  - the table is exactly the blocks of the matching contacts (in the order
//    the database gives them), each line built by the rule: key, name with
//    separators removed, company, remark and number trimmed;
//  - the row number never grows, and one of 1 or less never changes;
//  - the keys reach the database only as literals: nothing but the query runs.

#include <set>
#include <string>
#include <vector>

#include "base/errors.h"
#include "com/ado.h"
#include "fuzz/fuzz_support.h"

namespace fonwerk::fuzz {
namespace {

struct Contact {
  Variant dsn, name, name2, firma, telefon;
};

std::string Text(const Variant& value) { return value.IsNull() ? std::string() : value.ToText(); }

std::string RemoveLiterally(std::string text, const std::string& remove) {
  for (auto hit = text.find(remove); hit != std::string::npos; hit = text.find(remove)) {
    text.erase(hit, remove.size());
  }
  return text;
}

std::string Stripped(const std::string& text) {
  return RemoveLiterally(RemoveLiterally(RemoveLiterally(text, "\r\n"), "\t"), "\r");
}

// The lines the rule gives for one contact.
std::string ExpectedBlock(const Contact& contact) {
  std::string name = Stripped(Text(contact.name));
  const std::string name2 = Stripped(Text(contact.name2));
  if (!name2.empty()) name += "/" + name2;
  const std::string head =
      Text(contact.dsn) + "\t" + name + "\t" + Stripped(Text(contact.firma)) + "\t";
  std::string block;
  for (const std::string& item : Split(Text(contact.telefon), "\r\n")) {
    const std::vector<std::string> parts = Split(Trimmed(item), "\t");
    auto part = [&](size_t i) { return i < parts.size() ? parts[i] : std::string(); };
    const std::string number = Trimmed(Trimmed(part(0))) + Trimmed(part(1));
    if (!number.empty()) block += head + Trimmed(part(2)) + "\t" + number + "\r\n";
  }
  return block;
}

bool Store(ado::Connection& tx, const Contact& contact) {
  ado::Recordset rs;
  rs.OpenEmptyTable("AD", tx);
  rs.AddNew();
  rs.Fields("DSN").SetValue(contact.dsn);
  rs.Fields("IDX_NAME").SetValue(contact.name);
  rs.Fields("IDX_NAME2").SetValue(contact.name2);
  rs.Fields("IDX_FIRMA").SetValue(contact.firma);
  rs.Fields("TELEFON").SetValue(contact.telefon);
  try {
    tx.session().StoreRows(rs.TakeAddedRows(), "fuzz");
    return true;
  } catch (const DbError&) {
    return false;  // a key the first contact already has
  }
}

int64_t CountRows(ado::Connection& tx, const std::string& table) {
  auto cursor = tx.session().Query("SELECT count(*) FROM " + table, false);
  std::vector<Variant> row;
  cursor->Next(row);
  return row[0].ToInteger();
}

// True when joining the two parts of a telephone line forms a CR LF: part 1
// ends with CR and part 2 begins with LF ("089\r" TAB "\n123"). The number
// column then holds the table's own line separator.
bool JoinFormsLineBreak(const Variant& telefon) {
  for (const std::string& item : Split(Text(telefon), "\r\n")) {
    const std::vector<std::string> parts = Split(Trimmed(item), "\t");
    if (parts.size() < 2) continue;
    const std::string first = Trimmed(parts[0]);
    const std::string second = Trimmed(parts[1]);
    if (!first.empty() && first.back() == '\r' && !second.empty() && second.front() == '\n') {
      return true;
    }
  }
  return false;
}

// Every line has five columns, unless a key holds TAB, CR or LF (the key
// column passes the key on unchanged) or a number is joined into a CR LF.
//
// FINDING (reported): both exceptions follow the rules as written (the key is
// the DSN value as text; the number is part 1 and part 2 joined, trimmed of
// blanks only), so a caller that splits the table at CR LF and TAB gets a
// broken line for such a contact. Whether GetPhone should remove CR and LF
// from the number and key is for the owner of lookup/phone_list.cpp to decide;
// until then the check skips these inputs.
void CheckShape(const std::string& table, const std::set<std::string>& keys, bool line_break) {
  if (table.empty()) return;
  FUZZ_CHECK(table.ends_with("\r\n"), "the table does not end with CR LF");
  for (const std::string& key : keys) {
    if (key.find_first_of("\t\r\n") != std::string::npos) return;
  }
  if (line_break) return;
  std::vector<std::string> lines = Split(table, "\r\n");
  lines.pop_back();  // after the last CR LF
  for (const std::string& line : lines) {
    const std::vector<std::string> columns = Split(line, "\t");
    FUZZ_CHECK(columns.size() == 5, "a line with " + std::to_string(columns.size()) +
                                        " columns: '" + Printable(line) + "'");
    FUZZ_CHECK(keys.count(columns[0]) != 0, "a line of another key: '" + Printable(line) + "'");
    FUZZ_CHECK(!columns[4].empty() && Trimmed(columns[4]) == columns[4] &&
                   Trimmed(columns[3]) == columns[3],
               "number or remark not trimmed: '" + Printable(line) + "'");
  }
}

void GetPhone(const std::vector<std::string>& raw) {
  std::vector<std::string> fields = raw;
  for (std::string& field : fields) field = field.substr(0, 2048);
  const uint8_t flags = FlagByte(fields[0], 0);
  const Contact first{FieldValue(fields[1]), FieldValue(fields[2]), FieldValue(fields[3]),
                      FieldValue(fields[4]), FieldValue(fields[5])};
  const Contact second{FieldValue(fields[6]), Variant("Zweiter"), Variant::Null(),
                       Variant("Firma; DROP TABLE AD --"), FieldValue(fields[7])};

  ScratchInstall& db = ScratchInstall::Normal();
  ado::Connection tx;
  tx.SetConnectionString(db.connect());
  tx.Open();
  tx.BeginTrans();
  std::vector<const Contact*> stored{&first};
  Store(tx, first);
  if ((flags & 1) != 0 && Store(tx, second)) stored.push_back(&second);

  std::vector<std::string> asked;
  if ((flags & 2) != 0) asked.push_back(Text(first.dsn));
  if ((flags & 4) != 0) asked.push_back(Text(second.dsn));
  if ((flags & 8) != 0) asked.push_back(fields[8]);
  std::string keys_text;
  for (size_t i = 0; i < asked.size(); ++i) keys_text += (i > 0 ? "|" : "") + asked[i];
  const std::vector<std::string> items = Split(keys_text, "|");
  const std::set<std::string> keys(items.begin(), items.end());
  bool nul_key = false;
  for (const std::string& key : keys) nul_key = nul_key || key.find('\0') != std::string::npos;

  const int32_t entry = static_cast<int32_t>(flags >> 4) - 2;
  int32_t row = entry;
  std::string table;
  try {
    table = db.phone().GetPhone(keys_text, row);
  } catch (const Error& error) {
    FUZZ_CHECK(nul_key && error.number() == errnum::kInvalidProcedureCall,
               std::string("GetPhone failed: ") + error.what() + " for keys '" +
                   Printable(keys_text) + "'");
    return;
  }

  CheckShape(table, keys,
             JoinFormsLineBreak(first.telefon) || JoinFormsLineBreak(second.telefon));
  std::vector<std::string> blocks;
  for (const Contact* contact : stored) {
    if (!contact->dsn.IsNull() && !keys_text.empty() && keys.count(Text(contact->dsn)) != 0) {
      blocks.push_back(ExpectedBlock(*contact));
    }
  }
  const bool matches = (blocks.empty() && table.empty()) ||
                       (blocks.size() == 1 && table == blocks[0]) ||
                       (blocks.size() == 2 &&
                        (table == blocks[0] + blocks[1] || table == blocks[1] + blocks[0]));
  FUZZ_CHECK(matches, "table '" + Printable(table) + "' for keys '" + Printable(keys_text) + "'");
  FUZZ_CHECK(entry > 1 ? row >= 0 && row <= entry : row == entry,
             "row number " + std::to_string(entry) + " became " + std::to_string(row));
  FUZZ_CHECK(CountRows(tx, "AD") == static_cast<int64_t>(stored.size()) &&
                 CountRows(tx, "TAPI") == 0,
             "the tables changed");
}

}  // namespace
}  // namespace fonwerk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fonwerk::fuzz::GetPhone(fonwerk::fuzz::SplitFields(data, size, 9));
  return 0;
}
