// Fuzz target: the ADO-style connection-string parser, its serialisation and
// the password mask of the run log.
//
// Input: the connection string.
// Properties:
//  - Parse either succeeds or throws fonwerk::Error 3001 (nothing else);
//  - what parsed serialises to a text that parses to the same values and
//    serialises to the same text again;
//  - MaskPassword never throws; on a text that parses, the masked text parses
//    too, with "***" for every password key and every other value unchanged.

#include <exception>
#include <string>

#include "base/errors.h"
#include "db/connection_string.h"
#include "fuzz/fuzz_support.h"

namespace fonwerk::fuzz {
namespace {

constexpr const char* kKeys[] = {"Provider", "Data Source", "Host",     "Port",
                                 "Database", "User ID",     "Password", "Pwd"};

bool IsPasswordKey(const std::string& key) { return key == "Password" || key == "Pwd"; }

ConnectionString ParseOrFail(const std::string& text, const char* what) {
  try {
    return ConnectionString::Parse(text);
  } catch (const std::exception& error) {
    Fail(what, Printable(text) + ": " + error.what());
  }
}

void Check(const std::string& text) {
  std::string masked;
  try {
    masked = ConnectionString::MaskPassword(text);
  } catch (const std::exception& error) {
    Fail("MaskPassword threw", Printable(text) + ": " + error.what());
  }

  ConnectionString parsed;
  try {
    parsed = ConnectionString::Parse(text);
  } catch (const Error& error) {
    FUZZ_CHECK(error.number() == errnum::kInvalidArgument,
               Printable(text) + ": error " + std::to_string(error.number()));
    return;
  } catch (const std::exception& error) {
    Fail("Parse threw a foreign exception", Printable(text) + ": " + error.what());
  }

  const std::string serialised = parsed.ToString();
  const ConnectionString again = ParseOrFail(serialised, "serialised text does not parse");
  FUZZ_CHECK(again.ToString() == serialised, Printable(text) + " serialised as " +
                                                 Printable(serialised) + " then as " +
                                                 Printable(again.ToString()));
  const ConnectionString masked_parsed = ParseOrFail(masked, "masked text does not parse");
  for (const char* key : kKeys) {
    FUZZ_CHECK(again.Get(key) == parsed.Get(key),
               std::string(key) + " changed in the round trip of " + Printable(text));
    if (IsPasswordKey(key)) {
      if (parsed.Get(key)) {
        FUZZ_CHECK(masked_parsed.Get(key) == "***", std::string(key) + " not masked in " +
                                                        Printable(masked));
      }
    } else {
      FUZZ_CHECK(masked_parsed.Get(key) == parsed.Get(key),
                 std::string(key) + " changed by the mask: " + Printable(masked));
    }
  }
}

}  // namespace
}  // namespace fonwerk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fonwerk::fuzz::Check(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
