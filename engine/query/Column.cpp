#include "query/Column.h"

#include <exception>
#include <string_view>

#include "base/Helpers.h"
#include "query/FieldExpr.h"
#include "query/QScript.h"
#include "record/Field.h"
#include "record/ItemClass.h"

namespace qdf {

namespace {

// Result types a column keeps: values a record field can hold.
bool AcceptedType(TScriptType type) {
  switch (type & kTypeMask) {
    case kTypeInteger:
    case kTypeDouble:
    case kTypeBoolean:
    case kTypePChar:
    case kTypeDateTime:
    case kTypeObjectID:
    case kFieldTypeInteger:
    case kFieldTypeFloat:
    case kFieldTypeBoolean:
    case kFieldTypeChar:
    case kFieldTypeDateTime:
    case kFieldTypeObjectID:
      return true;
    default:
      return false;
  }
}

// The field bound to a plain field node, or nullptr.
TQdfField* FieldOfNode(const TvNode* node) {
  if (node == nullptr || !node->InheritsFrom(TndField::kClass)) return nullptr;
  return static_cast<const TndField*>(node)->Field();
}

// Takes the last blank-separated word off `text` (trailing blanks first);
// empty when there is none.
std::string_view TakeLastWord(std::string_view& text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  const size_t blank = text.find_last_of(' ');
  const size_t start = blank == std::string_view::npos ? 0 : blank + 1;
  std::string_view word = text.substr(start);
  text = text.substr(0, start);
  return word;
}

}  // namespace

TQdfColumn::TQdfColumn(const std::string& text, const std::string& default_name) {
  std::string_view rest = text;
  const std::string_view last = TakeLastWord(rest);
  const std::string_view second = TakeLastWord(rest);
  std::string expression = text;
  bool named = false;
  if (SameText(second, "AS") && !last.empty()) {
    expression = std::string(rest);
    name_ = std::string(last);
    named = true;
  }
  TQScript& script = QueryScript();
  TScriptType type = kTypeNull;
  try {
    script.Scan(expression);
    type = script.Compile();
    node_ = script.TakeResult();
  } catch (const std::exception&) {
    node_.reset();
    script.TakeResult();
  }
  if (node_ && !AcceptedType(type)) node_.reset();
  TQdfField* field = FieldOfNode(node_.get());
  if (!named) name_ = field != nullptr ? field->ObjectName() : default_name;
  if (!node_) return;
  switch (node_->ValueTag()) {
    case 0:
      field_class_name_ = "TQdfIntegerField";
      break;
    case 1:
      field_class_name_ = "TQdfBooleanField";
      break;
    case 3:
    case 12:
    case 50:
      field_class_name_ = "TQdfFloatField";
      break;
    case 11:
      field_class_name_ = "TQdfCharField";
      break;
    case 51:
      field_class_name_ = "TQdfObjectIDField";
      break;
    case 52:
      field_class_name_ = "TQdfReferenceField";
      break;
    case 7:
      if (field != nullptr) field_class_name_ = field->ClassInfo()->name;
      break;
    default:
      break;
  }
}

TQdfColumnSelection::TQdfColumnSelection(TQdfItemClass* cls, const std::vector<std::string>& texts)
    : item_class_(cls) {
  if (texts.empty()) return;
  if (cls == nullptr) {
    for (const std::string& text : texts) Add(text);
    return;
  }
  TFromScope scope(QueryScript(), cls);
  if (texts.size() == 1 && Trim(texts[0]) == "*") {
    for (int i = 0; i < cls->FieldCount(); ++i) Add(cls->FieldAt(i)->ObjectName());
    return;
  }
  for (const std::string& text : texts) Add(text);
}

void TQdfColumnSelection::Add(const std::string& text) {
  auto column = std::make_unique<TQdfColumn>(text, "Field_" + std::to_string(Count() + 1));
  if (column->Node() != nullptr) columns_.push_back(std::move(column));
}

}  // namespace qdf
