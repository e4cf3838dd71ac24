// cCanonicalTelephone: harvesting one contact's numbers and addresses into TAPI.

#include <string_view>

#include "base/text.h"
#include "phone/canonical_telephone.h"
#include "phone/require.h"
#include "phone/stored_number.h"

namespace fonwerk {

namespace {

const std::string kTab = "\t";
const std::string kCrLf = "\r\n";

struct ContactType {
  std::string_view key;
  std::string_view identifier;
};

constexpr std::string_view kOtherType = "{A0D59022-A36F-4F39-B049-D71477532307}";
constexpr ContactType kContactTypes[] = {
    {"1", "{1FEB2033-7850-44A0-919C-75BCC50F99B8}"},
    {"2", "{074FBB74-EE19-44D5-9608-5B55D1F39DF4}"},
    {"3", "{C30AEB5A-85F8-4335-B321-598AAEC8F40A}"},
    {"4", "{53E57451-2D06-4927-B55A-2A25E5DCBA41}"},
    {"5", kOtherType},
    {"6", kOtherType},
    {"7", kOtherType},
    {"FAX", "{BC415F18-FB6F-4BAB-AF8F-8F4513302F96}"},
    {"EMAIL", "{C451E716-7025-4EE9-8579-E2D0C6E26888}"},
};

// The identifier of a contact type key (compared after upper-casing).
std::string_view ContactTypeIdentifier(std::string_view key) {
  for (const ContactType& type : kContactTypes) {
    if (text::EqualsNoCase(key, type.key)) return type.identifier;
  }
  return kOtherType;
}

// `out` becomes `first` and `second`, each stripped of outer blanks, joined.
void AssignJoinedTrimmed(std::string& out, std::string_view first, std::string_view second) {
  out.assign(text::TrimBlanks(first));
  out.append(text::TrimBlanks(second));
}

// Texts reused from contact to contact: a rebuild harvests a million
// contacts, and buffers that keep their capacity spare it as many allocations.
struct Scratch {
  std::string phones;
  std::string line;
  std::string number;
  std::string converted;  // a value that is not a text, as text
};

Scratch& ThreadScratch() {
  thread_local Scratch scratch;
  return scratch;
}

// The value as text without a copy where it is one; Null and Empty give "".
// A value of another type is converted into `converted`.
const std::string& TextOf(const Variant& value, std::string& converted) {
  if (value.IsText()) return value.text();
  converted.clear();
  if (!value.IsNull() && !value.IsEmpty()) converted = value.ToText();
  return converted;
}

}  // namespace

// The TAPI recordset of one contact, with the widths its text columns allow.
class TapiRows {
 public:
  TapiRows(com::RecordsetRef rs, com::IDal& dal)
      : rs_(std::move(rs)),
        dal_(dal),
        dsn_(Require(rs_).Fields("DSN")),
        ad_dsn_(rs_->Fields("AD_DSN")),
        nummer_(rs_->Fields("NUMMER")),
        bemerkung_(rs_->Fields("BEMERKUNG")),
        type_(rs_->Fields("contactTypeDsn")),
        nummer_size_(nummer_.DefinedSize()),
        bemerkung_size_(bemerkung_.DefinedSize()) {}

  // Adds a row; `remark` is only set for number rows. The values are copied
  // into the row, which reuses the buffers of rows stored before.
  void Add(const std::string& dsn, const Variant& ad_dsn, std::string_view nummer,
           const std::string* remark, std::string_view type_identifier) {
    rs_->AddNew();
    dsn_.SetText(dsn);
    ad_dsn_.SetValue(ad_dsn);
    nummer_.SetText(text::LeftCharsView(nummer, nummer_size_));
    if (remark != nullptr) bemerkung_.SetText(text::LeftCharsView(*remark, bemerkung_size_));
    type_.SetText(type_identifier);
    dal_.MdbNoNullFields(rs_);
  }

  com::RecordsetRef& recordset() { return rs_; }
  TapiWidths Widths() const { return {nummer_size_, bemerkung_size_}; }

 private:
  com::RecordsetRef rs_;
  com::IDal& dal_;
  ado::Field dsn_;
  ado::Field ad_dsn_;
  ado::Field nummer_;
  ado::Field bemerkung_;
  ado::Field type_;
  int32_t nummer_size_;
  int32_t bemerkung_size_;
};

Variant cCanonicalTelephone::GetContactTypeDsn(const std::string& strIdx) const {
  return Variant(ContactTypeIdentifier(strIdx));
}

std::string cCanonicalTelephone::JoinTrimmed(const std::string& strFirst,
                                             const std::string& strSecond) const {
  std::string joined;
  AssignJoinedTrimmed(joined, strFirst, strSecond);
  return joined;
}

// Calls `sink(nummer, remark, type)` for every row of the current contact
// of `contact`, in the order they are written; `remark` is null for e-mail
// rows. The one walk of the harvesting: SaveTapiNumbers writes each row as it
// comes (so that the component calls keep their order), HarvestTapiRows
// collects them.
template <class Sink>
void cCanonicalTelephone::HarvestInto(ado::Recordset& contact, Sink&& sink) {
  com::IUtil& util = Require(m_oUtil);
  // The contact's values are read in place: the contact recordset does not
  // move while its rows are harvested.
  Scratch& scratch = ThreadScratch();

  // Telephone lines, then the fax line as the last element of one CR LF list.
  std::string& phones = scratch.phones;
  phones.assign(TextOf(contact.Fields("TELEFON").Value(), scratch.converted));
  phones.append(kCrLf).append(kTab).append(
      TextOf(contact.Fields("FAX").Value(), scratch.converted));
  phones.append(kTab).append("Fax");

  const int32_t count = util.StrListCount(phones, kCrLf);
  const std::vector<std::string> lines = util.StrListItems(phones, kCrLf);
  std::string& line = scratch.line;
  std::string& number = scratch.number;
  for (int32_t position = 1; position <= count; ++position) {
    line.assign(text::TrimBlanks(static_cast<size_t>(position) <= lines.size()
                                     ? std::string_view(lines[position - 1])
                                     : ""));
    const std::string first = util.StrListNr(line, kTab, 1);
    AssignJoinedTrimmed(number, text::TrimBlanks(first), util.StrListNr(line, kTab, 2));
    // Numbers of the own country are written in national form.
    const std::string digits = StoredNumber(number, *this, util);
    const std::string remark = util.StrListNr(line, kTab, 3);
    if (digits.empty()) continue;

    const std::string_view type = position < count ? ContactTypeIdentifier(std::to_string(position))
                                                   : ContactTypeIdentifier("FAX");
    sink(std::string_view(digits), &remark, type);
  }

  const std::string_view email_type = ContactTypeIdentifier("EMAIL");
  const std::string& email = TextOf(contact.Fields("EMAIL").Value(), scratch.converted);
  if (!text::TrimBlanks(email).empty()) sink(std::string_view(email), nullptr, email_type);

  const std::string& further = TextOf(contact.Fields("WEITEMAIL").Value(), scratch.converted);
  if (!text::TrimBlanks(further).empty()) {
    const int32_t further_count = util.StrListCount(further, kCrLf);
    const std::vector<std::string> addresses = util.StrListItems(further, kCrLf);
    for (int32_t position = 1; position <= further_count; ++position) {
      if (static_cast<size_t>(position) > addresses.size()) break;
      const std::string& address = addresses[position - 1];
      if (address.empty()) continue;
      sink(std::string_view(address), nullptr, email_type);
    }
  }
}

void cCanonicalTelephone::HarvestTapiRows(ado::Recordset& contact, const TapiWidths& widths,
                                          std::vector<TapiRow>& rows) {
  rows.clear();
  HarvestInto(contact,
              [&](std::string_view nummer, const std::string* remark, std::string_view type) {
                TapiRow& row = rows.emplace_back();
                row.nummer.assign(text::LeftCharsView(nummer, widths.nummer));
                row.has_bemerkung = remark != nullptr;
                if (remark != nullptr)
                  row.bemerkung.assign(text::LeftCharsView(*remark, widths.bemerkung));
                row.type = type;
              });
}

TapiWidths cCanonicalTelephone::TapiColumnWidths() {
  com::IDal& dal = Require(m_oDal);
  TapiRows tapi(dal.OpenEmptyTable(m_strConnect, "TAPI", 4), dal);
  const TapiWidths widths = tapi.Widths();
  tapi.recordset()->Close();
  return widths;
}

void cCanonicalTelephone::WriteTapiRows(const Variant& adDsn, const std::vector<TapiRow>& rows) {
  com::IDal& dal = Require(m_oDal);
  TapiRows tapi(dal.OpenEmptyTable(m_strConnect, "TAPI", 4), dal);
  StoreRows(tapi, adDsn, rows);
}

// Adds `rows` to `tapi`, each with a new key, and stores them in one piece.
void cCanonicalTelephone::StoreRows(TapiRows& tapi, const Variant& adDsn,
                                    const std::vector<TapiRow>& rows) {
  com::IUtil& util = Require(m_oUtil);
  for (const TapiRow& row : rows) {
    tapi.Add(util.NewGUID(), adDsn, row.nummer, row.has_bemerkung ? &row.bemerkung : nullptr,
             row.type);
  }
  Require(m_oDal).UpdateRecordSet(m_strConnect, tapi.recordset());
  if (tapi.recordset()) tapi.recordset()->Close();
}

void cCanonicalTelephone::SaveTapiNumbers(com::RecordsetRef& rsAd, bool bDelete, bool bWrite) {
  com::IUtil& util = Require(m_oUtil);
  com::IDal& dal = Require(m_oDal);

  if (bDelete) {
    const Variant valid = dal.MdbValidDy(rsAd);
    if (!valid.IsNull() && valid.ToBool()) {
      // The key is bound as the text SqlUid would quote; a Null key matches no row.
      const Variant& key = Require(rsAd).Fields("DSN").Value();
      dal.ExecQuery(m_strConnect, "DELETE FROM TAPI Where AD_DSN=?",
                    {key.IsNull() ? Variant::Null() : Variant(util.k(key))});
    }
  }
  if (!bWrite) return;

  TapiRows tapi(dal.OpenEmptyTable(m_strConnect, "TAPI", 4), dal);
  ado::Recordset& contact = Require(rsAd);
  const Variant& ad_dsn = contact.Fields("DSN").Value();
  HarvestInto(contact,
              [&](std::string_view nummer, const std::string* remark, std::string_view type) {
                tapi.Add(util.NewGUID(), ad_dsn, nummer, remark, type);
              });
  dal.UpdateRecordSet(m_strConnect, tapi.recordset());
  if (tapi.recordset()) tapi.recordset()->Close();
}

}  // namespace fonwerk
