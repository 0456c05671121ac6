// Random appends, deletes and resizes of records checked against a model:
// addresses stay valid, contents survive moves into $SPARE and commits, walks
// visit every live record once, and the free-space lists stay consistent.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "EnvSize.h"
#include "base/ItemArea.h"
#include "file/FileFormat.h"
#include "list/DataList.h"
#include "list/ListTestUtil.h"
#include "storage/Storage.h"

namespace qdf {
namespace {

// A record of `size` bytes whose content is derived from (id, version).
void Fill(uint8_t* item, int size, uint32_t id, uint32_t version) {
  StoreU32(item + 13, id);
  StoreU32(item + 17, version);
  for (int i = 21; i < size; ++i) item[i] = static_cast<uint8_t>(id * 31 + version * 7 + i);
}

bool Matches(const uint8_t* item, int size, uint32_t id, uint32_t version) {
  if (item == nullptr || LoadU16(item) != size) return false;
  if (LoadU32(item + 13) != id || LoadU32(item + 17) != version) return false;
  for (int i = 21; i < size; ++i) {
    if (item[i] != static_cast<uint8_t>(id * 31 + version * 7 + i)) return false;
  }
  return true;
}

struct TModelRecord {
  uint32_t id;
  uint32_t version;
  int size;
};

// Every page in a free-space list carries that list's class, stands in no
// other list, and every page of the chain with a class stands in its list.
void CheckFreeLists(TQdfDataListBase& list, TQdfPageReader* r) {
  std::set<uint32_t> seen;
  for (int k = 0; k < TQHDataListBase::kFreeClasses; ++k) {
    uint32_t p = list.DataListBaseHeader()->FreeHead(k);
    while (p != kNoPage) {
      ASSERT_TRUE(seen.insert(p).second) << "page " << p << " in two lists or a cycle";
      const uint8_t* buf = r->GetPage(p, kGpRead);
      ASSERT_EQ(static_cast<int16_t>(LoadU16(buf + kDpFreeClass)), k) << "page " << p;
      p = LoadU32(buf + kDpFreeNext);
    }
  }
  uint32_t page = list.PageListHeader()->FirstPg();
  for (int i = 0; page != kNoPage; ++i) {
    ASSERT_LE(i, list.PageListHeader()->CountPg());
    const uint8_t* b = r->GetPage(page, kGpRead);
    if (static_cast<int16_t>(LoadU16(b + kDpFreeClass)) >= 0) {
      EXPECT_EQ(seen.count(page), 1u) << "page " << page << " has a class but is unlisted";
    }
    page = LoadU32(b + kPgNext);
  }
}

// Without ReuseAddresses no address is handed out a second time; with it the
// slots of deleted records are taken again.
class DataListModel : public ::testing::TestWithParam<bool> {};

TEST_P(DataListModel, RandomRecordsKeepAddressesAndContents) {
  const bool reuse = GetParam();
  qdf_test::TListFixture fx;
  auto storage = fx.CreateStorage();
  auto* list = fx.AddList<TQdfDataList>(storage.get(), "model");
  list->DataListBaseHeader()->SetReuseAddresses(reuse);
  std::set<std::pair<uint32_t, uint16_t>> freed;
  int reused = 0;

  std::mt19937 rng(7);
  std::map<std::pair<uint32_t, uint16_t>, TModelRecord> model;
  uint32_t next_id = 1;
  auto key = [](const TItemAdr& a) { return std::make_pair(a.page, a.slot); };
  const long steps = qdf_test::EnvSize("QDF_RANDOM_STEPS", 3000);
  for (int step = 0; step < steps; ++step) {
    const unsigned op = rng() % 10;
    if (model.empty() || op < 5) {
      const int size = 21 + static_cast<int>(rng() % 1500);
      TItemAdr adr;
      uint8_t* item = list->AppendItem(size, &adr);
      Fill(item, size, next_id, 0);
      ASSERT_EQ(model.count(key(adr)), 0u) << "address handed out twice";
      if (freed.count(key(adr)) != 0) {
        ASSERT_TRUE(reuse) << "a deleted record's address handed out again";
        // A slot below a live one was taken from the free-slot chain.
        auto above = model.upper_bound(key(adr));
        reused += above != model.end() && above->first.first == adr.page;
      }
      model[key(adr)] = {next_id++, 0, size};
    } else {
      auto it = model.begin();
      std::advance(it, static_cast<long>(rng() % model.size()));
      const TItemAdr adr{it->first.first, it->first.second};
      if (op < 7) {
        list->DeleteItem(adr);
        freed.insert(it->first);
        model.erase(it);
      } else {
        // Grow or shrink; large sizes force the record into $SPARE.
        const int size = 21 + static_cast<int>(rng() % 6000);
        uint8_t* item = list->ResizeRecord(adr, size);
        TModelRecord& m = it->second;
        m.version++;
        m.size = size;
        Fill(item, size, m.id, m.version);
      }
    }
    if (step % 500 == 499 || step == steps - 1) {  // the last check reads after a commit
      storage->Flush(false);
      fx.Commit();
    }
    if (step % 1000 == 750) list->RebuildFreeLists();  // then checked at once
    if (step % 250 == 0 || step == steps - 1) {
      for (const auto& [k, m] : model) {
        const uint8_t* item = list->GetItem(TItemAdr{k.first, k.second});
        ASSERT_TRUE(Matches(item, m.size, m.id, m.version))
            << "record " << m.id << " at step " << step;
      }
      ASSERT_EQ(list->Count(), static_cast<int64_t>(model.size()));
      // The forward walk meets every live record exactly once.
      std::set<uint32_t> ids;
      TItemAdr adr = kBeforeFirstAdr;
      while (const uint8_t* item = list->NextItem(adr)) {
        ASSERT_TRUE(ids.insert(LoadU32(item + 13)).second);
        ASSERT_EQ(model.count(key(adr)), 1u);
      }
      ASSERT_EQ(ids.size(), model.size());
      CheckFreeLists(*list, fx.Reader());
      if (list->Spare() != nullptr) CheckFreeLists(*list->Spare(), fx.Reader());
    }
  }
  EXPECT_EQ(reused > 0, reuse);
  // Records that outgrew their page live in $SPARE; deleting them takes the
  // copies there with them.
  ASSERT_NE(list->Spare(), nullptr);
  EXPECT_GT(list->Spare()->Count(), 0);
  for (const auto& [k, m] : model) list->DeleteItem(TItemAdr{k.first, k.second});
  EXPECT_EQ(list->Count(), 0);
  EXPECT_EQ(list->Spare()->Count(), 0);
}

INSTANTIATE_TEST_SUITE_P(DataList, DataListModel, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "ReuseAddresses" : "FreshAddresses";
                         });

}  // namespace
}  // namespace qdf
