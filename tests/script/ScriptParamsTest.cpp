// Parameters of expressions: ":name" scans as one name, the names of a text,
// and compiled nodes that read the bound values without compiling again.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ScriptTestUtil.h"
#include "script/ScriptBook.h"
#include "script/ScriptParams.h"

namespace qdf::testing {
namespace {

class ScriptParamsTest : public ScriptFixture {
 protected:
  // Compiles `text` with `params`' words.
  std::unique_ptr<TvNode> BuildWith(TScriptParams& params, const std::string& text) {
    script_.UseBook("PARAMS", params.Book(&script_));
    auto node = Build(text);
    script_.UseBook("PARAMS", nullptr);
    return node;
  }
};

TEST_F(ScriptParamsTest, NamesAreFoundOnceAndNeverInsideTextsOrOperators) {
  EXPECT_EQ(script_.ParameterNames("a >= :lo and b < :Hi_2 or s = ':no' and c = :LO or K::f"),
            (std::vector<std::string>{"lo", "Hi_2"}));
  EXPECT_EQ(script_.ParameterNames("a + 1"), std::vector<std::string>{});
  // A parameter nothing binds is an error, never a text.
  EXPECT_EQ(Value("a = :lo"), "!Parameter :lo is not bound");
}

TEST_F(ScriptParamsTest, BindingChangesTheValueAndOnlyANewKindChangesTheShape) {
  TScriptParams params({"n", "t"});
  EXPECT_EQ(params.FirstUnbound(), 0);
  params.SetInteger(0, 21);
  params.SetText(1, "ab");
  const uint32_t shape = params.Shape();
  auto sum = BuildWith(params, ":n * 2 + a");
  auto text = BuildWith(params, ":T + s");  // names without regard to case
  a_ = 0;
  s_ = "!";
  auto expect = [&](int32_t n, const std::string& t) {
    Eval(sum.get());
    Eval(text.get());
    EXPECT_EQ(static_cast<TvInt*>(sum.get())->Int(), n);
    EXPECT_EQ(static_cast<TvString*>(text.get())->Str(), t);
  };
  expect(42, "ab!");
  EXPECT_FALSE(sum->IsConstant());
  EXPECT_TRUE(sum->FixedDuringWalk());
  params.SetInteger(0, 5);
  params.SetText(1, "xyz");
  expect(10, "xyz!");
  EXPECT_EQ(params.Shape(), shape);
  params.SetDouble(0, 1.5);
  EXPECT_NE(params.Shape(), shape);
}

}  // namespace
}  // namespace qdf::testing
