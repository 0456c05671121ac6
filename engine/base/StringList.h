// TaStringList: a TaTemplateList of (text, object) pairs.
//
// Texts are looked up case-insensitively (ASCII letters upper-cased, other
// bytes compared unsigned) unless the list is made case-sensitive; a sorted
// list finds texts by binary search, an unsorted one by a linear search.
// Section names, alias names and keywords use the default: sorted,
// case-insensitive.
//
// With owns-objects on, the object of an entry that leaves the list (Delete,
// Remove, Clear, destruction) or whose object is replaced by SetObject is
// deleted. The list takes an object only when it stores it (see AddObject).
#pragma once

#include <string>
#include <string_view>

#include "base/Object.h"
#include "base/TemplateList.h"

namespace qdf {

// One entry of a TaStringList.
struct TStringItem {
  std::string text;
  TObject* object = nullptr;
};

class TaStringList : public TaTemplateList<TStringItem> {
  using Base = TaTemplateList<TStringItem>;

 public:
  // Text orders usable as the list's compare function.
  // Case-insensitive: ASCII upper-casing, unsigned bytes otherwise.
  static int CompareText(const TStringItem& a, const TStringItem& b, void* context);
  // Case-sensitive: unsigned bytes.
  static int CompareStr(const TStringItem& a, const TStringItem& b, void* context);

  // An empty list. sorted: kept in text order; case_sensitive selects the
  // order and the equality used by lookups; duplicates applies to equal texts
  // (for an unsorted list only when the unique flag is set, see
  // TaTemplateList).
  explicit TaStringList(bool sorted = true, bool case_sensitive = false,
                        TDuplicates duplicates = kDupIgnore, bool owns_objects = false);
  // Deletes the objects when owning.
  ~TaStringList() override;

  // Adds `text` with no object; returns its index (see TaTemplateList::Add
  // for equal texts).
  int Add(std::string_view text) { return AddObject(text, nullptr); }
  // Adds `text` with `object`. The list owns `object` (when owning) only if
  // it stored this entry: with kDupIgnore and an equal text present, the
  // existing index is returned and the object stays the caller's.
  int AddObject(std::string_view text, TObject* object);
  using Base::Add;
  using Base::IndexOf;

  // Index of the first entry whose text equals `text`, or -1.
  int IndexOf(std::string_view text) const;
  bool Contains(std::string_view text) const { return IndexOf(text) >= 0; }
  // The object stored with `text`; nullptr when the text is missing.
  TObject* Objects(std::string_view text) const;
  // Sets the object of the entry `text`, adding the entry when missing. When
  // owning, a replaced different object is deleted.
  void SetObject(std::string_view text, TObject* object);
  // Text and object of the entry at `index` (0..Count()-1).
  const std::string& Strings(int index) const { return Items(index).text; }
  TObject* ObjectAt(int index) const { return Items(index).object; }
  // Sets the object at `index`; when owning, a replaced different object is
  // deleted.
  void SetObjectAt(int index, TObject* object);

  bool CaseSensitive() const { return case_sensitive_; }
  bool OwnsObjects() const { return owns_objects_; }
  // Switches ownership of the objects currently held and of later ones.
  void SetOwnsObjects(bool owns);

 private:
  static void DisposeOwned(TStringItem& item, const TStringItem* replacement);

  bool case_sensitive_;
  bool owns_objects_ = false;
};

}  // namespace qdf
