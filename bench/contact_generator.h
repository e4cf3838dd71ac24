#pragma once
// Synthetic contacts for table AD, for benchmarks and their smoke test.
//
// The sequence depends only on the seed: the same seed gives the same
// contacts, byte for byte, on every machine (the generator uses its own
// random source and no library distributions). The contacts carry what the
// harvesting meets in real contact bases: one to five telephone lines in
// many notations (own country and foreign, with and without TAB, with
// remarks, blank lines), fax numbers, e-mail addresses with and without
// surrounding blanks, further e-mail lists, NULLs, and names with umlauts.
// Kennung is unique within a sequence; DSN is a GUID text in braces.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace fonwerk::bench {

// The columns of AD the generator fills, in the order of Contact::Values().
inline constexpr std::array<const char*, 16> kAdColumns = {
    "DSN", "Kennung", "ANREDE",  "IDX_NAME", "IDX_NAME2", "IDX_FIRMA", "STRASSE", "PLZ",
    "ORT", "LAND",    "TELEFON", "FAX",      "EMAIL",     "WEITEMAIL", "NOTIZ",   "GEAENDERT_AM"};

using Value = std::optional<std::string>;  // nullopt is NULL

struct Contact {
  std::string dsn;
  std::string kennung;
  Value anrede, name, name2, firma, strasse, plz, ort, land;
  Value telefon, fax, email, weitemail, notiz, geaendert_am;

  // The values in the order of kAdColumns.
  std::array<Value, kAdColumns.size()> Values() const;
};

// splitmix64: small, fast and fully specified, so sequences are portable.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // Uniform in [0, n). REQUIRES: n > 0.
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  // True with probability percent/100.
  bool Percent(uint32_t percent) { return Below(100) < percent; }
  // `count` decimal digits, the first one not 0.
  std::string Digits(int count);

 private:
  uint64_t state_;
};

class ContactGenerator {
 public:
  explicit ContactGenerator(uint64_t seed) : random_(seed) {}
  // The next contact of the sequence.
  Contact Next();

 private:
  std::string Guid();
  std::string Telefon();
  std::string TelefonLine();
  Value Fax();
  Value Email(const std::string& first, const std::string& last, const Value& company);
  Value FurtherEmails(const std::string& last);

  Random random_;
  uint64_t index_ = 0;
};

}  // namespace fonwerk::bench
