#include "query/TableOp.h"

#include <utility>

#include "base/Bytes.h"
#include "base/Helpers.h"
#include "base/ItemArea.h"
#include "base/QdfException.h"
#include "query/FieldExpr.h"
#include "reader/PageReader.h"
#include "record/Field.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "script/Node.h"
#include "storage/Storage.h"
#include "table/BlobField.h"
#include "table/Index.h"
#include "table/Table.h"

namespace qdf {

namespace {

// Evaluates a boolean filter on the current record (or key).
inline bool Holds(TvNode* filter) {
  EvaluateIfNeeded(filter);
  return static_cast<TvBool*>(filter)->Bool();
}

bool IsConstantFalse(const TvNode* filter) {
  return filter->IsConstant() && filter->Kind() == kKindBool &&
         !static_cast<const TvBool*>(filter)->Bool();
}

// The field a column copies unchanged, or nullptr.
TQdfField* PlainField(TvNode* node) {
  if (!node->InheritsFrom(TndField::kClass)) return nullptr;
  auto* field_node = static_cast<TndField*>(node);
  return field_node->IsBound() ? field_node->Field() : nullptr;
}

}  // namespace

std::string OrderTextOf(const TQdfIndex& index, bool reversed) {
  std::string text;
  for (const TQdfField* f : index.KeyFields()) {
    if (f->IsKindOf(TQdfShortReferenceField::kClassInfo) &&
        SameText(std::string_view(f->ObjectName()).substr(0, 4), "REF$")) {
      continue;
    }
    if (!text.empty()) text += ",";
    if (f->Ascending() == reversed) text += "DESC ";
    text += f->ObjectName();
  }
  return text;
}

// ---- TQdfCustomTableOp ----

TQdfCustomTableOp::TQdfCustomTableOp(std::unique_ptr<TQdfColumnSelection> columns)
    : columns_(std::move(columns)) {}

TQdfCustomTableOp::~TQdfCustomTableOp() = default;

std::string TQdfCustomTableOp::OrderText() const {
  return order_source_ != nullptr ? OrderTextOf(*order_source_, order_reversed_) : std::string();
}

// ---- TQdfBasicTableOp ----

TQdfBasicTableOp::TQdfBasicTableOp(TQdfTable& table, TQdfItemClass* cls,
                                   const std::vector<std::string>& columns)
    : TQdfCustomTableOp(
          std::make_unique<TQdfColumnSelection>(cls != nullptr ? cls : table.ItemClass(), columns)),
      table_(table),
      item_class_(cls != nullptr ? cls : table.ItemClass()) {}

void TQdfBasicTableOp::First() {
  first_pending_ = false;
  table_.First();
  fresh_ = true;
  order_source_ = table_.CurrentIndex();
  order_reversed_ = false;
}

bool TQdfBasicTableOp::Next() {
  if (fresh_) {
    fresh_ = false;
  } else {
    table_.Next();
  }
  return table_.Cursor().Item() != nullptr;
}

int64_t TQdfBasicTableOp::InsertInto(TQdfTable& dest, const std::vector<TQdfField*>& fields,
                                     TQdfItemClass* dest_class) {
  const int n = columns_->Count();
  std::vector<TQdfField*> targets = fields;
  TQdfItemClass* cls = dest_class != nullptr ? dest_class : dest.ItemClass();
  if (targets.empty()) {
    if (cls == nullptr || cls->FieldCount() != n) {
      throw EQdfException("Source and Destination Columns do not match");
    }
    for (int i = 0; i < n; ++i) targets.push_back(cls->FieldAt(i));
  } else if (static_cast<int>(targets.size()) != n) {
    throw EQdfException("Source and Destination Columns do not match");
  }
  // A destination ThisID keeps the new ID its insert drew: a copied ID would
  // name two records. Columns that are plain fields of the destination's
  // field class copy their stored bytes; others go through a variant. A blob
  // is copied by value: the row gets a blob of its own (the source may lie
  // in another database).
  std::vector<bool> skip(static_cast<size_t>(n), false);
  std::vector<bool> by_value(static_cast<size_t>(n), false);
  std::vector<TQdfField*> plain(static_cast<size_t>(n), nullptr);
  for (int i = 0; i < n; ++i) {
    TQdfField* target = targets[static_cast<size_t>(i)];
    auto* owner = dynamic_cast<TQdfItemClass*>(target->ItemClass());
    skip[static_cast<size_t>(i)] = (owner != nullptr && owner->ThisIDField() == target) ||
                                   (cls != nullptr && cls->ThisIDField() == target);
    TQdfField* source = PlainField(columns_->Column(i).Node());
    if (source != nullptr && source->ClassInfo() == targets[static_cast<size_t>(i)]->ClassInfo()) {
      plain[static_cast<size_t>(i)] = source;
      by_value[static_cast<size_t>(i)] = source->IsKindOf(TQdfBlobField::kClassInfo);
    }
  }
  if (first_pending_) First();
  TVariant value;
  int64_t count = 0;
  while (Next()) {
    dest.Insert(dest_class);
    for (int i = 0; i < n; ++i) {
      if (skip[static_cast<size_t>(i)]) continue;
      TQdfField* target = targets[static_cast<size_t>(i)];
      if (TQdfField* source = plain[static_cast<size_t>(i)]) {
        if (by_value[static_cast<size_t>(i)]) {
          target->Assign(*source);
          continue;
        }
        int length = 0;
        const uint8_t* data = source->GetData(&length);
        target->SetData(data, length);
        target->SetModified(true);
        continue;
      }
      TvNode* node = columns_->Column(i).Node();
      EvaluateIfNeeded(node);
      node->GetVariant(value);
      target->SetAsVariant(value);
      target->SetModified(true);
    }
    dest.Post();
    ++count;
  }
  return count;
}

// ---- TQdfFilteredTableOp ----

TQdfFilteredTableOp::TQdfFilteredTableOp(TQdfTable& table, uint8_t options, TQdfIndex* index,
                                         TQdfItemClass* cls, std::unique_ptr<TvNode> filter,
                                         const std::vector<std::string>& columns)
    : TQdfBasicTableOp(table, cls, columns),
      options_(options),
      named_index_(index),
      filter_(std::move(filter)) {}

TQdfFilteredTableOp::~TQdfFilteredTableOp() = default;

std::string TQdfFilteredTableOp::OrderText() const {
  if (choice_.index == nullptr || choice_.object_id) return std::string();
  return OrderTextOf(*choice_.index, backward_);
}

void TQdfFilteredTableOp::Close() {
  pages_.Clear();
  done_ = true;
}

void TQdfFilteredTableOp::Prepare() {
  prepared_ = true;
  if ((options_ & kOpDefault) == kOpDefault || named_index_ != nullptr) {
    choice_ = ChooseIndex(std::move(filter_), table_, item_class_, named_index_);
  } else {
    choice_.remaining = filter_ ? std::move(filter_) : NewBoolLiteral(true);
  }
  check_class_ = item_class_ != table_.ItemClass();
  if (choice_.index == nullptr) return;
  // The index covers the operation's class or a base of it; only in the
  // latter case can a key name a record of another class.
  check_class_ = choice_.check_class;
  const uint8_t keep = options_ & kOpStopAfterFirst;
  options_ = static_cast<uint8_t>(kOpStopAtFail | kOpExamineCurrent | keep |
                                  (choice_.Backward() ? kOpBackward : 0));
}

void TQdfFilteredTableOp::First() {
  first_pending_ = false;
  if (!prepared_) Prepare();
  fresh_ = true;
  passed_before_ = (options_ & kOpPassedClear) == 0;
  backward_ = (options_ & kOpBackward) != 0;
  pages_.Clear();
  physical_ = false;
  done_ = false;
  visited_ = 0;
  examine_current_ = false;
  order_source_ = nullptr;

  if (choice_.index != nullptr && choice_.object_id) {
    // A direct lookup: the record of the object ID, when it lies in this
    // table and is of the operation's class.
    result_adr_ = kNullAdr;
    TvNode* value = choice_.index_filter->Comparison(0)->ValueNode();
    EvaluateIfNeeded(value);
    int64_t id = 0;
    if (value->Kind() == kKindInt64) {
      id = Int64Of(value);
    } else {
      TVariant v;
      OperandVariant(value, v);
      if (v.IsNull()) return;
      id = VariantToInt64(v);
    }
    TObjectID oid;
    StoreU64(oid.data(), static_cast<uint64_t>(id));  // as TQdfObjectIDField::SetAsInt64
    auto* storage = dynamic_cast<TQdfStorage*>(table_.Storage());
    TItemAdr adr;
    if (storage == nullptr || !storage->AddressOfID(oid, &adr)) return;
    const uint8_t* item = table_.GetItem(adr);
    if (item != nullptr && LoadU16(item) >= kRecBodyStart && item_class_->AcceptsRecord(item)) {
      result_adr_ = adr;
    }
    return;
  }
  if (choice_.index != nullptr) {
    order_source_ = choice_.index;
    order_reversed_ = backward_;
    PositionOnRange(choice_);
    examine_current_ = true;
    return;
  }
  if ((options_ & kOpFromEnd) == 0) {
    current_ = table_.Cursor().Address();
    examine_current_ = (options_ & kOpExamineCurrent) != 0;
    fresh_ = examine_current_;
    return;
  }
  if (backward_) {
    current_ = kNullAdr;
    table_.PriorItem(current_);
    examine_current_ = true;
  } else if ((options_ & kOpPhysical) != 0) {
    // Every page of the chain, visited in ascending page order: the file is
    // read front to back whatever order the chain grew in.
    // (Not the pages the cache happens to hold: a table larger than the cache
    // would lose rows.)
    for (uint32_t page : table_.PagesInFileOrder()) pages_.Append(TItemAdr{page, 0});
    physical_ = true;
    page_pos_ = -1;
    slot_count_ = 0;
    current_ = kNullAdr;
  } else {
    current_ = kBeforeFirstAdr;
    table_.NextItem(current_);
    examine_current_ = true;
  }
}

bool TQdfFilteredTableOp::StepTable() {
  if (physical_) {
    if (page_pos_ >= 0 && current_.slot + 1 < slot_count_) {
      ++current_.slot;
      return true;
    }
    while (++page_pos_ < pages_.Count()) {
      const uint32_t page = pages_.Adr(page_pos_).page;
      page_buf_ = table_.ScanPage(page, &slot_count_);
      page_stamp_ = ItemLayoutStamp();
      if (page_buf_ != nullptr && slot_count_ > 0) {
        current_ = TItemAdr{page, 0};
        return true;
      }
    }
    return false;
  }
  if (backward_) {
    if (current_ == kBeforeFirstAdr) return false;
    table_.PriorItem(current_);
    return !(current_ == kBeforeFirstAdr);
  }
  if (current_.IsNull()) return false;
  table_.NextItem(current_);
  return !current_.IsNull();
}

bool TQdfFilteredTableOp::End() {
  done_ = true;
  table_.SetCursorAddress(backward_ ? kBeforeFirstAdr : kNullAdr);
  return false;
}

bool TQdfFilteredTableOp::Pass() {
  if ((options_ & kOpStopAfterFirst) != 0) done_ = true;
  passed_before_ = true;
  return true;
}

bool TQdfFilteredTableOp::NextInTable() {
  TvNode* filter = choice_.remaining.get();
  TQdfItemProvider& cursor = table_.Cursor();
  for (;;) {
    if (examine_current_) {
      examine_current_ = false;
      if (current_.page == kNoPage && !StepTable()) return End();
    } else if (!StepTable()) {
      return End();
    }
    const uint8_t* item;
    if (physical_) {
      if (page_stamp_ != ItemLayoutStamp()) {
        // Items may have moved (a post, a page given back): fetch the page again.
        page_buf_ = table_.ScanPage(current_.page, &slot_count_);
        page_stamp_ = ItemLayoutStamp();
        if (page_buf_ == nullptr || current_.slot >= slot_count_) {
          slot_count_ = 0;
          continue;
        }
      }
      item = table_.SetCursorInPage(page_buf_, current_);
    } else {
      table_.SetCursorAddress(current_);
      item = cursor.Item();
    }
    if (item == nullptr) continue;
    ++visited_;
    if (check_class_ && !item_class_->AcceptsRecord(item)) continue;
    if (!Holds(filter)) {
      if (passed_before_ && (options_ & kOpStopAtFail) != 0) return End();
      continue;
    }
    return Pass();
  }
}

bool TQdfFilteredTableOp::NextInIndex() {
  TQdfIndex* index = choice_.index;
  TvNode* key_filter = choice_.index_filter.get();
  TvNode* filter = choice_.remaining.get();
  TQdfItemProvider& cursor = table_.Cursor();
  for (;;) {
    if (examine_current_) {
      examine_current_ = false;
    } else if (backward_) {
      index->Prior();
    } else {
      index->Next();
    }
    const TItemAdr pos = index->Position();
    if (pos.IsNull() || pos == kBeforeFirstAdr) return End();
    ++visited_;
    // The key fields read the index's current key: no record is read for a
    // key outside the filter.
    if (!Holds(key_filter)) {
      if (passed_before_ && (options_ & kOpStopAtFail) != 0) return End();
      continue;
    }
    // The record the key names, so that the remaining filter, the class test
    // and the caller all see it (also when nothing remains to be tested).
    table_.SetCursorAddress(index->RecordOfKey(index->CurrentKey()));
    const uint8_t* item = cursor.Item();
    if (item == nullptr) continue;
    if (check_class_ && !item_class_->AcceptsRecord(item)) continue;
    if (!Holds(filter)) continue;
    return Pass();
  }
}

bool TQdfFilteredTableOp::Next() {
  if (first_pending_) First();
  if (done_) return false;
  fresh_ = false;
  if (IsConstantFalse(choice_.remaining.get())) return End();
  if (choice_.index != nullptr && choice_.object_id) {
    done_ = true;
    if (result_adr_.IsNull()) return End();
    table_.SetCursorAddress(result_adr_);
    if (table_.Cursor().Item() == nullptr || !Holds(choice_.remaining.get())) return End();
    passed_before_ = true;
    return true;
  }
  return choice_.index != nullptr ? NextInIndex() : NextInTable();
}

// ---- TQdfUpdateableFilterOp ----

void TQdfUpdateableFilterOp::Close() {
  TQdfFilteredTableOp::Close();
  rows_.Clear();
  next_adr_ = kNullAdr;
}

void TQdfUpdateableFilterOp::First() {
  TQdfFilteredTableOp::First();
  rows_.Clear();
  row_pos_ = 0;
  next_adr_ = kNullAdr;
  collected_ = choice_.index != nullptr && !choice_.object_id;
  if (collected_) {
    // A change of the current row could move its key ahead of the walk (the
    // row would come again) or behind it; the rows are fixed before the
    // caller changes any.
    while (TQdfFilteredTableOp::Next()) rows_.Append(table_.Cursor().Address());
    if (rows_.Count() > 0) next_adr_ = rows_.Adr(0);
    return;
  }
  if (TQdfFilteredTableOp::Next()) next_adr_ = table_.Cursor().Address();
}

bool TQdfUpdateableFilterOp::Next() {
  if (first_pending_) First();
  for (;;) {
    if (next_adr_.IsNull()) return false;
    const TItemAdr current = next_adr_;
    if (collected_) {
      ++row_pos_;
      next_adr_ = row_pos_ < rows_.Count() ? rows_.Adr(row_pos_) : kNullAdr;
      table_.SetCursorAddress(current);
      // A collected row the caller deleted meanwhile is skipped.
      if (table_.Cursor().Item() == nullptr) continue;
      return true;
    }
    // The following row is found before the caller may change this one.
    table_.SetCursorAddress(current);
    next_adr_ = TQdfFilteredTableOp::Next() ? table_.Cursor().Address() : kNullAdr;
    table_.SetCursorAddress(current);
    return true;
  }
}

// ---- table operations that run through a filtered operation ----

void ForEachMatchOf(TQdfTable& table, std::unique_ptr<TvNode> filter, uint8_t options,
                    const TRecordVisitor& visitor, const TRecordVisitor& deferred) {
  TQdfFilteredTableOp op(table, options, nullptr, nullptr, std::move(filter));
  TaItemAdrList rows;
  bool stop = false;
  op.First();
  while (op.Next()) {
    if (deferred) rows.Append(table.Cursor().Address());
    if (visitor) {
      visitor(table, stop);
      if (stop) break;
    }
  }
  if (!deferred) return;
  stop = false;
  for (int i = rows.Count(); i-- > 0 && !stop;) {
    table.SetCursorAddress(rows.Adr(i));
    if (table.Cursor().Item() == nullptr) continue;
    deferred(table, stop);
  }
}

int64_t DeleteWhereOf(TQdfTable& table, std::unique_ptr<TvNode> filter, TQdfItemClass* cls) {
  TaItemAdrList rows;
  {
    TQdfFilteredTableOp op(table, kOpDefault, nullptr, cls, std::move(filter));
    op.First();
    while (op.Next()) rows.Append(table.Cursor().Address());
  }
  if (rows.Count() == 0) return 0;
  // No reader bracket around the loop: each delete takes its own, so the
  // cache may trim between records instead of holding every page touched.
  int64_t deleted = 0;
  for (int i = rows.Count(); i-- > 0;) {
    table.SetCursorAddress(rows.Adr(i));
    if (table.Cursor().Item() == nullptr) continue;
    table.Delete(false);
    ++deleted;
  }
  return deleted;
}

}  // namespace qdf
