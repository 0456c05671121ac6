#include "list/BtreeList.h"

#include <algorithm>
#include <cstring>

#include "base/ItemArea.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "reader/PageReader.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfBtreeList, TQdfSortableList);

namespace {

constexpr const char* kUnit = "QdfList";
constexpr uint16_t kBeforeSlot = 0xFFFF;  // slot -1: before a leaf's first key

bool IsInnerPage(const uint8_t* page) {
  return (LoadU16(page + kPgFlags) & TQdfBtreeList::kInnerFlags) == TQdfBtreeList::kInnerFlags;
}

}  // namespace

TQdfBtreeList::TQdfBtreeList() {
  // Keys carry their packed body after the 6-byte prefix.
  cursor_ = std::make_unique<TQdfItemProvider>(this, kKeyPrefixSize);
}

void TQdfBtreeList::Loaded() {
  TQdfSortableList::Loaded();
  sorted_ = !(ItemListHeader()->CountIt() != 0 && !HasTree());
}

void TQdfBtreeList::ClearPages() {
  TReaderUse use(PageReader());
  if (HasTree()) FreeInnerPages(BtreeHeader()->RootPg());
  TQdfSortableList::ClearPages();
  BtreeHeader()->SetCountUnused(0);
  BtreeHeader()->SetRootPg(kNoPage);
  sorted_ = true;
}

uint8_t* TQdfBtreeList::AppendItem(int size, TItemAdr* adr) {
  // An appended key may break the order: the tree goes, the chain is sorted
  // again before the next search.
  if (HasTree()) {
    DropTree(false);
  } else {
    sorted_ = false;
  }
  return TQdfSortableList::AppendItem(size, adr);
}

void TQdfBtreeList::DeleteItem(const TItemAdr& adr) {
  TItemAdr at = adr;
  DeleteAt(at);
}

int TQdfBtreeList::AverageFree() const {
  const int32_t pages = PageListHeader()->CountPg();
  return pages >= 11 ? BtreeHeader()->CountUnused() / pages : 0;
}

void TQdfBtreeList::EnsureTree() {
  if (HasTree() || PageListHeader()->FirstPg() == kNoPage) return;
  if (AverageFree() > kCompactAverage) Compact(nullptr, kCompactReserve);
  BuildTree();
}

uint8_t* TQdfBtreeList::TreePage(uint32_t page, int flags) const {
  if (page == kNoPage) {
    throw EQdfException(
        Format("B-tree %s is damaged: a page link leads nowhere", ObjectName().c_str()));
  }
  uint8_t* buf = PageReader()->GetPage(page, flags);
  if (!OwnsPage(buf) || LoadU16(buf + kPgAreaOffset) == 0) {
    throw EQdfException(Format("B-tree %s is damaged: page %u is not one of its pages",
                               ObjectName().c_str(), page));
  }
  return buf;
}

namespace {

// The child link of an inner page's item at `slot`.
uint32_t ChildLink(const TItemArea& area, int slot, const std::string& name) {
  const uint8_t* item = area.ItemAt(slot);
  if (item == nullptr || LoadU16(item) < TQdfBtreeList::kKeyPrefixSize) {
    throw EQdfException(Format("B-tree %s is damaged: an inner key is malformed", name.c_str()));
  }
  return LoadU32(item + 2);
}

}  // namespace

int TQdfBtreeList::SearchPage(uint8_t* page, const uint8_t* key, bool first_mode,
                              bool* found) const {
  const TItemArea area = TItemArea::OfPage(page);
  const TQdfCompareRoutine compare = CompareRoutine();
  void* const context = CompareContext();
  int lo = 0;
  int hi = area.SlotCount() - 1;
  *found = false;
  while (lo <= hi) {
    const int mid = (lo + hi) >> 1;
    const uint8_t* item = area.ItemAt(mid);
    if (item == nullptr) {
      throw EQdfException(
          Format("B-tree %s is damaged: a page has a free slot", ObjectName().c_str()));
    }
    const int c = compare(context, item, key);
    if (c >= 0) {
      hi = mid - 1;
      if (c == 0) {
        *found = true;
        if (!first_mode) return mid;
      }
    } else {
      lo = mid + 1;
    }
  }
  return *found ? lo : lo - 1;
}

// ---- searching ----

bool TQdfBtreeList::Find(const uint8_t* key, TItemAdr* adr, bool first_mode) {
  RequireCompare();
  TReaderUse use(PageReader());
  EnsureTree();
  if (!HasTree()) {
    *adr = kNullAdr;
    return false;
  }
  uint32_t page = BtreeHeader()->RootPg();
  bool went_left = false;
  for (int depth = 0;; ++depth) {
    if (depth == kMaxDepth) {
      throw EQdfException(Format("B-tree %s is damaged: it is too deep", ObjectName().c_str()));
    }
    uint8_t* buf = TreePage(page, kGpRead);
    bool found;
    int res = SearchPage(buf, key, first_mode, &found);
    if (IsInnerPage(buf)) {
      // The first of equal keys may end the left sibling: go left of the
      // first equal separator.
      if (found && first_mode) {
        --res;
        went_left = true;
      }
      page =
          res < 0 ? LoadU32(buf + kPgNext) : ChildLink(TItemArea::OfPage(buf), res, ObjectName());
      continue;
    }
    if (found) {
      *adr = TItemAdr{page, static_cast<uint16_t>(res)};
      return true;
    }
    const int n = TItemArea::OfPage(buf).SlotCount();
    const uint32_t prior = LoadU32(buf + kPgPrior);
    if (went_left && res == n - 1) {
      // Every key here is below: the first equal one would open the next leaf.
      TItemAdr next{page, n == 0 ? kBeforeSlot : static_cast<uint16_t>(n - 1)};
      const uint8_t* item = NextItem(next);
      if (item != nullptr && Compare(item, key) == 0) {
        *adr = next;
        return true;
      }
    }
    if (res >= 0) {
      *adr = TItemAdr{page, static_cast<uint16_t>(res)};
      return false;
    }
    // Below this leaf's first key; separators are not updated on delete, so
    // the last key below may end an earlier leaf.
    if (prior != kNoPage) {
      TItemAdr before{page, 0};
      if (PriorItem(before) != nullptr) {
        *adr = before;
        return false;
      }
    }
    *adr = TItemAdr{PageListHeader()->FirstPg(), kBeforeSlot};
    return false;
  }
}

double TQdfBtreeList::EstimatePosition(const uint8_t* key, bool after) {
  RequireCompare();
  TReaderUse use(PageReader());
  EnsureTree();
  if (!HasTree()) return 0.0;
  const TQdfCompareRoutine compare = CompareRoutine();
  void* const context = CompareContext();
  // Each level splits the share of the page above evenly among its children;
  // the leaf splits it among its keys. Exact for a tree whose pages are
  // equally full, close enough for choosing a plan otherwise.
  double position = 0.0;
  double share = 1.0;
  uint32_t page = BtreeHeader()->RootPg();
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    uint8_t* buf = TreePage(page, kGpRead);
    const TItemArea area = TItemArea::OfPage(buf);
    const int n = area.SlotCount();
    // Items below the key (with `after`: not above it).
    int lo = 0;
    int hi = n;
    while (lo < hi) {
      const int mid = (lo + hi) >> 1;
      const uint8_t* item = area.ItemAt(mid);
      if (item == nullptr) return position;
      const int c = compare(context, item, key);
      if (after ? c <= 0 : c < 0) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (!IsInnerPage(buf)) return n == 0 ? position : position + share * lo / n;
    position += share * lo / (n + 1);
    share /= n + 1;
    page = lo == 0 ? LoadU32(buf + kPgNext) : ChildLink(area, lo - 1, ObjectName());
  }
  return position;
}

bool TQdfBtreeList::FindKey(const uint8_t* key, TItemAdr* adr) {
  const bool found = Find(key, adr, BtreeHeader()->AllowDuplicates());
  if (!found) NextItem(*adr);
  return found;
}

bool TQdfBtreeList::FindFirst(const uint8_t* key, TItemAdr* adr, bool move_next) {
  const bool found = Find(key, adr, true);
  if (!found && move_next) NextItem(*adr);
  return found;
}

// ---- insertion ----

bool TQdfBtreeList::Insert(const uint8_t* key, TItemAdr* adr) {
  RequireCompare();
  const int len = LoadU16(key);
  if (len < kKeyPrefixSize || len > kMaxKeyItem) {
    throw EQdfException(Format("Key of %d bytes cannot be stored in %s: keys have %d to %d bytes",
                               len, ObjectName().c_str(), kKeyPrefixSize, kMaxKeyItem));
  }
  TItemAdr ignored;
  if (adr == nullptr) adr = &ignored;
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  TQHBtreeList* h = BtreeHeader();
  EnsureTree();
  if (!HasTree()) {
    // The first key: a one-page tree whose root is the first leaf.
    uint8_t* item = TQdfSortableList::AppendItem(len, adr);
    std::memcpy(item + 2, key + 2, static_cast<size_t>(len - 2));
    StoreU32(item + 2, kNoPage);
    h->SetCountUnused(TItemArea::OfPage(r->EditPage(adr->page)).Available());
    h->SetRootPg(PageListHeader()->FirstPg());
    sorted_ = true;
    return true;
  }
  if (AverageFree() > kCompactAverage) Compact(nullptr, kCompactReserve);

  const bool duplicates = h->AllowDuplicates();
  TPathStep path[kMaxDepth];
  int depth = 0;
  for (uint32_t page = h->RootPg();;) {
    if (depth == kMaxDepth) {
      throw EQdfException(Format("B-tree %s is damaged: it is too deep", ObjectName().c_str()));
    }
    uint8_t* buf = TreePage(page, kGpRead);
    bool found;
    const int res = SearchPage(buf, key, duplicates, &found);
    path[depth++] = TPathStep{page, res + 1};
    if (!IsInnerPage(buf)) {
      if (found && !duplicates) {
        *adr = TItemAdr{page, static_cast<uint16_t>(res)};
        return false;
      }
      break;
    }
    page = res < 0 ? LoadU32(buf + kPgNext) : ChildLink(TItemArea::OfPage(buf), res, ObjectName());
  }

  ItemListHeader()->SetCountIt(ItemListHeader()->CountIt() + 1);
  {
    // The common case: the leaf has room.
    const TPathStep& at = path[depth - 1];
    TItemArea area = TItemArea::OfPage(r->EditPage(at.page));
    const int available = area.Available();
    if (len + 2 <= available) {
      uint8_t* item = area.AddItemCopy(key, at.pos);
      StoreU32(item + 2, kNoPage);
      h->SetCountUnused(h->CountUnused() - available + area.Available());
      *adr = TItemAdr{at.page, static_cast<uint16_t>(at.pos)};
      return true;
    }
  }
  TItems items(1);
  items[0].assign(key, key + len);
  StoreU32(items[0].data() + 2, kNoPage);
  TItems up;
  bool leaf = true;
  for (int level = depth - 1;; --level) {
    up.clear();
    InsertIntoPage(path[level].page, path[level].pos, items, &up, leaf ? adr : nullptr);
    leaf = false;
    if (up.empty()) break;
    items.swap(up);
    if (level == 0) {
      // The root split: a new root above it, continued with at position 0.
      const uint32_t old_root = path[0].page;
      const uint16_t flags = LoadU16(r->GetPage(old_root, kGpRead) + kPgFlags) & kPageNeverCompress;
      const uint32_t root = NewInnerPage(flags, old_root);
      h->SetRootPg(root);
      h->SetCountUnused(h->CountUnused() + TItemArea::OfPage(r->EditPage(root)).Available());
      path[0] = TPathStep{root, 0};
      level = 1;
    }
  }
  return true;
}

std::vector<int> TQdfBtreeList::SplitGroups(const std::vector<int>& sizes, int capacity) const {
  const int n = static_cast<int>(sizes.size());
  std::vector<int64_t> prefix(static_cast<size_t>(n) + 1, 0);
  for (int i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + sizes[i];
  const int64_t total = prefix[n];

  // The split point Balance asks for, over all items including the new ones.
  int balance = BtreeHeader()->Balance();
  if (balance < 1 || balance > 99) balance = 50;
  int k;
  if (balance != 50) {
    k = (n - 1) * balance / 100;
  } else {
    // By bytes: the new page receives about half of an empty page.
    k = 1;
    int64_t sum = 0;
    for (int i = n - 1; i >= 1; --i) {
      sum += sizes[i];
      if (sum >= capacity / 2) {
        k = i;
        break;
      }
    }
  }
  k = std::clamp(k, 1, std::max(1, n - 1));

  // The split points at which both halves fit, if any.
  int kmin = n, kmax = 0;
  for (int i = 1; i < n; ++i) {
    if (total - prefix[i] <= capacity) {
      kmin = i;
      break;
    }
  }
  for (int i = n - 1; i >= 1; --i) {
    if (prefix[i] <= capacity) {
      kmax = i;
      break;
    }
  }
  if (kmin <= kmax) return {0, std::clamp(k, kmin, kmax)};

  // No two pages hold them (a large key between large neighbours): fill
  // pages in order, so the new key ends up on a page of its own.
  std::vector<int> starts{0};
  int64_t fill = 0;
  for (int i = 0; i < n; ++i) {
    if (fill > 0 && fill + sizes[i] > capacity) {
      starts.push_back(i);
      fill = 0;
    }
    fill += sizes[i];
  }
  return starts;
}

std::vector<uint8_t> TQdfBtreeList::LeafSeparator(const uint8_t* left, const uint8_t* right) const {
  const int right_len = LoadU16(right);
  std::vector<uint8_t> sep;
  if (separator_ != nullptr && Compare(left, right) < 0) {
    sep.resize(static_cast<size_t>(right_len));
    const int len = separator_(separator_context_, left, right, sep.data(), right_len);
    // Only a separator that separates is used: left < separator <= right.
    if (len >= kKeyPrefixSize && len <= right_len && LoadU16(sep.data()) == len &&
        Compare(left, sep.data()) < 0 && Compare(right, sep.data()) >= 0) {
      sep.resize(static_cast<size_t>(len));
      return sep;
    }
  }
  sep.assign(right, right + right_len);
  return sep;
}

uint32_t TQdfBtreeList::NewInnerPage(uint16_t flags, uint32_t leftmost) {
  uint32_t page = kNoPage;
  uint8_t* buf = PageReader()->AllocatePage(page);
  if (buf == nullptr) throw EQdfException("Allocation error");
  BumpPageChainEpoch();
  InitPage(buf);
  StoreU16(buf + kPgFlags, static_cast<uint16_t>(flags | kInnerFlags));
  StoreU32(buf + kPgNext, leftmost);
  StoreU32(buf + kPgPrior, kNoPage);
  PageListHeader()->SetCountPg(PageListHeader()->CountPg() + 1);
  return page;
}

void TQdfBtreeList::InsertIntoPage(uint32_t page, int pos, const TItems& items, TItems* up,
                                   TItemAdr* adr) {
  TQdfPageReader* r = PageReader();
  TQHBtreeList* h = BtreeHeader();
  uint8_t* buf = r->EditPage(page);
  const uint16_t flags = LoadU16(buf + kPgFlags);
  const bool leaf = (flags & kInnerFlags) != kInnerFlags;
  TItemArea area = TItemArea::OfPage(buf);
  const int n = area.SlotCount();
  QDF_ASSERT(pos >= 0 && pos <= n, kUnit);
  int need = 0;
  for (const auto& item : items) need += static_cast<int>(item.size()) + 2;
  h->SetCountUnused(h->CountUnused() - area.Available());

  if (need <= area.Available()) {
    for (size_t j = 0; j < items.size(); ++j) {
      area.AddItemCopy(items[j].data(), pos + static_cast<int>(j));
    }
    if (adr != nullptr) *adr = TItemAdr{page, static_cast<uint16_t>(pos)};
    h->SetCountUnused(h->CountUnused() + area.Available());
    return;
  }

  // Split over all n + m items: the page's items are copied aside, the new
  // ones placed among them, and the sequence is dealt out to this page and
  // one or more new pages to its right.
  const int capacity = area.Size() - 14;
  std::vector<uint8_t> copy(area.Data(), area.Data() + area.Size());
  const TItemArea old(copy.data());
  std::vector<const uint8_t*> seq;
  std::vector<int> sizes;
  seq.reserve(static_cast<size_t>(n) + items.size());
  auto add = [&](const uint8_t* item) {
    if (item == nullptr) {
      throw EQdfException(
          Format("B-tree %s is damaged: a page has a free slot", ObjectName().c_str()));
    }
    seq.push_back(item);
    sizes.push_back(LoadU16(item) + 2);
  };
  for (int i = 0; i < pos; ++i) add(old.ItemAt(i));
  for (const auto& item : items) add(item.data());
  for (int i = pos; i < n; ++i) add(old.ItemAt(i));
  const int total = static_cast<int>(seq.size());

  const std::vector<int> starts = SplitGroups(sizes, capacity);
  const int groups = static_cast<int>(starts.size());
  auto group_end = [&](int g) { return g + 1 < groups ? starts[g + 1] : total; };

  area.InitArea(area.Size());
  for (int i = 0; i < group_end(0); ++i) area.AddItemCopy(seq[i], -1);
  int64_t unused = area.Available();
  std::vector<uint32_t> pages{page};
  for (int g = 1; g < groups; ++g) {
    const int first = starts[g];
    uint32_t new_page;
    if (leaf) {
      new_page = InsertPageAfter(pages.back());
      StoreU16(r->EditPage(new_page) + kPgFlags, flags);
    } else {
      // The first item leaves the page: its child becomes the leftmost.
      new_page = NewInnerPage(flags, LoadU32(seq[first] + 2));
    }
    TItemArea new_area = TItemArea::OfPage(r->EditPage(new_page));
    for (int i = leaf ? first : first + 1; i < group_end(g); ++i) new_area.AddItemCopy(seq[i], -1);
    unused += new_area.Available();
    std::vector<uint8_t> sep =
        leaf ? LeafSeparator(seq[first - 1], seq[first])
             : std::vector<uint8_t>(seq[first], seq[first] + LoadU16(seq[first]));
    StoreU32(sep.data() + 2, new_page);
    up->push_back(std::move(sep));
    pages.push_back(new_page);
  }
  if (adr != nullptr) {
    int g = groups - 1;
    while (starts[g] > pos) --g;
    *adr = TItemAdr{pages[g], static_cast<uint16_t>(pos - starts[g])};
  }
  h->SetCountUnused(static_cast<int32_t>(h->CountUnused() + unused));
  IncItemLayoutStamp();
}

// ---- deletion and compaction ----

void TQdfBtreeList::DeleteAt(TItemAdr& adr) {
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  if (adr.page == kNoPage) return;
  uint8_t* buf = r->GetPage(adr.page, kGpRead);
  if (!OwnsPage(buf) || IsInnerPage(buf) || LoadU16(buf + kPgAreaOffset) == 0) return;
  const int n = TItemArea::OfPage(buf).SlotCount();
  if (adr.slot >= n) return;
  // The key is deleted where it is; the address moves to the key after it.
  const TItemAdr at = adr;
  if (at.slot == n - 1) NextItem(adr);
  TItemArea area = TItemArea::OfPage(r->EditPage(at.page));
  const int before = area.Available();
  area.DeleteSlot(at.slot);
  if (HasTree())
    BtreeHeader()->SetCountUnused(BtreeHeader()->CountUnused() + area.Available() - before);
  ItemListHeader()->SetCountIt(ItemListHeader()->CountIt() - 1);
  if (HasTree() && AverageFree() > kCompactAverage) Compact(&adr, kCompactReserve);
}

void TQdfBtreeList::Compact(TItemAdr* adr, int reserve) {
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);  // the reader's lock for the whole run
  const bool had_tree = HasTree();
  if (had_tree) {
    FreeInnerPages(BtreeHeader()->RootPg());
    BtreeHeader()->SetRootPg(kNoPage);
  }
  const uint32_t first = PageListHeader()->FirstPg();
  if (first == kNoPage) return;

  // Cut the chain after the first page and append every later key to the
  // current last page.
  uint8_t* first_buf = r->EditPage(first);
  uint32_t src = LoadU32(first_buf + kPgNext);
  BumpPageChainEpoch();
  StoreU32(first_buf + kPgNext, kNoPage);
  PageListHeader()->SetLastPg(first);
  uint32_t dest = first;
  const TItemAdr target = adr != nullptr ? *adr : kNullAdr;
  bool follow = false;  // the address stood after a moved page's last key
  int64_t pages_left = static_cast<int64_t>(PageListHeader()->CountPg()) + 1;
  while (src != kNoPage) {
    if (pages_left-- <= 0) {
      throw EQdfException(
          Format("B-tree %s is damaged: its chain does not end", ObjectName().c_str()));
    }
    const uint8_t* src_buf = TreePage(src, kGpRead);
    if (IsInnerPage(src_buf)) {
      throw EQdfException(
          Format("B-tree %s is damaged: an inner page is in the chain", ObjectName().c_str()));
    }
    const uint32_t next = LoadU32(src_buf + kPgNext);
    const TItemArea src_area = TItemArea::OfPage(const_cast<uint8_t*>(src_buf));
    const int n = src_area.SlotCount();
    for (int s = 0; s < n; ++s) {
      const uint8_t* item = src_area.ItemAt(s);
      if (item == nullptr) continue;
      const int len = LoadU16(item);
      TItemArea dest_area = TItemArea::OfPage(r->EditPage(dest));
      if (dest_area.SlotCount() > 0 &&
          (dest_area.Available() < len + reserve || dest_area.Available() < len + 2)) {
        dest = InsertPageAfter(dest);
        dest_area = TItemArea::OfPage(r->EditPage(dest));
      }
      dest_area.AddItemCopy(item, -1);
      const TItemAdr moved{dest, static_cast<uint16_t>(dest_area.SlotCount() - 1)};
      if (adr != nullptr && (follow || (target.page == src && target.slot == s))) {
        *adr = moved;
        follow = false;
      }
    }
    if (adr != nullptr && target.page == src && target.slot >= n) follow = true;
    r->FreePage(src);
    PageListHeader()->SetCountPg(PageListHeader()->CountPg() - 1);
    src = next;
  }
  if (follow) *adr = kNullAdr;
  IncItemLayoutStamp();
  if (had_tree) BuildTree();
}

// ---- bulk build and teardown ----

void TQdfBtreeList::BuildTree() {
  RequireCompare();
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  TQHBtreeList* h = BtreeHeader();
  if (HasTree()) {
    FreeInnerPages(h->RootPg());
    h->SetRootPg(kNoPage);
  }
  if (!sorted_) {
    Sort();
    sorted_ = true;
  }
  if (PageListHeader()->FirstPg() == kNoPage) return;

  TBuild build;
  build.flags = CompressiblePages() ? 0 : kPageNeverCompress;
  int32_t leaves = 0;
  uint32_t prev = kNoPage;
  uint32_t page = PageListHeader()->FirstPg();
  int64_t pages_left = static_cast<int64_t>(PageListHeader()->CountPg()) + 1;
  while (page != kNoPage) {
    if (pages_left-- <= 0) {
      throw EQdfException(
          Format("B-tree %s is damaged: its chain does not end", ObjectName().c_str()));
    }
    uint8_t* buf = TreePage(page, kGpRead);
    const uint32_t next = LoadU32(buf + kPgNext);
    const TItemArea area = TItemArea::OfPage(buf);
    if (IsInnerPage(buf) || area.FreeHead() != kNoFreeSlot) {
      throw EQdfException(
          Format("B-tree %s is damaged: page %u is not a leaf", ObjectName().c_str(), page));
    }
    if (area.SlotCount() == 0) {
      // Leaves emptied by deletes leave the chain; an empty list keeps one.
      if (prev != kNoPage || next != kNoPage) {
        FreePage(page);
        page = next;
        continue;
      }
    }
    ++leaves;
    build.unused += area.Available();
    if (prev == kNoPage) {
      build.open.push_back(page);
    } else {
      const TItemArea prev_area = TItemArea::OfPage(TreePage(prev, kGpRead));
      std::vector<uint8_t> sep =
          LeafSeparator(prev_area.ItemAt(prev_area.SlotCount() - 1), area.ItemAt(0));
      StoreU32(sep.data() + 2, page);
      PushSeparator(1, sep.data(), page, build);
      build.open[0] = page;
    }
    prev = page;
    page = next;
  }
  for (size_t level = 1; level < build.open.size(); ++level) {
    build.unused += TItemArea::OfPage(r->GetPage(build.open[level], kGpRead)).Available();
  }
  h->SetRootPg(build.open.back());
  PageListHeader()->SetCountPg(leaves + build.inner);
  h->SetCountUnused(static_cast<int32_t>(build.unused));
}

void TQdfBtreeList::PushSeparator(size_t h, const uint8_t* sep, uint32_t child, TBuild& build) {
  TQdfPageReader* r = PageReader();
  if (h == build.open.size()) {
    // The level below got its second page: a new level over both.
    const uint32_t page = NewInnerPage(build.flags, build.open[h - 1]);
    ++build.inner;
    TItemArea::OfPage(r->EditPage(page)).AddItemCopy(sep, -1);
    build.open.push_back(page);
    return;
  }
  TItemArea area = TItemArea::OfPage(r->EditPage(build.open[h]));
  if (LoadU16(sep) + 2 <= area.Available()) {
    area.AddItemCopy(sep, -1);
    return;
  }
  // The page is full: a new page starts with `child` as its leftmost child,
  // and the separator goes up for it.
  build.unused += area.Available();
  const uint32_t page = NewInnerPage(build.flags, child);
  ++build.inner;
  std::vector<uint8_t> up(sep, sep + LoadU16(sep));
  StoreU32(up.data() + 2, page);
  PushSeparator(h + 1, up.data(), page, build);
  build.open[h] = page;
}

void TQdfBtreeList::DropTree(bool keep_sorted) {
  sorted_ = sorted_ && keep_sorted;
  if (!HasTree()) return;
  TReaderUse use(PageReader());
  FreeInnerPages(BtreeHeader()->RootPg());
  BtreeHeader()->SetRootPg(kNoPage);
}

void TQdfBtreeList::FreeInnerPages(uint32_t page) {
  TReaderUse use(PageReader());
  FreeInner(page, 0);
  BtreeHeader()->SetCountUnused(0);
}

void TQdfBtreeList::FreeInner(uint32_t page, int depth) {
  if (page == kNoPage || depth > kMaxDepth) return;
  TQdfPageReader* r = PageReader();
  std::vector<uint32_t> children;
  {
    uint8_t* buf;
    try {
      buf = r->GetPage(page, kGpRead);
    } catch (const EQdfException&) {
      return;
    }
    if (!OwnsPage(buf) || !IsInnerPage(buf) || LoadU16(buf + kPgAreaOffset) == 0) return;
    // The leftmost child first, then the others from the last to the first.
    children.push_back(LoadU32(buf + kPgNext));
    const TItemArea area = TItemArea::OfPage(buf);
    for (int s = area.SlotCount() - 1; s >= 0; --s) {
      const uint8_t* item = area.ItemAt(s);
      if (item != nullptr && LoadU16(item) >= kKeyPrefixSize) children.push_back(LoadU32(item + 2));
    }
  }
  // Children of one page share a level: below leaves' parents nothing is freed.
  bool inner_children = false;
  if (children[0] != kNoPage) {
    try {
      const uint8_t* child = r->GetPage(children[0], kGpRead);
      inner_children = OwnsPage(child) && IsInnerPage(child);
    } catch (const EQdfException&) {
      inner_children = false;
    }
  }
  if (inner_children) {
    for (uint32_t child : children) FreeInner(child, depth + 1);
  }
  r->FreePage(page);
  PageListHeader()->SetCountPg(PageListHeader()->CountPg() - 1);
  if (page == BtreeHeader()->RootPg()) BtreeHeader()->SetRootPg(kNoPage);
}

}  // namespace qdf
