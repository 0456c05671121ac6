#include "db/System.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <mutex>

#include "base/Helpers.h"
#include "base/QdfException.h"
#include "db/InTransStorage.h"
#include "db/Transaction.h"
#include "file/FileFormat.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "file/TCPFiler.h"
#include "object/PersistentObjectFactory.h"
#include "platform/Clock.h"
#include "platform/Directories.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/Socket.h"
#include "platform/Trace.h"
#include "query/QueryLayer.h"
#include "reader/CachePool.h"

namespace qdf {
namespace {

// The digits of shadow file names: 48 characters that every file system takes.
constexpr char kShadowDigits[] = "!#$%&()-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ[]_~";
constexpr char kShadowAlias[] = "$SHADOW";

int64_t IniFileTime(const std::string& path) {
  return TFileSystem::Native().ModificationTime(path);
}

// Something of that name, whatever its kind, is in the way.
bool PathTaken(const std::string& path) {
  std::error_code ec;
  return std::filesystem::symlink_status(path, ec).type() !=
             std::filesystem::file_type::not_found &&
         !ec;
}

// ---- the global instance ----

std::mutex g_global_mutex;
TQdfSystem* g_system = nullptr;
bool g_exit_registered = false;
bool g_exited = false;

void ShutdownAtExit() {
  QdfShutdown();
  std::lock_guard<std::mutex> g(g_global_mutex);
  g_exited = true;
}

}  // namespace

// ---- construction ----

TQdfSystem::TQdfSystem()
    : lock_("TQdfSystem"),
      ini_path_(IncludeTrailingSeparator(WindowsDir()) + "quillon.ini"),
      ini_time_(IniFileTime(ini_path_)),
      ini_(std::make_shared<TIniFile>(ini_path_)),
      filers_(&CaseInsensitiveTraits(), 100),
      transactions_(&CaseInsensitiveTraits(), 100) {
  const int64_t cache =
      IniFile()->ReadInteger("INIT", "InitialCache", TCachePool::kDefaultInitialCache);
  if (cache > 0 && cache <= INT32_MAX) TCachePool::Instance().SetCacheSize(static_cast<int>(cache));
}

TQdfSystem::~TQdfSystem() {
  const std::string shadow = shadow_path_;
  // Transactions first: their storages hold readers on the filers. Their
  // owners may still hold them; they are left empty.
  for (;;) {
    TQdfTransaction* t;
    {
      TDbgLock g(lock_);
      if (transaction_list_.empty()) break;
      t = transaction_list_.back();
      transaction_list_.pop_back();
      transactions_.RemoveData(t);
    }
    t->DetachFromSystem();  // rolls back when running
  }
  for (;;) {
    TQdfFilerRef f;
    {
      TDbgLock g(lock_);
      if (filer_list_.empty()) break;
      f = std::move(filer_list_.back());
      filer_list_.pop_back();
      filers_.RemoveData(f.get());
    }
    f.reset();  // closes the file when no reader is left
  }
  if (shadow_storage_) shadow_storage_->SetFiler(nullptr);
  shadow_storage_.reset();
  shadow_reader_.reset();
  shadow_filer_ = nullptr;
  shadow_filer_ref_.reset();
  if (!shadow.empty()) DatabaseFileSystem().Delete(shadow);
  std::lock_guard<std::mutex> g(g_global_mutex);
  if (g_system == this) g_system = nullptr;
  if (DefaultShadowStore() == this) SetDefaultShadowStore(nullptr);
}

std::string TQdfSystem::ShadowCandidate(const std::string& dir, int64_t stamp) {
  return dir + EncodeBase(kShadowDigits, 47, stamp) + ".QSR";
}

std::string TQdfSystem::NewShadowName(const std::string& dir,
                                      const std::function<int64_t()>& stamp) {
  // The name is claimed by creating the file: of several processes that
  // draw the same stamp, one creates it and the others draw again. A file
  // of that name is never deleted here; it may be another process's live
  // shadow file.
  for (int tries = 0; tries < 1000; ++tries) {
    const std::string candidate = ShadowCandidate(dir, stamp());
    if (!PathTaken(candidate) && TQdfLocalFiler::CreateEmpty(candidate)) return candidate;
  }
  throw EQdfException::Fmt("Cannot create a shadow file in %s", dir.c_str());
}

void TQdfSystem::Init() {
  QDF_ASSERT(shadow_filer_ == nullptr, "QdfFile");
  UseQueryLayer();
  std::shared_ptr<const TIniFile> ini = IniFile();
  const std::string dir = IncludeTrailingSeparator(ini->ReadString("INIT", "TEMP_PATH", TempDir()));
  const std::string path = NewShadowName(dir, UniqueTime);
  shadow_filer_ = new TQdfLocalFiler(path, false, kShadowAlias);
  shadow_filer_ref_ = TQdfFilerRef::Adopt(shadow_filer_);
  shadow_path_ = path;
  // Scratch data: never worth a sync.
  shadow_filer_->SetSyncCommits(false);
  shadow_reader_ = std::make_unique<TQdfIndirectPageReader>(shadow_filer_);
  std::unique_ptr<TQdfPersistentObject> made =
      TQdfPersistentObject::Create(TQdfInTransStorage::kClassInfo, nullptr);
  shadow_storage_.reset(static_cast<TQdfInTransStorage*>(made.release()));
  shadow_storage_->SetSystem(this);
  shadow_storage_->SetFiler(shadow_filer_);
  // The shadow file stays in one write transaction for the system's life.
  shadow_reader_->Open(false);
  shadow_reader_->StartTransaction();
  shadow_storage_->OpenShadow(shadow_reader_.get());

  use_local_server_ = !ini->ReadString("INIT", "SERVER", "").empty() && ProbeServer("localhost");
}

// ---- configuration ----

std::shared_ptr<const TIniFile> TQdfSystem::IniFile() {
  TDbgLock g(lock_);
  const int64_t time = IniFileTime(ini_path_);
  if (ini_ && time == ini_time_) return ini_;
  ini_time_ = time;
  ini_ = std::make_shared<TIniFile>(ini_path_);
  return ini_;
}

// ---- transactions ----

std::unique_ptr<TQdfTransaction> TQdfSystem::NewTransaction(const std::string& name) {
  TDbgLock g(lock_);
  if (transactions_.Exists(name)) {
    throw EQdfException("Transaction: " + name + " already exists");
  }
  auto t = std::make_unique<TQdfTransaction>(name, this);
  transactions_.Add(name, t.get());
  transaction_list_.push_back(t.get());
  return t;
}

void TQdfSystem::RemoveTransaction(TQdfTransaction* transaction) {
  TDbgLock g(lock_);
  transactions_.RemoveData(transaction);
  transaction_list_.erase(
      std::remove(transaction_list_.begin(), transaction_list_.end(), transaction),
      transaction_list_.end());
}

TQdfTransaction* TQdfSystem::FindTransaction(const std::string& name) {
  TDbgLock g(lock_);
  return static_cast<TQdfTransaction*>(transactions_.Get(name));
}

// ---- filers ----

TQdfLocalFiler* TQdfSystem::NewLocalFiler(const std::string& file_name, const std::string& alias,
                                          bool read_only) {
  auto* filer = new TQdfLocalFiler(file_name, read_only, alias);
  filer->SetSyncCommits(IniFile()->ReadInteger("INIT", "SyncCommits", 1) != 0);
  return filer;
}

void TQdfSystem::RegisterFiler(const std::string& alias, TQdfFiler* filer) {
  TDbgLock g(lock_);
  filers_.Put(alias, filer);
  filer_list_.push_back(TQdfFilerRef::Adopt(filer));
}

TQdfFiler* TQdfSystem::LookupFiler(const std::string& alias) {
  TDbgLock g(lock_);
  return static_cast<TQdfFiler*>(filers_.Get(alias));
}

void TQdfSystem::RemoveFiler(TQdfFiler* filer) {
  TDbgLock g(lock_);
  filers_.RemoveData(filer);
  for (auto it = filer_list_.begin(); it != filer_list_.end(); ++it) {
    if (it->get() == filer) {
      it->Detach();  // the reference passes to the caller
      filer_list_.erase(it);
      break;
    }
  }
}

TQdfFiler* TQdfSystem::OpenRemoteFiler(const std::string& alias,
                                       const std::vector<std::string>& hosts) {
  const uint16_t port = ServerPort();
  const int timeout = ServerTimeout();
  std::exception_ptr refused;
  for (const std::string& host : hosts) {
    if (host.empty()) continue;
    auto* filer = new TQdfTCPFiler(alias);
    TQdfFilerRef ref = TQdfFilerRef::Adopt(filer);
    filer->SetTimeout(timeout);
    try {
      if (filer->Open(host, port)) {
        if (std::optional<uint16_t> site = filer->SiteID()) {
          TQdfPersistentObjectFactory::Instance().SetSiteID(*site);
        }
        return ref.Detach();  // the caller registers the reference
      }
    } catch (const std::exception&) {
      refused = std::current_exception();
    }
  }
  if (refused) std::rethrow_exception(refused);
  return nullptr;
}

TQdfFiler* TQdfSystem::OpenFiler(const std::string& alias, bool use_server, bool read_only) {
  TDbgLock g(lock_);
  if (TQdfFiler* found = LookupFiler(alias)) return found;
  std::shared_ptr<const TIniFile> ini = IniFile();
  const bool system_alias = !alias.empty() && alias[0] == '$';
  const std::string file_name =
      ini->ReadString("ALIAS", system_alias ? alias.substr(1) : alias, "");
  // Names beginning with "$" are this process's own databases: never a server's.
  const bool may_use_server = !alias.empty() && !system_alias;
  TQdfFiler* filer = nullptr;
  if (file_name.empty()) {
    if (!may_use_server) return nullptr;
    std::vector<std::string> hosts;
    const int64_t count = ini->ReadInteger("SERVER", "MAX_SERVER", 0);
    for (int64_t i = 1; i <= count && i <= 1000; ++i) {
      hosts.push_back(ini->ReadString("SERVER", "Server" + std::to_string(i), ""));
    }
    if (hosts.empty()) return nullptr;
    filer = OpenRemoteFiler(alias, hosts);
  } else {
    if (use_server && may_use_server) {
      try {
        filer = OpenRemoteFiler(alias, {"localhost"});
      } catch (const std::exception& e) {
        Trace(std::string("The local server does not open ") + alias + ": " + e.what());
      }
    }
    // Without a server that takes it, a configured file is opened here.
    if (filer == nullptr) filer = NewLocalFiler(file_name, alias, read_only);
  }
  if (filer != nullptr) RegisterFiler(alias, filer);
  return filer;
}

TQdfFiler* TQdfSystem::OpenLocalFiler(const std::string& file_name, const std::string& alias,
                                      bool read_only) {
  TDbgLock g(lock_);
  if (TQdfFiler* found = LookupFiler(alias)) return found;
  TQdfFiler* filer = NewLocalFiler(file_name, alias, read_only);
  RegisterFiler(alias, filer);
  return filer;
}

// ---- servers ----

bool TQdfSystem::ProbeServer(const std::string& host) {
  return ProbeServerAt(host, ServerPort(), ServerTimeout());
}

uint16_t TQdfSystem::ServerPort() {
  const int64_t port = IniFile()->ReadInteger("SERVER", "PORT", kServerPort);
  return port > 0 && port <= 0xFFFF ? static_cast<uint16_t>(port) : kServerPort;
}

int TQdfSystem::ServerTimeout() {
  const int64_t ms = IniFile()->ReadInteger("SERVER", "TIMEOUT", TQdfTCPSocket::kDefaultTimeoutMs);
  return ms > 0 && ms <= INT32_MAX ? static_cast<int>(ms) : TQdfTCPSocket::kDefaultTimeoutMs;
}

bool TQdfSystem::ProbeServerAt(const std::string& host, uint16_t port, int reply_timeout_ms) {
  const std::string target = host.empty() ? std::string("localhost") : host;
  TQdfTCPSocket socket;
  // A refused connection is an answer, not an error.
  if (!socket.Connect(target, std::to_string(port))) return false;
  bool ok = false;
  try {
    socket.SetRaiseExceptions(true);
    socket.SetDelay(false);
    socket.SetTimeout(reply_timeout_ms);
    uint8_t message[kMessageHeaderSize];
    TMessageHeader ping;
    ping.command = kCmdPing;
    ping.Encode(message);
    socket.Send(message, sizeof message);
    uint8_t reply[kMessageHeaderSize];
    socket.ReceiveExact(reply, sizeof reply);
    ok = TMessageHeader::Decode(reply).command == kCmdPing;
    if (ok) {
      TMessageHeader goodbye;
      goodbye.command = kCmdGoodbye;
      goodbye.Encode(message);
      socket.Send(message, sizeof message);
      if (SameText(target, "localhost")) use_local_server_ = true;
    }
  } catch (const std::exception&) {
    ok = false;
  }
  return ok;
}

// ---- the global instance ----

TQdfSystem* QdfSystem() {
  // A system whose Init failed is destroyed after the lock is released: its
  // destructor takes the lock too.
  std::unique_ptr<TQdfSystem> failed;
  std::exception_ptr error;
  {
    std::lock_guard<std::mutex> g(g_global_mutex);
    if (g_system != nullptr) return g_system;
    if (g_exited) throw EQdfException("The engine was shut down");
    // The process-wide objects the system uses while it is destroyed must
    // outlive it: create them before the exit handler is registered.
    TCachePool::Instance();
    CaseInsensitiveTraits();
    TQdfPersistentObjectFactory::Instance();
    auto system = std::make_unique<TQdfSystem>();
    try {
      system->Init();
      g_system = system.release();
      SetDefaultShadowStore(g_system);
      if (!g_exit_registered) {
        g_exit_registered = true;
        std::atexit(ShutdownAtExit);
      }
      return g_system;
    } catch (...) {
      error = std::current_exception();
      failed = std::move(system);
    }
  }
  failed.reset();
  std::rethrow_exception(error);
}

TQdfSystem* QdfSystemIfCreated() {
  std::lock_guard<std::mutex> g(g_global_mutex);
  return g_system;
}

void QdfShutdown() {
  TQdfSystem* system;
  {
    std::lock_guard<std::mutex> g(g_global_mutex);
    system = g_system;
    g_system = nullptr;
    SetDefaultShadowStore(nullptr);
  }
  delete system;
}

}  // namespace qdf
