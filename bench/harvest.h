#pragma once
// The harvesting rules of the TAPI rebuild, written compactly for the
// baseline program: which rows one contact gives, with NUMMER, BEMERKUNG and
// contactTypeDsn. It must give exactly the rows the real rebuild writes; the
// smoke test compares the two on generated contacts.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace fonwerk::bench {

struct HarvestSettings {
  std::string plus = "00";       // international access prefix
  std::string code = "49";       // own country's dialling code
  std::string vaz = "0";         // trunk prefix
  bool suspress = true;          // own-country numbers in national form
  int32_t nummer_width = -1;     // declared width of TAPI.NUMMER; -1: none
  int32_t bemerkung_width = -1;  // declared width of TAPI.BEMERKUNG; -1: none
};

// One TAPI row of a contact (DSN and AD_DSN are the caller's).
struct HarvestedRow {
  std::string_view nummer;
  std::optional<std::string_view> bemerkung;  // nullopt: not set (e-mail rows)
  std::string_view type;                      // the contactTypeDsn identifier
};

// The contact type identifier of "1".."7", "FAX", "EMAIL" (any case), or of any other key.
std::string_view ContactTypeOf(std::string_view key);

// The leftmost `width` characters of UTF-8 text; a width below 1 keeps it whole.
std::string_view CutChars(std::string_view text, int32_t width);

// Calls `emit` for every row of one contact, in the order the rebuild writes
// them. The texts are the contact's TELEFON, FAX, EMAIL and WEITEMAIL; NULL
// is passed as the empty text. The views handed to `emit` are valid during
// the call only.
class Harvester {
 public:
  explicit Harvester(HarvestSettings settings);
  void Harvest(std::string_view telefon, std::string_view fax, std::string_view email,
               std::string_view weitemail, const std::function<void(const HarvestedRow&)>& emit);

 private:
  HarvestSettings settings_;
  std::string own_prefix_;  // plus + code
  std::string list_;        // scratch: the combined telephone list
  std::string number_;      // scratch: one number being normalised
  std::string digits_;      // scratch: its digits
};

}  // namespace fonwerk::bench
