// Fuzz target: RemoveString and StripSeparators of cCanonicalTelephone.
//
// Input: <text to remove> 0x1F <text>. The text to remove is cut to 16 bytes,
// the text to 4096.
// Properties:
//  - the result of RemoveString never contains the removed text (non-empty);
//  - it equals the literal algorithm: remove the first occurrence, search
//    again from the start, until there is none (so an occurrence formed by a
//    removal goes too); an empty text to remove changes nothing;
//  - StripSeparators equals RemoveString with CR LF, then TAB, then CR, and
//    its result holds neither TAB nor CR.

#include <string>

#include "fuzz/fuzz_support.h"
#include "tests/phone/canonical_peer.h"

namespace fonwerk::fuzz {
namespace {

using Peer = CanonicalTelephoneTestPeer;

// The removal exactly as described: restart at the first character after each removal.
std::string RemoveLiterally(std::string text, const std::string& remove) {
  if (remove.empty()) return text;
  for (auto hit = text.find(remove); hit != std::string::npos; hit = text.find(remove)) {
    text.erase(hit, remove.size());
  }
  return text;
}

// The separators come from Init, which needs no reachable database for them.
const cCanonicalTelephone& Phone() {
  static const cCanonicalTelephone phone = [] {
    cCanonicalTelephone initialised;
    initialised.Init("Provider=None");
    return initialised;
  }();
  return phone;
}

void CheckRemoveString(const std::string& text, const std::string& remove) {
  const std::string result = Peer::RemoveString(Phone(), text, remove);
  if (!remove.empty()) {
    FUZZ_CHECK(result.find(remove) == std::string::npos,
               "removing '" + Printable(remove) + "' from '" + Printable(text) + "' left '" +
                   Printable(result) + "'");
  }
  const std::string expected = RemoveLiterally(text, remove);
  FUZZ_CHECK(result == expected, "removing '" + Printable(remove) + "' from '" + Printable(text) +
                                     "' gave '" + Printable(result) + "', expected '" +
                                     Printable(expected) + "'");
}

void CheckStripSeparators(const std::string& text) {
  const std::string result = Peer::StripSeparators(Phone(), text);
  FUZZ_CHECK(result.find_first_of("\t\r") == std::string::npos,
             "'" + Printable(text) + "' kept a separator: '" + Printable(result) + "'");
  const std::string expected =
      RemoveLiterally(RemoveLiterally(RemoveLiterally(text, "\r\n"), "\t"), "\r");
  FUZZ_CHECK(result == expected, "'" + Printable(text) + "' gave '" + Printable(result) +
                                     "', expected '" + Printable(expected) + "'");
}

}  // namespace
}  // namespace fonwerk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace fonwerk::fuzz;
  std::vector<std::string> fields = SplitFields(data, size, 2);
  if (fields[0].size() > 16) fields[0].resize(16);
  if (fields[1].size() > 4096) fields[1].resize(4096);
  CheckRemoveString(fields[1], fields[0]);
  CheckStripSeparators(fields[1]);
  return 0;
}
