#include "db/Transaction.h"

#include <algorithm>
#include <exception>

#include "base/QdfException.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "file/IndirectPageReader.h"
#include "file/MultiFileCommit.h"
#include "file/QdfFiler.h"

namespace qdf {

TQdfTransaction::TQdfTransaction(const std::string& name, TQdfSystem* system)
    : name_(name), by_alias_(&CaseInsensitiveTraits(), 100), lock_("TA " + name), system_(system) {}

TQdfTransaction::~TQdfTransaction() {
  if (detached_) return;  // the system that went has freed everything
  if (system_ != nullptr) system_->RemoveTransaction(this);
  Release();
}

void TQdfTransaction::DetachFromSystem() {
  Release();
  system_ = nullptr;
  detached_ = true;
}

void TQdfTransaction::Release() {
  if (state_ != kIdle) {
    try {
      Rollback(false);
    } catch (const std::exception&) {
      // The readers are freed with their storages below; nothing is committed.
    }
  }
  // Storages added from outside stay alive: they only leave.
  for (TQdfInTransStorage* s : std::vector<TQdfInTransStorage*>(storages_)) {
    const bool owned = std::any_of(owned_storages_.begin(), owned_storages_.end(),
                                   [s](const auto& o) { return o.get() == s; });
    if (!owned) RemoveStorage(s);
  }
  // Each storage's destructor calls RemoveStorage, which must not touch
  // owned_storages_ while it is being emptied: take them out first.
  std::vector<std::unique_ptr<TQdfInTransStorage>> owned;
  owned.swap(owned_storages_);
  while (!owned.empty()) owned.pop_back();
}

TQdfSystem* TQdfTransaction::System() const {
  if (detached_) {
    throw EQdfException("Transaction: " + name_ + ": its system was shut down");
  }
  return system_ != nullptr ? system_ : QdfSystem();
}

TQdfInTransStorage* TQdfTransaction::OpenStorage(const std::string& alias, bool read_only,
                                                 const std::string& file_name) {
  TDbgLock g(lock_);
  if (by_alias_.Exists(alias)) {
    throw EQdfException::Fmt("Duplicate Alias: %s in Transaction", alias.c_str());
  }
  TQdfSystem* system = System();
  TQdfFiler* filer = file_name.empty()
                         ? system->OpenFiler(alias, system->UseLocalServer(), read_only)
                         : system->OpenLocalFiler(file_name, alias, read_only);
  if (filer == nullptr) throw EQdfException::Fmt("Cannot open Alias: %s", alias.c_str());

  std::unique_ptr<TQdfPersistentObject> made =
      TQdfPersistentObject::Create(TQdfInTransStorage::kClassInfo, nullptr);
  std::unique_ptr<TQdfInTransStorage> storage(static_cast<TQdfInTransStorage*>(made.release()));
  storage->SetSystem(system);
  storage->SetFiler(filer);
  TQdfInTransStorage* s = storage.get();
  if (AddStorage(s, read_only) == nullptr) {
    // The filer is registered under another name than asked for.
    throw EQdfException::Fmt("Duplicate Alias: %s in Transaction", filer->Name().c_str());
  }
  owned_storages_.push_back(std::move(storage));
  if (active_) {
    state_ = kStarting;
    try {
      s->StartStorage();
    } catch (...) {
      state_ = kRunning;
      std::unique_ptr<TQdfInTransStorage> failed = std::move(owned_storages_.back());
      owned_storages_.pop_back();
      RemoveStorage(s);
      throw;
    }
    state_ = kRunning;
  }
  return s;
}

TQdfInTransStorage* TQdfTransaction::AddStorage(TQdfInTransStorage* storage, bool read_only) {
  TDbgLock g(lock_);
  QDF_ASSERT(storage != nullptr && storage->Filer() != nullptr, "QdfFile");
  if (std::find(storages_.begin(), storages_.end(), storage) != storages_.end()) return nullptr;
  const std::string& alias = storage->Filer()->Name();
  if (by_alias_.Exists(alias)) return nullptr;
  storages_.push_back(storage);
  by_alias_.Add(alias, storage);
  storage->SetTransaction(this);
  storage->SetReadOnly(read_only);
  return storage;
}

void TQdfTransaction::RemoveStorage(TQdfInTransStorage* storage) {
  TDbgLock g(lock_);
  if (storage->Transaction() == this) storage->SetTransaction(nullptr);
  by_alias_.RemoveData(storage);
  storages_.erase(std::remove(storages_.begin(), storages_.end(), storage), storages_.end());
  for (auto it = owned_storages_.begin(); it != owned_storages_.end(); ++it) {
    if (it->get() == storage) {
      // Leaves the list without being freed: the caller frees it.
      (void)it->release();
      owned_storages_.erase(it);
      break;
    }
  }
}

TQdfInTransStorage* TQdfTransaction::FindStorage(const std::string& alias) const {
  return static_cast<TQdfInTransStorage*>(by_alias_.Get(alias));
}

void TQdfTransaction::RollbackStarted(size_t count) {
  for (size_t i = 0; i < count && i < storages_.size(); ++i) {
    try {
      storages_[i]->RollbackStorage();
    } catch (const std::exception&) {
      // Keep releasing the others; the failing one dropped its pages already.
    }
  }
}

void TQdfTransaction::StartTransaction(int event) {
  {
    TDbgLock g(lock_);
    if (state_ != kIdle) throw EQdfException("Transaction already running");
    restart_requested_ = false;
    state_ = kStarting;
    size_t started = 0;
    try {
      for (TQdfInTransStorage* s : storages_) {
        s->SetPendingEvent(event);
        s->StartStorage();
        ++started;
      }
    } catch (...) {
      // A storage that failed released what it held; the ones before it hold
      // their files' write ownership: give everything back.
      RollbackStarted(started);
      state_ = kIdle;
      active_ = false;
      throw;
    }
    state_ = kRunning;
    active_ = true;
    if (restart_requested_) {
      // A new database got its schema while starting: make it durable before
      // the application works on it.
      restart_requested_ = false;
      Commit(true);
      StartTransaction(1);
    }
    active_ = state_ == kRunning;
  }
  for (TQdfInTransStorage* s : std::vector<TQdfInTransStorage*>(storages_)) s->Notify(0);
}

void TQdfTransaction::Commit(bool final) {
  {
    TDbgLock g(lock_);
    if (state_ != kRunning) throw EQdfException("No Transaction running");
    for (TQdfInTransStorage* s : storages_) s->CommitStorage();
    // Local files this transaction changed commit all or none: through a
    // commit record when there are several, each on its own otherwise (the
    // ones it did not change keep their own path: a header with new numbers).
    std::vector<TQdfIndirectPageReader*> changed;
    for (TQdfInTransStorage* s : storages_) {
      if (s->Reader() != nullptr && s->Reader()->ChangesLocalFile()) changed.push_back(s->Reader());
    }
    if (changed.size() >= 2) TMultiFileCommit::Commit(changed);
    for (TQdfInTransStorage* s : storages_) s->FinishCommit(!final);
    state_ = kIdle;
    active_ = false;
  }
  if (final) {
    for (TQdfInTransStorage* s : std::vector<TQdfInTransStorage*>(storages_)) s->Notify(2);
  }
}

void TQdfTransaction::Rollback(bool notify) {
  if (notify) {
    for (TQdfInTransStorage* s : std::vector<TQdfInTransStorage*>(storages_)) s->Notify(3);
  }
  TDbgLock g(lock_);
  std::exception_ptr error;
  for (TQdfInTransStorage* s : storages_) {
    try {
      s->RollbackStorage();
    } catch (...) {
      if (!error) error = std::current_exception();
    }
  }
  state_ = kIdle;
  active_ = false;
  if (error) std::rethrow_exception(error);
}

void TQdfTransaction::SetActive(bool value) {
  if (value == active_) return;
  if (!value) {
    Commit(true);
  } else if (state_ != kStarting) {
    StartTransaction(1);
  }
}

void TQdfTransaction::CommitAndContinue() {
  if (active_) Commit(false);
  StartTransaction(5);
}

}  // namespace qdf
