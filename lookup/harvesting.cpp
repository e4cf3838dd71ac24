// cCanonicalTelephone: harvesting one contact's numbers and addresses into TAPI.

#include <string_view>

#include "canonical/canonical_telephone.h"
#include "canonical/require.h"
#include "canonical/stored_number.h"
#include "canonical/text_rules.h"

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

  // Adds a row; `remark` is only set for number rows.
  void Add(std::string dsn, const Variant& ad_dsn, std::string_view nummer,
           const std::string* remark, std::string_view type_identifier) {
    rs_->AddNew();
    dsn_.SetValue(Variant(std::move(dsn)));
    ad_dsn_.SetValue(ad_dsn);
    nummer_.SetValue(Variant(text::LeftChars(nummer, nummer_size_)));
    if (remark != nullptr) bemerkung_.SetValue(Variant(text::LeftChars(*remark, bemerkung_size_)));
    type_.SetValue(Variant(type_identifier));
    dal_.MdbNoNullFields(rs_);
  }

  com::RecordsetRef& recordset() { return rs_; }

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

std::string ValueText(const Variant& value) {
  return value.IsNull() || value.IsEmpty() ? std::string() : value.ToText();
}

}  // namespace

Variant cCanonicalTelephone::GetContactTypeDsn(const std::string& strIdx) const {
  const std::string key = text::UpperAscii(strIdx);
  for (const ContactType& type : kContactTypes) {
    if (key == type.key) return Variant(type.identifier);
  }
  return Variant(kOtherType);
}

std::string cCanonicalTelephone::JoinTrimmed(const std::string& strFirst,
                                             const std::string& strSecond) const {
  std::string joined(text::TrimBlanks(strFirst));
  joined.append(text::TrimBlanks(strSecond));
  return joined;
}

void cCanonicalTelephone::SaveTapiNumbers(com::RecordsetRef& rsAd, bool bDelete, bool bWrite) {
  com::IUtil& util = Require(m_oUtil);
  com::IDal& dal = Require(m_oDal);

  if (bDelete) {
    const Variant valid = dal.MdbValidDy(rsAd);
    if (!valid.IsNull() && valid.ToBool()) {
      dal.ExecQuery(m_strConnect, "DELETE FROM TAPI Where AD_DSN=" +
                                      util.SqlUid(Require(rsAd).Fields("DSN").Value()));
    }
  }
  if (!bWrite) return;

  TapiRows tapi(dal.OpenEmptyTable(m_strConnect, "TAPI", 4), dal);
  ado::Recordset& contact = Require(rsAd);
  const Variant ad_dsn = contact.Fields("DSN").Value();

  // Telephone lines, then the fax line as the last element of one CR LF list.
  std::string phones = ValueText(contact.Fields("TELEFON").Value());
  phones.append(kCrLf).append(kTab).append(ValueText(contact.Fields("FAX").Value()));
  phones.append(kTab).append("Fax");

  const int32_t count = util.StrListCount(phones, kCrLf);
  const std::vector<std::string> lines = util.StrListItems(phones, kCrLf);
  for (int32_t position = 1; position <= count; ++position) {
    const std::string line(
        text::TrimBlanks(static_cast<size_t>(position) <= lines.size() ? lines[position - 1] : ""));
    const std::string first(text::TrimBlanks(util.StrListNr(line, kTab, 1)));
    // Numbers of the own country are written in national form.
    const std::string number =
        StoredNumber(JoinTrimmed(first, util.StrListNr(line, kTab, 2)), *this, util);
    const std::string remark = util.StrListNr(line, kTab, 3);
    if (number.empty()) continue;

    const std::string type_key = position < count ? std::to_string(position) : std::string("FAX");
    tapi.Add(util.NewGUID(), ad_dsn, number, &remark, GetContactTypeDsn(type_key).text());
  }

  const std::string email_type = GetContactTypeDsn("EMAIL").text();
  const std::string email = ValueText(contact.Fields("EMAIL").Value());
  if (!text::TrimBlanks(email).empty()) {
    tapi.Add(util.NewGUID(), ad_dsn, email, nullptr, email_type);
  }

  const std::string further = ValueText(contact.Fields("WEITEMAIL").Value());
  if (!text::TrimBlanks(further).empty()) {
    const int32_t further_count = util.StrListCount(further, kCrLf);
    const std::vector<std::string> addresses = util.StrListItems(further, kCrLf);
    for (int32_t position = 1; position <= further_count; ++position) {
      if (static_cast<size_t>(position) > addresses.size()) break;
      const std::string& address = addresses[position - 1];
      if (address.empty()) continue;
      tapi.Add(util.NewGUID(), ad_dsn, address, nullptr, email_type);
    }
  }

  dal.UpdateRecordSet(m_strConnect, tapi.recordset());
  if (tapi.recordset()) tapi.recordset()->Close();
}

}  // namespace fonwerk
