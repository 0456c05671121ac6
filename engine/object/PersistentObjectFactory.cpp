#include "object/PersistentObjectFactory.h"

#include <mutex>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "base/QdfException.h"
#include "object/PersistentObject.h"
#include "platform/Clock.h"

namespace qdf {
namespace {

// 2000-01-01 00:00 UTC as a file time (100 ns units since 1601).
constexpr int64_t kYear2000AsFileTime = 125911584000000000LL;
constexpr int kTickShift = 22;
constexpr uint64_t kSequenceStep = 0x10000;
constexpr uint64_t kTickRefreshCalls = 1000;

// The packages added so far, in the order they were added.
std::mutex& PackageLock() {
  static std::mutex lock;
  return lock;
}
std::vector<TQdfPersistentObjectFactory::TClassPackage>& Packages() {
  static std::vector<TQdfPersistentObjectFactory::TClassPackage> packages;
  return packages;
}

}  // namespace

TQdfPersistentObjectFactory& TQdfPersistentObjectFactory::Instance() {
  static TQdfPersistentObjectFactory factory;
  return factory;
}

void TQdfPersistentObjectFactory::AddClassPackage(TClassPackage package) {
  TQdfPersistentObjectFactory& instance = Instance();
  std::lock_guard<std::mutex> guard(PackageLock());
  for (TClassPackage known : Packages()) {
    if (known == package) return;
  }
  Packages().push_back(package);
  package(instance);
}

TQdfPersistentObjectFactory::TQdfPersistentObjectFactory()
    : classes_(&CaseInsensitiveTraits(), 100) {
  const int64_t ms_since_2000 = (SystemTimeAsFileTime() - kYear2000AsFileTime) / 10000;
  const int64_t base = ms_since_2000 - static_cast<int64_t>(GetTickCount());
  id_base_ = static_cast<uint64_t>(base) << kTickShift;
  RegisterClass(TQdfPersistentObject::kClassInfo);
  std::lock_guard<std::mutex> guard(PackageLock());
  for (TClassPackage package : Packages()) package(*this);
}

void TQdfPersistentObjectFactory::RegisterClass(const TClassInfo& info) {
  // The list never owns its data; the metadata is static.
  classes_.Put(info.name, const_cast<TClassInfo*>(&info));
}

const TClassInfo* TQdfPersistentObjectFactory::ClassByName(std::string_view name) const {
  return static_cast<const TClassInfo*>(classes_.Get(name));
}

const TClassInfo* TQdfPersistentObjectFactory::FindClass(std::string_view name,
                                                         const TClassInfo& base) const {
  const TClassInfo* info = ClassByName(name);
  return info != nullptr && info->InheritsFrom(&base) ? info : nullptr;
}

std::unique_ptr<TObject> TQdfPersistentObjectFactory::CreateObject(std::string_view name) const {
  const TClassInfo* info = ClassByName(name);
  if (info == nullptr || info->create == nullptr) return nullptr;
  if (info->InheritsFrom(&TQdfPersistentObject::kClassInfo)) {
    return TQdfPersistentObject::Create(*info, nullptr);
  }
  // Accessors and other classes: their creator ignores the class object.
  return std::unique_ptr<TObject>(info->create(nullptr));
}

void TQdfPersistentObjectFactory::RaiseIDFloor(uint64_t id) {
  std::lock_guard<std::mutex> g(id_mutex_);
  const uint64_t floor = id & ~(kSequenceStep - 1);  // without the SiteID bits
  if (floor > last_value_) last_value_ = floor;
  if (id > last_result_) last_result_ = id;
}

uint64_t TQdfPersistentObjectFactory::LastIDValue() {
  std::lock_guard<std::mutex> g(id_mutex_);
  return last_result_;
}

uint64_t TQdfPersistentObjectFactory::NewObjectIDValue() {
  std::lock_guard<std::mutex> g(id_mutex_);
  if (calls_ % kTickRefreshCalls == 0) {
    cached_tick_ = static_cast<uint64_t>(GetTickCount()) << kTickShift;
  }
  ++calls_;
  const uint64_t candidate = id_base_ + cached_tick_;
  last_value_ = last_value_ >= candidate ? last_value_ + kSequenceStep : candidate;
  const uint64_t result = last_value_ | site_id_;
  QDF_ASSERT(result > last_result_, "QdfList");
  last_result_ = result;
  return result;
}

TObjectID TQdfPersistentObjectFactory::NewObjectID() {
  TObjectID id;
  StoreU64BE(id.data(), NewObjectIDValue());
  return id;
}

}  // namespace qdf
