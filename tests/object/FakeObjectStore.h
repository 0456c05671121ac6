// An in-memory TQdfObjectStore for tests of persistent objects: header items
// live in a map from item address to bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "object/PersistentObject.h"

namespace qdf_test {

class TFakeObjectStore : public qdf::TQdfObjectStore {
 public:
  using Key = std::pair<uint32_t, uint16_t>;

  ~TFakeObjectStore() override { FreeAllInstances(); }

  const uint8_t* ReadHeaderItem(const qdf::TItemAdr& adr, int* size) override {
    auto it = items.find(KeyOf(adr));
    if (it == items.end()) {
      *size = 0;
      return nullptr;
    }
    *size = static_cast<int>(it->second.size());
    return it->second.data();
  }

  void WriteHeaderItem(qdf::TItemAdr& adr, const uint8_t* item, int size) override {
    ++writes;
    if (adr.IsNull()) adr = qdf::TItemAdr{next_page_++, 1};
    items[KeyOf(adr)] = std::vector<uint8_t>(item, item + size);
  }

  void DeleteHeaderItem(const qdf::TItemAdr& adr) override { items.erase(KeyOf(adr)); }

  void RecordSchemaChange() override { ++schema_changes; }

  void RegisterInstance(qdf::TQdfPersistentObject* instance) override {
    instances.push_back(instance);
  }

  void FreeInstancesOf(qdf::TQdfPersistentObject* tmpl) override {
    std::vector<qdf::TQdfPersistentObject*> doomed;
    for (auto* o : instances) {
      if (o->ClassObject() == tmpl) doomed.push_back(o);
    }
    for (auto* o : doomed) delete o;  // each leaves `instances` through ObjectRemoved
  }

  void ObjectRemoved(qdf::TQdfPersistentObject* object) override {
    instances.erase(std::remove(instances.begin(), instances.end(), object), instances.end());
  }

  void FreeAllInstances() {
    while (!instances.empty()) delete instances.back();
  }

  // The stored bytes at `adr` (empty when none).
  std::vector<uint8_t> Item(const qdf::TItemAdr& adr) const {
    auto it = items.find(KeyOf(adr));
    return it == items.end() ? std::vector<uint8_t>() : it->second;
  }

  static Key KeyOf(const qdf::TItemAdr& adr) { return {adr.page, adr.slot}; }

  std::map<Key, std::vector<uint8_t>> items;
  std::vector<qdf::TQdfPersistentObject*> instances;  // registered, freed by the store
  int writes = 0;
  int schema_changes = 0;

 private:
  uint32_t next_page_ = 1;
};

}  // namespace qdf_test
