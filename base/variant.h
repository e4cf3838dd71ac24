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

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

namespace fonwerk {

class Variant {
 public:
  enum class Type { kEmpty, kNull, kInteger, kDouble, kBoolean, kText };

  Variant() = default;  // Empty
  Variant(int32_t v) : type_(Type::kInteger), scalar_(static_cast<uint64_t>(int64_t{v})) {}
  Variant(int64_t v) : type_(Type::kInteger), scalar_(static_cast<uint64_t>(v)) {}
  Variant(double v) : type_(Type::kDouble), scalar_(std::bit_cast<uint64_t>(v)) {}
  Variant(bool v) : type_(Type::kBoolean), scalar_(v ? 1 : 0) {}
  Variant(std::string v) : type_(Type::kText), text_(std::move(v)) {}
  Variant(std::string_view v) : type_(Type::kText), text_(v) {}
  Variant(const char* v) : type_(Type::kText), text_(v) {}

  static Variant Null() {
    Variant v;
    v.type_ = Type::kNull;
    return v;
  }

  // Copies carry the value only. Assigning a text to a Variant reuses the
  // buffer of the text it held before (see also the setters below), so a
  // Variant that is filled again and again allocates only when a text
  // outgrows every earlier one.
  Variant(const Variant& other);
  Variant& operator=(const Variant& other);
  Variant(Variant&&) noexcept = default;
  Variant& operator=(Variant&&) noexcept = default;
  ~Variant() = default;

  // In-place setters; each keeps the text buffer for later texts.
  void SetEmpty() noexcept;
  void SetNull() noexcept;
  void SetText(std::string_view text);

  // Bytes held by the text buffer (also while the Variant holds no text).
  size_t TextCapacity() const noexcept { return text_.capacity(); }

  Type type() const noexcept { return type_; }
  bool IsEmpty() const noexcept { return type_ == Type::kEmpty; }
  bool IsNull() const noexcept { return type_ == Type::kNull; }
  bool IsText() const noexcept { return type_ == Type::kText; }

  // REQUIRES: IsText() (otherwise throws std::bad_variant_access). Cheap
  // access to the text without a copy; valid until the Variant changes.
  const std::string& text() const;

  std::string ToText() const;   // CStr
  bool ToBool() const;          // CBool
  int64_t ToInteger() const;    // CLng-like, rounds doubles half to even, 13 on bad text
  double ToDouble() const;      // CDbl

  // Same type and same value (texts compared byte by byte).
  bool operator==(const Variant& other) const noexcept;

 private:
  int64_t integer() const noexcept { return static_cast<int64_t>(scalar_); }
  double real() const noexcept { return std::bit_cast<double>(scalar_); }
  bool boolean() const noexcept { return scalar_ != 0; }

  Type type_ = Type::kEmpty;
  uint64_t scalar_ = 0;  // the integer, the bits of the double, or the Boolean (0 or 1)
  std::string text_;  // the text while type_ is kText; otherwise a spare buffer
};

}  // namespace fonwerk
