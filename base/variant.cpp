#include "base/variant.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <system_error>
#include <variant>

#include "base/errors.h"
#include "base/text.h"

namespace fonwerk {
namespace {

[[noreturn]] void ThrowInvalidUseOfNull() {
  throw Error(errnum::kInvalidUseOfNull, "Invalid use of Null");
}

[[noreturn]] void ThrowTypeMismatch() { throw Error(errnum::kTypeMismatch, "Type mismatch"); }

// Parses a decimal number ("12", "-3.5", "+1e3", blanks around it); nullopt if the
// text is anything else.
std::optional<double> ParseNumber(std::string_view text) {
  text = text::TrimBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // Digits or a decimal point must lead ("inf" and "nan" are not numbers here).
  if (text.empty() ||
      !(std::isdigit(static_cast<unsigned char>(text.front())) || text.front() == '.')) {
    return std::nullopt;
  }
  double value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return negative ? -value : value;
}

// Rounds half to even and checks the 64-bit range.
int64_t RoundToInteger(double value) {
  if (std::isnan(value)) throw Error(errnum::kOverflow, "Overflow");
  const double rounded = std::nearbyint(value);
  // 2^63 is exactly representable; anything at or above it does not fit.
  if (rounded >= 9223372036854775808.0 || rounded < -9223372036854775808.0) {
    throw Error(errnum::kOverflow, "Overflow");
  }
  return static_cast<int64_t>(rounded);
}

// Up to 15 significant digits without trailing zeros; large and small
// magnitudes in exponent form with at least two exponent digits ("1E+20").
std::string FormatDouble(double value) {
  std::array<char, 64> buffer{};
  auto [ptr, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                 std::chars_format::general, 15);
  std::string text(buffer.data(), ec == std::errc() ? ptr : buffer.data());
  for (char& c : text) {
    if (c == 'e') c = 'E';
  }
  return text;
}

}  // namespace

Variant::Variant(const Variant& other) : type_(other.type_), scalar_(other.scalar_) {
  if (other.IsText()) text_ = other.text_;
}

Variant& Variant::operator=(const Variant& other) {
  if (this == &other) return *this;
  if (other.IsText()) {
    text_.assign(other.text_);
  } else {
    text_.clear();
  }
  type_ = other.type_;
  scalar_ = other.scalar_;
  return *this;
}

void Variant::SetEmpty() noexcept {
  type_ = Type::kEmpty;
  scalar_ = 0;
  text_.clear();
}

void Variant::SetNull() noexcept {
  type_ = Type::kNull;
  scalar_ = 0;
  text_.clear();
}

void Variant::SetText(std::string_view text) {
  text_.assign(text);
  type_ = Type::kText;
  scalar_ = 0;
}

const std::string& Variant::text() const {
  if (!IsText()) throw std::bad_variant_access();
  return text_;
}

bool Variant::operator==(const Variant& other) const noexcept {
  if (type_ != other.type_) return false;
  switch (type_) {
    case Type::kEmpty:
    case Type::kNull:
      return true;
    case Type::kInteger:
      return scalar_ == other.scalar_;
    case Type::kDouble:
      return real() == other.real();
    case Type::kBoolean:
      return scalar_ == other.scalar_;
    case Type::kText:
      return text_ == other.text_;
  }
  return false;
}

std::string Variant::ToText() const {
  switch (type()) {
    case Type::kEmpty:
      return {};
    case Type::kNull:
      ThrowInvalidUseOfNull();
    case Type::kInteger:
      return std::to_string(integer());
    case Type::kDouble:
      return FormatDouble(real());
    case Type::kBoolean:
      return boolean() ? "True" : "False";
    case Type::kText:
      return text_;
  }
  return {};
}

bool Variant::ToBool() const {
  switch (type()) {
    case Type::kDouble:
      return real() != 0.0;
    case Type::kText: {
      const std::string_view text = text::TrimBlanks(text_);
      if (text::EqualsNoCase(text, "true")) return true;
      if (text::EqualsNoCase(text, "false")) return false;
      if (auto number = ParseNumber(text)) return *number != 0.0;
      ThrowTypeMismatch();
    }
    default:  // Empty, Null, Integer and Boolean: their whole number (or its error)
      return ToInteger() != 0;
  }
}

int64_t Variant::ToInteger() const {
  switch (type()) {
    case Type::kEmpty:
      return 0;
    case Type::kNull:
      ThrowInvalidUseOfNull();
    case Type::kInteger:
      return integer();
    case Type::kDouble:
      return RoundToInteger(real());
    case Type::kBoolean:
      return boolean() ? -1 : 0;
    case Type::kText: {
      const std::string_view text = text::TrimBlanks(text_);
      int64_t whole = 0;
      auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), whole);
      if (ec == std::errc() && ptr == text.data() + text.size() && !text.empty()) return whole;
      if (auto number = ParseNumber(text)) return RoundToInteger(*number);
      ThrowTypeMismatch();
    }
  }
  return 0;
}

double Variant::ToDouble() const {
  switch (type()) {
    case Type::kDouble:
      return real();
    case Type::kText:
      if (auto number = ParseNumber(text_)) return *number;
      ThrowTypeMismatch();
    default:  // Empty, Null, Integer and Boolean: their whole number (or its error)
      return static_cast<double>(ToInteger());
  }
}

}  // namespace fonwerk
