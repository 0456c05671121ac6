// TVariant conversions and the text forms of numbers and date-times.
#include <gtest/gtest.h>

#include <cmath>

#include "BaseTestUtil.h"
#include "base/QdfException.h"
#include "base/Variant.h"

namespace qdf {
namespace {

TEST(ScriptVariant, ConversionsTextFormsAndTheirErrors) {
  EXPECT_EQ(TVariant(2.5).AsInteger(), 2);  // half to even
  EXPECT_EQ(TVariant(3.5).AsInteger(), 4);
  EXPECT_EQ(TVariant("  42").AsInteger(), 42);
  EXPECT_TRUE(TVariant("TRUE").AsBoolean());
  EXPECT_TRUE(TVariant("2").AsBoolean());
  EXPECT_EQ(TVariant(int64_t{-9000000000}).AsString(), "-9000000000");
  EXPECT_EQ(TVariant::DateTime(36526.5).AsString(), "2000-01-01 12:00:00");
  EXPECT_THROW(TVariant().AsDouble(), EConvertError);
  EXPECT_THROW(TVariant("1x").AsDouble(), EConvertError);
  EXPECT_THROW(TVariant("maybe").AsBoolean(), EConvertError);
  EXPECT_THROW(TVariant(int64_t{1} << 40).AsInteger(), EConvertError);
  EXPECT_THROW(TVariant(3e9).AsInteger(), EConvertError);
  EXPECT_THROW(TVariant(NAN).AsInt64(), EConvertError);
  EXPECT_THROW(TVariant(1e19).AsInt64(), EConvertError);
  EXPECT_EQ(qdf_test::TextOf<EConvertError>([] { TVariant().AsInteger(); }),
            "Could not convert variant of type (Null) into type (Integer)");
  // Text forms of numbers and date-times.
  EXPECT_EQ(DoubleToText(3.0), "3");
  EXPECT_EQ(DoubleToText(3000000000.0), "3000000000");
  EXPECT_EQ(DoubleToText(1.5e-7), "1.5e-07");
  for (double v : {0.1 + 0.2, 1.0 / 3, 6.02214076e23, 5e-324, 1.7976931348623157e308})
    EXPECT_EQ(TextToDouble(DoubleToText(v)), v);
  EXPECT_EQ(DateTimeToText(0), "1899-12-30 00:00:00");
  EXPECT_EQ(DateTimeToText(45351.5 + 1.0 / 86400000 * 250), "2024-02-29 12:00:00.250");
  EXPECT_EQ(DateTimeToText(-1.25), "1899-12-29 06:00:00");
  EXPECT_THROW(DateTimeToText(1e10), EConvertError);
}

}  // namespace
}  // namespace qdf
