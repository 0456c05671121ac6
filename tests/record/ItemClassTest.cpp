#include <gtest/gtest.h>

#include "ErrorText.h"
#include "record/Fields.h"
#include "record/ItemClass.h"

namespace qdf {
namespace {

template <typename T>
std::unique_ptr<T> Make(const char* name) {
  std::unique_ptr<TQdfPersistentObject> made = TQdfPersistentObject::Create(T::kClassInfo, nullptr);
  made->Header()->SetObjectName(name);
  return std::unique_ptr<T>(static_cast<T*>(made.release()));
}

template <typename T>
T* Add(TQdfPersistentObject* parent, const char* name, int field_index = -2) {
  T* raw = Make<T>(name).release();
  if constexpr (std::is_base_of_v<TQdfField, T>) {
    if (field_index != -2) raw->FieldHeader()->SetFieldIndex(field_index);
  }
  raw->SetParent(parent);
  return raw;
}

TEST(ItemClass, FieldsArePlacedInheritedFirstAndIndexConflictsAndGapsAreReported) {
  auto root = Make<TQdfItemClass>("TBench");
  Add<TQdfIntegerField>(root.get(), "a");
  Add<TQdfIntegerField>(root.get(), "b");
  Add<TQdfCharField>(root.get(), "c");
  auto* sub = Add<TQdfItemClass>(root.get(), "TSub");
  Add<TQdfObjectIDField>(sub, "ThisID");
  Add<TQdfReferenceField>(sub, "link");
  root->Loaded();

  ASSERT_EQ(root->FieldCount(), 3);
  EXPECT_EQ(root->FieldAt(2)->ObjectName(), "c");
  EXPECT_EQ(root->FieldByName("B")->FieldIndex(), 1);  // assigned, case-insensitive lookup
  ASSERT_EQ(sub->FieldCount(), 5);
  EXPECT_EQ(sub->FieldAt(0)->ObjectName(), "a");  // the base's fields first
  EXPECT_EQ(sub->FieldAt(3)->ObjectName(), "ThisID");
  EXPECT_EQ(sub->FieldByName("a"), root->FieldByName("a"));
  EXPECT_EQ(sub->ThisIDField(), sub->FieldAt(3));
  EXPECT_EQ(root->ThisIDField(), nullptr);
  ASSERT_EQ(sub->ReferenceFields().size(), 1u);
  EXPECT_EQ(root->MaxFieldCount(), 5);
  EXPECT_EQ(sub->BaseClass(), root.get());
  EXPECT_EQ(sub->RootClass(), root.get());
  // Names resolve within the class and its descendants only.
  EXPECT_EQ(root->ClassByName("tsub"), sub);
  EXPECT_EQ(sub->ClassByName("TBench"), nullptr);

  // Field index conflicts and gaps.
  auto dup = Make<TQdfItemClass>("Dup");
  Add<TQdfIntegerField>(dup.get(), "x", 0);
  Add<TQdfIntegerField>(dup.get(), "y", 0);
  EXPECT_QDF_ERROR(dup->Loaded(), "Fields: y and x have the same FieldIndex: 0");
  auto gap = Make<TQdfItemClass>("Gap");
  Add<TQdfIntegerField>(gap.get(), "x", 0);
  Add<TQdfIntegerField>(gap.get(), "z", 2);
  EXPECT_QDF_ERROR(gap->Loaded(), "No Field for FieldIndex: 1");
}

}  // namespace
}  // namespace qdf
