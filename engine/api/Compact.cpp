// CompactFile of the public API: rewrites the live pages of a database into
// a fresh file beside it, checks the copy, then puts it in the old file's
// place.
//
// The copy keeps every page number, so every item address inside the pages
// stays valid; only the page table and the file positions are new, with no
// free space between the blocks. The one page content that names file
// positions is the free list: in the copy its current root is emptied, and
// its other items (older roots, free-block records) are deleted by a second
// transaction on the copy, through the engine, before anything could take a
// block from them.
//
// The old file is never written. It is locked for writing from the start
// (a writer in another process makes compact fail, and none can start
// meanwhile) and replaced by a rename only after the copy was checked and
// synced; any failure before that removes the copy and leaves it as it was.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "api/ApiImpl.h"
#include "base/Bytes.h"
#include "base/ItemAdr.h"
#include "base/ItemArea.h"
#include "base/QdfException.h"
#include "check/IntegrityCheck.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/Transaction.h"
#include "file/FileFormat.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "file/ReaderTable.h"
#include "list/DataListBase.h"
#include "platform/FileSystem.h"

namespace dbquillon {

namespace {

using namespace qdf;

constexpr const char* kFreeListName = "$FREE_LIST";
// Pages copied between two writes of the copy's dirty pages: the writes
// store them compressed at once instead of evicting them plain.
constexpr int kCopyBatch = 256;
// Root record of the free list: transaction at 2, then from offset 6 the
// next and pending roots and the 16 heads and tails (6-byte item addresses).
constexpr int kRootRecordLength = 210;
constexpr int kRootAddressesFrom = 6;

// The items of the source's free list, first (the current root) first.
std::vector<TItemAdr> FreeListItems(TQdfInTransStorage& storage) {
  std::vector<TItemAdr> items;
  TQdfPersistentObject* object = storage.ChildByName(kFreeListName);
  if (object == nullptr || !object->IsKindOf(TQdfDataListBase::kClassInfo)) return items;
  auto* list = static_cast<TQdfDataListBase*>(object);
  TItemAdr adr = kBeforeFirstAdr;
  while (list->NextItem(adr) != nullptr) items.push_back(adr);
  return items;
}

// Empties the current root in a copied page: its lists, next and pending
// root become null, so no block position of the old file is ever taken
// from the copy's free list.
void EmptyRootIn(uint8_t* page, const TItemAdr& root, const std::string& file) {
  const int offset = LoadU16(page + kPgAreaOffset);
  if (offset == 0) {
    detail::Fail(ErrorCode::Damaged, file + ": the free list's first page has no item area");
  }
  TItemArea area(page + offset);
  if (root.slot >= area.SlotCount() || area.ItemLength(root.slot) != kRootRecordLength) {
    detail::Fail(ErrorCode::Damaged,
                 file + ": the free list's first item is not a root record; run qdf check");
  }
  uint8_t* item = area.ItemAt(root.slot);
  for (int at = kRootAddressesFrom; at + 6 <= kRootRecordLength; at += 6)
    StoreAdr(item + at, kNullAdr);
}

// Copies every live page of the source into the empty database `copy`
// under the same page number. Returns the number of pages copied.
int64_t CopyPages(TQdfIndirectPageReader& source, const std::string& copy,
                  const std::vector<TItemAdr>& free_items, const std::string& file) {
  TQdfFilerRef filer = TQdfFilerRef::Adopt(new TQdfLocalFiler(copy, false, copy));
  TQdfIndirectPageReader writer(filer.get());
  writer.Open(false);
  writer.StartTransaction();
  const uint32_t next_page = LoadU32(&source.Filer()->GetRoot()[kRootNextPage]);
  std::vector<uint8_t> buffer(kPageSize);
  int64_t copied = 0;
  for (uint64_t n = SkipReservedPages(1); n < next_page; n = SkipReservedPages(n + 1)) {
    const uint32_t page = static_cast<uint32_t>(n);
    const bool live = source.EntryOf(page).position != 0;
    if (live) {
      std::memcpy(buffer.data(), source.GetPage(page, kGpRead), kPageSize);
      if (!free_items.empty() && free_items.front().page == page) {
        EmptyRootIn(buffer.data(), free_items.front(), file);
      }
    }
    uint32_t allocated = 0;
    uint8_t* target = writer.AllocatePage(allocated);
    if (allocated != page) {
      detail::Fail(ErrorCode::Internal, copy + ": page numbers of the copy went astray");
    }
    if (!live) {
      writer.FreePage(page);  // a number the source gave up: free in the copy too
      continue;
    }
    std::memcpy(target, buffer.data(), kPageSize);
    if (++copied % kCopyBatch == 0) writer.Flush(kFlushWriteUnpin);
  }
  writer.Flush(kFlushWriteUnpin);
  writer.Commit(false);
  return copied;
}

// Deletes the free-list items that the emptied root no longer reaches.
void DropFreeListItems(const std::string& alias, const std::string& copy,
                       const std::vector<TItemAdr>& free_items) {
  if (free_items.size() < 2) return;
  std::unique_ptr<TQdfTransaction> transaction = QdfSystem()->NewTransaction("compact");
  TQdfInTransStorage* storage = transaction->OpenStorage(alias, false, copy);
  transaction->SetActive(true);
  auto* list = static_cast<TQdfDataListBase*>(storage->ChildByName(kFreeListName));
  for (size_t i = 1; i < free_items.size(); ++i) list->DeleteItem(free_items[i]);
  transaction->Commit(false);
  transaction.reset();
}

// Closes the system's filer of `alias`, which stays open after its last
// transaction otherwise: the copy's must not hold the writer's lock on the
// file it becomes, and the old file's must not be found again by name.
void ForgetFiler(const std::string& alias) {
  TQdfSystem* system = QdfSystem();
  TQdfFiler* filer = system->LookupFiler(alias);
  if (filer == nullptr) return;
  system->RemoveFiler(filer);  // its reference passes to us
  filer->Release();
}

// Makes the rename durable: the directory entry is synced too.
void SyncDirectoryOf(const std::string& file) {
  std::string dir = std::filesystem::path(file).parent_path().string();
  if (dir.empty()) dir = ".";
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    detail::Fail(ErrorCode::Io,
                 dir + ": cannot open the folder to sync it: " + std::strerror(errno));
  }
  const int synced = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  if (synced != 0)
    detail::Fail(ErrorCode::Io, dir + ": cannot sync the folder: " + std::strerror(err));
}

int64_t SizeOf(const std::string& file) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  return ec ? 0 : static_cast<int64_t>(size);
}

// The copy of `file` made into `copy`; returns the pages copied.
int64_t MakeCopy(const std::string& file, const std::string& copy) {
  // Aliases of their own, so that no Database's filer is ever taken.
  const std::string source_alias = "compact:" + file;
  const std::string copy_alias = "compact:" + copy;
  int64_t pages = 0;
  {
    std::unique_ptr<TQdfTransaction> source = QdfSystem()->NewTransaction("compact read");
    TQdfInTransStorage* storage = source->OpenStorage(source_alias, true, file);
    source->SetActive(true);
    auto* reader = static_cast<TQdfIndirectPageReader*>(storage->PageReader());
    const std::vector<TItemAdr> free_items = FreeListItems(*storage);
    pages = CopyPages(*reader, copy, free_items, file);
    DropFreeListItems(copy_alias, copy, free_items);
  }
  ForgetFiler(copy_alias);
  ForgetFiler(source_alias);
  return pages;
}

CompactResult Compact(const std::string& file) {
  detail::RequireFile(file);
  if (detail::OpenCounts().count(detail::AliasOfFile(file)) != 0) {
    detail::Fail(ErrorCode::Busy,
                 file + ": cannot compact: a Database of this process has it open");
  }
  std::unique_ptr<TFileHandle> lock;
  try {
    // The writer's lock: no other process writes while the copy is made.
    lock = DatabaseFileSystem().Open(file, TOpenMode::kReadWrite);
  } catch (const EQdfException& e) {
    detail::Fail(ErrorCode::Busy, file + ": cannot compact: " + e.Message() +
                                      " (close the program that writes to it)");
  }
  // Readers in other processes (the reader table) would go on reading the
  // replaced file, unaware of the writes that follow the rename.
  if (std::unique_ptr<TReaderTable> readers = TReaderTable::Open(file, false);
      readers != nullptr && readers->HeldByOtherProcesses() > 0) {
    detail::Fail(ErrorCode::Busy, file + ": cannot compact: another process reads it" +
                                      " (close the programs that read it)");
  }
  const TQdfCheckReport before = CheckDatabase(file);
  if (!before.Sound()) {
    detail::Fail(ErrorCode::Damaged, file + ": cannot compact a damaged file (" +
                                         std::to_string(before.found) +
                                         " problems); run qdf check");
  }
  const std::string copy = file + ".compact";
  bool created = false;
  try {
    created = TQdfLocalFiler::CreateEmpty(copy);
  } catch (...) {
    // A file system that cannot create atomically may leave a part behind.
    DatabaseFileSystem().Delete(copy);
    throw;
  }
  if (!created) {
    detail::Fail(ErrorCode::Io,
                 copy + " exists: another compact runs, or one was interrupted (then remove it)");
  }
  CompactResult result;
  try {
    result.pages = MakeCopy(file, copy);
    const TQdfCheckReport after = CheckDatabase(copy);
    if (!after.Sound()) {
      detail::Fail(ErrorCode::Damaged,
                   copy + ": the copy fails its check: " +
                       (after.problems.empty() ? std::string("?") : after.problems.front()));
    }
    if (after.figures.records != before.figures.records ||
        after.figures.objects != before.figures.objects) {
      detail::Fail(ErrorCode::Damaged,
                   copy + ": the copy holds other records or objects than " + file);
    }
    DatabaseFileSystem().Open(copy, TOpenMode::kReadOnly)->Sync();
  } catch (...) {
    ForgetFiler("compact:" + copy);
    ForgetFiler("compact:" + file);
    DatabaseFileSystem().Delete(copy);
    throw;
  }
  result.sizeBefore = SizeOf(file);
  if (SizeOf(copy) >= result.sizeBefore) {
    // Nothing to gain (the copy's free list needs a few blocks of its own):
    // the old file stays.
    DatabaseFileSystem().Delete(copy);
    result.sizeAfter = result.sizeBefore;
    return result;
  }
  if (std::rename(copy.c_str(), file.c_str()) != 0) {
    const int err = errno;
    DatabaseFileSystem().Delete(copy);
    detail::Fail(ErrorCode::Io,
                 file + ": cannot replace it by the compacted copy: " + std::strerror(err));
  }
  SyncDirectoryOf(file);
  result.compacted = true;
  result.sizeAfter = SizeOf(file);
  return result;
}

}  // namespace

CompactResult CompactFile(const std::string& file) {
  return detail::Guarded([&] { return Compact(file); });
}

}  // namespace dbquillon
