#pragma once
// The errors the data-access objects raise for their own misuse (ADO's
// numbers), shared by the files of com/ado.h.

#include <cstdint>
#include <string>

#include "base/errors.h"

namespace fonwerk::ado {

inline constexpr int32_t kNoCurrentRecord = 3021;
inline constexpr int32_t kObjectClosed = 3704;
inline constexpr int32_t kObjectOpen = 3705;
inline constexpr int32_t kConnectionClosed = 3709;

[[noreturn]] inline void ThrowUsage(int32_t number, const std::string& text) {
  throw DbError(DbError::Kind::kUsage, number, text);
}

}  // namespace fonwerk::ado
