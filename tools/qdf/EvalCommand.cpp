// qdf eval EXPRESSION
#include <cstdio>
#include <string>

#include "Commands.h"
#include "base/QdfException.h"
#include "base/Variant.h"
#include "script/CustomScript.h"

namespace qdf::tool {

namespace {

// A double always shows a point, so that it reads as a double: 3 -> "3.0",
// 1e+20 -> "1.0e+20".
std::string DoubleText(double v) {
  std::string text = DoubleToText(v);
  if (text.find_first_of(".in") != std::string::npos) return text;  // has a point, inf, nan
  const size_t e = text.find('e');
  if (e == std::string::npos) return text + ".0";
  return text.insert(e, ".0");
}

// The value of an evaluated node of script type `type` as text.
std::string ValueText(const TvNode& node, TScriptType type) {
  switch (type) {
    case kTypeNull:
    case kTypeNullVar:
      return std::string();
    case kTypeDateTime:
      return DateTimeToText(static_cast<const TvDouble&>(node).Dbl());
    case kTypeDouble:
      return DoubleText(static_cast<const TvDouble&>(node).Dbl());
    default:
      break;
  }
  switch (node.Kind()) {
    case kKindInt:
      return std::to_string(static_cast<const TvInt&>(node).Int());
    case kKindInt64:
      return std::to_string(Int64Of(&node));
    case kKindDouble:
      return DoubleText(static_cast<const TvDouble&>(node).Dbl());
    case kKindBool:
      return static_cast<const TvBool&>(node).Bool() ? "True" : "False";
    case kKindString:
      return static_cast<const TvString&>(node).Str();
    default:
      break;
  }
  TVariant v;
  OperandVariant(&node, v);
  return v.AsString();
}

}  // namespace

int EvalCommand(int argc, char** argv) {
  if (argc != 1) {
    std::fprintf(stderr, "usage: qdf eval EXPRESSION\n");
    return 2;
  }
  try {
    TCustomScript script;
    const TScriptType type = script.CompileText(argv[0]);
    std::unique_ptr<TvNode> node = script.TakeResult();
    if (!node->IsConstant()) node->Evaluate();
    std::string line = script.TypeName(type) + " " + ValueText(*node, type) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    return 0;
  } catch (const Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}

}  // namespace qdf::tool
