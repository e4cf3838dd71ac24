#pragma once
// The one reduction of a telephone number to the digits under which TAPI
// stores it. The harvesting writes numbers in this form and the reverse
// lookup reduces an incoming number the same way, so both sides meet.

#include <string>
#include <string_view>

#include "com/components.h"
#include "phone/canonical_telephone.h"

namespace fonwerk {

// `number` in stored form, by the members Plus, code, VAZ and Suspress of
// `rules` (nothing else of it is read; no Init needed):
//  1. outer blanks are stripped;
//  2. every "+" becomes Plus;
//  3. a bracketed trunk prefix right after an international country code is
//     dropped: Plus, one to three digits, optional blanks, then "(" VAZ ")"
//     ("+49 (0)89 123456" reads as "+49 89 123456"); only when Plus and VAZ
//     are not empty;
//  4. with Suspress, a leading Plus followed by code (the own country)
//     becomes VAZ; the test is made on the text as it stands, so a separator
//     inside the prefix ("00 49") keeps it in place;
//  5. only the digits are kept, by NurZahlen of `util`.
// The result may be empty (no digits). Throws only what `util` throws.
std::string StoredNumber(std::string_view number, const cCanonicalTelephone& rules,
                         com::IUtil& util);

}  // namespace fonwerk
