// Database and Transaction of the public API over TQdfSystem and
// TQdfTransaction: one engine transaction (with its own storage of the
// file) per public transaction.
#include <atomic>
#include <filesystem>
#include <set>
#include <string>

#include "api/ApiImpl.h"
#include "base/QdfException.h"
#include "check/IntegrityCheck.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/Transaction.h"
#include "file/LocalFiler.h"
#include "reader/CacheBlock.h"
#include "reader/CachePool.h"
#include "record/Field.h"
#include "record/IndexObject.h"
#include "record/ItemClass.h"
#include "table/Index.h"
#include "table/Table.h"

namespace dbquillon {

using detail::Guarded;

namespace {

// The engine's cache pool takes sizes in pages.
void ApplyCache(const Options& o) {
  int64_t pages = o.cachePages;
  if (pages == 0 && o.cacheBytes > 0) pages = (o.cacheBytes + qdf::kPageSize - 1) / qdf::kPageSize;
  if (pages <= 0) return;
  if (pages > INT32_MAX) pages = INT32_MAX;
  qdf::TCachePool::Instance().SetCacheSize(static_cast<int>(pages));
}

std::shared_ptr<detail::DatabaseImpl> OpenImpl(const std::string& name, bool by_alias,
                                               const Options& options) {
  auto impl = std::make_shared<detail::DatabaseImpl>();
  impl->name = name;
  impl->options = options;
  if (by_alias) {
    impl->alias = name;
  } else {
    if (name.empty()) detail::Fail(ErrorCode::NotFound, "no database file named");
    std::error_code ec;
    const bool exists = std::filesystem::exists(name, ec);
    if (!exists && (!options.createIfMissing || options.readOnly)) {
      detail::Fail(ErrorCode::NotFound, "database file not found: " + name);
    }
    // The engine's messages name the file as the caller did.
    impl->file = name;
    impl->alias = detail::AliasOfFile(name);
  }
  ApplyCache(options);
  // Opening a transaction once checks the file now rather than at first use.
  Guarded([&] {
    auto t = qdf::QdfSystem()->NewTransaction("api-open");
    // The first open registers the file's filer, read-only or not for good.
    qdf::TQdfInTransStorage* s = t->OpenStorage(impl->alias, options.readOnly, impl->file);
    if (s == nullptr) detail::Fail(ErrorCode::NotFound, "Cannot open Alias: " + name);
    if (auto* local = dynamic_cast<qdf::TQdfLocalFiler*>(s->Filer())) {
      local->SetSyncCommits(options.syncCommits);
    }
    t->SetActive(true);
    t->Rollback(false);
    ++detail::OpenCounts()[impl->alias];
    impl->counted = true;
    return 0;
  });
  return impl;
}

}  // namespace

// ---- Database ----

Database::Database(const std::string& file, const Options& options)
    : impl_(OpenImpl(file, false, options)) {}

Database::Database(std::shared_ptr<detail::DatabaseImpl> impl) : impl_(std::move(impl)) {}

Database Database::OpenAlias(const std::string& alias, const Options& options) {
  return Database(OpenImpl(alias, true, options));
}

Database::~Database() = default;
Database::Database(Database&&) noexcept = default;
Database& Database::operator=(Database&&) noexcept = default;

const std::string& Database::name() const { return impl_->name; }

Transaction Database::BeginRead() {
  if (!impl_) detail::Fail(ErrorCode::Misuse, "the database was moved from");
  return Guarded([&] {
    static std::atomic<uint64_t> counter{0};
    auto tx = std::make_shared<detail::TransactionImpl>();
    tx->db = impl_;
    tx->mode = Transaction::Mode::Read;
    tx->engine = qdf::QdfSystem()->NewTransaction("api-" + std::to_string(++counter));
    tx->storage = tx->engine->OpenStorage(impl_->alias, true, impl_->file);
    tx->engine->SetActive(true);
    tx->active = true;
    return Transaction(tx);
  });
}

Transaction Database::BeginWrite() {
  if (!impl_) detail::Fail(ErrorCode::Misuse, "the database was moved from");
  if (impl_->options.readOnly) {
    detail::Fail(ErrorCode::ReadOnly, "database " + impl_->name + " is open read-only");
  }
  return Guarded([&] {
    static std::atomic<uint64_t> counter{0};
    auto tx = std::make_shared<detail::TransactionImpl>();
    tx->db = impl_;
    tx->mode = Transaction::Mode::Write;
    tx->engine = qdf::QdfSystem()->NewTransaction("api-w" + std::to_string(++counter));
    tx->storage = tx->engine->OpenStorage(impl_->alias, false, impl_->file);
    if (auto* local = dynamic_cast<qdf::TQdfLocalFiler*>(tx->storage->Filer())) {
      local->SetSyncCommits(impl_->options.syncCommits);
    }
    tx->engine->SetActive(true);
    tx->active = true;
    return Transaction(tx);
  });
}

std::vector<std::string> Database::Check() {
  if (impl_->file.empty()) {
    detail::Fail(ErrorCode::Misuse, "Check needs a database opened by file name");
  }
  return Guarded([&] { return qdf::CheckDatabase(impl_->file).problems; });
}

// ---- TransactionImpl ----

namespace detail {

std::string AliasOfFile(const std::string& file) {
  // The system registers one filer per alias: the absolute path keeps two
  // names of one file on one filer.
  std::error_code ec;
  std::string path = std::filesystem::absolute(file, ec).lexically_normal().string();
  return "api:" + (path.empty() ? file : path);
}

std::map<std::string, int>& OpenCounts() {
  static std::map<std::string, int> counts;
  return counts;
}

DatabaseImpl::~DatabaseImpl() {
  if (!counted) return;
  std::lock_guard<std::recursive_mutex> lock(ApiLock());
  auto it = OpenCounts().find(alias);
  if (it == OpenCounts().end() || --it->second > 0) return;
  OpenCounts().erase(it);
  // The last Database of the file: the system lets go of its filer, which
  // closes the file when no storage holds it any more.
  qdf::TQdfSystem* system = qdf::QdfSystemIfCreated();
  if (system == nullptr) return;
  if (qdf::TQdfFiler* filer = system->LookupFiler(alias)) {
    system->RemoveFiler(filer);
    filer->Release();
  }
}

TransactionImpl::~TransactionImpl() {
  if (!active) return;
  std::lock_guard<std::recursive_mutex> lock(ApiLock());
  try {
    End(false);
  } catch (...) {
    // A rollback that fails leaves the file at its last commit anyway.
  }
}

void TransactionImpl::CheckActive() const {
  if (!active) Fail(ErrorCode::Misuse, "the transaction has ended");
}

void TransactionImpl::CloseTables() {
  for (auto it = tables.rbegin(); it != tables.rend(); ++it) {
    if (std::shared_ptr<TableImpl> t = it->lock()) t->Close();
  }
  tables.clear();
}

void TransactionImpl::End(bool commit) {
  CloseTables();
  active = false;
  if (commit) {
    try {
      engine->SetActive(false);
    } catch (...) {
      engine->Rollback(false);
      engine.reset();
      throw;
    }
  } else {
    engine->Rollback(false);
  }
  engine.reset();
  storage = nullptr;
}

}  // namespace detail

// ---- Transaction ----

Transaction::Transaction(std::shared_ptr<detail::TransactionImpl> impl) : impl_(std::move(impl)) {}
Transaction::~Transaction() {
  if (!impl_) return;
  std::shared_ptr<detail::TransactionImpl> impl = std::move(impl_);
  std::lock_guard<std::recursive_mutex> lock(detail::ApiLock());
  if (!impl->active) return;
  try {
    impl->End(false);
  } catch (...) {
  }
}
Transaction::Transaction(Transaction&&) noexcept = default;
Transaction& Transaction::operator=(Transaction&& other) noexcept {
  if (this != &other) {
    Transaction old(std::move(*this));
    impl_ = std::move(other.impl_);
  }
  return *this;
}

Transaction::Mode Transaction::mode() const { return impl_->mode; }
bool Transaction::active() const { return impl_ && impl_->active; }

void Transaction::Commit() {
  if (!impl_) detail::Fail(ErrorCode::Misuse, "the transaction was moved from");
  Guarded([&] {
    impl_->CheckActive();
    impl_->End(true);
    return 0;
  });
}

void Transaction::Rollback() {
  if (!impl_) detail::Fail(ErrorCode::Misuse, "the transaction was moved from");
  Guarded([&] {
    impl_->CheckActive();
    impl_->End(false);
    return 0;
  });
}

void Transaction::Execute(std::string_view statements) {
  if (!impl_) detail::Fail(ErrorCode::Misuse, "the transaction was moved from");
  Guarded([&] {
    impl_->CheckActive();
    if (impl_->mode == Mode::Read) {
      detail::Fail(ErrorCode::ReadOnly, "statements need a write transaction");
    }
    impl_->CloseTables();
    impl_->storage->Execute(std::string(statements));
    return 0;
  });
}

Table Transaction::OpenTable(std::string_view name) {
  if (!impl_) detail::Fail(ErrorCode::Misuse, "the transaction was moved from");
  return Guarded([&] {
    impl_->CheckActive();
    for (const auto& w : impl_->tables) {
      std::shared_ptr<detail::TableImpl> t = w.lock();
      if (t && t->table && t->name == name) return Table(t);
    }
    qdf::TQdfPersistentObject* o = impl_->storage->ChildByName(name);
    if (o == nullptr || !o->IsKindOf(qdf::TQdfTable::kClassInfo)) {
      detail::Fail(ErrorCode::NotFound, "no table named " + std::string(name));
    }
    auto t = std::make_shared<detail::TableImpl>();
    t->tx = impl_;
    t->name = std::string(name);
    t->table = impl_->storage->TableByName(name);
    impl_->tables.push_back(t);
    return Table(t);
  });
}

}  // namespace dbquillon
