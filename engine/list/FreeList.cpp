#include "list/FreeList.h"

#include <algorithm>
#include <vector>

#include "base/QdfException.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "list/DataListBase.h"

namespace qdf {
namespace {

// Root record fields.
constexpr int kRtTransaction = 2;
constexpr int kRtNext = 6;
constexpr int kRtPending = 12;
int HeadAt(int k) { return 18 + 12 * k; }
int TailAt(int k) { return 24 + 12 * k; }
// Free-block record fields.
constexpr int kFbPosition = 2;
constexpr int kFbClass = 10;
constexpr int kFbNext = 11;
constexpr int kFbTransaction = 17;

[[noreturn]] void Damaged() { throw EQdfException("Struktur-Fehler in DataListBase"); }

// Scoped "inside SearchFreeData" guard.
struct TSearchGuard {
  TSearchGuard() { InsideSearchFreeData() = true; }
  ~TSearchGuard() { InsideSearchFreeData() = false; }
};

}  // namespace

TQdfFreeList::TQdfFreeList(TQdfLocalFiler* filer, TQdfIndirectPageReader* reader,
                           TQdfDataListBase* list)
    : filer_(filer), reader_(reader), list_(list) {}

TQdfFreeList::~TQdfFreeList() { Release(); }

TItemAdr TQdfFreeList::CurrentRoot() const { return filer_->current_root; }
TItemAdr TQdfFreeList::PendingRoot() const { return filer_->pending_root; }

const uint8_t* TQdfFreeList::Read(const TItemAdr& adr) {
  const uint8_t* item = list_->GetItem(adr);
  if (item == nullptr) Damaged();
  return item;
}

uint8_t* TQdfFreeList::Edit(const TItemAdr& adr) {
  uint8_t* item = list_->EditItem(adr);
  if (item == nullptr) Damaged();
  return item;
}

TItemAdr TQdfFreeList::NewRoot(uint32_t transaction) {
  TItemAdr adr;
  uint8_t* r = list_->AppendItem(kRootRecordSize, &adr);
  StoreU32(r + kRtTransaction, transaction);
  StoreAdr(r + kRtNext, kNullAdr);
  StoreAdr(r + kRtPending, kNullAdr);
  for (int k = 0; k < kSizeClasses; ++k) {
    StoreAdr(r + HeadAt(k), kNullAdr);
    StoreAdr(r + TailAt(k), kNullAdr);
  }
  return adr;
}

void TQdfFreeList::MergeRoot(const TItemAdr& target, TItemAdr& source) {
  TReaderUse use(reader_);
  const uint8_t* s = Read(source);
  if (LoadU16(s) != kRootRecordSize) Damaged();
  TItemAdr heads[kSizeClasses], tails[kSizeClasses];
  for (int k = 0; k < kSizeClasses; ++k) {
    heads[k] = LoadAdr(s + HeadAt(k));
    tails[k] = LoadAdr(s + TailAt(k));
  }
  const TItemAdr next = LoadAdr(s + kRtNext);
  for (int k = 0; k < kSizeClasses; ++k) {
    if (heads[k].IsNull()) continue;
    uint8_t* t = Edit(target);
    const TItemAdr target_tail = LoadAdr(t + TailAt(k));
    if (!target_tail.IsNull()) {
      StoreAdr(Edit(target_tail) + kFbNext, heads[k]);
    } else {
      StoreAdr(Edit(target) + HeadAt(k), heads[k]);
    }
    StoreAdr(Edit(target) + TailAt(k), tails[k]);
  }
  list_->DeleteItem(source);
  source = next;
}

namespace {
// Rebuilds the free-space lists of the data lists of a tree; children of
// other objects are not visited.
void RebuildTree(TQdfPersistentObject* node) {
  if (!node->IsKindOf(TQdfDataListBase::kClassInfo)) return;
  static_cast<TQdfDataListBase*>(node)->RebuildFreeLists();
  for (int i = 0; i < node->ObjectsCount(); ++i) RebuildTree(node->ChildAt(i));
}
}  // namespace

void TQdfFreeList::Take(TQdfPersistentObject* tree_root) {
  TReaderUse use(reader_);
  list_->SetCompressiblePages(false);
  const uint32_t tan = reader_->TransactionNumber();
  const uint32_t start = reader_->StartNumber();
  TItemAdr current = kBeforeFirstAdr;
  list_->NextItem(current);  // the current root is the list's first item
  if (!current.IsNull()) {
    if (LoadU16(Read(current)) != kRootRecordSize) Damaged();
    StoreU32(Edit(current) + kRtTransaction, tan);
    const uint32_t oldest = filer_->OldestTransaction();
    uint32_t horizon = oldest != 0 ? oldest : start;
    // Readers in other processes hold back what they read as readers here do,
    // also in a writer that has just opened the file.
    const std::vector<uint32_t>& foreign = filer_->ForeignReaders();
    for (uint32_t n : foreign) horizon = std::min(horizon, n);
    const bool pending_known = !filer_->pending_root.IsNull() || !foreign.empty();
    TItemAdr r = LoadAdr(Read(current) + kRtNext);
    int64_t guard = list_->Count() + 1;
    while (!r.IsNull() && guard-- > 0) {
      const uint8_t* root = Read(r);
      if (pending_known && LoadU32(root + kRtTransaction) >= horizon) break;
      TItemAdr following = r;
      MergeRoot(current, following);  // deletes r; following = r's next
      StoreAdr(Edit(current) + kRtNext, following);
      r = following;
    }
    if (r.IsNull()) StoreAdr(Edit(current) + kRtPending, kNullAdr);
  } else {
    current = NewRoot(tan);
  }
  filer_->current_root = current;

  // The pending root of this transaction: tagged with its start number.
  TItemAdr pending = LoadAdr(Read(current) + kRtPending);
  if (pending.IsNull() || LoadU32(Read(pending) + kRtTransaction) < start) {
    const TItemAdr after = pending.IsNull() ? current : pending;
    const TItemAdr fresh = NewRoot(start);
    const TItemAdr after_next = LoadAdr(Read(after) + kRtNext);
    StoreAdr(Edit(fresh) + kRtNext, after_next);
    StoreAdr(Edit(after) + kRtNext, fresh);
    StoreAdr(Edit(current) + kRtPending, fresh);
    pending = fresh;
  }
  filer_->pending_root = pending;
  filer_->SetFreeSpaceLists(this);
  taken_ = true;
  if (filer_->FileGrown()) SearchFreeData();
  if (tree_root != nullptr && list_->DataListBaseHeader()->FirstFreePg() != 0xFFFFFFFFu)
    RebuildTree(tree_root);
}

void TQdfFreeList::Release() {
  if (!taken_) return;
  if (filer_->FreeSpace() == this) filer_->SetFreeSpaceLists(nullptr);
  taken_ = false;
}

bool TQdfFreeList::TakeBlock(int size_class, int64_t* position) {
  TReaderUse use(reader_);
  const TItemAdr current = filer_->current_root;
  if (current.IsNull()) return false;
  const TItemAdr head = LoadAdr(Read(current) + HeadAt(size_class));
  if (head.IsNull()) return false;
  const uint8_t* rec = Read(head);
  if (LoadU16(rec) != kFreeBlockRecordSize) Damaged();
  *position = static_cast<int64_t>(LoadU64(rec + kFbPosition));
  const TItemAdr next = LoadAdr(rec + kFbNext);
  StoreAdr(Edit(current) + HeadAt(size_class), next);
  if (next.IsNull()) StoreAdr(Edit(current) + TailAt(size_class), kNullAdr);
  list_->DeleteItem(head);
  return true;
}

void TQdfFreeList::AddBlock(const TItemAdr& chain, int size_class, uint32_t transaction,
                            int64_t position) {
  TReaderUse use(reader_);
  if (chain.IsNull()) return;
  TItemAdr adr;
  uint8_t* rec = list_->AppendItem(kFreeBlockRecordSize, &adr);
  StoreU64(rec + kFbPosition, static_cast<uint64_t>(position));
  rec[kFbClass] = static_cast<uint8_t>(size_class);
  StoreU32(rec + kFbTransaction, transaction);
  const TItemAdr old_head = LoadAdr(Read(chain) + HeadAt(size_class));
  StoreAdr(Edit(adr) + kFbNext, old_head);
  if (old_head.IsNull()) StoreAdr(Edit(chain) + TailAt(size_class), adr);
  StoreAdr(Edit(chain) + HeadAt(size_class), adr);
}

void TQdfFreeList::SearchFreeData() {
  TSearchGuard guard;
  TReaderUse use(reader_);
  const TItemAdr current = filer_->current_root;
  if (current.IsNull()) {
    filer_->ClearSearchFlags();
    return;
  }
  // The running transaction reads as of its start number; roots tagged with
  // it (or later) hold copies that its own committed state still names.
  const uint32_t writer_start = reader_->StartNumber();
  const std::vector<uint32_t>& foreign = filer_->ForeignReaders();
  TItemAdr r = LoadAdr(Read(current) + kRtNext);
  int64_t roots_left = list_->Count() + 1;
  while (!r.IsNull() && roots_left-- > 0) {
    const uint32_t t = LoadU32(Read(r) + kRtTransaction);
    const TItemAdr next_root = LoadAdr(Read(r) + kRtNext);
    if (t < writer_start) {
      // The largest number among readers that may see this root's copies
      // (the writer counts at its start number).
      uint32_t largest = 0;
      for (TQdfPageReader* reader : filer_->Readers()) {
        uint32_t n = reader == reader_ ? writer_start : reader->TransactionNumber();
        if (n != 0 && n <= t) largest = std::max(largest, n);
      }
      for (uint32_t n : foreign) {
        if (n <= t) largest = std::max(largest, n);
      }
      if (static_cast<int64_t>(t) - 1 > static_cast<int64_t>(largest)) {
        for (int k = 0; k < kSizeClasses; ++k) {
          TItemAdr rec = LoadAdr(Read(r) + HeadAt(k));
          TItemAdr kept_head = kNullAdr, kept_tail = kNullAdr;
          int64_t steps = list_->Count() + 1;
          while (!rec.IsNull() && steps-- > 0) {
            const uint8_t* b = Read(rec);
            const TItemAdr next = LoadAdr(b + kFbNext);
            if (LoadU32(b + kFbTransaction) > largest) {
              // Reusable: push on the front of the current root's list.
              const TItemAdr cur_head = LoadAdr(Read(current) + HeadAt(k));
              StoreAdr(Edit(rec) + kFbNext, cur_head);
              if (cur_head.IsNull()) StoreAdr(Edit(current) + TailAt(k), rec);
              StoreAdr(Edit(current) + HeadAt(k), rec);
            } else {
              StoreAdr(Edit(rec) + kFbNext, kNullAdr);
              if (kept_tail.IsNull()) {
                kept_head = rec;
              } else {
                StoreAdr(Edit(kept_tail) + kFbNext, rec);
              }
              kept_tail = rec;
            }
            rec = next;
          }
          StoreAdr(Edit(r) + HeadAt(k), kept_head);
          StoreAdr(Edit(r) + TailAt(k), kept_tail);
        }
      }
    }
    r = next_root;
  }
  filer_->ClearSearchFlags();
}

void TQdfFreeList::PrepareFlush(int flags) {
  if (!(flags & (4 | 32)) || filer_->current_root.IsNull()) return;
  TReaderUse use(reader_);
  if (LoadAdr(Read(filer_->current_root) + kRtPending) != filer_->pending_root) {
    StoreAdr(Edit(filer_->current_root) + kRtPending, filer_->pending_root);
  }
}

int TQdfFreeList::CountBlocks(const TItemAdr& root, int size_class) {
  TReaderUse use(reader_);
  int n = 0;
  TItemAdr rec = LoadAdr(Read(root) + HeadAt(size_class));
  while (!rec.IsNull() && n <= list_->Count()) {
    ++n;
    rec = LoadAdr(Read(rec) + kFbNext);
  }
  return n;
}

}  // namespace qdf
