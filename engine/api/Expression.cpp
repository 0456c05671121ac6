// Expressions of the public API: Evaluate (an expression without fields,
// computed once) and Expression (one over a table's columns, computed per
// row), over the engine's expression compiler.
#include <memory>
#include <string>
#include <string_view>

#include "api/ApiImpl.h"
#include "base/Helpers.h"
#include "base/QdfException.h"
#include "base/Variant.h"
#include "query/Column.h"
#include "query/FieldExpr.h"
#include "query/QScript.h"
#include "record/Field.h"
#include "record/ItemClass.h"
#include "script/CustomScript.h"
#include "script/Node.h"
#include "table/Table.h"

namespace dbquillon {

using detail::Fail;
using detail::Guarded;

namespace {

// A double always shows a point, so that it reads as a double: 3 -> "3.0",
// 1e+20 -> "1.0e+20".
std::string DoubleText(double v) {
  std::string text = qdf::DoubleToText(v);
  if (text.find_first_of(".in") != std::string::npos) return text;  // has a point, inf, nan
  const size_t e = text.find('e');
  if (e == std::string::npos) return text + ".0";
  return text.insert(e, ".0");
}

// The value of an evaluated node of script type `type` as text.
std::string ValueText(const qdf::TvNode& node, qdf::TScriptType type) {
  using namespace qdf;
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

// The expression part of "expr AS name" (the whole text otherwise).
std::string ExpressionPart(std::string_view text) {
  std::string_view rest = text;
  while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
  size_t blank = rest.find_last_of(' ');
  if (blank == std::string_view::npos) return std::string(text);
  std::string_view head = rest.substr(0, blank);
  while (!head.empty() && head.back() == ' ') head.remove_suffix(1);
  blank = head.find_last_of(' ');
  const std::string_view word = head.substr(blank == std::string_view::npos ? 0 : blank + 1);
  if (!qdf::SameText(word, "AS")) return std::string(text);
  return std::string(head.substr(0, blank == std::string_view::npos ? 0 : blank));
}

}  // namespace

Evaluation Evaluate(std::string_view expression) {
  return Guarded([&] {
    qdf::TCustomScript script;
    const qdf::TScriptType type = script.CompileText(std::string(expression));
    std::unique_ptr<qdf::TvNode> node = script.TakeResult();
    if (!node->IsConstant()) node->Evaluate();
    return Evaluation{script.TypeName(type), ValueText(*node, type)};
  });
}

namespace detail {

ExpressionImpl::~ExpressionImpl() {
  if (!column) return;
  std::lock_guard<std::recursive_mutex> lock(ApiLock());
  column.reset();
}

}  // namespace detail

Expression Table::PrepareExpression(std::string_view expression, std::string_view defaultName) {
  return Guarded([&] {
    qdf::TQdfItemClass* cls = impl_->Live().ItemClass();
    if (cls == nullptr) Fail(ErrorCode::Damaged, "table " + impl_->name + " has no record class");
    qdf::TQScript& script = qdf::QueryScript();
    qdf::TFromScope scope(script, cls);
    const std::string text(expression);
    auto column = std::make_unique<qdf::TQdfColumn>(text, std::string(defaultName));
    if (column->Node() == nullptr) {
      // The column keeps no reason: compile once more for it.
      try {
        script.Scan(ExpressionPart(text));
        script.Compile();
        script.TakeResult();
      } catch (const std::exception& e) {
        script.TakeResult();
        Fail(ErrorCode::Syntax, e.what());
      }
      Fail(ErrorCode::Type, "a value of this type cannot be shown");
    }
    auto impl = std::make_shared<detail::ExpressionImpl>();
    impl->table = impl_;
    impl->name = column->Name();
    impl->column = std::move(column);
    impl_->expressions.push_back(impl);
    return Expression(impl);
  });
}

const std::string& Expression::name() const { return impl_->name; }

void Expression::Text(const Row& row, std::string& out) {
  Guarded([&] {
    if (!impl_->column || !impl_->table->table) {
      Fail(ErrorCode::Misuse, "the expression's table is closed");
    }
    if (row.table_ != impl_->table) Fail(ErrorCode::Misuse, "a row of another table");
    impl_->table->MoveTo(row.position_);
    qdf::TvNode* node = impl_->column->Node();
    if (node->InheritsFrom(qdf::TndField::kClass)) {
      qdf::TQdfField* field = static_cast<qdf::TndField*>(node)->Field();
      out = field != nullptr ? field->GetAsString() : std::string();
      return 0;
    }
    try {
      if (!node->IsConstant()) node->Evaluate();
      qdf::OperandVariant(node, impl_->scratch);
      out = impl_->scratch.AsString();
    } catch (const qdf::Exception& e) {
      // Arithmetic on a null value raises the conversion error of a null
      // variant: the value is unknown, and so is the result, null.
      out.clear();
      if (e.Message().find("(Null)") == std::string::npos) Fail(ErrorCode::Type, e.Message());
    }
    return 0;
  });
}

std::string Expression::Text(const Row& row) {
  std::string out;
  Text(row, out);
  return out;
}

}  // namespace dbquillon
