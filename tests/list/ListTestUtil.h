// A database file with one page reader in a running write transaction, for
// tests of lists.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TestDir.h"
#include "base/ItemArea.h"
#include "file/FileFormat.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "list/ItemList.h"
#include "object/PersistentObject.h"
#include "storage/Storage.h"

namespace qdf_test {

class TListFixture {
 public:
  TListFixture() : path_(dir_.File("lists.qdf")) { Open(); }
  ~TListFixture() { Close(); }

  void Open() {
    filer_ = new qdf::TQdfLocalFiler(path_, false, "LISTS");
    reader_ = std::make_unique<qdf::TQdfIndirectPageReader>(filer_);
    reader_->Open(false);
    reader_->StartTransaction();
  }
  void Close() {
    reader_.reset();
    if (filer_) filer_->Release();
    filer_ = nullptr;
  }
  // Writes the dirty pages and commits; a new transaction starts.
  void Commit() {
    reader_->Flush(qdf::kFlushWriteUnpin);
    reader_->Commit(true);
    reader_->Open(false);
    reader_->StartTransaction();
  }

  // A new template of class T working on this file.
  template <typename T>
  std::unique_ptr<T> New() {
    std::unique_ptr<qdf::TQdfPersistentObject> o =
        qdf::TQdfPersistentObject::Create(T::kClassInfo, nullptr);
    o->SetPageReader(reader_.get());
    return std::unique_ptr<T>(static_cast<T*>(o.release()));
  }

  // A new storage with its root on this file.
  std::unique_ptr<qdf::TQdfStorage> CreateStorage() {
    std::unique_ptr<qdf::TQdfStorage> storage = New<qdf::TQdfStorage>();
    storage->CreateRoot(Reader());
    return storage;
  }

  // A new list of class T named `name` under `storage` (which owns it), its
  // header item written.
  template <typename T>
  T* AddList(qdf::TQdfStorage* storage, const char* name) {
    std::unique_ptr<T> list = New<T>();
    list->SetStorage(storage);
    list->Header()->SetObjectName(name);
    list->SetParent(storage);
    list->SaveHeader();
    return list.release();
  }

  // Closes and opens the file again; a new storage reads the root and the
  // object tree.
  std::unique_ptr<qdf::TQdfStorage> ReopenStorage() {
    Close();
    Open();
    std::unique_ptr<qdf::TQdfStorage> storage = New<qdf::TQdfStorage>();
    storage->OpenRootHeader(Reader());
    storage->LoadObjectTree();
    return storage;
  }

  qdf::TQdfIndirectPageReader* Reader() const { return reader_.get(); }
  qdf::TQdfLocalFiler* Filer() const { return filer_; }
  const std::string& Path() const { return path_; }

 private:
  TTestDir dir_;
  std::string path_;
  qdf::TQdfLocalFiler* filer_ = nullptr;
  std::unique_ptr<qdf::TQdfIndirectPageReader> reader_;
};

// Checks a list's page chain: links both ways, anchors, page count, owner,
// and no page left without items.
inline void CheckChain(qdf::TQdfItemList& list, qdf::TQdfPageReader* r) {
  uint32_t prev = qdf::kNoPage;
  int count = 0;
  for (uint32_t p = list.PageListHeader()->FirstPg(); p != qdf::kNoPage; ++count) {
    ASSERT_LE(count, list.PageListHeader()->CountPg());
    uint8_t* buf = r->GetPage(p, qdf::kGpRead);
    EXPECT_EQ(qdf::LoadU32(buf + qdf::kPgPrior), prev);
    EXPECT_EQ(qdf::LoadAdr(buf + qdf::kPgOwner), list.Address());
    EXPECT_GT(qdf::TItemArea::OfPage(buf).SlotCount(), 0) << "empty page " << p;
    prev = p;
    p = qdf::LoadU32(buf + qdf::kPgNext);
  }
  EXPECT_EQ(count, list.PageListHeader()->CountPg());
  EXPECT_EQ(prev, list.PageListHeader()->LastPg());
}

}  // namespace qdf_test
