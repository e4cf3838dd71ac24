#pragma once
// The one reduction of a telephone number to the digits under which TAPI
// stores it, and of an e-mail address to the text stored for it. The
// harvesting writes numbers and addresses in these forms and the reverse
// lookup reduces an incoming number the same way (phone/incoming_number.h),
// so both sides meet.

#include <string>
#include <string_view>

#include "com/components.h"
#include "phone/canonical_telephone.h"

namespace fonwerk {

// The version of the stored forms below. Bump it whenever the stored form of
// any number or address changes, so that whatever keeps fingerprints of
// harvested rows knows that rows written under an older version may differ.
//  1: the own-country prefix only where the text begins with it literally;
//     addresses stored as they stand.
//  2: the own-country prefix wherever the number's digits begin with it;
//     addresses trimmed of blanks and line breaks.
inline constexpr int kStoredNumberRulesVersion = 2;

// `number` in stored form, by the members Plus, code, VAZ and Suspress of
// `rules` (nothing else of it is read; no Init needed):
//  1. outer blanks are stripped;
//  2. every "+" becomes Plus;
//  3. a bracketed trunk prefix right after an international country code is
//     dropped: Plus, one to three digits, optional blanks, then "(" VAZ ")"
//     ("+49 (0)89 123456" reads as "+49 89 123456"); only when Plus and VAZ
//     are not empty;
//  4. with Suspress, a number whose digits begin with Plus and code (the own
//     country) is written in national form: whatever stands before and
//     between those digits ("(+49) 89", "00 49 89") goes, they become VAZ,
//     and a bracketed VAZ right behind them ("(+49) (0)89") is dropped as in
//     step 3. This repeats while the digits still begin so (when VAZ is
//     shorter than Plus and code), so that a stored number reduces to itself;
//  5. only the digits are kept, by NurZahlen of `util`.
// The result may be empty (no digits). Throws only what `util` throws.
std::string StoredNumber(std::string_view number, const cCanonicalTelephone& rules,
                         com::IUtil& util);

// `address` as TAPI stores an e-mail address: without the blanks, tabs and
// line breaks around it (an address has none of its own). May be empty.
std::string_view StoredAddress(std::string_view address);

}  // namespace fonwerk
