#include "list/SortableList.h"

#include <algorithm>
#include <vector>

#include "base/ItemArea.h"
#include "base/ItemCollector.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "reader/PageReader.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfSortableList, TQdfItemList);

namespace {

constexpr const char* kUnit = "QdfList";

// Appends items to `area` from `next` on while they fit (an empty area takes
// one item whatever its size, so every item finds a page). Returns the index
// of the first item not placed.
int FillArea(TItemArea area, const TItemCollector& work, int next) {
  for (const int n = work.Count(); next < n; ++next) {
    const uint8_t* item = work.Item(next);
    if (LoadU16(item) + 2 > area.Available() && area.SlotCount() > 0) break;
    area.AddItemCopy(item, -1);
  }
  return next;
}

}  // namespace

void TQdfSortableList::RequireCompare() const {
  QDF_ASSERT_MSG(compare_ != nullptr, "No comparison routine", kUnit);
}

void TQdfSortableList::Sort() {
  RequireCompare();
  TQdfPageReader* r = PageReader();
  const uint32_t first = PageListHeader()->FirstPg();
  if (first == kNoPage) return;

  std::vector<TRun> runs;
  int64_t total = 0;

  // Gather whole pages from the last backwards into the work area; every full
  // work area becomes a sorted run appended after the pages not yet read, so
  // the backward walk never meets a run.
  {
    TItemCollector work;
    work.ResetCollector(kSortWorkArea);
    int budget = 0;
    uint32_t page = PageListHeader()->LastPg();
    int64_t pages_left = static_cast<int64_t>(PageListHeader()->CountPg()) + 1;
    while (page != first) {
      if (page == kNoPage || pages_left-- <= 0) {
        throw EQdfException(Format("Sort: page chain of %s is damaged", ObjectName().c_str()));
      }
      TReaderUse use(r);
      uint8_t* buf = r->GetPage(page, kGpRead);
      if (!OwnsPage(buf)) {
        throw EQdfException(
            Format("Sort: page %u does not belong to %s", page, ObjectName().c_str()));
      }
      const uint32_t prior = LoadU32(buf + kPgPrior);
      TItemArea area = TItemArea::OfPage(buf);
      const int used = area.Size() - area.LowEnd();
      if (used > 0 && area.SlotCount() > 0) {
        const int need = used + 4 * area.SlotCount();
        if (budget + need > kSortWorkArea && work.Count() > 0) {
          runs.push_back(WriteRun(work));
          work.ResetCollector(kSortWorkArea);
          budget = 0;
          buf = r->GetPage(page, kGpRead);
          area = TItemArea::OfPage(buf);
        }
        budget += need;
        const int before = work.Count();
        total += work.CollectArea(area) - before;
      }
      FreePage(page);
      page = prior;
    }
    if (work.Count() > 0) runs.push_back(WriteRun(work));
  }

  // The first page: sorted in place when it can be (a page of fewer than two
  // slots is in order already); a page with free slots goes through the work
  // area like the others.
  {
    TReaderUse use(r);
    uint8_t* buf = r->EditPage(first);
    TItemArea area = TItemArea::OfPage(buf);
    int live = 0;
    for (int s = 0, n = area.SlotCount(); s < n; ++s) live += area.IsFree(s) ? 0 : 1;
    if (live == 0) {
      if (!runs.empty()) FreePage(first);
    } else if (area.FreeHead() != kNoFreeSlot) {
      TItemCollector work;
      work.ResetCollector(kSortWorkArea);
      work.CollectArea(area);
      FreePage(first);
      runs.push_back(WriteRun(work));
      total += live;
    } else {
      if (area.SlotCount() >= 2) {
        area.SortSlots([this](const uint8_t* a, const uint8_t* b) {
          return compare_(compare_context_, a, b);
        });
        IncItemLayoutStamp();  // addresses now name other items
      }
      runs.insert(runs.begin(), TRun{first, 1});
      total += live;
    }
  }

  while (runs.size() > 1) {
    std::vector<TRun> merged;
    int64_t items = 0;
    for (size_t i = 0; i < runs.size(); i += kMaxMergeRuns) {
      const int count = static_cast<int>(std::min<size_t>(kMaxMergeRuns, runs.size() - i));
      merged.push_back(count == 1 ? runs[i] : MergeRuns(&runs[i], count, &items));
    }
    runs.swap(merged);
  }
  ItemListHeader()->SetCountIt(total);
  IncItemLayoutStamp();
}

TQdfSortableList::TRun TQdfSortableList::WriteRun(TItemCollector& work) {
  // Quicksort of the item pointers (median of three, insertion sort below 16).
  work.SortCollected(
      [this](const uint8_t* a, const uint8_t* b) { return compare_(compare_context_, a, b); });
  TQdfPageReader* r = PageReader();
  TRun run{kNoPage, 0};
  for (int next = 0, n = work.Count(); next < n;) {
    TReaderUse use(r);
    const uint32_t page = InsertPageAfter(PageListHeader()->LastPg());
    if (run.first == kNoPage) run.first = page;
    ++run.pages;
    next = FillArea(TItemArea::OfPage(r->EditPage(page)), work, next);
  }
  return run;
}

TQdfSortableList::TRun TQdfSortableList::MergeRuns(const TRun* runs, int count, int64_t* items) {
  struct TCursor {
    uint32_t page;
    int slot;
    int32_t pages_left;
    const uint8_t* item;
  };
  TQdfPageReader* r = PageReader();
  std::vector<TCursor> cur(static_cast<size_t>(count));
  for (int k = 0; k < count; ++k) cur[k] = TCursor{runs[k].first, -1, runs[k].pages, nullptr};

  // Moves a cursor to the next item of its run, freeing every page it leaves.
  // False when the run is exhausted.
  auto advance = [&](TCursor& c) {
    while (c.page != kNoPage && c.pages_left > 0) {
      uint8_t* buf = r->GetPage(c.page, kGpRead);
      if (!OwnsPage(buf)) {
        throw EQdfException(
            Format("Sort: page %u does not belong to %s", c.page, ObjectName().c_str()));
      }
      TItemArea area = TItemArea::OfPage(buf);
      for (++c.slot; c.slot < area.SlotCount(); ++c.slot) {
        if (const uint8_t* item = area.ItemAt(c.slot)) {
          c.item = item;
          return true;
        }
      }
      const uint32_t next = LoadU32(buf + kPgNext);
      FreePage(c.page);
      c.page = --c.pages_left > 0 ? next : kNoPage;
      c.slot = -1;
    }
    c.item = nullptr;
    return false;
  };
  // The runs that still have items, ordered by their head so that the
  // smallest head is last; a head goes back in by binary insertion.
  std::vector<int> heads;
  heads.reserve(static_cast<size_t>(count));
  auto insert_head = [&](int k) {
    size_t lo = 0, hi = heads.size();
    while (lo < hi) {
      const size_t mid = (lo + hi) / 2;
      if (compare_(compare_context_, cur[heads[mid]].item, cur[k].item) < 0) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    heads.insert(heads.begin() + static_cast<std::ptrdiff_t>(lo), k);
  };

  TRun out{kNoPage, 0};
  bool started = false;
  for (;;) {
    // One output page per bracket: head pointers are fetched again, as pages
    // may have left the cache between brackets.
    TReaderUse use(r);
    if (!started) {
      for (int k = 0; k < count; ++k) {
        if (advance(cur[k])) insert_head(k);
      }
      started = true;
    } else {
      for (int k : heads) {
        TItemArea area = TItemArea::OfPage(r->GetPage(cur[k].page, kGpRead));
        cur[k].item = area.ItemAt(cur[k].slot);
        QDF_ASSERT(cur[k].item != nullptr, kUnit);
      }
    }
    if (heads.empty()) break;
    const uint32_t page = InsertPageAfter(PageListHeader()->LastPg());
    if (out.first == kNoPage) out.first = page;
    ++out.pages;
    TItemArea area = TItemArea::OfPage(r->EditPage(page));
    while (!heads.empty()) {
      const int k = heads.back();
      if (LoadU16(cur[k].item) + 2 > area.Available() && area.SlotCount() > 0) break;
      area.AddItemCopy(cur[k].item, -1);
      ++*items;
      heads.pop_back();
      if (advance(cur[k])) insert_head(k);
    }
  }
  return out;
}

}  // namespace qdf
