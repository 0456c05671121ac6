// Shared fixture of the expression-language tests: a script with integer
// variables a..d, double variables x and y, a string variable s.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/QdfException.h"
#include "base/Variant.h"
#include "script/CustomScript.h"
#include "script/NodesArith.h"
#include "script/NodesLogic.h"

namespace qdf::testing {

// The value of a boolean node, evaluated first unless it is constant.
template <typename TNode>
bool BoolOf(const std::unique_ptr<TNode>& n) {
  if (!n->IsConstant()) n->Evaluate();
  return static_cast<TvBool*>(n.get())->Bool();
}

class ScriptFixture : public ::testing::Test {
 protected:
  ScriptFixture() {
    vars_ = script_.AddSection("TEST_VARIABLES");
    script_.AddVariable(vars_, "a", kTypeInteger, &a_);
    script_.AddVariable(vars_, "b", kTypeInteger, &b_);
    script_.AddVariable(vars_, "c", kTypeInteger, &c_);
    script_.AddVariable(vars_, "d", kTypeInteger, &d_);
    script_.AddVariable(vars_, "x", kTypeDouble, &x_);
    script_.AddVariable(vars_, "y", kTypeDouble, &y_);
    script_.AddVariable(vars_, "s", kTypePChar, &s_);
  }

  // Compiles `text`; returns the tree and stores its type in type_.
  std::unique_ptr<TvNode> Build(const std::string& text) {
    type_ = script_.CompileText(text);
    return script_.TakeResult();
  }
  static void Eval(TvNode* node) {
    if (!node->IsConstant()) node->Evaluate();
  }
  int32_t EvalInt(const std::string& text) {
    auto node = Build(text);
    EXPECT_EQ(type_, kTypeInteger) << text;
    Eval(node.get());
    return static_cast<TvInt*>(node.get())->Int();
  }
  // "TYPE value" of `text` ("INTEGER -4", "DOUBLE 0.5", "BOOLEAN true",
  // "PCHAR ab"), or "!" and the message of the error that compiling or
  // evaluating it raises.
  std::string Value(const std::string& text) {
    try {
      auto node = Build(text);
      Eval(node.get());
      std::string value;
      switch (node->Kind()) {
        case kKindInt:
          value = std::to_string(static_cast<TvInt*>(node.get())->Int());
          break;
        case kKindDouble:
          value = DoubleToText(static_cast<TvDouble*>(node.get())->Dbl());
          break;
        case kKindBool:
          value = static_cast<TvBool*>(node.get())->Bool() ? "true" : "false";
          break;
        case kKindString:
          value = static_cast<TvString*>(node.get())->Str();
          break;
        default:
          value = "?";
      }
      return ScriptTypeName(type_) + " " + value;
    } catch (const Exception& e) {
      EXPECT_EQ(script_.ResultNode(), nullptr);
      return std::string("!") + e.what();
    }
  }
  TCustomScript script_;
  TScriptWords* vars_ = nullptr;
  TScriptType type_ = kTypeNull;
  int32_t a_ = 1, b_ = 2, c_ = 3, d_ = 4;
  double x_ = 0.5, y_ = 2.0;
  std::string s_ = "text";
};

}  // namespace qdf::testing
