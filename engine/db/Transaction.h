// TQdfTransaction: a named group of storages (open databases) that start,
// commit and roll back their write transactions together.
//
// A transaction is idle (0), starting (1) or running (2). Starting runs
// StartStorage on every storage in the order they were added; committing
// stores every storage's modified objects, writes its pages and rewrites its
// file's header; rolling back returns every storage to its file's last
// committed state.
//
// Not atomic across files: a commit over several storages commits their files
// one after the other. A crash or an error between two of them leaves the
// earlier files committed and the later ones at their previous state; each
// file on its own is always at a committed state.
//
// Threads: the transaction's lock ("TA <name>") guards its state and its
// storage lists; it is re-entrant. Listeners are told outside it, except
// while a start commits and restarts on its own (a new database's schema).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/HashList.h"
#include "platform/DbgCriticalSection.h"

namespace qdf {

class TQdfInTransStorage;
class TQdfSystem;

class TQdfTransaction {
 public:
  enum TState : uint8_t { kIdle = 0, kStarting = 1, kRunning = 2 };

  // An idle transaction. Applications get theirs from TQdfSystem::NewTransaction;
  // `system` resolves aliases (nullptr: the global system).
  explicit TQdfTransaction(const std::string& name, TQdfSystem* system = nullptr);
  // Rolls back silently when not idle, leaves the system, frees the storages
  // OpenStorage created and detaches the others.
  ~TQdfTransaction();
  // The system is going while this transaction lives on (its owner still
  // holds it): rolls back, frees the storages as the destructor does and
  // leaves the transaction empty; later calls that need the system raise.
  void DetachFromSystem();
  TQdfTransaction(const TQdfTransaction&) = delete;
  TQdfTransaction& operator=(const TQdfTransaction&) = delete;

  // Opens the database of `alias` (through the system's alias resolution, or
  // the local file `file_name` when given) as a storage of this transaction;
  // the transaction owns it. A running transaction starts it at once.
  // Raises "Duplicate Alias: %s in Transaction", "Cannot open Alias: %s" and
  // the errors of the filer and of the start; on an error nothing is added.
  TQdfInTransStorage* OpenStorage(const std::string& alias, bool read_only = false,
                                  const std::string& file_name = std::string());
  // Adds a storage created elsewhere (not owned). Returns nullptr when it is
  // already there or its filer's alias is taken. REQUIRES: the storage has a filer.
  TQdfInTransStorage* AddStorage(TQdfInTransStorage* storage, bool read_only);
  // Takes the storage out of the transaction without freeing it.
  void RemoveStorage(TQdfInTransStorage* storage);
  // The storage registered under `alias`, or nullptr.
  TQdfInTransStorage* FindStorage(const std::string& alias) const;

  // Starts a write transaction on every storage; `event` is what the
  // listeners hear afterwards (1 or 5) unless a storage reloaded (then 1).
  // Raises "Transaction already running" when not idle. When a storage fails
  // to start, the storages started before are rolled back and the
  // transaction stays idle.
  void StartTransaction(int event);
  // Commits every storage. `final` gives up the files' write ownership;
  // without it the same readers keep it for the transaction that follows.
  // Raises "No Transaction running" when not running; after an error the
  // transaction is still running and may only be rolled back.
  void Commit(bool final);
  // Discards the changes of every storage (listeners hear 3 first when
  // `notify`). Harmless when idle.
  void Rollback(bool notify);
  // Commits (when running) and starts again at once; listeners hear 5.
  void CommitAndContinue();

  bool Active() const { return active_; }
  // true starts (unless a start is in progress), false commits; nothing when
  // the value is already set.
  void SetActive(bool value);

  // Set by a storage while the transaction starts: commit and start again.
  void RequestRestart() { restart_requested_ = true; }

  const std::string& Name() const { return name_; }
  TState State() const { return state_; }
  TQdfSystem* System() const;
  const std::vector<TQdfInTransStorage*>& Storages() const { return storages_; }
  TDbgCriticalSection& Lock() { return lock_; }

 private:
  // Rolls back when running, frees the storages OpenStorage created and
  // detaches the others.
  void Release();
  // Rolls back the readers of the storages in [0, count) without telling anyone.
  void RollbackStarted(size_t count);

  bool active_ = false;
  bool detached_ = false;
  std::string name_;
  std::vector<TQdfInTransStorage*> storages_;
  std::vector<std::unique_ptr<TQdfInTransStorage>> owned_storages_;
  THashList by_alias_;
  TState state_ = kIdle;
  bool restart_requested_ = false;
  TDbgCriticalSection lock_;
  TQdfSystem* system_;
};

}  // namespace qdf
