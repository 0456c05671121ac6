#include "query/TableOp.h"

#include <algorithm>
#include <utility>

#include "base/Bytes.h"
#include "base/Helpers.h"
#include "base/ItemArea.h"
#include "base/QdfException.h"
#include "query/ClassExpr.h"
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

// Adds to *out the fields of `list`'s records that `node` reads; false when
// it reads the record otherwise too (its class, a field found by name or
// through a reference), so that no image of the record can stand in for it.
bool CollectFields(const TvNode* node, const void* list, std::vector<TQdfField*>* out) {
  if (node == nullptr) return true;
  if (node->InheritsFrom(TndField::kClass)) {
    const TNodeClass& cls = node->ClassInfo();
    const auto* f = static_cast<const TndField*>(node);
    if ((&cls != &TndField::kClass && &cls != &TndNullField::kClass) || !f->IsBound()) {
      return false;
    }
    if (f->Field() != nullptr && f->RefersTo(list)) out->push_back(f->Field());
    return true;
  }
  if (node->InheritsFrom(TndItemProvider::kClass) || node->InheritsFrom(TndItemClass::kClass)) {
    return false;
  }
  for (size_t i = 0; i < node->ArgCount(); ++i) {
    if (!CollectFields(node->Arg(i), list, out)) return false;
  }
  return true;
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
  // The keys of the new rows go into dest's indexes sorted, after the copy.
  TDeferredIndexUpkeep upkeep(dest);
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
    upkeep.Step();
    ++count;
  }
  upkeep.Apply();
  return count;
}

// ---- TQdfFilteredTableOp ----

TQdfFilteredTableOp::TQdfFilteredTableOp(TQdfTable& table, uint8_t options, TQdfIndex* index,
                                         TQdfItemClass* cls, std::unique_ptr<TvNode> filter,
                                         const std::vector<std::string>& columns)
    : TQdfBasicTableOp(table, cls, columns),
      options_(options),
      named_index_(index),
      filter_(std::move(filter)),
      any_order_((options & kOpAnyOrder) != 0) {}

void TQdfFilteredTableOp::SetReads(std::vector<TQdfField*> fields) {
  reads_known_ = true;
  reads_ = std::move(fields);
}

TQdfFilteredTableOp::~TQdfFilteredTableOp() = default;

std::string TQdfFilteredTableOp::OrderText() const {
  if (choice_.index == nullptr || choice_.object_id || collect_) return std::string();
  return OrderTextOf(*choice_.index, backward_);
}

void TQdfFilteredTableOp::Close() {
  pages_.Clear();
  sorted_rows_.Clear();
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
  if (!choice_.object_id) {
    PlanKeyImages();
    const bool stop_first = (options_ & kOpStopAfterFirst) != 0;
    collect_ = any_order_ && !answer_on_keys_ && !stop_first;
    if (collect_) ScanInsteadWhenWide();
    if (choice_.index == nullptr) {
      collect_ = false;
      filter_on_keys_ = false;
      check_class_ = item_class_ != table_.ItemClass();
      return;
    }
  }
  const uint8_t keep = options_ & kOpStopAfterFirst;
  options_ = static_cast<uint8_t>(kOpStopAtFail | kOpExamineCurrent | keep |
                                  (choice_.Backward() ? kOpBackward : 0));
}

void TQdfFilteredTableOp::PlanKeyImages() {
  filter_on_keys_ = false;
  answer_on_keys_ = false;
  image_map_.clear();
  TQdfIndex* index = choice_.index;
  TQdfItemClass* cls = table_.ItemClass();
  // An image carries the table's class: records of other classes would be
  // misread, and the operation's class must be the table's own.
  if (check_class_ || cls == nullptr || item_class_ != cls) return;
  const void* list = static_cast<const void*>(static_cast<TQdfItemList*>(&table_));
  std::vector<TQdfField*> fields;
  if (!CollectFields(choice_.remaining.get(), list, &fields)) return;
  const size_t filter_fields = fields.size();
  if (reads_known_) fields.insert(fields.end(), reads_.begin(), reads_.end());
  std::vector<std::pair<int, int>> map;
  bool all = true;
  for (size_t n = 0; n < fields.size(); ++n) {
    TQdfField* f = fields[n];
    int found = -1;
    for (int i = 0; i < index->StructureFieldCount() && found < 0; ++i) {
      if (index->LinkedField(i) == f) found = i;
    }
    if (found < 0 || f->FieldIndex() < 0) {
      if (n < filter_fields) return;  // the filter needs the record
      all = false;
      continue;
    }
    map.emplace_back(f->FieldIndex(), found);
  }
  std::sort(map.begin(), map.end());
  map.erase(std::unique(map.begin(), map.end(),
                        [](const auto& a, const auto& b) { return a.first == b.first; }),
            map.end());
  filter_on_keys_ = true;
  answer_on_keys_ = reads_known_ && all;
  image_map_ = std::move(map);
  image_fields_ = image_map_.empty() ? 0 : image_map_.back().first + 1;
  image_class_ = cls->Address();
}

void TQdfFilteredTableOp::ShowImage(const uint8_t* key, const TItemAdr& record) {
  // Record item: u16 length, u8 flags, class address, u32 version, then the
  // packed body: u16 field count, u16 end offsets (from the body start),
  // the field bytes. Fields the image does not carry are absent (null).
  // Prefix, field count and end offsets, and at most the key's bytes: the
  // buffer grows to the longest key seen and is reused.
  const size_t need = static_cast<size_t>(kRecBodyStart + 2 + 2 * image_fields_) + LoadU16(key);
  if (image_.size() < need) image_.resize(need);
  uint8_t* item = image_.data();
  item[2] = 0;
  StoreAdr(item + kRecClassOffset, image_class_);
  StoreU32(item + kRecVersionOffset, 0);
  uint8_t* body = item + kRecBodyStart;
  StoreU16(body, static_cast<uint16_t>(image_fields_));
  int end = 2 + 2 * image_fields_;
  size_t m = 0;
  for (int f = 0; f < image_fields_; ++f) {
    if (m < image_map_.size() && image_map_[m].first == f) {
      int length = 0;
      const uint8_t* data = choice_.index->KeyField(key, image_map_[m].second, &length);
      if (data != nullptr && length > 0) {
        std::copy(data, data + length, body + end);
        end += length;
      }
      ++m;
    }
    StoreU16(body + 2 + 2 * f, static_cast<uint16_t>(end));
  }
  StoreU16(item, static_cast<uint16_t>(kRecBodyStart + end));
  table_.SetCursorToImage(record, item);
}

void TQdfFilteredTableOp::ScanInsteadWhenWide() {
  if (EstimateRangeShare(choice_) <= kScanShare) return;
  // Every record is read either way: the physical order reads each page
  // once. The index filter's comparisons go back to the table's fields.
  TQdfIndex* index = choice_.index;
  std::unique_ptr<TbAnd> all = TbAnd::Create(std::move(choice_.remaining));
  TvNodeArray& ops = choice_.index_filter->Args();
  for (auto& op : ops) {
    auto* c = static_cast<TfComp*>(op.get());
    TQdfField* source = nullptr;
    for (int i = 0; i < index->StructureFieldCount() && source == nullptr; ++i) {
      if (index->StructureField(i) == c->FieldNode()->Field()) source = index->LinkedField(i);
    }
    QDF_ASSERT(source != nullptr, "QdfQuery");
    c->RebindField(source);
    all->AddOperand(std::move(op));
  }
  choice_.index_filter.reset();
  choice_.index = nullptr;
  std::unique_ptr<TvNode> replacement = all->Optimize();
  choice_.remaining = replacement ? std::move(replacement) : std::move(all);
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
    order_source_ = collect_ ? nullptr : choice_.index;
    order_reversed_ = backward_;
    // The keys are tested before any record is read.
    PositionOnRange(choice_, false);
    walk_adr_ = table_.Cursor().Address();
    examine_current_ = true;
    sorted_rows_.Clear();
    sorted_pos_ = 0;
    if (collect_) {
      // The records of the range in page order: each page is read once,
      // not once per key that names it.
      TItemAdr record;
      while (NextKey(&record)) sorted_rows_.Append(record);
      sorted_rows_.Sort();
    }
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

bool TQdfFilteredTableOp::NextKey(TItemAdr* record) {
  TQdfIndex* index = choice_.index;
  TvNode* key_filter = choice_.index_filter.get();
  for (;;) {
    if (examine_current_) {
      examine_current_ = false;
    } else if (table_.Cursor().Address() == walk_adr_) {
      index->StepKey(backward_);
    } else if (backward_) {
      // The caller moved the table's cursor: the index follows it first.
      index->Prior();
    } else {
      index->Next();
    }
    walk_adr_ = table_.Cursor().Address();
    const TItemAdr pos = index->Position();
    if (pos.IsNull() || pos == kBeforeFirstAdr) return false;
    ++visited_;
    // The key fields read the index's current key: no record is read for a
    // key outside the filter.
    if (!Holds(key_filter)) {
      if (passed_before_ && (options_ & kOpStopAtFail) != 0) return false;
      continue;
    }
    const uint8_t* key = index->CurrentKey();
    *record = index->RecordOfKey(key);
    if (filter_on_keys_) {
      ShowImage(key, *record);
      walk_adr_ = table_.Cursor().Address();
      if (!Holds(choice_.remaining.get())) continue;
    }
    return true;
  }
}

bool TQdfFilteredTableOp::NextInIndex() {
  TvNode* filter = choice_.remaining.get();
  TQdfItemProvider& cursor = table_.Cursor();
  for (;;) {
    TItemAdr record;
    if (collect_) {
      if (sorted_pos_ >= sorted_rows_.Count()) return End();
      record = sorted_rows_.Adr(sorted_pos_++);
    } else {
      if (!NextKey(&record)) return End();
      // The cursor stands on the image, which passed the filter.
      if (answer_on_keys_) return Pass();
    }
    // The record the key names, so that the remaining filter, the class test
    // and the caller all see it (also when nothing remains to be tested).
    table_.SetCursorAddress(record);
    walk_adr_ = table_.Cursor().Address();
    const uint8_t* item = cursor.Item();
    if (item == nullptr) continue;
    if (check_class_ && !item_class_->AcceptsRecord(item)) continue;
    if (!filter_on_keys_ && !Holds(filter)) continue;
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
  // The walk only finds the rows; Next reads each record the caller gets.
  if (!prepared_) SetReads({});
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
                    const TRecordVisitor& visitor, const TRecordVisitor& deferred,
                    const TVisitNeeds& needs) {
  if (!needs.ordered) options |= kOpAnyOrder;
  TQdfFilteredTableOp op(table, options, nullptr, nullptr, std::move(filter));
  if (needs.reads_known) op.SetReads(needs.reads);
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
  // Without an order to keep, the deferred phase goes down the pages.
  if (!needs.ordered) rows.Sort();
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
    // Only the addresses are needed: an index that holds the filter's
    // fields finds them without reading a record.
    TQdfFilteredTableOp op(table, kOpDefault | kOpAnyOrder, nullptr, cls, std::move(filter));
    op.SetReads({});
    op.First();
    while (op.Next()) rows.Append(table.Cursor().Address());
  }
  if (rows.Count() == 0) return 0;
  // From the last page down: each page is changed while it is at hand, and
  // a record's removal leaves the addresses below it alone.
  rows.Sort();
  // No reader bracket around the loop: each delete takes its own, so the
  // cache may trim between records instead of holding every page touched.
  // The keys of the deleted rows leave the indexes afterwards, in key order.
  TDeferredIndexUpkeep upkeep(table);
  int64_t deleted = 0;
  for (int i = rows.Count(); i-- > 0;) {
    table.SetCursorAddress(rows.Adr(i));
    if (table.Cursor().Item() == nullptr) continue;
    table.Delete(false);
    upkeep.Step();
    ++deleted;
  }
  upkeep.Apply();
  return deleted;
}

}  // namespace qdf
