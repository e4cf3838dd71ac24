#include "db/sqlite/sqlite_functions.h"

#include <sqlite3.h>

#include <cstdint>

namespace fonwerk::ado::sqlite {
namespace {

// Byte offset after skipping `count` UTF-8 characters from the start.
int SkipCharsForward(const unsigned char* text, int bytes, int64_t count) {
  int pos = 0;
  while (pos < bytes && count > 0) {
    ++pos;
    while (pos < bytes && (text[pos] & 0xC0) == 0x80) ++pos;
    --count;
  }
  return pos;
}

// Byte offset of the last `count` UTF-8 characters.
int SkipCharsBackward(const unsigned char* text, int bytes, int64_t count) {
  int pos = bytes;
  while (pos > 0 && count > 0) {
    --pos;
    while (pos > 0 && (text[pos] & 0xC0) == 0x80) --pos;
    --count;
  }
  return pos;
}

// RIGHT(text, n): the last n characters; a negative n drops the first -n
// characters instead (as PostgreSQL does). NULL in gives NULL out.
void RightFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
    sqlite3_result_null(context);
    return;
  }
  const unsigned char* text = sqlite3_value_text(argv[0]);
  const int bytes = sqlite3_value_bytes(argv[0]);
  const int64_t count = sqlite3_value_int64(argv[1]);
  if (text == nullptr) {
    sqlite3_result_error_nomem(context);
    return;
  }
  const int start =
      count >= 0 ? SkipCharsBackward(text, bytes, count) : SkipCharsForward(text, bytes, -count);
  sqlite3_result_text(context, reinterpret_cast<const char*>(text) + start, bytes - start,
                      SQLITE_TRANSIENT);
}

}  // namespace

int AddFunctions(sqlite3* db) {
  return sqlite3_create_function_v2(db, "RIGHT", 2,
                                    SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                                    &RightFunction, nullptr, nullptr, nullptr);
}

}  // namespace fonwerk::ado::sqlite
