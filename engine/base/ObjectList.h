// TaObjectList: a TaTemplateList of object pointers that may own its objects.
//
// TaObjectListOf<T> holds T* for a class T derived from TObject; TaObjectList
// is the plain TObject* list. With owns-objects on, an object that leaves the
// list through Delete, Remove or Clear (and the list's destruction) is
// deleted; Extract hands it back to the caller instead.
//
// Ownership on Add/Insert: the list takes the object when it stores it. When
// Add returns an existing entry (kDupIgnore) or raises (kDupError), the
// object was not stored and stays the caller's.
#pragma once

#include <type_traits>

#include "base/Object.h"
#include "base/TemplateList.h"

namespace qdf {

template <typename T = TObject>
class TaObjectListOf : public TaTemplateList<T*> {
  static_assert(std::is_base_of_v<TObject, T>, "TaObjectListOf holds TObject descendants");
  using Base = TaTemplateList<T*>;

 public:
  using typename Base::CompareFn;

  // An empty list; unsorted unless a compare function is given. Duplicates
  // are accepted by default; equality without a compare function is pointer
  // identity.
  explicit TaObjectListOf(bool owns_objects = false, CompareFn compare = nullptr,
                          void* context = nullptr, TDuplicates duplicates = kDupAccept)
      : Base(compare, context, duplicates) {
    SetOwnsObjects(owns_objects);
  }
  // Deletes the objects when owning.
  ~TaObjectListOf() override { this->Clear(); }

  bool OwnsObjects() const { return owns_objects_; }
  // Switches ownership of the objects currently held and of later ones.
  void SetOwnsObjects(bool owns) {
    owns_objects_ = owns;
    this->SetDisposer(owns ? &DeleteObject : nullptr);
  }

  // The object at `index` (0..Count()-1).
  T* operator[](int index) const { return this->Items(index); }

 private:
  static void DeleteObject(T*& object, T* const* replacement) {
    if (!replacement || *replacement != object) delete object;
    object = nullptr;
  }

  bool owns_objects_ = false;
};

using TaObjectList = TaObjectListOf<TObject>;

}  // namespace qdf
