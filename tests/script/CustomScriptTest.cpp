// The compiler: ownership of the result, external books,
// object words and member resolution.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ScriptTestUtil.h"

namespace qdf::testing {
namespace {

using ScriptCompile = ScriptFixture;

// A book with one section holding an integer constant `name` = value.
std::unique_ptr<TScriptBook> BookWith(const std::string& name, int32_t value) {
  auto book = std::make_unique<TScriptBook>();
  TScriptWords* section = book->AddSection("WORDS");
  auto word = std::make_unique<TScriptWord>(section);
  word->Info().flags = kWfLiteral;
  word->Info().type = kTypeInteger;
  word->Info().value.i = value;
  book->AddWord(section, name, word.release());
  return book;
}

TEST_F(ScriptCompile, OwnershipOfTheResultCompilesOfScannedListsAndVariables) {
  // An untaken result is replaced by the next compile; a taken one is the
  // caller's.
  script_.CompileText("a + 1");
  std::unique_ptr<TvNode> taken = script_.TakeResult();
  EXPECT_EQ(script_.ResultNode(), nullptr);
  script_.CompileText("b + 1");
  a_ = 41;
  taken->Evaluate();
  EXPECT_EQ(static_cast<TvInt*>(taken.get())->Int(), 42);
  // A failed compile leaves no result, not the untaken one before it.
  EXPECT_THROW(script_.CompileText("1 +"), Exception);
  EXPECT_EQ(script_.ResultNode(), nullptr);
  // A scanned list compiles again to the same tree.
  script_.Scan("Round((2.5)) + Copy('abc', a, (2)).Upper.Copy(1, 1).ToInt");
  EXPECT_EQ(script_.Compile(), kTypeInteger);
  EXPECT_EQ(script_.Compile(), kTypeInteger);
  EXPECT_THROW(static_cast<TvInt*>(script_.ResultNode())->Evaluate(), EConvertError);
  // Compile from an explicit item: the second half of a scanned text.
  script_.Scan("1 2 + 3");
  EXPECT_EQ(script_.Compile(script_.Result().Head()->next), kTypeInteger);
  EXPECT_EQ(static_cast<TvInt*>(script_.ResultNode())->Int(), 5);
  // Variables are read at every evaluation.
  auto node = Build("b >= 1000 and b < 1100");
  int hits = 0;
  for (b_ = 900; b_ < 1200; ++b_) {
    if (BoolOf(node)) ++hits;
  }
  EXPECT_EQ(hits, 100);
  auto text = Build("s + '!'");
  for (const char* value : {"one", "two"}) {
    s_ = value;
    text->Evaluate();
    EXPECT_EQ(static_cast<TvString*>(text.get())->Str(), s_ + "!");
  }
  EXPECT_THROW(script_.AddVariable(vars_, "flag", kTypeBoolean, &a_), Exception);
}

TEST_F(ScriptCompile, ExternalBooksObjectWordsAndMemberResolution) {
  script_.UseBook("Alpha", BookWith("w", 1));
  script_.UseBook("Beta", BookWith("w", 2));
  EXPECT_EQ(EvalInt("w"), 2);
  script_.ExternalBook("beta")->SetEnabled(false);
  EXPECT_EQ(EvalInt("w"), 1);
  script_.ExternalBook("beta")->SetEnabled(true);
  // Registering a name again replaces its book; no book removes it.
  script_.UseBook("BETA", BookWith("w", 3));
  EXPECT_EQ(EvalInt("w"), 3);
  script_.UseBook("Beta", nullptr);
  EXPECT_EQ(script_.ExternalBook("Beta"), nullptr);
  EXPECT_EQ(EvalInt("w"), 1);
  // The script's own book comes first.
  script_.UseBook("Gamma", BookWith("a", 99));
  EXPECT_EQ(EvalInt("a"), a_);
  script_.UseBook("Alpha", nullptr);
  EXPECT_EQ(Build("w")->ClassInfo().name, std::string("TvString"));  // a bare TOKEN
  EXPECT_EQ(type_, kTypeToken);
  // Object words and member resolution.
  TObject thing;
  TScriptWords* objects = script_.AddSection("OBJECTS");
  TObjectVarWord* word = script_.AddObjectWord(objects, "obj", &thing, 12);
  auto node = Build("obj");
  EXPECT_EQ(type_, 12);
  ASSERT_TRUE(node->InheritsFrom(TvObjectNode::kClass));
  EXPECT_EQ(static_cast<TvObjectNode*>(node.get())->Object(), &thing);
  EXPECT_TRUE(node->IsConstant());

  // obj.size names the word "obj.size"; unknown members leave the "." alone.
  script_.AddIntConst(objects, "obj.size", kTypeInteger, 42);
  word->SetMemberResolver(
      [this](const std::string& member) { return script_.FindWord("obj." + member); });
  EXPECT_EQ(EvalInt("obj.size + 1"), 43);
  EXPECT_EQ(EvalInt("obj . size"), 42);
  EXPECT_EQ(Value("obj.missing"), "!. no function call");
  EXPECT_EQ(Value("obj."), "!. no function call");
  // Values without a resolver keep the member-call meaning.
  EXPECT_EQ(Value("s.Upper"), "PCHAR TEXT");
}

}  // namespace
}  // namespace qdf::testing
