#pragma once
// Variant: the automation value that crosses between the system, the component
// library and the data-access layer. It is Empty (never assigned), Null (a
// database NULL), a 64-bit integer, a double, a Boolean or a text.
//
// Conversions follow the automation rules the callers rely on:
//  - ToText() of Null raises "Invalid use of Null" (94); Empty gives "".
//  - Booleans convert to text as "True"/"False"; to numbers as -1/0.
//  - ToBool() accepts numbers (non-zero is True) and the texts "True"/"False"
//    (any case) and numeric texts; anything else is a type mismatch (13).

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace fonwerk {

class Variant {
 public:
  enum class Type { kEmpty, kNull, kInteger, kDouble, kBoolean, kText };

  Variant() = default;  // Empty
  Variant(int32_t v) : value_(static_cast<int64_t>(v)) {}
  Variant(int64_t v) : value_(v) {}
  Variant(double v) : value_(v) {}
  Variant(bool v) : value_(v) {}
  Variant(std::string v) : value_(std::move(v)) {}
  Variant(std::string_view v) : value_(std::string(v)) {}
  Variant(const char* v) : value_(std::string(v)) {}

  static Variant Null() {
    Variant v;
    v.value_ = NullTag{};
    return v;
  }

  Type type() const noexcept { return static_cast<Type>(value_.index()); }
  bool IsEmpty() const noexcept { return type() == Type::kEmpty; }
  bool IsNull() const noexcept { return type() == Type::kNull; }
  bool IsText() const noexcept { return type() == Type::kText; }

  // REQUIRES: IsText(). Cheap access to the text without a copy.
  const std::string& text() const { return std::get<std::string>(value_); }

  std::string ToText() const;   // CStr
  bool ToBool() const;          // CBool
  int64_t ToInteger() const;    // CLng-like, rounds doubles half to even, 13 on bad text
  double ToDouble() const;      // CDbl

  bool operator==(const Variant& other) const = default;

 private:
  struct EmptyTag {
    bool operator==(const EmptyTag&) const = default;
  };
  struct NullTag {
    bool operator==(const NullTag&) const = default;
  };
  std::variant<EmptyTag, NullTag, int64_t, double, bool, std::string> value_;
};

}  // namespace fonwerk
