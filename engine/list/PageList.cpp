#include "list/PageList.h"

#include <algorithm>

#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "reader/PageReader.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfPageList, TQdfPersistentObject);

bool TQdfPageList::OwnsPage(const uint8_t* page) const {
  return LoadAdr(page + kPgOwner) == Address();
}

void TQdfPageList::ChainDamaged(uint32_t page, const char* what) const {
  throw EQdfException(Format("List %s is damaged: page %x %s", ObjectName().c_str(), page, what));
}

const uint8_t* TQdfPageList::ChainPage(uint32_t page) {
  const uint8_t* buf = PageReader()->GetPage(page, kGpRead);
  if (!OwnsPage(buf)) ChainDamaged(page, "is not one of its pages");
  return buf;
}

void TQdfPageList::InitPage(uint8_t* page) {
  StoreU16(page + kPgSize, kPageSize);
  StoreU16(page + kPgFlags, compressible_pages_ ? 0 : kPageNeverCompress);
  StoreU32(page + kPgNext, kNoPage);
  StoreU32(page + kPgPrior, kNoPage);
  StoreAdr(page + kPgOwner, Address());
}

uint32_t TQdfPageList::InsertPageAfter(uint32_t after) {
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  BumpPageChainEpoch();
  uint32_t page = kNoPage;
  uint8_t* buf = r->AllocatePage(page);
  InitPage(buf);
  if (after == kNoPage) {
    PageListHeader()->SetFirstPg(page);
    PageListHeader()->SetLastPg(page);
  } else {
    uint8_t* prev = r->EditPage(after);
    const uint32_t old_next = LoadU32(prev + kPgNext);
    StoreU32(prev + kPgNext, page);
    buf = r->EditPage(page);
    StoreU32(buf + kPgPrior, after);
    StoreU32(buf + kPgNext, old_next);
    if (old_next == kNoPage) {
      PageListHeader()->SetLastPg(page);
    } else {
      StoreU32(r->EditPage(old_next) + kPgPrior, page);
    }
  }
  PageListHeader()->SetCountPg(PageListHeader()->CountPg() + 1);
  return page;
}

void TQdfPageList::FreePage(uint32_t page) {
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  BumpPageChainEpoch();
  uint32_t next, prior;
  try {
    const uint8_t* buf = r->GetPage(page, kGpRead);
    next = LoadU32(buf + kPgNext);
    prior = LoadU32(buf + kPgPrior);
  } catch (const EQdfException&) {
    return;  // a page that cannot be read is left alone
  }
  if (next == kNoPage) {
    PageListHeader()->SetLastPg(prior);
  } else {
    StoreU32(r->EditPage(next) + kPgPrior, prior);
  }
  if (prior == kNoPage) {
    PageListHeader()->SetFirstPg(next);
  } else {
    StoreU32(r->EditPage(prior) + kPgNext, next);
  }
  r->FreePage(page);
  PageListHeader()->SetCountPg(PageListHeader()->CountPg() - 1);
}

void TQdfPageList::ClearPages() {
  TQdfPageReader* r = PageReader();
  BumpPageChainEpoch();
  // No reader bracket around the walk: each page is read for its link and
  // freed, so the cache may trim as it goes instead of holding the chain.
  uint32_t page = PageListHeader()->FirstPg();
  // The chain may be damaged: never follow more links than pages can exist.
  for (int64_t guard = 0; page != kNoPage && guard <= PageListHeader()->CountPg(); ++guard) {
    uint32_t next;
    try {
      next = LoadU32(r->GetPage(page, kGpRead) + kPgNext);
    } catch (const EQdfException&) {
      break;
    }
    r->FreePage(page);
    page = next;
  }
  PageListHeader()->SetFirstPg(kNoPage);
  PageListHeader()->SetLastPg(kNoPage);
  PageListHeader()->SetCountPg(0);
}

void TQdfPageList::ClearData() {
  ClearPages();
  TQdfPersistentObject::ClearData();
}

uint32_t TQdfPageList::FirstPage() {
  eof_ = bof_ = false;
  const uint32_t page = PageListHeader()->FirstPg();
  if (page == kNoPage) eof_ = bof_ = true;
  return page;
}

uint32_t TQdfPageList::LastPage() {
  eof_ = bof_ = false;
  const uint32_t page = PageListHeader()->LastPg();
  if (page == kNoPage) eof_ = bof_ = true;
  return page;
}

uint32_t TQdfPageList::NextPage(uint32_t page) {
  const uint32_t next = LoadU32(ChainPage(page) + kPgNext);
  if (next != kNoPage) PageReader()->ReadAhead(next);
  eof_ = next == kNoPage;
  return next;
}

const std::vector<uint32_t>& TQdfPageList::PagesInFileOrder() {
  TQdfPageReader* r = PageReader();
  const uint32_t epoch = PageChainEpoch();
  if (r == nullptr) {
    file_order_.clear();
    file_order_epoch_ = 0;
    return file_order_;
  }
  if (file_order_epoch_ == epoch && file_order_reader_ == r &&
      file_order_first_ == PageListHeader()->FirstPg() &&
      file_order_count_ == PageListHeader()->CountPg()) {
    return file_order_;
  }
  file_order_.clear();
  file_order_epoch_ = 0;  // a walk that raises leaves nothing to reuse
  // Never follow more links than the list has pages (a damaged chain). No
  // reader bracket: the cache may trim during a walk longer than it holds.
  int64_t left = static_cast<int64_t>(PageListHeader()->CountPg()) + 1;
  for (uint32_t page = FirstPage(); page != kNoPage; page = NextPage(page)) {
    if (left-- <= 0) ChainDamaged(page, "lies beyond the number of pages it counts");
    file_order_.push_back(page);
  }
  std::sort(file_order_.begin(), file_order_.end());
  file_order_epoch_ = epoch;
  file_order_reader_ = r;
  file_order_first_ = PageListHeader()->FirstPg();
  file_order_count_ = PageListHeader()->CountPg();
  return file_order_;
}

uint32_t TQdfPageList::PriorPage(uint32_t page) {
  const uint32_t prior = LoadU32(ChainPage(page) + kPgPrior);
  if (prior != kNoPage) PageReader()->ReadAhead(prior);
  bof_ = prior == kNoPage;
  return prior;
}

}  // namespace qdf
