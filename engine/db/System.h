// TQdfSystem: the process-wide entry to the engine. It reads quillon.ini,
// turns database aliases into filers, keeps every filer and named transaction
// it handed out, and owns the shadow file: a private scratch database opened
// under the alias "$SHADOW" in the temporary directory, deleted at shutdown.
//
// quillon.ini lives in WindowsDir() ($QUILLON_CONFIG_DIR, default /etc/) and
// is read again whenever its modification time changes:
//   [INIT]   InitialCache (512), TEMP_PATH (TempDir()), SyncCommits (1), SERVER
//   [ALIAS]  <alias without a leading "$">=<file name of a local database>
//   [SERVER] MAX_SERVER (0), Server1 .. Server<MAX_SERVER>: database servers
//            PORT (25769): TCP port of the servers; only test set-ups and
//            servers moved off the usual port need it
//            TIMEOUT (120000): milliseconds to wait for each server reply
//
// QdfSystem() creates the global instance on first use; QdfShutdown() (also
// run once at process exit) frees it. Tests may make instances of their own:
// construct, Init(), use, destroy.
//
// Threads: the lock "TQdfSystem" guards the filer and transaction lists and
// the reload of the ini file; it is re-entrant.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/HashList.h"
#include "file/QdfFiler.h"
#include "file/ShadowStore.h"
#include "platform/DbgCriticalSection.h"

namespace qdf {

class TIniFile;
class TQdfFiler;
class TQdfIndirectPageReader;
class TQdfInTransStorage;
class TQdfLocalFiler;
class TQdfTransaction;

// TCP port of database servers.
inline constexpr uint16_t kServerPort = 25769;

class TQdfSystem : public TQdfShadowStore {
 public:
  // Reads the ini file and hands InitialCache to the cache pool (values
  // below 512 are ignored there). No shadow file yet: see Init().
  TQdfSystem();
  // Frees the transactions (rolling back running ones), the filers (closing
  // their files) and the shadow storage, and deletes the shadow file.
  ~TQdfSystem() override;
  TQdfSystem(const TQdfSystem&) = delete;
  TQdfSystem& operator=(const TQdfSystem&) = delete;

  // Creates the shadow file and, when [INIT] SERVER is set, looks for a
  // database server on this machine. Call once.
  void Init();

  // The configuration, read again first when the file's modification time
  // changed since the last read. The object stays valid while held.
  std::shared_ptr<const TIniFile> IniFile();
  const std::string& IniPath() const { return ini_path_; }

  // A new idle transaction, owned by the caller: destroying it rolls back
  // what it did not commit and unregisters it. A transaction still alive when
  // the system goes is rolled back and emptied then (DetachFromSystem).
  // Raises "Transaction: <name> already exists" (names compared without
  // regard to case).
  std::unique_ptr<TQdfTransaction> NewTransaction(const std::string& name);
  // Forgets the transaction (called by its destructor).
  void RemoveTransaction(TQdfTransaction* transaction);
  // The live transaction of that name, or nullptr.
  TQdfTransaction* FindTransaction(const std::string& name);

  // The filer of `alias`: the one already registered, else the local file
  // named by [ALIAS] (opened read-only on request), else a database server.
  // nullptr when the alias resolves to nothing; a listed server's refusal
  // (error reply, old version) is raised when no later server takes the
  // alias. The system keeps the filer; users take references of their own.
  TQdfFiler* OpenFiler(const std::string& alias, bool use_server, bool read_only);
  // The filer registered under `alias`, else a local filer on `file_name`
  // registered under it. Raises the filer's open errors.
  TQdfFiler* OpenLocalFiler(const std::string& file_name, const std::string& alias, bool read_only);
  // The registered filer of `alias`, or nullptr.
  TQdfFiler* LookupFiler(const std::string& alias);
  // Unregisters the filer; the system's reference passes to the caller.
  void RemoveFiler(TQdfFiler* filer);

  // True when a database server answers a ping at `host` ("" = localhost).
  // Never raises.
  bool ProbeServer(const std::string& host);
  // ProbeServer at another port (tests).
  bool ProbeServerAt(const std::string& host, uint16_t port, int reply_timeout_ms = 120000);
  // [SERVER] PORT and TIMEOUT (out-of-range values give the defaults).
  uint16_t ServerPort();
  int ServerTimeout();
  bool UseLocalServer() const { return use_local_server_; }

  // The shadow file's storage (nullptr before Init), name and filer.
  TQdfInTransStorage* ShadowStorage() const { return shadow_storage_.get(); }
  const std::string& ShadowFileName() const { return shadow_path_; }
  TQdfLocalFiler* ShadowFiler() const override { return shadow_filer_; }
  // The page reader of the shadow storage. Shadow-mode readers of remote
  // databases take its lock before they allocate or free shadow blocks, since
  // the shadow file's free lists live in its pages (lock order: remote
  // reader, shadow reader, shadow filer).
  TQdfIndirectPageReader* ShadowReader() const override { return shadow_reader_.get(); }

  TDbgCriticalSection& Lock() { return lock_; }

  // The shadow file name of a stamp: `dir`, nine base-48 digits, ".QSR".
  static std::string ShadowCandidate(const std::string& dir, int64_t stamp);
  // A new shadow file in `dir`, named by the first stamp `stamp` hands out
  // whose name no file has: the file is created (empty) before the name is
  // returned, so no two processes ever take one name; an existing file of
  // a drawn name is left alone (it may be another process's).
  static std::string NewShadowName(const std::string& dir, const std::function<int64_t()>& stamp);

 private:
  // A local filer with the configured commit syncing.
  TQdfLocalFiler* NewLocalFiler(const std::string& file_name, const std::string& alias,
                                bool read_only);
  // A remote filer of `alias` connected to the first of `hosts` that
  // accepts, or nullptr when none does. When a server answered but refused
  // (an error reply, an old version) and no later host accepts, that error
  // is raised instead.
  TQdfFiler* OpenRemoteFiler(const std::string& alias, const std::vector<std::string>& hosts);
  void RegisterFiler(const std::string& alias, TQdfFiler* filer);

  // Declared first: the hash lists below borrow the traits and the lock
  // outlives everything that takes it.
  TDbgCriticalSection lock_;
  std::string ini_path_;
  int64_t ini_time_ = 0;
  std::shared_ptr<const TIniFile> ini_;
  // The live transactions (their creators own them) and the registered
  // filers (the system holds one reference to each).
  std::vector<TQdfTransaction*> transaction_list_;
  std::vector<TQdfFilerRef> filer_list_;
  THashList filers_;
  THashList transactions_;
  TQdfFilerRef shadow_filer_ref_;  // holds shadow_filer_
  TQdfLocalFiler* shadow_filer_ = nullptr;
  std::unique_ptr<TQdfIndirectPageReader> shadow_reader_;
  std::unique_ptr<TQdfInTransStorage> shadow_storage_;
  std::string shadow_path_;
  bool use_local_server_ = false;
};

// The global system, created (and Init()ed) on the first call.
TQdfSystem* QdfSystem();
// The global system when it exists, else nullptr; never creates it.
TQdfSystem* QdfSystemIfCreated();
// Frees the global system (nothing when there is none); a later QdfSystem()
// makes a new one. Runs once more at process exit, after which QdfSystem()
// raises.
void QdfShutdown();

}  // namespace qdf
