// A database file with one page reader in a running write transaction, for
// tests of lists.
#pragma once

#include <memory>
#include <string>

#include "TestDir.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
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

}  // namespace qdf_test
