// TQdfTableStore: what tables, indexes and blob fields ask of the storage
// that holds them. The storage (one layer up) implements it, so that the
// table layer never names the storage class.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/ItemAdr.h"
#include "object/PersistentObject.h"
#include "object/PersistentObjectFactory.h"

namespace qdf {

class TQdfItemClass;
class TQdfTable;

class TQdfTableStore : public TQdfObjectStore {
 public:
  // The item class "Class" or "Class.Subclass", or nullptr.
  virtual TQdfItemClass* ClassByPath(std::string_view path) const = 0;
  // The registered working instance made from `tmpl`, or nullptr.
  virtual TQdfPersistentObject* FindInstance(const TQdfPersistentObject* tmpl) const = 0;
  // A working instance of the object at `path`, owned by the caller. Raises
  // "Objekt: <path> existiert nicht." for a missing single name.
  virtual std::unique_ptr<TQdfPersistentObject> ObjectByPath(
      std::string_view path, TQdfPersistentObject* start = nullptr) = 0;
  // A replayed change named `old_adr`; the record got `new_adr` here.
  virtual void AddFixupAddress(const TItemAdr& old_adr, const TItemAdr& new_adr) = 0;
  // Enters `id` -> `adr` in the object-ID index; false when the ID is there.
  virtual bool InsertIDEntry(const TObjectID& id, const TItemAdr& adr) = 0;
  // Removes the entry of `id` from the object-ID index; false when missing.
  virtual bool DeleteIDEntry(const TObjectID& id) = 0;
  // Runs data-definition statements.
  virtual void Execute(const std::string& text) = 0;
  // The working instance of the storage's $BLOB table, or nullptr.
  virtual TQdfTable* BlobTable() const = 0;
  // The storage as the root object of its tree.
  virtual TQdfPersistentObject* RootObject() = 0;
};

}  // namespace qdf
