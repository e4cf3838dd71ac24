// Fuzz target: harvesting one random contact row into TAPI rows with
// SaveTapiNumbers, on a real SQLite database, inside a transaction that is
// rolled back after each input.
//
// Input: <flags> 0x1F <Plus> 0x1F <code> 0x1F <VAZ> 0x1F <DSN> 0x1F <TELEFON>
//        0x1F <FAX> 0x1F <EMAIL> 0x1F <WEITEMAIL>
// Flag bits: 0 Suspress; 1 the default configuration (Plus 00, code 49, VAZ 0)
// instead of the three fields (cut to 4 bytes); 2 the installation with the
// narrow TAPI; 3 delete the contact's rows first (bDelete). A field that is one
// NUL byte is a Null column. Texts are cut to 4096 bytes.
// Properties:
//  - every row belongs to the contact, has a new 38-character identifier and
//    one of the contact type identifiers;
//  - a number row holds digits only and is not empty; no NUMMER or BEMERKUNG
//    is longer (in characters) than its column;
//  - number rows come in line order (types 1..4, further lines, fax last);
//  - e-mail rows are exactly the address and the further addresses, each
//    without blanks and line breaks around it, the empty ones left out, cut
//    to the column, in this order;
//  - with the default configuration, the numbers are the ones the
//    normalisation rule gives (an oracle written from the rule, including the
//    dropped "(0)" of "+49 (0)89" and the national form of every number whose
//    digits begin with 0049);
//  - the delete removes the contact's old rows and nothing else, whatever
//    the key holds.

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "com/ado.h"
#include "com/util.h"
#include "fuzz/fuzz_support.h"

namespace fonwerk::fuzz {
namespace {

constexpr std::array<const char*, 6> kPhoneTypes = {
    "{1FEB2033-7850-44A0-919C-75BCC50F99B8}", "{074FBB74-EE19-44D5-9608-5B55D1F39DF4}",
    "{C30AEB5A-85F8-4335-B321-598AAEC8F40A}", "{53E57451-2D06-4927-B55A-2A25E5DCBA41}",
    "{A0D59022-A36F-4F39-B049-D71477532307}", "{BC415F18-FB6F-4BAB-AF8F-8F4513302F96}"};
constexpr const char* kEmailType = "{C451E716-7025-4EE9-8579-E2D0C6E26888}";
constexpr const char* kCanaryKey = "canary' OR ''='";

struct Contact {
  Variant dsn, telefon, fax, email, weitemail;
};

struct TapiRow {
  std::string dsn, ad_dsn, nummer, bemerkung, type;
  bool bemerkung_null = false;
};

std::string Text(const Variant& value) { return value.IsNull() ? std::string() : value.ToText(); }

// Characters as SQLite and the cut count them: bytes that do not continue a UTF-8 sequence.
int32_t Chars(const std::string& text) {
  int32_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return count;
}

std::string LeftChars(const std::string& text, int32_t width) {
  int32_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && count++ == width) {
      return text.substr(0, i);
    }
  }
  return text;
}

bool IsIdentifier(const std::string& text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  for (size_t i = 1; i < 37; ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    const char c = text[i];
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

void StoreRow(ado::Connection& tx, const char* table,
              const std::vector<std::pair<const char*, Variant>>& values) {
  ado::Recordset rs;
  rs.OpenEmptyTable(table, tx);
  rs.AddNew();
  for (const auto& [column, value] : values) rs.Fields(column).SetValue(value);
  tx.session().StoreRows(rs.TakeAddedRows(), "fuzz");
}

std::vector<TapiRow> ReadTapi(ado::Connection& tx) {
  auto cursor = tx.session().Query(
      "SELECT DSN, AD_DSN, NUMMER, BEMERKUNG, contactTypeDsn FROM TAPI ORDER BY rowid", false);
  std::vector<TapiRow> rows;
  std::vector<Variant> values;
  while (cursor->Next(values)) {
    rows.push_back({Text(values[0]), Text(values[1]), Text(values[2]), Text(values[3]),
                    Text(values[4]), values[3].IsNull()});
  }
  return rows;
}

// "00", a country code of one to three digits and blanks, then "(0)": the
// text without that "(0)" (the trunk prefix written in brackets).
std::string WithoutBracketedZero(const std::string& text) {
  if (!text.starts_with("00")) return text;
  size_t pos = 2;
  while (pos < text.size() && pos < 5 && text[pos] >= '0' && text[pos] <= '9') ++pos;
  if (pos == 2 || (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')) return text;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  if (text.compare(pos, 3, "(0)") != 0) return text;
  return text.substr(0, pos) + text.substr(pos + 3);
}

// With Suspress: while the first four digits of `text` are 0049, the text
// becomes "0" and what follows them, less a "(0)" behind separators.
std::string NationalForm(std::string text) {
  while (true) {
    std::vector<size_t> digit_at;
    for (size_t i = 0; i < text.size() && digit_at.size() < 4; ++i) {
      if (text[i] >= '0' && text[i] <= '9') digit_at.push_back(i);
    }
    if (digit_at.size() < 4) return text;
    std::string first_four;
    for (const size_t i : digit_at) first_four += text[i];
    if (first_four != "0049") return text;
    std::string rest = text.substr(digit_at.back() + 1);
    size_t next = 0;
    const std::string_view separators = " \t)-./";
    while (next < rest.size() && separators.find(rest[next]) != std::string::npos) ++next;
    if (rest.compare(next, 3, "(0)") == 0) rest.erase(next, 3);
    text = "0" + rest;
  }
}

// An address without blanks, tabs and line breaks around it.
std::string AddressTrimmed(const std::string& address) {
  const size_t first = address.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return address.substr(first, address.find_last_not_of(" \t\r\n") - first + 1);
}

// The numbers the rule gives with Plus 00, code 49 and VAZ 0, in list order.
std::vector<std::string> ExpectedDefaultNumbers(const Contact& contact, bool suspress,
                                                int32_t width) {
  const std::string list = Text(contact.telefon) + "\r\n\t" + Text(contact.fax) + "\tFax";
  std::vector<std::string> numbers;
  for (const std::string& item : Split(list, "\r\n")) {
    const std::vector<std::string> parts = Split(Trimmed(item), "\t");
    std::string number = Trimmed(parts[0]) + Trimmed(parts.size() > 1 ? parts[1] : "");
    std::string plus_replaced;
    for (const char c : number) plus_replaced += c == '+' ? std::string("00") : std::string(1, c);
    plus_replaced = WithoutBracketedZero(plus_replaced);
    if (suspress) plus_replaced = NationalForm(plus_replaced);
    std::string digits;
    for (const char c : plus_replaced) {
      if (c >= '0' && c <= '9') digits += c;
    }
    if (!digits.empty()) numbers.push_back(LeftChars(digits, width));
  }
  return numbers;
}

// Position class of a phone type: 0..3 for lines 1..4, 4 for later lines, 5 for the fax.
int TypeClass(const std::string& type) {
  for (size_t i = 0; i < kPhoneTypes.size(); ++i) {
    if (type == kPhoneTypes[i]) return static_cast<int>(i);
  }
  return -1;
}

void CheckRows(const std::vector<TapiRow>& rows, const Contact& contact, bool narrow,
               bool defaults, bool suspress) {
  const int32_t nummer_width = narrow ? kNarrowNummer : 255;
  const int32_t bemerkung_width = narrow ? kNarrowBemerkung : 255;
  const std::string key = Text(contact.dsn);

  std::vector<std::string> numbers;
  std::vector<std::string> addresses;
  int last_class = -1;
  for (const TapiRow& row : rows) {
    const std::string where = "row NUMMER '" + Printable(row.nummer) + "'";
    FUZZ_CHECK(row.ad_dsn == key, where + " has AD_DSN '" + Printable(row.ad_dsn) + "'");
    FUZZ_CHECK(IsIdentifier(row.dsn), where + " has DSN '" + Printable(row.dsn) + "'");
    FUZZ_CHECK(Chars(row.nummer) <= nummer_width, where + " is wider than its column");
    FUZZ_CHECK(Chars(row.bemerkung) <= bemerkung_width,
               where + " has BEMERKUNG '" + Printable(row.bemerkung) + "' wider than its column");
    if (row.type == kEmailType) {
      FUZZ_CHECK(row.bemerkung_null, where + ": an e-mail row with a remark");
      addresses.push_back(row.nummer);
      continue;
    }
    const int type_class = TypeClass(row.type);
    FUZZ_CHECK(type_class >= 0, where + " has type " + Printable(row.type));
    FUZZ_CHECK(addresses.empty(), where + ": a number row after an e-mail row");
    FUZZ_CHECK(type_class > last_class || (type_class == 4 && last_class == 4),
               where + ": types out of line order");
    last_class = type_class;
    FUZZ_CHECK(!row.nummer.empty() &&
                   row.nummer.find_first_not_of("0123456789") == std::string::npos,
               where + ": not digits only");
    if (type_class == 5 && Text(contact.fax).find_first_of("\t\r\n") == std::string::npos) {
      FUZZ_CHECK(row.bemerkung == LeftChars("Fax", bemerkung_width), where + ": fax remark");
    }
    numbers.push_back(row.nummer);
  }

  std::vector<std::string> expected_addresses;
  const std::string email = AddressTrimmed(Text(contact.email));
  if (!email.empty()) expected_addresses.push_back(LeftChars(email, nummer_width));
  const std::string further = Text(contact.weitemail);
  if (!Trimmed(further).empty()) {
    for (const std::string& item : Split(further, "\r\n")) {
      const std::string address = AddressTrimmed(item);
      if (!address.empty()) expected_addresses.push_back(LeftChars(address, nummer_width));
    }
  }
  FUZZ_CHECK(addresses == expected_addresses,
             std::to_string(addresses.size()) + " e-mail rows, expected " +
                 std::to_string(expected_addresses.size()));
  if (defaults) {
    const std::vector<std::string> expected = ExpectedDefaultNumbers(contact, suspress, nummer_width);
    FUZZ_CHECK(numbers == expected, std::to_string(numbers.size()) + " number rows, expected " +
                                        std::to_string(expected.size()) + " (TELEFON '" +
                                        Printable(Text(contact.telefon)) + "')");
  }
}

void Harvest(const std::vector<std::string>& fields) {
  const uint8_t flags = FlagByte(fields[0], 0);
  const bool suspress = (flags & 1) != 0;
  const bool defaults = (flags & 2) != 0;
  const bool narrow = (flags & 4) != 0;
  const bool delete_first = (flags & 8) != 0;
  ScratchInstall& db = narrow ? ScratchInstall::Narrow() : ScratchInstall::Normal();
  cCanonicalTelephone& phone = db.phone();
  phone.Suspress = suspress;
  phone.Plus = defaults ? "00" : fields[1].substr(0, 4);
  phone.code = defaults ? "49" : fields[2].substr(0, 4);
  phone.VAZ = defaults ? "0" : fields[3].substr(0, 4);
  const Contact contact{FieldValue(fields[4].substr(0, 4096)), FieldValue(fields[5].substr(0, 4096)),
                        FieldValue(fields[6].substr(0, 4096)), FieldValue(fields[7].substr(0, 4096)),
                        FieldValue(fields[8].substr(0, 4096))};

  ado::Connection tx;
  tx.SetConnectionString(db.connect());
  tx.Open();
  tx.BeginTrans();
  StoreRow(tx, "AD", {{"DSN", contact.dsn},
                      {"TELEFON", contact.telefon},
                      {"FAX", contact.fax},
                      {"EMAIL", contact.email},
                      {"WEITEMAIL", contact.weitemail}});
  StoreRow(tx, "TAPI", {{"DSN", "{CANARY}"}, {"AD_DSN", kCanaryKey}, {"NUMMER", "1"}});
  const bool key_has_nul = Text(contact.dsn).find('\0') != std::string::npos;
  const bool old_row = delete_first && !contact.dsn.IsNull();
  if (old_row) StoreRow(tx, "TAPI", {{"DSN", "{OLD}"}, {"AD_DSN", contact.dsn}, {"NUMMER", "2"}});

  auto rs = std::make_shared<ado::Recordset>();
  rs->Open("Select * From AD", tx);
  try {
    phone.SaveTapiNumbers(rs, delete_first, true);
  } catch (const Error& error) {
    // The only refusal allowed: a key that no SQL literal can carry.
    FUZZ_CHECK(delete_first && key_has_nul && error.number() == errnum::kInvalidProcedureCall,
               std::string("SaveTapiNumbers failed: ") + error.what());
    return;
  }
  FUZZ_CHECK(rs->IsOpen() && !rs->Eof(), "the contact recordset moved or closed");
  rs->Close();

  std::vector<TapiRow> rows = ReadTapi(tx);
  // The canary row belongs to another contact, unless the input's key is the
  // canary's own: then the delete must take it too.
  const bool canary_is_contacts = !contact.dsn.IsNull() && Text(contact.dsn) == kCanaryKey;
  const bool canary_kept = !rows.empty() && rows.front().dsn == "{CANARY}";
  FUZZ_CHECK(canary_kept == !(canary_is_contacts && delete_first),
             canary_kept ? "the contact's canary row was kept" : "another contact's row was deleted");
  if (canary_kept) rows.erase(rows.begin());
  if (old_row) {
    FUZZ_CHECK(rows.empty() || rows.front().dsn != "{OLD}", "the contact's old row was kept");
  }
  CheckRows(rows, contact, narrow, defaults, suspress);
}

}  // namespace
}  // namespace fonwerk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fonwerk::fuzz::Harvest(fonwerk::fuzz::SplitFields(data, size, 9));
  return 0;
}
