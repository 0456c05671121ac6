#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BaseTestUtil.h"
#include "base/StringList.h"

namespace qdf {
namespace {

using Named = qdf_test::TCounted;

std::vector<std::string> Texts(const TaStringList& list) {
  std::vector<std::string> out;
  for (const TStringItem& item : list) out.push_back(item.text);
  return out;
}

TEST(StringListTest, LookupDuplicatesAndOwnedObjects) {
  TaStringList list;  // sorted, case-insensitive, duplicates ignored
  for (const char* t : {"beta", "Alpha", "gamma", "_under"}) list.Add(t);
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"Alpha", "beta", "gamma", "_under"}));
  EXPECT_EQ(list.IndexOf("Gamma"), 2);
  EXPECT_EQ(list.IndexOf("delta"), -1);
  EXPECT_EQ(list.Add("BETA"), 1);  // ignored duplicate
  EXPECT_EQ(list.Count(), 4);

  TaStringList exact(true, /*case_sensitive=*/true, kDupAccept);
  for (const char* t : {"b", "a", "B", "A", "a"}) exact.Add(t);
  EXPECT_EQ(Texts(exact), (std::vector<std::string>{"A", "B", "a", "a", "b"}));
  EXPECT_EQ(exact.IndexOf("a"), 2);

  TaStringList strict(true, false, kDupError);
  strict.Add("Alias");
  EXPECT_THROW(strict.Add("ALIAS"), EAListError);
  // Owned objects are freed once; ignored duplicates stay with the caller.
  Named::live = 0;
  {
    TaStringList list(true, false, kDupIgnore, /*owns_objects=*/true);
    list.AddObject("one", new Named(1));
    list.AddObject("two", new Named(2));
    list.SetObject("Two", new Named(22));        // replaces and frees 2
    list.SetObject("two", list.Objects("two"));  // same object: kept
    EXPECT_EQ(Named::live, 2);
    EXPECT_EQ(static_cast<Named*>(list.Objects("TWO"))->id, 22);
    Named* spare = new Named(4);
    EXPECT_EQ(list.AddObject("ONE", spare), 0);
    EXPECT_EQ(static_cast<Named*>(list.Objects("one"))->id, 1);
    delete spare;
    list.Delete(list.IndexOf("one"));
    EXPECT_EQ(Named::live, 1);
  }
  EXPECT_EQ(Named::live, 0);
  {
    TaStringList replace(true, false, kDupReplace, true);
    replace.AddObject("key", new Named(1));
    replace.AddObject("KEY", new Named(2));
    EXPECT_EQ(replace.Strings(0), "KEY");
    EXPECT_EQ(Named::live, 1);
  }
  EXPECT_EQ(Named::live, 0);
}

}  // namespace
}  // namespace qdf
