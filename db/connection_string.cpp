#include "db/connection_string.h"

#include "base/errors.h"
#include "base/text.h"

namespace fonwerk {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

using text::EqualsNoCase;

bool IsPasswordKey(const std::string& key) {
  return EqualsNoCase(key, "Password") || EqualsNoCase(key, "Pwd");
}

// One `Key=Value` pair as found in the text.
struct Pair {
  std::string key;    // without surrounding blanks
  std::string value;  // unquoted
  size_t raw_begin;   // span of the value as written (quotes included)
  size_t raw_end;
};

// Splits a connection string into its pairs. In strict mode malformed input
// throws; in lenient mode the scanner makes the best of it (used for masking,
// which must never fail).
class Scanner {
 public:
  Scanner(const std::string& text, bool strict) : text_(text), strict_(strict) {}

  std::vector<Pair> Run() {
    std::vector<Pair> pairs;
    while (true) {
      SkipBlanks();
      if (AtEnd()) break;
      if (text_[pos_] == ';') {
        ++pos_;
        continue;
      }
      if (auto pair = ReadPair()) pairs.push_back(std::move(*pair));
    }
    return pairs;
  }

 private:
  bool AtEnd() const { return pos_ >= text_.size(); }
  void SkipBlanks() {
    while (!AtEnd() && IsBlank(text_[pos_])) ++pos_;
  }
  void SkipToSeparator() {
    while (!AtEnd() && text_[pos_] != ';') ++pos_;
  }

  void Fail(const std::string& what) const {
    if (strict_) {
      throw Error(errnum::kInvalidArgument, "Malformed connection string (" + what +
                                                "): " + ConnectionString::MaskPassword(text_));
    }
  }

  std::optional<Pair> ReadPair() {
    const size_t key_begin = pos_;
    while (!AtEnd() && text_[pos_] != '=' && text_[pos_] != ';') ++pos_;
    if (AtEnd() || text_[pos_] == ';') {
      Fail("a pair without '='");
      return std::nullopt;
    }
    Pair pair;
    pair.key = Trimmed(key_begin, pos_);
    if (pair.key.empty()) Fail("a value without a key");
    ++pos_;  // '='
    SkipBlanks();
    pair.raw_begin = pos_;
    if (!AtEnd() && text_[pos_] == '"') {
      ReadQuoted(pair);
    } else {
      SkipToSeparator();
      pair.value = Trimmed(pair.raw_begin, pos_);
      pair.raw_end = pair.raw_begin + pair.value.size();
    }
    return pair;
  }

  void ReadQuoted(Pair& pair) {
    ++pos_;  // opening quote
    while (!AtEnd()) {
      const char c = text_[pos_];
      if (c != '"') {
        pair.value += c;
        ++pos_;
      } else if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
        pair.value += '"';
        pos_ += 2;
      } else {
        ++pos_;
        pair.raw_end = pos_;
        SkipBlanks();
        if (!AtEnd() && text_[pos_] != ';') {
          Fail("text after a closing quote");
          SkipToSeparator();
        }
        return;
      }
    }
    Fail("an unterminated quote");
    pair.raw_end = text_.size();
  }

  std::string Trimmed(size_t begin, size_t end) const {
    while (begin < end && IsBlank(text_[begin])) ++begin;
    while (end > begin && IsBlank(text_[end - 1])) --end;
    return text_.substr(begin, end - begin);
  }

  const std::string& text_;
  bool strict_;
  size_t pos_ = 0;
};

bool NeedsQuotes(const std::string& value) {
  if (value.empty()) return false;
  return value.find_first_of(";\"") != std::string::npos || IsBlank(value.front()) ||
         IsBlank(value.back());
}

}  // namespace

ConnectionString ConnectionString::Parse(const std::string& text) {
  ConnectionString result;
  for (Pair& pair : Scanner(text, true).Run()) result.Set(pair.key, pair.value);
  return result;
}

std::optional<std::string> ConnectionString::Get(const std::string& key) const {
  for (const auto& [name, value] : pairs_) {
    if (EqualsNoCase(name, key)) return value;
  }
  return std::nullopt;
}

void ConnectionString::Set(const std::string& key, const std::string& value) {
  for (auto& [name, current] : pairs_) {
    if (EqualsNoCase(name, key)) {
      current = value;
      return;
    }
  }
  pairs_.emplace_back(key, value);
}

std::string ConnectionString::ToString() const {
  std::string out;
  for (const auto& [name, value] : pairs_) {
    if (!out.empty()) out += ';';
    out += name + '=' + (NeedsQuotes(value) ? text::DoubleQuoted(value) : value);
  }
  return out;
}

std::string ConnectionString::MaskPassword(const std::string& text) {
  std::string masked = text;
  const std::vector<Pair> pairs = Scanner(text, false).Run();
  // Replace from the back so that earlier spans keep their offsets.
  for (auto it = pairs.rbegin(); it != pairs.rend(); ++it) {
    if (IsPasswordKey(it->key)) masked.replace(it->raw_begin, it->raw_end - it->raw_begin, "***");
  }
  return masked;
}

namespace {
std::string& ProgramNameSlot() {
  static std::string name = "fonwerk";
  return name;
}
}  // namespace

void SetProgramName(std::string name) { ProgramNameSlot() = std::move(name); }
const std::string& ProgramName() { return ProgramNameSlot(); }

}  // namespace fonwerk
