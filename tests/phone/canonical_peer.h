#pragma once
// Test access to the private parts of cCanonicalTelephone.

#include "phone/canonical_telephone.h"

namespace fonwerk {

class CanonicalTelephoneTestPeer {
 public:
  static com::RecordsetRef& CountryList(cCanonicalTelephone& c) { return c.m_rsLand; }
  static const std::string& Connect(const cCanonicalTelephone& c) { return c.m_strConnect; }
  static std::string JoinTrimmed(const cCanonicalTelephone& c, const std::string& a,
                                 const std::string& b) {
    return c.JoinTrimmed(a, b);
  }
  static std::string StripSeparators(const cCanonicalTelephone& c, const std::string& s) {
    return c.StripSeparators(s);
  }
  static std::string RemoveString(const cCanonicalTelephone& c, const std::string& s,
                                  const std::string& r) {
    return c.RemoveString(s, r);
  }
};

}  // namespace fonwerk
