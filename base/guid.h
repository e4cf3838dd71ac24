#pragma once
// Time-ordered unique identifiers for new rows.

#include <string>

namespace fonwerk::com {

// A new identifier "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (38 characters,
// upper-case hex) in the UUIDv7 layout: 48-bit Unix time in milliseconds,
// version 7, then a counter that keeps identifiers made in the same
// millisecond in ascending order, then random bits. Identifiers of one process
// therefore sort ascending as texts in creation order, even when the clock
// steps back. The random part comes from a generator seeded once from the
// operating system (and reseeded in a forked child); no system call per call.
// Thread-safe.
std::string NewGUID();

}  // namespace fonwerk::com
