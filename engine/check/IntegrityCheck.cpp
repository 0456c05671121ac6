#include "check/IntegrityCheck.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "base/Bytes.h"
#include "base/ItemArea.h"
#include "base/QdfException.h"
#include "check/BlobCheck.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "list/BtreeList.h"
#include "list/DataList.h"
#include "list/DataListBase.h"
#include "list/FreeList.h"
#include "list/KeyCompare.h"
#include "object/PersistentObjectFactory.h"
#include "reader/CacheBlock.h"
#include "reader/PageReader.h"
#include "record/Fields.h"
#include "record/IndexObject.h"
#include "record/ItemClass.h"
#include "storage/SchemaCheck.h"
#include "storage/Storage.h"
#include "table/BlobField.h"
#include "table/Index.h"
#include "table/Table.h"

namespace qdf {

namespace {

std::string AdrText(const TItemAdr& adr) {
  return std::to_string(adr.page) + ":" + std::to_string(adr.slot);
}

bool AdrBefore(const TItemAdr& a, const TItemAdr& b) {
  return a.page != b.page ? a.page < b.page : a.slot < b.slot;
}

struct TAdrHash {
  size_t operator()(const TItemAdr& a) const {
    return std::hash<uint64_t>()((uint64_t{a.page} << 16) | a.slot);
  }
};

// The object-level half: walks the loaded object tree of an opened storage.
// Pages are read through the storage's reader; pages the block check found
// unsound are never read, so a damaged block cannot mislead the walks.
class TObjectCheck {
 public:
  TObjectCheck(const TQdfFileCheck& file, TQdfCheckReport& report) : file_(file), report_(report) {}

  void Run(TQdfStorage* storage);

 private:
  std::string NameOf(const TQdfPersistentObject* o) const {
    const std::string name = o->FullName();
    return name.empty() ? "$ROOT" : name;
  }
  bool Whole(const TQdfPersistentObject* list) const {
    return list != nullptr && whole_chains_.count(list->Address()) != 0;
  }
  bool Stored(uint32_t page) const {
    return std::binary_search(file_.Pages().begin(), file_.Pages().end(), page);
  }
  bool Readable(uint32_t page) const { return Stored(page) && file_.PageSound(page); }
  // Copies the page into page_ (the cache may drop it at the next read).
  bool Read(uint32_t page) {
    try {
      const uint8_t* p = reader_->GetPage(page, kGpRead);
      if (p == nullptr) return false;
      std::memcpy(page_, p, kPageSize);
      return true;
    } catch (const std::exception& e) {
      report_.Add(PageName(page) + ": cannot be read: " + e.what());
      return false;
    }
  }
  // Claims `page` for `list`; false (and a problem) when another list or
  // this one claimed it before.
  bool Claim(uint32_t page, const TQdfPersistentObject* list, const char* as) {
    auto [it, fresh] = owners_.emplace(page, list);
    if (!fresh) {
      report_.Add(NameOf(list) + ": " + as + " " + PageName(page) + " is already a page of " +
                  NameOf(it->second));
    }
    return fresh;
  }
  void Walk(TQdfPersistentObject* o);
  // Follows the list's chain; true when it could be followed to its end
  // (only then are its items walked further).
  bool CheckChain(TQdfPageList* list);
  // Each of a data list's free-space lists holds exactly its chain's pages
  // that are stamped with that class; `classes` maps chain page -> class.
  void CheckFreeSpaceLists(TQdfDataListBase* list,
                           const std::unordered_map<uint32_t, int>& classes);
  void CheckTree(TQdfBtreeList* list);
  // Checks the subtree at `page` (depth levels below the root): keys in
  // order and inside [low, high] (nullptr: open); appends its leaves.
  void CheckSubtree(TQdfBtreeList* list, uint32_t page, int depth, const std::vector<uint8_t>* low,
                    const std::vector<uint8_t>* high, std::vector<uint32_t>& leaves);
  // A key as the index walk met it: its record, its own place, the hash of
  // its fields, and whether a record of the table claimed it.
  struct TKeyRef {
    TItemAdr record;
    TItemAdr key;
    uint64_t hash;
    bool matched;
  };
  struct TIndexKeys {
    TQdfIndex* index;
    std::vector<TKeyRef> refs;  // sorted by record address
  };
  // Walks the index's keys; keys naming pages outside the table are
  // reported, the others collected. False when the walk failed.
  bool CollectKeys(TIndexKeys& keys, const TQdfPersistentObject* table_tmpl);
  // The record at `record` (covered by the index) claims its key, whose
  // fields must be the record's.
  void MatchRecord(TIndexKeys& keys, TQdfTable* table, const TItemAdr& record);
  // Keys no record claimed: their record is gone or of another class.
  void ReportUnmatched(const TIndexKeys& keys, TQdfTable* table);
  void CheckTable(TQdfStorage* storage, TQdfTable* tmpl);
  // Each value of the record has a length its field's type writes (a field
  // dropped and created again with another type would read foreign bytes).
  void CheckValues(const std::string& table, const uint8_t* record, const TQdfItemClass* cls,
                   const TItemAdr& at);
  void CheckIDIndex(TQdfStorage* storage);
  void CheckBlobTable(TQdfStorage* storage);
  void CheckOrphans(TQdfStorage* storage);
  void CheckFreeList(TQdfStorage* storage);
  void CheckUnowned();

  const TQdfFileCheck& file_;
  TQdfCheckReport& report_;
  TQdfPageReader* reader_ = nullptr;
  std::unordered_map<uint32_t, const TQdfPersistentObject*> owners_;
  std::vector<TQdfTable*> tables_;
  std::vector<TQdfPageList*> lists_;
  // Lists whose chain was followed to its end, with the pages it has.
  // (by the address of the list's header: working instances share it)
  std::unordered_map<TItemAdr, std::vector<uint32_t>, TAdrHash> whole_chains_;
  int64_t inner_pages_ = 0;  // inner pages met by the current tree walk
  // Set when the free list asks the next writer to rebuild the free-space
  // lists of every data list: until then they need not be right.
  bool rebuild_free_space_ = false;
  uint8_t page_[kPageSize];
};

void TObjectCheck::Walk(TQdfPersistentObject* o) {
  ++report_.figures.objects;
  if (o->IsKindOf(TQdfItemClass::kClassInfo)) {
    bool in_index = false;
    for (const TQdfPersistentObject* p = o->Parent(); p != nullptr; p = p->Parent()) {
      in_index = in_index || p->IsKindOf(TQdfIndex::kClassInfo);
    }
    if (!in_index && !o->IsKindOf(TQdfIndexObject::kClassInfo)) ++report_.figures.classes;
  }
  if (o->IsKindOf(TQdfTable::kClassInfo)) tables_.push_back(static_cast<TQdfTable*>(o));
  if (o->IsKindOf(TQdfIndex::kClassInfo)) ++report_.figures.indexes;
  if (o->IsKindOf(TQdfPageList::kClassInfo)) lists_.push_back(static_cast<TQdfPageList*>(o));
  for (int i = 0; i < o->ObjectsCount(); ++i) Walk(o->ChildAt(i));
}

bool TObjectCheck::CheckChain(TQdfPageList* list) {
  const std::string name = NameOf(list);
  const TQHPageList* h = list->PageListHeader();
  const bool items = list->IsKindOf(TQdfItemList::kClassInfo);
  const bool data = list->IsKindOf(TQdfDataListBase::kClassInfo);
  std::unordered_map<uint32_t, int> classes;  // data pages: stored free-space class
  const TItemAdr owner = list->Address();
  uint32_t prior = kNoPage;
  uint32_t page = h->FirstPg();
  std::vector<uint32_t> pages;
  int64_t item_count = 0;
  bool whole = true;  // the chain could be followed to its end
  while (page != kNoPage) {
    if (!Readable(page)) {
      report_.Add(name + ": its chain reaches " + PageName(page) +
                  (Stored(page) ? ", which is damaged" : ", which has no stored copy"));
      whole = false;
      break;
    }
    if (!Claim(page, list, "chain page")) {
      whole = false;
      break;
    }
    if (!Read(page)) {
      whole = false;
      break;
    }
    pages.push_back(page);
    if (!(LoadAdr(page_ + kPgOwner) == owner)) {
      report_.Add(name + ": " + PageName(page) + " in its chain names the owner " +
                  AdrText(LoadAdr(page_ + kPgOwner)));
    }
    if (LoadU32(page_ + kPgPrior) != prior) {
      report_.Add(name + ": " + PageName(page) + " links back to " +
                  (LoadU32(page_ + kPgPrior) == kNoPage ? std::string("no page")
                                                        : PageName(LoadU32(page_ + kPgPrior))) +
                  ", the chain came from " +
                  (prior == kNoPage ? std::string("its start") : PageName(prior)));
    }
    if ((LoadU16(page_ + kPgFlags) & TQdfBtreeList::kInnerFlags) == TQdfBtreeList::kInnerFlags) {
      report_.Add(name + ": " + PageName(page) + " in its chain is an inner B-tree page");
    }
    if (data) classes[page] = static_cast<int16_t>(LoadU16(page_ + kDpFreeClass));
    if (items) {
      const int offset = LoadU16(page_ + kPgAreaOffset);
      if (offset < kItemPageAreaOffset) {
        report_.Add(name + ": " + PageName(page) + " has no item area");
      } else {
        TItemArea area(page_ + offset);
        for (int s = 0; s < area.SlotCount(); ++s) item_count += area.IsFree(s) ? 0 : 1;
      }
    }
    prior = page;
    page = LoadU32(page_ + kPgNext);
  }
  if (!whole) return false;
  const auto count = static_cast<int64_t>(pages.size());
  whole_chains_[list->Address()] = std::move(pages);
  if (data) CheckFreeSpaceLists(static_cast<TQdfDataListBase*>(list), classes);
  if (prior != h->LastPg()) {
    report_.Add(name + ": its last page is " + PageName(h->LastPg()) + ", its chain ends at " +
                (prior == kNoPage ? std::string("no page") : PageName(prior)));
  }
  // A B-tree counts its inner pages too: checked with the tree.
  if (count != h->CountPg() && !list->IsKindOf(TQdfBtreeList::kClassInfo)) {
    report_.Add(name + ": counts " + std::to_string(h->CountPg()) + " pages, its chain has " +
                std::to_string(count));
  }
  if (items) {
    const int64_t counted = static_cast<const TQdfItemList*>(list)->ItemListHeader()->CountIt();
    if (counted != item_count) {
      report_.Add(name + ": counts " + std::to_string(counted) + " items, its pages hold " +
                  std::to_string(item_count));
    }
  }
  return true;
}

void TObjectCheck::CheckFreeSpaceLists(TQdfDataListBase* list,
                                       const std::unordered_map<uint32_t, int>& classes) {
  if (rebuild_free_space_) return;  // the next writer rebuilds every list anyway
  const std::string name = NameOf(list);
  std::unordered_set<uint32_t> listed;
  for (int k = 0; k < TQHDataListBase::kFreeClasses; ++k) {
    for (uint32_t page = list->DataListBaseHeader()->FreeHead(k); page != kNoPage;) {
      auto it = classes.find(page);
      if (it == classes.end()) {
        report_.Add(name + ": free-space list " + std::to_string(k) + " reaches " + PageName(page) +
                    ", not a page of its chain");
        break;
      }
      if (!listed.insert(page).second) {
        report_.Add(name + ": free-space list " + std::to_string(k) + " meets " + PageName(page) +
                    " a second time");
        break;
      }
      if (it->second != k) {
        report_.Add(name + ": " + PageName(page) + " of class " + std::to_string(it->second) +
                    " is in free-space list " + std::to_string(k));
      }
      if (!Read(page)) break;
      page = LoadU32(page_ + kDpFreeNext);
    }
  }
  for (const auto& [page, k] : classes) {
    if (k >= 0 && listed.count(page) == 0) {
      report_.Add(name + ": " + PageName(page) + " of class " + std::to_string(k) +
                  " is in no free-space list");
    }
  }
}

void TObjectCheck::CheckSubtree(TQdfBtreeList* list, uint32_t page, int depth,
                                const std::vector<uint8_t>* low, const std::vector<uint8_t>* high,
                                std::vector<uint32_t>& leaves) {
  const std::string name = NameOf(list);
  if (depth > TQdfBtreeList::kMaxDepth) {
    report_.Add(name + ": its B-tree is deeper than " + std::to_string(TQdfBtreeList::kMaxDepth) +
                " levels");
    return;
  }
  if (!Readable(page)) {
    report_.Add(name + ": its B-tree reaches " + PageName(page) + ", which cannot be used");
    return;
  }
  if (!Read(page)) return;
  const bool inner =
      (LoadU16(page_ + kPgFlags) & TQdfBtreeList::kInnerFlags) == TQdfBtreeList::kInnerFlags;
  if (!(LoadAdr(page_ + kPgOwner) == list->Address())) {
    report_.Add(name + ": B-tree " + PageName(page) + " names the owner " +
                AdrText(LoadAdr(page_ + kPgOwner)));
    return;
  }
  if (inner && !Claim(page, list, "inner page")) return;
  if (inner) ++inner_pages_;
  const int offset = LoadU16(page_ + kPgAreaOffset);
  if (!inner) {
    leaves.push_back(page);  // claimed by the chain walk
    if (offset < kItemPageAreaOffset) return;
    TItemArea area(page_ + offset);
    const uint8_t* first = area.SlotCount() > 0 ? area.ItemAt(0) : nullptr;
    const uint8_t* last = area.SlotCount() > 0 ? area.ItemAt(area.SlotCount() - 1) : nullptr;
    if (list->CompareRoutine() != nullptr &&
        ((first != nullptr && low != nullptr && list->Compare(first, low->data()) < 0) ||
         (last != nullptr && high != nullptr && list->Compare(last, high->data()) > 0))) {
      report_.Add(name + ": leaf " + PageName(page) +
                  " holds keys outside the range of its parent's separators");
    }
    return;
  }
  if (offset < kItemPageAreaOffset) {
    report_.Add(name + ": inner " + PageName(page) + " has no item area");
    return;
  }
  // Copy the keys and links out: the recursion reuses page_.
  TItemArea area(page_ + offset);
  std::vector<std::vector<uint8_t>> keys;
  std::vector<uint32_t> children{LoadU32(page_ + kPgNext)};
  for (int s = 0; s < area.SlotCount(); ++s) {
    const uint8_t* item = area.ItemAt(s);
    if (item == nullptr || area.ItemLength(s) < TQdfBtreeList::kKeyPrefixSize) {
      report_.Add(name + ": inner " + PageName(page) + " has a free or short slot " +
                  std::to_string(s));
      return;
    }
    keys.emplace_back(item, item + area.ItemLength(s));
    children.push_back(LoadU32(item + 2));
  }
  const bool strict = !list->BtreeHeader()->AllowDuplicates();
  const bool ordered = list->CompareRoutine() != nullptr;
  for (size_t i = 0; ordered && i < keys.size(); ++i) {
    const uint8_t* k = keys[i].data();
    const bool below_low = low != nullptr && list->Compare(k, low->data()) < 0;
    const bool above_high = high != nullptr && list->Compare(k, high->data()) > 0;
    if (below_low || above_high) {
      report_.Add(name + ": inner " + PageName(page) + " key " + std::to_string(i) +
                  " lies outside the range of its parent's separators");
    }
    if (i > 0) {
      const int c = list->Compare(keys[i - 1].data(), k);
      if (c > 0 || (strict && c == 0)) {
        report_.Add(name + ": inner " + PageName(page) + " keys " + std::to_string(i - 1) +
                    " and " + std::to_string(i) + " are out of order");
      }
    }
  }
  for (size_t c = 0; c < children.size(); ++c) {
    const std::vector<uint8_t>* lo = c == 0 ? low : &keys[c - 1];
    const std::vector<uint8_t>* hi = c < keys.size() ? &keys[c] : high;
    CheckSubtree(list, children[c], depth + 1, lo, hi, leaves);
  }
}

void TObjectCheck::CheckTree(TQdfBtreeList* list) {
  auto whole = whole_chains_.find(list->Address());
  if (whole == whole_chains_.end()) return;
  const std::vector<uint32_t>& chain = whole->second;
  const std::string name = NameOf(list);
  inner_pages_ = 0;
  std::vector<uint32_t> leaves;
  if (list->HasTree())
    CheckSubtree(list, list->BtreeHeader()->RootPg(), 0, nullptr, nullptr, leaves);
  const int64_t pages = static_cast<int64_t>(chain.size()) + inner_pages_;
  if (pages != list->PageListHeader()->CountPg()) {
    report_.Add(name + ": counts " + std::to_string(list->PageListHeader()->CountPg()) +
                " pages, its chain has " + std::to_string(chain.size()) + " and its tree " +
                std::to_string(inner_pages_) + " inner pages");
  }
  // Only a list with a tree is known to be sorted.
  if (!list->HasTree()) return;
  if (leaves != chain) {
    report_.Add(name + ": the leaves under its B-tree (" + std::to_string(leaves.size()) +
                ") are not its chain of pages (" + std::to_string(chain.size()) + ") in order");
  }
  if (list->CompareRoutine() == nullptr) return;  // keys of unknown structure
  const bool strict = !list->BtreeHeader()->AllowDuplicates();
  std::vector<uint8_t> prev;
  TItemAdr at = kBeforeFirstAdr;
  try {
    while (const uint8_t* key = list->NextItem(at)) {
      if (!prev.empty()) {
        const int c = list->Compare(prev.data(), key);
        if (c > 0 || (strict && c == 0)) {
          // One line per list: a wrong order would repeat on every later key.
          report_.Add(name + ": key at " + AdrText(at) + (c == 0 ? " repeats" : " sorts below") +
                      " the key before it");
          return;
        }
      }
      prev.assign(key, key + LoadU16(key));
    }
  } catch (const std::exception& e) {
    report_.Add(name + ": walking its keys failed: " + e.what());
  }
}

// FNV-1a over a key's packed fields: keys are compared with their records by
// this hash, so that neither side has to be read out of order.
uint64_t KeyHash(const uint8_t* key) {
  const int length = LoadU16(key);
  uint64_t h = 14695981039346656037ull;
  for (int i = kKeyItemPrefix; i < length; ++i) h = (h ^ key[i]) * 1099511628211ull;
  return h ^ static_cast<uint64_t>(length);
}

bool TObjectCheck::CollectKeys(TIndexKeys& keys, const TQdfPersistentObject* table_tmpl) {
  TQdfIndex* index = keys.index;
  const std::string name = NameOf(index);
  try {
    TItemAdr at = kBeforeFirstAdr;
    while (const uint8_t* key = index->NextItem(at)) {
      const TItemAdr record = index->RecordOfKey(key);
      auto owner = owners_.find(record.page);
      if (record.page == kNoPage || owner == owners_.end() || owner->second != table_tmpl) {
        report_.Add(name + ": key " + index->KeyText(key) + " names " + AdrText(record) +
                    ", not a page of " + NameOf(table_tmpl));
        continue;
      }
      keys.refs.push_back({record, at, KeyHash(key), false});
    }
  } catch (const std::exception& e) {
    report_.Add(name + ": walking its keys failed: " + e.what());
    return false;
  }
  std::sort(keys.refs.begin(), keys.refs.end(),
            [](const TKeyRef& a, const TKeyRef& b) { return AdrBefore(a.record, b.record); });
  for (size_t i = 1; i < keys.refs.size(); ++i) {
    if (keys.refs[i].record == keys.refs[i - 1].record) {
      report_.Add(name + ": the record at " + AdrText(keys.refs[i].record) + " has a second key " +
                  index->KeyText(index->GetItem(keys.refs[i].key)));
    }
  }
  return true;
}

void TObjectCheck::MatchRecord(TIndexKeys& keys, TQdfTable* table, const TItemAdr& record) {
  TQdfIndex* index = keys.index;
  auto it =
      std::lower_bound(keys.refs.begin(), keys.refs.end(), record,
                       [](const TKeyRef& k, const TItemAdr& a) { return AdrBefore(k.record, a); });
  if (it == keys.refs.end() || !(it->record == record)) {
    report_.Add(NameOf(index) + ": the record at " + AdrText(record) + " of " + NameOf(table) +
                " has no key");
    return;
  }
  it->matched = true;
  table->Cursor().SetAddress(record);
  index->BuildKeyFromRecord();
  const uint8_t* built = index->KeyBuffer().Key();
  if (KeyHash(built) != it->hash) {
    const std::string wanted = index->KeyText(built);
    report_.Add(NameOf(index) + ": key " + index->KeyText(index->GetItem(it->key)) +
                " does not match its record at " + AdrText(record) + " (" + wanted + ")");
  }
}

void TObjectCheck::ReportUnmatched(const TIndexKeys& keys, TQdfTable* table) {
  TQdfIndex* index = keys.index;
  for (const TKeyRef& k : keys.refs) {
    if (k.matched) continue;
    const std::string key_text = index->KeyText(index->GetItem(k.key));
    const uint8_t* record = table->GetItem(k.record);
    const bool live = record != nullptr;
    report_.Add(NameOf(index) + ": key " + key_text + " names " + AdrText(k.record) +
                (live ? std::string(", a record of a class the index does not cover")
                      : ", where " + NameOf(table) + " has no record"));
  }
}

void TObjectCheck::CheckTable(TQdfStorage* storage, TQdfTable* tmpl) {
  if (!Whole(tmpl)) return;  // its records cannot be walked safely
  const std::string name = NameOf(tmpl);
  std::unique_ptr<TQdfPersistentObject> object;
  try {
    object = storage->ObjectByPath(tmpl->FullName());
  } catch (const std::exception& e) {
    report_.Add(name + ": cannot be opened: " + e.what());
    return;
  }
  if (object == nullptr || !object->IsKindOf(TQdfTable::kClassInfo)) return;
  auto* table = static_cast<TQdfTable*>(object.get());
  if (table->ItemClass() == nullptr) {
    report_.Add(name + ": has no record class");
    return;
  }
  // Each index's keys in index order, then the records in stored order: both
  // sides are read front to back, whatever the size of the cache.
  std::vector<TIndexKeys> indexes;
  for (TQdfIndex* index : table->Indexes()) {
    if (!index->Active() || !Whole(index)) continue;
    indexes.push_back({index, {}});
    if (!CollectKeys(indexes.back(), tmpl)) indexes.pop_back();
  }
  try {
    TItemAdr r = kBeforeFirstAdr;
    while (const uint8_t* record = table->NextItem(r)) {
      ++report_.figures.records;
      const TQdfItemClass* cls =
          table->ItemClass()->ClassByAddress(LoadAdr(record + kRecClassOffset));
      if (cls == nullptr) {
        report_.Add(name + ": the record at " + AdrText(r) + " names an unknown class " +
                    AdrText(LoadAdr(record + kRecClassOffset)));
        continue;
      }
      const TItemAdr at = r;  // what follows may read other pages
      CheckValues(name, record, cls, at);
      // A record with an object ID is found through $ID.
      if (cls->ThisIDField() != nullptr && storage->IDIndex() != nullptr) {
        int length = 0;
        const uint8_t* value = BoundedField(record + kRecBodyStart, LoadU16(record) - kRecBodyStart,
                                            cls->ThisIDField()->FieldIndex(), &length);
        if (value != nullptr && length == 8) {
          TObjectID id;
          std::memcpy(id.data(), value, 8);
          TItemAdr found;
          if (!storage->AddressOfID(id, &found) || !(found == at)) {
            report_.Add(name + ": the record at " + AdrText(at) + " with ThisID " +
                        std::to_string(static_cast<long long>(LoadU64BE(id.data()))) +
                        " is not found through $ID");
          }
        }
      }
      for (TIndexKeys& keys : indexes) {
        if (keys.index->Covers(cls)) MatchRecord(keys, table, at);
      }
    }
    for (const TIndexKeys& keys : indexes) ReportUnmatched(keys, table);
  } catch (const std::exception& e) {
    report_.Add(name + ": walking its records failed: " + e.what());
  }
}

void TObjectCheck::CheckValues(const std::string& table, const uint8_t* record,
                               const TQdfItemClass* cls, const TItemAdr& at) {
  const int size = LoadU16(record) - kRecBodyStart;
  for (int i = 0; i < cls->FieldCount(); ++i) {
    const TQdfField* field = cls->FieldAt(i);
    int length = 0;
    if (BoundedField(record + kRecBodyStart, size, field->FieldIndex(), &length) == nullptr ||
        length == 0 || field->HoldsLength(length)) {
      continue;
    }
    report_.Add(table + ": the record at " + AdrText(at) + " holds " + std::to_string(length) +
                " bytes for " + cls->ObjectName() + "." + field->ObjectName() + ", which a " +
                field->ClassInfo()->name + " never writes");
  }
}

void TObjectCheck::CheckIDIndex(TQdfStorage* storage) {
  TQdfIndex* id = storage->IDIndex();
  if (id == nullptr || !id->Active() || !Whole(id)) return;
  try {
    const int stale = storage->RebuildIDIndex(false);
    if (stale > 0) {
      report_.Add("$ID: " + std::to_string(stale) +
                  (stale == 1 ? " entry names" : " entries name") + " no record with that ThisID");
    }
  } catch (const std::exception& e) {
    report_.Add(std::string("$ID: walking its entries failed: ") + e.what());
  }
}

// The blob table must serve the blob fields: its index and its chunk
// classes with the fields the blob code looks up by name and type. A file
// whose blob table lost one opens, but no blob value could be read.
void TObjectCheck::CheckBlobTable(TQdfStorage* storage) {
  TQdfTable* blobs = storage->BlobTable();
  if (blobs == nullptr) return;
  const std::string defect = BlobTableDefect(*blobs);
  if (!defect.empty()) report_.Add("$BLOB: " + defect);
}

void TObjectCheck::CheckOrphans(TQdfStorage* storage) {
  if (!Whole(storage)) return;
  const TItemAdr spare = storage->Spare() != nullptr ? storage->Spare()->Address() : kNullAdr;
  try {
    TItemAdr at = kBeforeFirstAdr;
    while (storage->NextItem(at) != nullptr) {
      if (at == storage->Address() || at == spare) continue;
      if (storage->ObjectAt(at) == nullptr) {
        report_.Add("$ROOT: the object header at " + AdrText(at) +
                    " belongs to no object of the tree (orphan)");
      }
    }
  } catch (const std::exception& e) {
    report_.Add(std::string("$ROOT: walking the object headers failed: ") + e.what());
  }
}

void TObjectCheck::CheckFreeList(TQdfStorage* storage) {
  TQdfPersistentObject* o = storage->ChildByName("$FREE_LIST");
  if (o == nullptr || !o->IsKindOf(TQdfItemList::kClassInfo) || !Whole(o)) return;
  auto* list = static_cast<TQdfItemList*>(o);
  std::vector<std::pair<int64_t, int32_t>> blocks;
  try {
    TItemAdr at = kBeforeFirstAdr;
    while (const uint8_t* item = list->NextItem(at)) {
      if (LoadU16(item) != kFreeBlockRecordSize) continue;  // a root record
      const auto position = static_cast<int64_t>(LoadU64(item + 2));
      const int size_class = item[10];
      if (size_class >= kSizeClasses) {
        report_.Add("$FREE_LIST: the record at " + AdrText(at) + " has size class " +
                    std::to_string(size_class));
        continue;
      }
      blocks.emplace_back(position, (size_class + 1) * kUnitSize);
      report_.figures.free_bytes += (size_class + 1) * kUnitSize;
    }
  } catch (const std::exception& e) {
    report_.Add(std::string("$FREE_LIST: walking its records failed: ") + e.what());
  }
  report_.figures.free_blocks = static_cast<int64_t>(blocks.size());
  file_.CheckFreeBlocks(blocks, report_);
}

void TObjectCheck::CheckUnowned() {
  for (uint32_t page : file_.Pages()) {
    if (file_.PageSound(page) && owners_.count(page) == 0) {
      report_.Add(PageName(page) + ": belongs to no list");
    }
  }
}

void TObjectCheck::Run(TQdfStorage* storage) {
  reader_ = storage->PageReader();
  if (TQdfPersistentObject* free = storage->ChildByName("$FREE_LIST");
      free != nullptr && free->IsKindOf(TQdfDataListBase::kClassInfo)) {
    rebuild_free_space_ =
        static_cast<TQdfDataListBase*>(free)->DataListBaseHeader()->FirstFreePg() != kNoPage;
  }
  Walk(storage);
  --report_.figures.objects;  // the storage itself is the file, not an object in it
  if (storage->Spare() != nullptr && storage->Spare()->Parent() == nullptr) {
    lists_.push_back(storage->Spare());
  }
  for (TQdfPageList* list : lists_) CheckChain(list);
  for (TQdfPageList* list : lists_) {
    if (list->IsKindOf(TQdfBtreeList::kClassInfo)) CheckTree(static_cast<TQdfBtreeList*>(list));
  }
  report_.figures.tables = static_cast<int64_t>(tables_.size());
  for (const std::string& problem : SchemaProblems(*storage)) report_.Add(problem);
  CheckOrphans(storage);
  CheckFreeList(storage);
  CheckUnowned();
  for (TQdfTable* t : tables_) CheckTable(storage, t);
  CheckIDIndex(storage);
  CheckBlobTable(storage);
  CheckBlobs(
      *storage, tables_, [this](const TQdfPersistentObject* o) { return Whole(o); }, report_);
}

}  // namespace

TQdfCheckReport CheckDatabase(const std::string& file_name) {
  TQdfCheckReport report;
  TQdfFileCheck file(file_name);
  // The objects are read through a read-only reader of their own, apart from
  // the system's registry of open files: nothing stays open afterwards. Its
  // state is the one the blocks are checked in, and the reader table keeps
  // a writer in another process from reusing its blocks meanwhile.
  static std::atomic<int> serial{0};
  TQdfFilerRef filer =
      TQdfFilerRef::Adopt(new TQdfLocalFiler(file_name, true, "$CHECK" + std::to_string(++serial)));
  {
    auto reader = std::make_unique<TQdfIndirectPageReader>(filer.get());
    reader->Open(true);
    file.UseRoot(reader->Root());
    file.Run(report);
    if (file.RootChainLoops()) {
      report.Add("the object tree was not loaded: the chain of its headers runs in a circle");
      return report;
    }
    std::unique_ptr<TQdfPersistentObject> made =
        TQdfPersistentObject::Create(TQdfStorage::kClassInfo, nullptr);
    std::unique_ptr<TQdfStorage> storage(static_cast<TQdfStorage*>(made.release()));
    storage->SetPageReader(reader.get());
    try {
      storage->OpenRoot(reader.get());
      TObjectCheck(file, report).Run(storage.get());
    } catch (const std::exception& e) {
      report.Add("the object tree cannot be loaded: " + std::string(e.what()));
    }
    storage.reset();
    reader.reset();
  }
  return report;
}

}  // namespace qdf
