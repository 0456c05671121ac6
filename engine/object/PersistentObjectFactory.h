// TQdfPersistentObjectFactory: the process-wide class registry (class name ->
// TClassInfo) and the generator of object IDs.
//
// Object IDs are 64-bit numbers, stored as 8 big-endian bytes so that byte
// order is value order:
//
//   bits 22..63  milliseconds since 2000-01-01 00:00 UTC (the tick count as
//                last refreshed, on the base taken at construction)
//   bits 16..21  sequence of IDs drawn within the same cached millisecond
//                (carries into the milliseconds when it overflows)
//   bits  0..15  the site number (SiteID)
//
// The tick is refreshed on the first call and every 1000th call after it; in
// between, each ID is the previous one plus 0x10000. IDs are strictly
// increasing within the process. No locking: draw IDs from one thread at a
// time.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "base/HashList.h"
#include "object/ClassInfo.h"

namespace qdf {

// An object ID in its stored, big-endian form.
using TObjectID = std::array<uint8_t, 8>;

class TQdfPersistentObjectFactory {
 public:
  // The factory of the process, created on first use and destroyed at exit.
  static TQdfPersistentObjectFactory& Instance();

  // A package registers the classes of one layer of the engine. Each layer
  // adds its package when it is put to use (UseListClasses, UseRecordClasses,
  // UseTableClasses, UseQueryLayer), so that a layer never names the classes
  // of the layers above it. Adding a package registers it with Instance() at
  // once and with every factory made later; adding it again does nothing.
  using TClassPackage = void (*)(TQdfPersistentObjectFactory& factory);
  static void AddClassPackage(TClassPackage package);

  // A factory with the persistent object class and every package added so
  // far registered, and its own ID sequence. The engine only uses
  // Instance(); separate factories serve tests.
  TQdfPersistentObjectFactory();
  TQdfPersistentObjectFactory(const TQdfPersistentObjectFactory&) = delete;
  TQdfPersistentObjectFactory& operator=(const TQdfPersistentObjectFactory&) = delete;

  // Registers `info` under its class name (case-insensitive); a class
  // registered again under the same name replaces the earlier entry.
  // REQUIRES: `info` lives as long as the factory (class metadata is static).
  void RegisterClass(const TClassInfo& info);
  // The registered class `name` when it is `base` or derives from it, else
  // nullptr.
  const TClassInfo* FindClass(std::string_view name, const TClassInfo& base) const;
  // The registered class `name`, or nullptr.
  const TClassInfo* ClassByName(std::string_view name) const;
  // A new object of the registered class `name`: a persistent class as a
  // template with a new header, an accessor through its constructor. nullptr
  // for an unknown name or a class that cannot be created (abstract).
  std::unique_ptr<TObject> CreateObject(std::string_view name) const;

  // A new object ID. Raises EAssertionFailed (unit QdfList) when the value
  // would not be above the previous one.
  TObjectID NewObjectID();
  // The same, as a number.
  uint64_t NewObjectIDValue();

  // Every ID handed out from now on lies above `id`: a database keeps the
  // highest ID any writer drew for it, and a process that opens it later
  // (its clock may lag the IDs a bulk insert ran ahead) starts above that.
  void RaiseIDFloor(uint64_t id);
  // The last ID handed out (0: none yet).
  uint64_t LastIDValue();

  uint16_t SiteID() const { return site_id_; }
  // Set by a remote filer from the server's reply when it opens a database.
  void SetSiteID(uint16_t site_id) { site_id_ = site_id; }

 private:
  THashList classes_;
  uint64_t id_base_ = 0;      // (ms since 2000 - tick at construction) << 22
  uint64_t cached_tick_ = 0;  // tick << 22, refreshed every 1000 calls
  uint64_t last_value_ = 0;   // last value before the SiteID was OR-ed in
  uint64_t last_result_ = 0;  // last ID handed out
  uint64_t calls_ = 0;
  uint16_t site_id_ = 0;
  std::mutex id_mutex_;  // IDs are drawn by every thread
};

}  // namespace qdf
