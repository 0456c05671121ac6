#include "base/StringList.h"

#include "base/HashList.h"
#include "base/Helpers.h"

namespace qdf {

namespace {

int CompareBytes(std::string_view a, std::string_view b) {
  int c = a.compare(b);  // char_traits<char>::compare is unsigned (memcmp)
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace

int TaStringList::CompareText(const TStringItem& a, const TStringItem& b, void*) {
  return qdf::CompareText(a.text, b.text);
}

int TaStringList::CompareStr(const TStringItem& a, const TStringItem& b, void*) {
  return CompareBytes(a.text, b.text);
}

TaStringList::TaStringList(bool sorted, bool case_sensitive, TDuplicates duplicates,
                           bool owns_objects)
    : Base(case_sensitive ? &CompareStr : &CompareText, nullptr, duplicates),
      case_sensitive_(case_sensitive) {
  if (!sorted) Base::SetSorted(false);
  SetOwnsObjects(owns_objects);
}

TaStringList::~TaStringList() { Clear(); }

void TaStringList::DisposeOwned(TStringItem& item, const TStringItem* replacement) {
  if (!replacement || replacement->object != item.object) delete item.object;
  item.object = nullptr;
}

void TaStringList::SetOwnsObjects(bool owns) {
  owns_objects_ = owns;
  SetDisposer(owns ? &DisposeOwned : nullptr);
}

int TaStringList::AddObject(std::string_view text, TObject* object) {
  return Base::Add(TStringItem{std::string(text), object});
}

int TaStringList::IndexOf(std::string_view text) const {
  // The compare functions look at the text only, so a probe item will do.
  return Base::IndexOf(TStringItem{std::string(text), nullptr});
}

TObject* TaStringList::Objects(std::string_view text) const {
  int index = IndexOf(text);
  return index >= 0 ? Items(index).object : nullptr;
}

void TaStringList::SetObjectAt(int index, TObject* object) {
  CheckIndex(index, count_ - 1);
  TStringItem& item = At(index);
  if (item.object == object) return;
  if (owns_objects_) delete item.object;
  item.object = object;
}

void TaStringList::SetObject(std::string_view text, TObject* object) {
  int index = IndexOf(text);
  if (index >= 0) {
    SetObjectAt(index, object);
    return;
  }
  AddObject(text, object);  // no equal text, so the duplicates mode cannot interfere
}

}  // namespace qdf
