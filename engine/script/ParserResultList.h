// TParseItem and TParserResultList: the items the scanner produces and the
// parser orders.
//
// The scanner appends one item per token (linked by `next`); the parser links
// its postfix output through `output_link` and adds cast items of its own.
// Every item belongs to the list and lives until the list is cleared.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/Object.h"
#include "script/ScriptWord.h"

namespace qdf {

struct TParseItem {
  TParseItem* next = nullptr;         // scanned order
  TParseItem* output_link = nullptr;  // postfix order
  // Flags, text, word, type, precedence and the literal's value.
  TWordInfo info;
  // Arguments counted so far: of a function call, or of the opening pair
  // that collects them.
  uint16_t arg_count = 0;
  // An opening pair that collects a function's arguments.
  bool is_call = false;
};

class TParserResultList : public TObject {
 public:
  TParserResultList() = default;
  TParserResultList(const TParserResultList&) = delete;
  TParserResultList& operator=(const TParserResultList&) = delete;

  TParseItem* Head() const { return head_; }
  TParseItem* Tail() const { return tail_; }
  bool Empty() const { return head_ == nullptr; }

  // A new item owned by the list, not linked into the scanned order.
  TParseItem* NewItem() {
    items_.push_back(std::make_unique<TParseItem>());
    return items_.back().get();
  }
  // Links `item` (from NewItem) at the end of the scanned order.
  void Append(TParseItem* item) {
    item->next = nullptr;
    if (tail_ != nullptr) {
      tail_->next = item;
    } else {
      head_ = item;
    }
    tail_ = item;
  }
  // Frees every item.
  void Clear() {
    head_ = tail_ = nullptr;
    items_.clear();
  }

 private:
  TParseItem* head_ = nullptr;
  TParseItem* tail_ = nullptr;
  std::vector<std::unique_ptr<TParseItem>> items_;
};

}  // namespace qdf
