#include "script/ScriptParams.h"

#include "base/Helpers.h"
#include "script/ScriptBook.h"
#include "script/ScriptTypes.h"
#include "script/ScriptWord.h"

namespace qdf {

TScriptParams::TScriptParams(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    auto slot = std::make_unique<TSlot>();
    slot->name = name;
    slots_.push_back(std::move(slot));
  }
}

TScriptParams::~TScriptParams() = default;

int TScriptParams::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (CompareText(slots_[i]->name, std::string(name)) == 0) return static_cast<int>(i);
  }
  return -1;
}

int TScriptParams::FirstUnbound() const {
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i]->kind == kUnbound) return static_cast<int>(i);
  }
  return -1;
}

void TScriptParams::SetKind(TSlot& slot, TKind kind) {
  if (slot.kind == kind) return;
  slot.kind = kind;
  ++shape_;
}

void TScriptParams::SetInteger(int i, int32_t value) {
  TSlot& slot = *slots_[static_cast<size_t>(i)];
  SetKind(slot, kInteger);
  slot.integer = value;
}

void TScriptParams::SetDouble(int i, double value) {
  TSlot& slot = *slots_[static_cast<size_t>(i)];
  SetKind(slot, kDouble);
  slot.dbl = value;
}

void TScriptParams::SetText(int i, std::string value) {
  TSlot& slot = *slots_[static_cast<size_t>(i)];
  SetKind(slot, kText);
  slot.text = std::move(value);
}

std::unique_ptr<TScriptBook> TScriptParams::Book(TBasicScript* script) const {
  auto book = std::make_unique<TScriptBook>(script, 61);
  TScriptWords* section = book->AddSection("PARAMS");
  for (const auto& slot : slots_) {
    TScriptType type = kTypeNull;
    const void* ref = nullptr;
    switch (slot->kind) {
      case kInteger:
        type = kTypeInteger;
        ref = &slot->integer;
        break;
      case kDouble:
        type = kTypeDouble;
        ref = &slot->dbl;
        break;
      case kText:
        type = kTypePChar;
        ref = &slot->text;
        break;
      case kUnbound:
        continue;
    }
    // A variable word, as TCustomScript::AddVariable makes them.
    auto word = std::make_unique<TScriptWord>(section);
    word->Info().flags = kWfNamed;
    word->Info().type = static_cast<TScriptType>(type | kTypeByRef);
    word->Info().value.ref = ref;
    book->AddWord(section, ":" + slot->name, word.release());
  }
  return book;
}

}  // namespace qdf
