#include "file/FileCheck.h"

#include <algorithm>
#include <cstring>

#include "base/Bytes.h"
#include "base/ItemAdr.h"
#include "base/ItemArea.h"
#include "base/PageCodec.h"
#include "base/QdfException.h"
#include "platform/FileSystem.h"
#include "reader/CacheBlock.h"

namespace qdf {

void TQdfCheckReport::Add(std::string line) {
  // Damaged names and messages may carry any byte: lines stay printable.
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  ++found;
  if (problems.size() < kMaxProblems) {
    problems.push_back(std::move(line));
  } else if (problems.size() == kMaxProblems) {
    problems.push_back("more problems were found; the first " + std::to_string(kMaxProblems) +
                       " are listed");
  }
}

std::string PageName(uint32_t page) {
  if (page >= kTopPage) return Format("page %X", page);
  return "page " + std::to_string(page);
}

namespace {

std::string Hex(int64_t v) { return Format("0x%llX", static_cast<unsigned long long>(v)); }

std::string Units(uint32_t n) { return std::to_string(n) + (n == 1 ? " unit" : " units"); }

}  // namespace

TQdfFileCheck::TQdfFileCheck(const std::string& file_name) : file_name_(file_name) {
  std::memset(header_, 0, sizeof header_);
  file_ = DatabaseFileSystem().Open(file_name, TOpenMode::kReadOnly);
  file_size_ = static_cast<int64_t>(file_->Size());
  if (file_size_ == 0) throw EQdfException(file_name + " is empty: no database file");
  const size_t got = file_->ReadUpTo(0, header_, sizeof header_);
  if (got < sizeof header_ || LoadU32(header_ + kHdrMagic) != kFileMagic) {
    throw EQdfException(file_name + " is no database file");
  }
  const uint8_t* root = header_ + kHdrRoot;
  transaction_ = LoadU32(root + kRootTransaction);
  next_page_ = LoadU32(root + kRootNextPage);
  allocation_end_ = static_cast<int64_t>(LoadU32(root + kRootAllocEnd)) * kUnitSize;
}

TQdfFileCheck::~TQdfFileCheck() = default;

void TQdfFileCheck::UseRoot(const TRootRecord& root) {
  std::memcpy(header_ + kHdrRoot, root.data(), root.size());
  transaction_ = LoadU32(root.data() + kRootTransaction);
  next_page_ = LoadU32(root.data() + kRootNextPage);
  allocation_end_ = static_cast<int64_t>(LoadU32(root.data() + kRootAllocEnd)) * kUnitSize;
  file_size_ = static_cast<int64_t>(file_->Size());
}

bool TQdfFileCheck::PageSound(uint32_t page) const {
  return !std::binary_search(unsound_pages_.begin(), unsound_pages_.end(), page);
}

bool TQdfFileCheck::LoadPage(uint32_t page, int level, const TPageEntry& entry, uint8_t* out,
                             TQdfCheckReport& report) {
  const std::string name = PageName(page);
  const std::string where = "block at " + Hex(entry.position) + " (" + Units(entry.units) + ")";
  // A damaged entry may hold any 64-bit position: compare before adding the
  // size, which could overflow.
  if (entry.position > file_size_) {
    report.Add(name + ": " + where + " starts past the end of the file (" + Hex(file_size_) + ")");
    return false;
  }
  if (entry.position > allocation_end_) {
    report.Add(name + ": " + where + " starts past the allocated space (" + Hex(allocation_end_) +
               ")");
    return false;
  }
  const int64_t end = entry.position + entry.StoredSize();
  if (entry.flags & kEntryShadow) {
    report.Add(name + ": page-table entry names a block of a shadow file");
    return false;
  }
  if (!(entry.flags & kEntryCompressed) && entry.units != 16) {
    report.Add(name + ": plain " + where + " is not 16 units long");
    return false;
  }
  if (entry.position < kHeaderSize) {
    report.Add(name + ": " + where + " lies inside the header");
    return false;
  }
  if (entry.transaction > transaction_) {
    report.Add(name + ": written by transaction " + std::to_string(entry.transaction) +
               ", after the last committed one (" + std::to_string(transaction_) + ")");
  }
  if (end > allocation_end_) {
    report.Add(name + ": " + where + " ends past the allocated space (" + Hex(allocation_end_) +
               ")");
  }
  if (end > file_size_) {
    report.Add(name + ": " + where + " ends past the end of the file (" + Hex(file_size_) + ")");
    return false;
  }
  blocks_.push_back({entry.position, end, page});
  if (entry.flags & kEntryCompressed) {
    uint8_t packed[kPageSize];
    const size_t stored = static_cast<size_t>(entry.StoredSize());
    file_->ReadAt(static_cast<uint64_t>(entry.position), packed, stored);
    if (LoadU16(packed) > stored || LoadU16(packed + 2) != kPageSize ||
        Unpack(packed, stored, out, kPageSize) != kUnpackOk) {
      report.Add(name + ": compressed " + where + " does not expand to a page");
      return false;
    }
    // The packing is a function of the page: packing the expanded page again
    // must give the stored bytes. A damaged code that still expands (to a
    // different page) shows here, where no structure check might see it.
    uint8_t repacked[kPageSize];
    const int length = Pack(repacked, out, kPageSize);
    const bool same =
        length >= 1 && (length + kUnitSize - 1) / kUnitSize == static_cast<int>(entry.units) &&
        std::memcmp(repacked, packed, static_cast<size_t>(length)) == 0 &&
        std::all_of(packed + length, packed + stored, [](uint8_t b) { return b == 0; });
    if (!same) {
      report.Add(name + ": compressed " + where + " holds damaged bytes (they do not pack back)");
      return false;
    }
  } else {
    file_->ReadAt(static_cast<uint64_t>(entry.position), out, kPageSize);
  }
  if (LoadU16(out + kPgSize) != kPageSize) {
    report.Add(name + ": wrong page size word " + std::to_string(LoadU16(out + kPgSize)));
    return false;
  }
  if (LoadU32(out + kPgTransaction) != entry.transaction) {
    report.Add(name + ": stamped with transaction " +
               std::to_string(LoadU32(out + kPgTransaction)) + ", its page-table entry says " +
               std::to_string(entry.transaction));
    return false;
  }
  if (level >= 0) {
    if (LoadU32(out + kIbLevel) != static_cast<uint32_t>(level)) {
      report.Add(name + ": page-table block of level " + std::to_string(LoadU32(out + kIbLevel)) +
                 " where level " + std::to_string(level) + " belongs");
      return false;
    }
    if (LoadU32(out + kIbOwnPage) != page) {
      report.Add(name + ": page-table block of " + PageName(LoadU32(out + kIbOwnPage)));
      return false;
    }
    return true;
  }
  links_.push_back({page, LoadU32(out + kPgNext), LoadAdr(out + kPgOwner) == TItemAdr{1, 0}});
  const int offset = LoadU16(out + kPgAreaOffset);
  if (offset != 0) {
    if (offset < kItemPageAreaOffset || offset > kPageSize - 14) {
      report.Add(name + ": item area offset " + std::to_string(offset) + " out of range");
      return false;
    }
    TItemArea area(out + offset);
    if (area.Size() != kPageSize - offset || !area.CheckArea()) {
      report.Add(name + ": damaged item area");
      return false;
    }
  }
  return true;
}

const uint8_t* TQdfFileCheck::TableBlock(uint32_t page, TQdfCheckReport& report) {
  auto it = tables_.find(page);
  if (it != tables_.end()) return it->second.empty() ? nullptr : it->second.data();
  std::vector<uint8_t>& block = tables_[page];  // empty until it proves sound
  TPageEntry entry;
  if (!EntryOf(page, report, &entry) || entry.position == 0) return nullptr;
  std::vector<uint8_t> buffer(kPageSize);
  if (!LoadPage(page, LocateEntry(page).level, entry, buffer.data(), report)) return nullptr;
  block = std::move(buffer);
  return block.data();
}

bool TQdfFileCheck::EntryOf(uint32_t page, TQdfCheckReport& report, TPageEntry* entry) {
  const TEntryPlace place = LocateEntry(page);
  uint32_t code = 0;
  if (place.root_index >= 0) {
    *entry = DecodeEntry(header_ + kHdrRoot + kRootEntries + 12 * place.root_index, &code);
  } else {
    const uint8_t* table = TableBlock(place.table_page, report);
    if (table == nullptr) return false;
    *entry = DecodeEntry(table + kIbEntries + 12 * place.slot, &code);
  }
  return true;
}

void TQdfFileCheck::Run(TQdfCheckReport& report) {
  TQdfFileFigures& f = report.figures;
  f.file_size = file_size_;
  f.major_version = LoadU32(header_ + kHdrMajor);
  f.minor_version = LoadU32(header_ + kHdrMinor);
  f.high_water = static_cast<int64_t>(LoadU64(header_ + kHdrHighWater));
  f.transaction = transaction_;
  f.previous_transaction = LoadU32(header_ + kHdrRoot + kRootPrevTransaction);
  f.allocation_end = allocation_end_;
  f.next_page = next_page_;
  if (f.major_version != kFileMajorVersion) {
    report.Add("header: file format version " + std::to_string(f.major_version) + "." +
               std::to_string(f.minor_version) + ", this engine reads version " +
               std::to_string(kFileMajorVersion));
    return;
  }
  if (allocation_end_ < kHeaderSize) {
    report.Add("header: allocated space ends at " + Hex(allocation_end_) + ", inside the header");
  }
  // Every allocated block is written before the header that counts it, so
  // the allocated space never reaches past the file; a writer would also
  // take such a file for full.
  if (allocation_end_ > file_size_) {
    report.Add("header: allocated space ends at " + Hex(allocation_end_) +
               ", past the end of the file (" + Hex(file_size_) + ")");
  }
  if (next_page_ == 0 || next_page_ >= kTopPage) {
    report.Add("header: next page number " + Hex(next_page_) + " is out of range");
    return;
  }
  // The level-0 table blocks in order, each with the data pages it maps. A
  // missing table block means none of its pages was ever written.
  std::vector<uint8_t> page(kPageSize);
  for (uint64_t table = 0; table < next_page_; table += kFanOut) {
    // Without its level-1 block no level-0 block below it was ever written:
    // the walk goes on at the next level-1 block's range, so that a damaged
    // next page number costs one look per 409600 pages, not one per 640.
    const TEntryPlace place = LocateEntry(static_cast<uint32_t>(table));
    if (place.root_index < 0 && TableBlock(place.table_page, report) == nullptr) {
      const uint64_t next = ((table + 2) / kLevel1Span + 1) * kLevel1Span - 2;
      table = (next + kFanOut - 1) / kFanOut * kFanOut - kFanOut;
      continue;
    }
    const uint8_t* block = TableBlock(static_cast<uint32_t>(table), report);
    if (block == nullptr) continue;
    for (int slot = 0; slot < kFanOut; ++slot) {
      const uint64_t n = table + 1 + static_cast<uint64_t>(slot);
      uint32_t code = 0;
      const TPageEntry entry = DecodeEntry(block + kIbEntries + 12 * slot, &code);
      if (entry.position == 0) continue;
      const auto number = static_cast<uint32_t>(n);
      if (n >= next_page_ || n >= kTopPage || IsTablePage(number)) {
        report.Add(PageName(static_cast<uint32_t>(table)) + ": entry in slot " +
                   std::to_string(slot) + " for " +
                   (n >= next_page_ ? "a page number not handed out yet" : "a page-table page"));
        continue;
      }
      if (code > 15) {
        report.Add(PageName(number) + ": page-table entry with a stored size above 16 units");
        unsound_pages_.push_back(number);
        continue;
      }
      pages_.push_back(number);
      ++f.pages;
      if (entry.flags & kEntryCompressed) ++f.compressed_pages;
      if (!LoadPage(number, -1, entry, page.data(), report)) unsound_pages_.push_back(number);
    }
  }
  for (const auto& [number, block] : tables_) {
    if (!block.empty()) ++f.table_blocks;
  }
  std::sort(unsound_pages_.begin(), unsound_pages_.end());
  CheckOverlaps(report);
  CheckLoops(report);
  for (const TQdfStoredBlock& b : blocks_) f.stored_bytes += b.end - b.position;
}

void TQdfFileCheck::CheckOverlaps(TQdfCheckReport& report) {
  std::sort(blocks_.begin(), blocks_.end(), [](const TQdfStoredBlock& a, const TQdfStoredBlock& b) {
    return a.position < b.position;
  });
  // Each block against the one reaching furthest among those before it.
  size_t reach = 0;
  for (size_t i = 1; i < blocks_.size(); ++i) {
    if (blocks_[i].position < blocks_[reach].end) {
      report.Add(PageName(blocks_[i].page) + ": block at " + Hex(blocks_[i].position) +
                 " overlaps the block of " + PageName(blocks_[reach].page) + " at " +
                 Hex(blocks_[reach].position));
    }
    if (blocks_[i].end > blocks_[reach].end) reach = i;
  }
}

void TQdfFileCheck::CheckLoops(TQdfCheckReport& report) {
  // Every page has one next link, so the links form paths and, where a file
  // is damaged, cycles. Pages are coloured: 0 unseen, 1 on the current walk,
  // 2 done; meeting a page of the current walk closes a cycle.
  std::sort(links_.begin(), links_.end(),
            [](const TPageLink& a, const TPageLink& b) { return a.page < b.page; });
  auto find = [&](uint32_t page) -> TPageLink* {
    auto it = std::lower_bound(links_.begin(), links_.end(), page,
                               [](const TPageLink& l, uint32_t p) { return l.page < p; });
    return it != links_.end() && it->page == page ? &*it : nullptr;
  };
  std::vector<TPageLink*> walk;
  for (TPageLink& start : links_) {
    if (start.colour != 0) continue;
    walk.clear();
    TPageLink* at = &start;
    while (at != nullptr && at->colour == 0) {
      at->colour = 1;
      walk.push_back(at);
      at = find(at->next);
    }
    if (at != nullptr && at->colour == 1) {
      bool root = false;
      for (auto it = std::find(walk.begin(), walk.end(), at); it != walk.end(); ++it) {
        root = root || (*it)->root_owned;
      }
      root_loop_ = root_loop_ || root;
      report.Add(PageName(at->page) + ": following the next links from here leads back to it");
    }
    for (TPageLink* l : walk) l->colour = 2;
  }
}

void TQdfFileCheck::CheckFreeBlocks(const std::vector<std::pair<int64_t, int32_t>>& blocks,
                                    TQdfCheckReport& report) const {
  std::vector<std::pair<int64_t, int64_t>> sorted;
  for (const auto& [position, size] : blocks) {
    const std::string what = "free block at " + Hex(position) + " (" +
                             Units(static_cast<uint32_t>(size / kUnitSize)) + ")";
    if (position < kHeaderSize || position % kUnitSize != 0 || size <= 0 ||
        position > allocation_end_ - size) {
      report.Add(what + " lies outside the allocated space");
      continue;
    }
    const int64_t end = position + size;
    // The first live block that ends after this one begins.
    auto it = std::upper_bound(blocks_.begin(), blocks_.end(), position,
                               [](int64_t pos, const TQdfStoredBlock& b) { return pos < b.end; });
    // Blocks are sorted by position and never overlap in a sound file, so
    // their ends ascend as well; a damaged file was reported already.
    if (it != blocks_.end() && it->position < end) {
      report.Add(what + " overlaps the live block of " + PageName(it->page) + " at " +
                 Hex(it->position));
    }
    sorted.emplace_back(position, end);
  }
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 1; i < sorted.size(); ++i) {
    if (sorted[i].first < sorted[i - 1].second) {
      report.Add("free block at " + Hex(sorted[i].first) + " overlaps the free block at " +
                 Hex(sorted[i - 1].first));
    }
  }
}

}  // namespace qdf
