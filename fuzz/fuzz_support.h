#pragma once
// Shared by the fuzz targets: splitting an input into fields, property checks
// that stop the run with a message, and throwaway SQLite installations on
// which the targets run the system's real code.
//
// Every target defines LLVMFuzzerTestOneInput. Built with clang and libFuzzer
// it is fuzzed; built with any compiler and replay_main.cpp it replays a corpus.
// A property that does not hold calls Fail(), which prints the property and
// aborts, so that libFuzzer keeps the input as a crash and a replay fails.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/variant.h"
#include "phone/canonical_telephone.h"

namespace fonwerk::fuzz {

// Byte that separates the fields of an input (ASCII unit separator).
inline constexpr char kFieldSeparator = '\x1f';

// The input split at every kFieldSeparator into exactly `count` fields: missing
// fields are empty, and the last field keeps everything after it, separators
// included.
std::vector<std::string> SplitFields(const uint8_t* data, size_t size, size_t count);

// `text` cut at every `separator` (a text without one is one item).
std::vector<std::string> Split(const std::string& text, const std::string& separator);

// `text` without the blanks (' ' only) at both ends.
std::string Trimmed(const std::string& text);

// A field that is exactly one NUL byte stands for a database Null; any other
// field is a text.
Variant FieldValue(const std::string& field);

// Byte `index` of `field`, or 0 past its end.
uint8_t FlagByte(const std::string& field, size_t index);

// `bytes` with everything outside printable ASCII written as \xNN, cut to 200
// characters, for messages.
std::string Printable(std::string_view bytes);

// Prints "property failed" with `where` and `what` on standard error and aborts.
[[noreturn]] void Fail(const char* where, const std::string& what);

#define FUZZ_STRINGIFY2(x) #x
#define FUZZ_STRINGIFY(x) FUZZ_STRINGIFY2(x)
// Checks a property; `what` (a std::string expression) is only built when it fails.
#define FUZZ_CHECK(condition, what)                                                      \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      ::fonwerk::fuzz::Fail(__FILE__ ":" FUZZ_STRINGIFY(__LINE__) ": " #condition, what); \
    }                                                                                    \
  } while (0)

// Widths of the narrow TAPI of ScratchInstall::Narrow().
inline constexpr int32_t kNarrowNummer = 8;
inline constexpr int32_t kNarrowBemerkung = 4;

// A SQLite installation (schema, country list, own country DEU) in a folder of
// its own under $TMPDIR, with one cCanonicalTelephone initialised on it. The
// two installations live until the process ends; their folders are removed then.
class ScratchInstall {
 public:
  // The shipped schema (TAPI.NUMMER and BEMERKUNG VARCHAR(255)) and a table
  // FILTERROWS (id INTEGER, name TEXT, code TEXT) with a few awkward values.
  static ScratchInstall& Normal();
  // The same, but TAPI has NUMMER VARCHAR(kNarrowNummer) and BEMERKUNG
  // VARCHAR(kNarrowBemerkung).
  static ScratchInstall& Narrow();

  ~ScratchInstall();
  ScratchInstall(const ScratchInstall&) = delete;
  ScratchInstall& operator=(const ScratchInstall&) = delete;

  const std::string& connect() const { return connect_; }
  const std::string& folder() const { return folder_; }
  // Initialised once. Targets may change its public members for one input.
  cCanonicalTelephone& phone() { return *phone_; }

 private:
  explicit ScratchInstall(bool narrow);

  std::string folder_;
  std::string connect_;
  std::unique_ptr<cCanonicalTelephone> phone_;
};

// Values of the table FILTERROWS of ScratchInstall::Normal(), by id (1..n);
// nullopt is Null.
struct FilterRow {
  int64_t id;
  const char* name;  // nullptr: Null
  const char* code;  // nullptr: Null
};
const std::vector<FilterRow>& FilterRows();

}  // namespace fonwerk::fuzz
