// cCanonicalTelephone::GetPhone: the telephone entries of given contacts as
// one text table, read from AD, and the two text helpers it uses.

#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "phone/canonical_telephone.h"
#include "phone/require.h"

namespace fonwerk {
namespace {

// The prefix function of `pattern`: for each length q, the length of the
// longest proper prefix that is also a suffix of its first q characters.
std::vector<std::size_t> PrefixFunction(std::string_view pattern) {
  std::vector<std::size_t> fail(pattern.size(), 0);
  std::size_t q = 0;
  for (std::size_t i = 1; i < pattern.size(); ++i) {
    while (q > 0 && pattern[i] != pattern[q]) q = fail[q - 1];
    if (pattern[i] == pattern[q]) ++q;
    fail[i] = q;
  }
  return fail;
}

std::string Trimmed(const std::string& text) { return std::string(text::TrimBlanks(text)); }

// Removing the leftmost occurrence and searching again from the start gives
// the same text as one pass that appends each character to the output and
// drops the pattern whenever the output ends with it: the output never holds
// an occurrence, so the next occurrence of (output + rest of input) is the one
// that ends first, which for a pattern of fixed length is also the leftmost.
// Beside each output character the pass keeps the matcher state reached after
// it, so dropping characters restores the state in constant time.
std::string RemoveEveryOccurrence(std::string_view text, std::string_view remove) {
  if (remove.empty()) return std::string(text);
  const std::vector<std::size_t> fail = PrefixFunction(remove);
  std::string out;
  out.reserve(text.size());
  std::vector<std::size_t> state;  // state[i]: matched length after out[0..i)
  state.reserve(text.size() + 1);
  state.push_back(0);
  for (const char c : text) {
    std::size_t q = state.back();
    while (q > 0 && remove[q] != c) q = fail[q - 1];
    if (remove[q] == c) ++q;
    out.push_back(c);
    state.push_back(q);
    if (q == remove.size()) {
      out.resize(out.size() - remove.size());
      state.resize(state.size() - remove.size());
    }
  }
  return out;
}

}  // namespace

std::string cCanonicalTelephone::RemoveString(const std::string& strText,
                                              const std::string& strRemove) const {
  return RemoveEveryOccurrence(strText, strRemove);
}

// Removes the table's own separators from a name or company: CR LF, tab and a
// lone carriage return, in this order (so a lone line feed stays).
std::string cCanonicalTelephone::StripSeparators(const std::string& strText) const {
  const std::string strNoLines = RemoveString(strText, m_strCrLf);
  const std::string strNoTabs = RemoveString(strNoLines, m_strTab);
  return RemoveString(strNoTabs, "\r");
}

std::string cCanonicalTelephone::GetPhone(const std::string& sDSN, int32_t* lngRowNr) {
  int32_t lngOmitted = 0;
  int32_t& lngRow = lngRowNr != nullptr ? *lngRowNr : lngOmitted;
  const int32_t lngEntry = lngRow;
  com::IUtil& util = Require(m_oUtil);

  std::string strWhere;
  const int32_t lngKeys = util.StrListCount(sDSN, "|");
  for (int32_t i = 1; i <= lngKeys; ++i) {
    strWhere += "DSN=" + util.SqlUid(Variant(util.StrListNr(sDSN, "|", i))) + " OR ";
  }
  util.CutRight(strWhere, "OR");
  if (sDSN.empty() || strWhere.empty()) return {};

  com::RecordsetRef rs =
      Require(m_oDal).GetRecordset(m_strConnect, "Select * From AD Where " + strWhere);
  std::string strResult;
  while (!rs->Eof()) {
    std::string strName = StripSeparators(util.k(rs->Fields("IDX_NAME").Value()));
    // Not trimmed: a second name of blanks only still counts.
    const std::string strName2 = StripSeparators(util.k(rs->Fields("IDX_NAME2").Value()));
    if (!strName2.empty()) strName += "/" + strName2;
    const std::string strKey = rs->Fields("DSN").Value().ToText();
    const std::string strCompany = StripSeparators(util.k(rs->Fields("IDX_FIRMA").Value()));
    const std::string strHead = strKey + m_strTab + strName + m_strTab + strCompany + m_strTab;
    const std::string strPhones = util.k(rs->Fields("Telefon").Value());

    int32_t lngSeen = 0;
    int32_t lngWritten = 0;
    const int32_t lngLines = util.StrListCount(strPhones, m_strCrLf);
    const std::vector<std::string> lines = util.StrListItems(strPhones, m_strCrLf);
    for (int32_t i = 1; i <= lngLines; ++i) {
      const std::string strLine =
          static_cast<std::size_t>(i) <= lines.size() ? Trimmed(lines[i - 1]) : std::string();
      const std::string strFirst = Trimmed(util.StrListNr(strLine, m_strTab, 1));
      const std::string strNumber = JoinTrimmed(strFirst, util.StrListNr(strLine, m_strTab, 2));
      ++lngSeen;
      if (!strNumber.empty()) {
        strResult += strHead + Trimmed(util.StrListNr(strLine, m_strTab, 3)) + m_strTab +
                     strNumber + m_strCrLf;
        ++lngWritten;
      } else if (lngRow > 1 && lngEntry >= lngSeen) {
        // A line without a number at or before the entry position moves the
        // row number up by one.
        --lngRow;
      }
    }
    if (lngRow > 1 && lngRow > lngWritten) lngRow = lngWritten;
    rs->MoveNext();
  }
  rs->Close();
  return strResult;
}

}  // namespace fonwerk
