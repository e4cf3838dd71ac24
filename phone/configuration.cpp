// cCanonicalTelephone: loading and storing the canonical configuration.
//
// Init and SetCanonicalConfiguration never let a failure out: each step that
// fails is abandoned and the next one runs, so whatever the failed step would
// have set keeps its earlier value.

#include <exception>

#include "com/component_factory.h"
#include "phone/canonical_telephone.h"
#include "phone/require.h"

namespace fonwerk {

namespace {

constexpr const char* kSection = "Canonical_Phone";
constexpr int16_t kIniFlags = 0;

constexpr const char* kCountryQuery =
    "SELECT RIGHT(postorte.alort,4) AS Id, postorte.oname AS Land, postorte.ozusatz AS LandKurz, "
    "postplz.vorwahl As Vorwahl "
    "FROM postplz "
    "INNER JOIN postorte ON postplz.alort = postorte.alort "
    "WHERE postorte.alort LIKE 'land%' "
    "ORDER BY postorte.oname ";

// Runs one step; a failure abandons the step and nothing else.
template <class Step>
void Attempt(Step&& step) {
  try {
    step();
  } catch (const std::exception&) {
    // Passed over on purpose: the operation goes on with its next step.
  }
}

template <class T>
std::shared_ptr<T> CreateComponent(const char* prog_id) {
  return com::ComponentFactory::Instance().Create<T>(prog_id);
}

}  // namespace

void cCanonicalTelephone::CheckInit(const std::string& strConnect) {
  if (m_strConnect.empty()) Init(strConnect);
}

void cCanonicalTelephone::Init(const std::string& strConnect) {
  m_strTab = "\t";
  m_strCrLf = "\r\n";
  m_strConnect = strConnect;

  Attempt([&] { m_oUtil = CreateComponent<com::IUtil>(com::progid::kUtil); });
  Attempt([&] { m_oDal = CreateComponent<com::IDal>(com::progid::kDal); });
  Attempt([&] { m_oDbIni = CreateComponent<com::IDbIni>(com::progid::kDbIni); });
  Attempt([&] { Require(m_oDbIni).Init(m_strConnect); });

  com::RecordsetRef rsStd;
  Attempt([&] { rsStd = Require(m_oDal).GetRecordset(m_strConnect, "SELECT * FROM STD"); });
  Attempt([&] { m_rsLand = Require(m_oDal).GetRecordset(m_strConnect, kCountryQuery); });
  Attempt([&] { Require(m_rsLand).SetFilter(Variant(int32_t{0})); });

  // The own country by its short code; an empty Land means Germany. The code
  // goes into the filter unchanged, so a code holding an apostrophe makes the
  // filter invalid and the list stays unfiltered.
  Attempt([&] {
    const Variant& land = Require(rsStd).Fields("Land").Value();
    const std::string short_code =
        Require(m_oUtil).k(land).empty() ? std::string("DEU") : rsStd->Fields("Land").Value().ToText();
    Require(m_rsLand).SetFilter(Variant("LandKurz='" + short_code + "'"));
  });

  // A failing end-of-list test goes on with the first branch, which reads the list too.
  bool found = true;
  Attempt([&] { found = !Require(m_rsLand).Eof(); });
  if (found) {
    Attempt([&] { code = Require(m_rsLand).Fields(3).Value().ToText(); });
  } else {
    code = "49";
  }
  Attempt([&] { Require(m_rsLand).SetFilter(Variant(int32_t{0})); });

  Attempt([&] { Enabled = Require(m_oDbIni).GetBool(kSection, "Active", false, kIniFlags).ToBool(); });
  Attempt([&] { Plus = Require(m_oDbIni).GetStr(kSection, "Plus", "00", kIniFlags).ToText(); });
  Attempt([&] { VAZ = Require(m_oDbIni).GetStr(kSection, "VAZ", "0", kIniFlags).ToText(); });
  Attempt([&] { Suspress = Require(m_oDbIni).GetBool(kSection, "Suspress", true, kIniFlags).ToBool(); });

  Attempt([&] { WriteLog("++++ INIT ++++"); });
  Attempt([&] { WriteLog("Code|" + code); });
  Attempt([&] { WriteLog("Plus|" + Plus); });
  Attempt([&] { WriteLog("VAZ|" + VAZ); });
  Attempt([&] { WriteLog(std::string("Suspress|") + (Suspress ? "True" : "False")); });
}

void cCanonicalTelephone::SetCanonicalConfiguration() {
  Attempt([&] { Require(m_oDbIni).WriteBool(kSection, "Active", Enabled, kIniFlags); });
  Attempt([&] { Require(m_oDbIni).WriteStr(kSection, "Plus", Plus, kIniFlags); });
  Attempt([&] { Require(m_oDbIni).WriteStr(kSection, "VAZ", VAZ, kIniFlags); });
  Attempt([&] { Require(m_oDbIni).WriteBool(kSection, "Suspress", Suspress, kIniFlags); });
}

}  // namespace fonwerk
