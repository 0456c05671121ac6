// TQdfInTransStorage: the storage of one database inside a transaction. It
// connects the database's persistent objects to a filer through a page reader
// of its own, and carries out the per-storage steps of its transaction's
// start, commit and rollback.
//
// Listener events (Notify):
//   1 a transaction started on freshly loaded structures
//   2 the transaction committed (final commit)
//   3 the transaction is about to roll back
//   4 the structures are about to be (re)loaded from the file
//   5 a transaction restarted directly after a commit
//   6 an object of the storage was removed (argument: the object)
//
// Between transactions the reader is detached from its filer. At each start
// the storage catches up with what other transactions committed: its cached
// pages are checked against the file, its headers reloaded, and its whole
// object tree reloaded when the schema changed (SchemaTAN).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "file/QdfFiler.h"
#include "storage/Storage.h"

namespace qdf {

class TQdfFiler;
class TQdfFreeList;
class TQdfIndirectPageReader;
class TQdfItemList;
class TQdfSystem;
class TQdfTransaction;

namespace internal {
// The filer reference and the reader of an in-transaction storage. A base
// class, so that they outlive the storage's object tree, which is destroyed
// by TQdfStorage's destructor.
struct TInTransResources {
  TInTransResources() = default;
  ~TInTransResources();
  TInTransResources(const TInTransResources&) = delete;
  TInTransResources& operator=(const TInTransResources&) = delete;

  TQdfFilerRef filer_ref_;                              // the storage's reference to its filer
  TQdfFiler* filer_ = nullptr;                          // held by filer_ref_
  std::unique_ptr<TQdfIndirectPageReader> own_reader_;  // made at the first start
  TQdfIndirectPageReader* reader_ = nullptr;            // own_reader_ or borrowed
};
}  // namespace internal

class TQdfInTransStorage : private internal::TInTransResources, public TQdfStorage {
  QDF_CLASS_INFO(TQdfInTransStorage)

 public:
  // Called with the storage, the argument (or the listener's default) and
  // the event code.
  using TListener = std::function<void(TQdfInTransStorage* storage, void* arg, int event)>;

  TQdfInTransStorage();
  // Leaves the transaction, tells the listeners (6, the storage itself), and
  // frees the reader (rolling back a running write transaction) and the
  // filer reference after the object tree.
  ~TQdfInTransStorage() override;

  // Holds a reference on `filer` (released on the next assignment).
  void SetFiler(TQdfFiler* filer);
  TQdfFiler* Filer() const { return filer_; }
  // The page reader (nullptr before the first start).
  TQdfIndirectPageReader* Reader() const { return reader_; }
  TQdfTransaction* Transaction() const { return transaction_; }
  void SetTransaction(TQdfTransaction* t) { transaction_ = t; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value) { read_only_ = value; }
  // The system whose shadow storage keeps fix-ups (nullptr: the global one).
  void SetSystem(TQdfSystem* system) { system_ = system; }

  // Registers a listener; returns its handle for RemoveListener.
  int AddListener(TListener fn, void* default_arg = nullptr);
  void RemoveListener(int handle);
  // Event 0 delivers PendingEvent (nothing when that is 0 too). Every
  // listener is called in order; PendingEvent becomes 0.
  void Notify(int event, void* arg = nullptr);

  uint32_t LoadedSchemaTAN() const { return loaded_schema_tan_; }
  int PendingEvent() const { return pending_event_; }
  void SetPendingEvent(int event) { pending_event_ = event; }

  // ---- steps driven by the transaction ----
  // Attaches the reader with the file's committed state, catches up with
  // other transactions' commits, and starts the reader's write transaction
  // (which takes the file's write ownership). On an error the reader is
  // rolled back and nothing is held.
  void StartStorage();
  // Stores the modified objects and writes the dirty pages, again and again
  // until nothing is left (at most 8 rounds; raises when it does not settle).
  void CommitStorage();
  // Rewrites the file header (after CommitStorage) and detaches the reader;
  // `keep_write_lock` keeps the file's write ownership for the next start.
  void FinishCommit(bool keep_write_lock);
  // Stores the modified objects and writes the dirty pages once, in the
  // middle of a transaction.
  void FlushStorage();
  // Discards the transaction's changes: the reader returns to the file's last
  // committed state and drops every cached page; the objects are reloaded
  // at the next start.
  void RollbackStorage();

  // Runs data-definition text; a storage of a transaction starts it first
  // (SetActive(true)). Raises when the storage was never started.
  void Execute(const std::string& text) override;
  // Opens (or bootstraps) the database; a new one also gets "$UPDATE_LIST"
  // and "$FREE_LIST", and its transaction is asked to commit and restart.
  void OpenRoot(TQdfPageReader* reader) override;
  // The system's shadow storage: opens the root on `reader` (borrowed, in a
  // write transaction) without any transaction.
  void OpenShadow(TQdfIndirectPageReader* reader);

  // ---- hooks ----
  void ChangeHook() override;
  void AddFixupReference(const uint8_t* record24) override;
  void AddFixupAddress(const TItemAdr& old_adr, const TItemAdr& new_adr) override;
  void ObjectRemoved(TQdfPersistentObject* object) override;

  // ---- fix-ups, kept in the shadow storage per database alias ----
  // "<alias>$DOFIXUP": appends a 28-byte item with `record24` in bytes 4..27.
  void AppendFixupReference(const std::string& alias, const uint8_t* record24);
  // "<alias>$FIXUP": enters old -> new (a later entry for `old_adr` replaces
  // the earlier one).
  void InsertFixupAddress(const std::string& alias, const TItemAdr& old_adr,
                          const TItemAdr& new_adr);
  // The address entered for `old_adr` in "<alias>$FIXUP"; false when none.
  bool LookupFixupAddress(const std::string& alias, const TItemAdr& old_adr, TItemAdr* new_adr);
  // The "<alias>$DOFIXUP" list, or nullptr when nothing was recorded.
  TQdfItemList* FixupReferences(const std::string& alias) const;

 private:
  // Releases what the storage holds for one transaction: the free list and
  // the update list; with `give_up_ownership` also the file's write ownership.
  void ReleaseHeld(bool give_up_ownership);
  // Remote databases: sends the "$UPDATE_LIST" pages to the server ("SUL")
  // when the list holds entries.
  void SendUpdateList();
  // The catch-up part of StartStorage, after the reader was attached.
  void LoadForStart(uint32_t previous);
  // Takes the file's free-space lists for the running write transaction.
  void TakeFreeList();
  // True while StoreModified would still store something.
  bool AnythingModified() const;
  TQdfSystem* System() const;
  TQdfIndex* FixupIndex(const std::string& alias, bool create);

  bool read_only_ = false;
  TQdfTransaction* transaction_ = nullptr;
  struct TListenerEntry {
    int handle;
    TListener fn;
    void* default_arg;
  };
  std::vector<TListenerEntry> listeners_;
  int next_listener_ = 1;
  uint32_t loaded_schema_tan_ = 0;
  int pending_event_ = 0;
  // The reader's transaction number at the last start (0: never opened).
  uint32_t version_ = 0;
  // The last transaction was rolled back: the objects must be reloaded.
  bool rolled_back_ = false;
  // The rolled-back transaction changed the schema: the tree must be reloaded.
  bool schema_discarded_ = false;
  std::unique_ptr<TQdfFreeList> free_list_;
  TQdfSystem* system_ = nullptr;
  // Working instances of the fix-up indexes (shadow storage only), by alias.
  std::map<std::string, std::unique_ptr<TQdfIndex>> fixup_indexes_;
};

}  // namespace qdf
