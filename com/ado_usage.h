#pragma once
// The errors the data-access objects raise for their own misuse, shared by
// the files of com/ado.h.

#include <cstdint>
#include <string>

#include "base/errors.h"

namespace fonwerk::ado {

// ADO's own numbers for them.
enum UsageErrorNumber : int32_t {
  kNoCurrentRecord = 3021,
  kObjectClosed = 3704,
  kObjectOpen = 3705,
  kConnectionClosed = 3709,
};

[[noreturn]] inline void ThrowUsage(int32_t number, const std::string& text) {
  throw DbError(DbError::Kind::kUsage, number, text);
}

}  // namespace fonwerk::ado
