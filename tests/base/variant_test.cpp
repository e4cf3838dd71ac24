#include "base/variant.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <variant>

#include "base/errors.h"

namespace fonwerk {
namespace {

// Runs `convert` and returns the error number it raised, or nullopt.
std::optional<int32_t> RaisedError(const std::function<void()>& convert) {
  try {
    convert();
  } catch (const Error& error) {
    return error.number();
  }
  return std::nullopt;
}

struct TextCase {
  Variant value;
  std::string expected;
};

TEST(VariantTest, ToTextFollowsTheAutomationRules) {
  const TextCase cases[] = {
      {Variant(), ""},          {Variant(int64_t{-7}), "-7"}, {Variant(int32_t{42}), "42"},
      {Variant(1.5), "1.5"},    {Variant(0.1), "0.1"},        {Variant(100.0), "100"},
      {Variant(1e20), "1E+20"}, {Variant(true), "True"},      {Variant(false), "False"},
      {Variant("Tür"), "Tür"},
  };
  for (const TextCase& c : cases) EXPECT_EQ(c.value.ToText(), c.expected);
}

TEST(VariantTest, NullRaisesInvalidUseOfNullInEveryConversion) {
  const Variant null = Variant::Null();
  for (auto convert :
       std::vector<std::function<void()>>{[&] { null.ToText(); }, [&] { null.ToBool(); },
                                          [&] { null.ToInteger(); }, [&] { null.ToDouble(); }}) {
    EXPECT_EQ(RaisedError(convert), errnum::kInvalidUseOfNull);
  }
  try {
    null.ToText();
  } catch (const Error& error) {
    EXPECT_EQ(error.description(), "Invalid use of Null");
  }
}

struct BoolCase {
  Variant value;
  std::optional<bool> expected;  // nullopt: type mismatch
};

TEST(VariantTest, ToBoolAcceptsNumbersAndTruthTexts) {
  const BoolCase cases[] = {
      {Variant(), false},          {Variant(int64_t{0}), false},  {Variant(int64_t{-1}), true},
      {Variant(int64_t{1}), true}, {Variant(0.25), true},         {Variant(true), true},
      {Variant("true"), true},     {Variant("FALSE"), false},     {Variant(" True "), true},
      {Variant("-1"), true},       {Variant("0"), false},         {Variant("1"), true},
      {Variant("0.0"), false},     {Variant("2.5"), true},        {Variant("yes"), std::nullopt},
      {Variant(""), std::nullopt}, {Variant("1x"), std::nullopt}, {Variant("nan"), std::nullopt},
  };
  for (const BoolCase& c : cases) {
    SCOPED_TRACE(c.value.IsText() ? c.value.text() : c.value.ToText());
    if (c.expected) {
      EXPECT_EQ(c.value.ToBool(), *c.expected);
    } else {
      EXPECT_EQ(RaisedError([&] { c.value.ToBool(); }), errnum::kTypeMismatch);
    }
  }
}

struct NumberCase {
  Variant value;
  double expected;
  std::optional<int32_t> error;
};

TEST(VariantTest, ToIntegerRoundsHalfToEvenAndChecksTexts) {
  const NumberCase cases[] = {
      {Variant(), 0, {}},
      {Variant(2.5), 2, {}},
      {Variant(3.5), 4, {}},
      {Variant(-2.5), -2, {}},
      {Variant(2.6), 3, {}},
      {Variant(true), -1, {}},
      {Variant("12"), 12, {}},
      {Variant(" -3 "), -3, {}},
      {Variant("+4"), 4, {}},
      {Variant("1e3"), 1000, {}},
      {Variant("0049"), 49, {}},
      {Variant("abc"), 0, errnum::kTypeMismatch},
      {Variant("4 2"), 0, errnum::kTypeMismatch},
      {Variant(1e19), 0, errnum::kOverflow},
  };
  for (const NumberCase& c : cases) {
    SCOPED_TRACE(c.value.ToText());
    if (c.error) {
      EXPECT_EQ(RaisedError([&] { c.value.ToInteger(); }), *c.error);
    } else {
      EXPECT_EQ(c.value.ToInteger(), static_cast<int64_t>(c.expected));
    }
  }
}

TEST(VariantTest, ToDoubleReadsNumbersAndNumericTexts) {
  const NumberCase cases[] = {
      {Variant(int64_t{3}), 3.0, {}},
      {Variant("2.5"), 2.5, {}},
      {Variant(" -0.5"), -0.5, {}},
      {Variant(false), 0.0, {}},
      {Variant(true), -1.0, {}},
      {Variant("x"), 0, errnum::kTypeMismatch},
      {Variant("inf"), 0, errnum::kTypeMismatch},
  };
  for (const NumberCase& c : cases) {
    SCOPED_TRACE(c.value.ToText());
    if (c.error) {
      EXPECT_EQ(RaisedError([&] { c.value.ToDouble(); }), *c.error);
    } else {
      EXPECT_DOUBLE_EQ(c.value.ToDouble(), c.expected);
    }
  }
}

TEST(VariantTest, TypesStayApartInComparison) {
  EXPECT_TRUE(Variant().IsEmpty());
  EXPECT_TRUE(Variant::Null().IsNull());
  EXPECT_NE(Variant(), Variant::Null());
  EXPECT_NE(Variant(int64_t{1}), Variant(true));
  EXPECT_NE(Variant("1"), Variant(int64_t{1}));
  EXPECT_EQ(Variant(int32_t{5}), Variant(int64_t{5}));
}

// A Variant reused for value after value (as the rows of a recordset are)
// must hold exactly the last one: no tail of a longer earlier text, no text
// behind Empty or Null, no stale number behind a text.
TEST(VariantTest, ReusedVariantHoldsExactlyItsLastValue) {
  Variant v("a text long enough to live outside the string object");
  v.SetText("short");
  EXPECT_EQ(v, Variant("short"));
  EXPECT_EQ(v.text(), "short");

  v.SetEmpty();
  EXPECT_TRUE(v.IsEmpty());
  EXPECT_EQ(v, Variant());
  EXPECT_EQ(v.ToText(), "");
  EXPECT_THROW(v.text(), std::bad_variant_access);

  v = Variant(2.5);
  v.SetNull();
  EXPECT_EQ(v, Variant::Null());
  EXPECT_EQ(RaisedError([&] { v.ToText(); }), errnum::kInvalidUseOfNull);

  v = Variant(int64_t{-7});
  v.SetText("");
  EXPECT_TRUE(v.IsText());
  EXPECT_EQ(v, Variant(""));
  EXPECT_NE(v, Variant());

  const Variant number(int64_t{12});
  v = number;  // copy over a text
  EXPECT_EQ(v, number);
  EXPECT_EQ(v.ToText(), "12");
  const Variant text("copied");
  v = text;
  EXPECT_EQ(v, text);
  v = v;  // self-assignment keeps the value
  EXPECT_EQ(v.text(), "copied");
  Variant moved(std::move(v));
  EXPECT_EQ(moved, text);
}

TEST(VariantTest, DoublesCompareByValue) {
  EXPECT_EQ(Variant(0.0), Variant(-0.0));
  EXPECT_NE(Variant(0.1), Variant(0.2));
  EXPECT_NE(Variant(1.0), Variant(int64_t{1}));
  EXPECT_EQ(Variant(true), Variant(true));
  EXPECT_NE(Variant(true), Variant(false));
}

}  // namespace
}  // namespace fonwerk
