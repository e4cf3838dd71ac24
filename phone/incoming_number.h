#pragma once
// The one reading of a caller's identification as it reaches the reverse
// lookup (`fonwerkctl lookup`, `lookup -` and the lookup service alike): a
// telephone number as people write it, a tel: or sip: URI as telephone
// systems send it, or an e-mail address. A number comes out in the form the
// harvesting stores (StoredNumber, phone/stored_number.h), an address as the
// harvesting stores it (StoredAddress), so that the lookup meets the rows the
// harvesting wrote.
//
// What is read, in this order:
//  1. blanks, tabs and line breaks around the text go;
//  2. a name-addr (`"Müller" <sip:...>`, `Hans <h@example.com>`): only what
//     stands in the angle brackets counts, when it is a URI of a scheme
//     below or holds "@"; the display name never gives digits;
//  3. a URI (it has no blanks): "tel:" (RFC 3966: the number with "+" for a
//     global one and the visual separators - . ( ), ";ext=" as the
//     direct-dial extension, ";phone-context=+..." before a local number,
//     other parameters ignored), "sip:"/"sips:" (RFC 3261: the user part
//     before "@" is the number, read as a tel: number with its parameters;
//     password, host, port, URI parameters and headers never give digits),
//     "mailto:" (the address); percent-encoding is decoded in the parts.
//     A URI whose number part is anything but digits and separators
//     ("sip:anonymous@anonymous.invalid", "tel:*31") names nobody;
//  4. otherwise text holding "@" is an e-mail address;
//  5. otherwise the text is a number as typed: StoredNumber of it (so
//     "089 123456 ext. 12" keeps its extension digits). Text without digits
//     ("anonymous", "unknown", "withheld") names nobody.
// The case of scheme and parameter names does not matter.

#include <string>
#include <string_view>

#include "com/components.h"
#include "phone/canonical_telephone.h"

namespace fonwerk {

struct IncomingNumber {
  enum class Kind {
    kNone,     // names nobody: no digits, a withheld caller, a URI naming no number
    kNumber,   // `value`: the number in stored form (digits only, not empty)
    kAddress,  // `value`: the e-mail address in stored form (not empty)
  };
  Kind kind = Kind::kNone;
  std::string value;
};

// `text` read by the rules above, with the members Plus, code, VAZ and
// Suspress of `rules`. Never throws for any text (only what `util` throws).
IncomingNumber ReadIncoming(std::string_view text, const cCanonicalTelephone& rules,
                            com::IUtil& util);

// A number as a query string parameter brings it: a "+" sent unencoded there
// arrives as a blank. A blank right before a digit at the start of `value`,
// or right behind a leading "tel:", "sip:" or "sips:", is read back as "+";
// anything else is left as it is.
std::string WithUnencodedPlus(std::string value);

}  // namespace fonwerk
