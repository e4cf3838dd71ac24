#pragma once
// cCanonicalTelephone: the canonical telephone number service and the
// operations on the phone lookup table TAPI.
//
// Call Init (or CheckInit) first: every operation that reaches a component
// object, the connection string or the country list needs it. The five public
// data members may be read and changed directly; SetCanonicalConfiguration
// stores the changeable ones. One thread; nothing is locked.
//
// Sources (all in phone/): configuration.cpp (Init, CheckInit,
// SetCanonicalConfiguration), formatting.cpp (dial and display forms),
// harvesting.cpp (SaveTapiNumbers, GetContactTypeDsn, JoinTrimmed),
// rebuild.cpp (FonwerkTable), phone_list.cpp (GetPhone and its helpers),
// sql_fragments.cpp (the search conditions).

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/variant.h"
#include "com/components.h"
#include "platform/log_sink.h"

namespace fonwerk {

class TapiRows;

// One TAPI row as the harvesting derives it from a contact, before it gets a
// key of its own. Texts are cut to the widths of the TAPI columns already.
struct TapiRow {
  std::string nummer;
  std::string bemerkung;       // number rows only
  bool has_bemerkung = false;  // e-mail rows leave BEMERKUNG to the database's default
  std::string_view type;       // contactTypeDsn, one of the harvesting's static identifiers
};

// Declared widths of TAPI.NUMMER and TAPI.BEMERKUNG; -1 where a column has none.
struct TapiWidths {
  int32_t nummer = -1;
  int32_t bemerkung = -1;
};

class cCanonicalTelephone {
 public:
  // --- public data ---
  bool Enabled = false;   // setting "Active"; stored and loaded, read by nothing else here
  std::string Plus;       // international access prefix, setting "Plus" (default "00")
  std::string code;       // own country's dialling code, from the country list (fallback "49")
  std::string VAZ;        // trunk prefix, setting "VAZ" (default "0")
  bool Suspress = false;  // setting "Suspress" (default True)

  // --- configuration ---
  // Where Init and FonwerkTable write their run-log lines. Without a sink
  // (the default) the lines go nowhere.
  void SetRunLog(platform::LogSink sink) { m_oRunLog = std::move(sink); }
  // Runs Init when no connection string is held yet; otherwise does nothing.
  void CheckInit(const std::string& strConnect);
  // Loads the configuration; never lets a failure out: a failing step is
  // abandoned and the next one runs. Writes five lines to the run log.
  void Init(const std::string& strConnect);
  // Stores Enabled, Plus, VAZ, Suspress in section "Canonical_Phone"; a failing
  // write is abandoned and the others are still made.
  void SetCanonicalConfiguration();

  // --- formatting ---
  // Dialling form, digits only; rewrites `strNumber` with it. Never throws.
  std::string GetCanonicalDialNumer(std::string& strNumber);
  // Display form "<area>\t<subscriber>"; `strValue` is left unchanged. Throws on failure.
  std::string GetCanonicalTelefonFormat(std::string& strValue);
  // Display form of an area part; rewrites `strPrefix` with it. Throws on failure.
  std::string GetCanonicalPrefixFormat(std::string& strPrefix);

  // --- the lookup table ---
  // Harvests the current row of `rsAd` into TAPI: optionally deletes the
  // contact's rows first, then writes them. Throws on failure (nothing caught).
  void SaveTapiNumbers(com::RecordsetRef& rsAd, bool bDelete, bool bWrite);
  // The rows SaveTapiNumbers writes for the current row of `rsAd` (which must
  // have the columns DSN, TELEFON, FAX, EMAIL and WEITEMAIL), in the order it
  // writes them, into `rows` (cleared first). Writes nothing. Throws on failure.
  void HarvestTapiRows(ado::Recordset& rsAd, const TapiWidths& widths, std::vector<TapiRow>& rows);
  // Writes `rows` for the contact `adDsn` as SaveTapiNumbers writes them, each
  // with a new key, as one store (tagged with the contact's key). Throws on failure.
  void WriteTapiRows(const Variant& adDsn, const std::vector<TapiRow>& rows);
  // The widths TAPI's columns give the harvested texts.
  TapiWidths TapiColumnWidths();
  // The telephone entries of the contacts `sDSN` ("|"-separated keys) as a
  // table of lines "key\tname\tcompany\tremark\tnumber\r\n". `lngRowNr`, when
  // given, is translated from a line position to the position in the result.
  std::string GetPhone(const std::string& sDSN, int32_t* lngRowNr = nullptr);
  std::string GetPhone(const std::string& sDSN, int32_t& lngRowNr) {
    return GetPhone(sDSN, &lngRowNr);
  }
  // " (TAPI.NUMMER Like '<text>%') " and " (TAPI.NUMMER Like '%<text>%') ".
  Variant sql_WhereLikePhoneNumber(const std::string& strPhoneNumber) const;
  Variant sql_WhereLikeEMail(const std::string& strEmail) const;
  // Rebuilds TAPI from AD. Reports its failures through MsgInfo and returns.
  void FonwerkTable();
  // The contact type identifier of a line position, "FAX" or "EMAIL".
  Variant GetContactTypeDsn(const std::string& strIdx) const;

  // Contacts whose rebuild failed in the last FonwerkTable, and whether any
  // step of it reported a failure at all.
  int32_t RebuildFailedContacts() const { return m_lngFailedContacts; }
  bool RebuildReportedFailures() const { return m_lngReportedFailures > 0; }
  // Whether the last FonwerkTable committed a new table (otherwise the old one stays).
  bool RebuildCommitted() const { return m_bRebuildCommitted; }

 private:
  friend class CanonicalTelephoneTestPeer;  // tests reach the private helpers and the list

  std::string JoinTrimmed(const std::string& strFirst, const std::string& strSecond) const;
  std::string StripSeparators(const std::string& strText) const;
  std::string RemoveString(const std::string& strText, const std::string& strRemove) const;
  void StoreRows(TapiRows& tapi, const Variant& adDsn, const std::vector<TapiRow>& rows);
  template <class Sink>
  void HarvestInto(ado::Recordset& contact, Sink&& sink);

  // Appends a line to the run log, if one was handed over. Throws when the
  // log cannot be written.
  void WriteLog(const std::string& strText) const {
    if (m_oRunLog) m_oRunLog(strText);
  }

  std::string m_strTab;
  std::string m_strCrLf;
  std::string m_strConnect;
  std::shared_ptr<com::IUtil> m_oUtil;
  std::shared_ptr<com::IDal> m_oDal;
  std::shared_ptr<com::IDbIni> m_oDbIni;
  com::RecordsetRef m_rsLand;
  platform::LogSink m_oRunLog;

  int32_t m_lngFailedContacts = 0;
  int32_t m_lngReportedFailures = 0;
  bool m_bRebuildCommitted = false;
};

}  // namespace fonwerk
