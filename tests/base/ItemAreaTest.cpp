#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "EnvSize.h"
#include "base/Bytes.h"
#include "base/ItemArea.h"
#include "base/QdfException.h"

namespace qdf {
namespace {

constexpr int kPage = 8192;

struct Page {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kPage, 0x5A);
  TItemArea Item() { return TItemArea::InitItemPage(bytes.data(), kPage); }
};

// Places an item whose content bytes all equal `fill`.
uint8_t* Add(TItemArea a, int size, uint8_t fill, int index = -1) {
  uint8_t* p = a.AddItem(size, index);
  std::memset(p + 2, fill, static_cast<size_t>(size - 2));
  return p;
}

std::string Content(const uint8_t* item) {
  return std::string(reinterpret_cast<const char*>(item) + 2, LoadU16(item) - 2);
}

// The free-slot chain as slot numbers, head first.
std::vector<int> Chain(TItemArea a) {
  std::vector<int> out;
  for (int v = a.FreeHead(); v != 0xFFFF; v = a.SlotWord(v & 0x7FFF)) {
    out.push_back(v & 0x7FFF);
    // A damaged chain: leave a marker instead of walking off the table.
    if (!(v & 0x8000) || (v & 0x7FFF) >= a.SlotCount() || out.size() > 20000) {
      out.push_back(-1);
      break;
    }
  }
  return out;
}

// Compacting zeroes the bytes it frees (pages are packed and written as they
// are) and refuses a damaged slot table before it moves anything.
TEST(ItemAreaCompact, ZeroesWhatItFreesAndRefusesABadSlot) {
  Page pg;
  TItemArea a = pg.Item();
  for (int i = 0; i < 6; ++i) Add(a, 8 + i, static_cast<uint8_t>('a' + i));
  for (int slot : {1, 4}) a.FreeItem(slot);
  const uint32_t stamp = ItemLayoutStamp();
  a.Compact();
  EXPECT_EQ(ItemLayoutStamp(), stamp + 1);
  for (int i = 10 + 2 * 6; i < a.LowEnd(); ++i) ASSERT_EQ(a.Data()[i], 0) << i;
  StoreU16(a.Data() + 10, 4);  // a slot pointing outside the used region
  const std::vector<uint8_t> before = pg.bytes;
  EXPECT_THROW(a.Compact(), EAssertionFailed);
  EXPECT_EQ(pg.bytes, before);
  EXPECT_FALSE(a.CheckArea());
}

TEST(ItemAreaSplit, ByBytesAndByPercent) {
  for (int percent : {50, 30}) {
    Page src_pg, dst_pg;
    TItemArea a = src_pg.Item();
    TItemArea t = dst_pg.Item();
    for (int i = 0; i < 100; ++i) Add(a, 40, static_cast<uint8_t>(i));
    // By percent: 30 % of the 99 slots below the last. By bytes (50): the
    // slots from 99 down, 42 bytes each, until they fill half of the
    // target's (8192 - 14) / 2 bytes: 98 of them.
    const int k = a.SplitArea(t, percent);
    EXPECT_EQ(k, percent == 30 ? 29 : 100 - 98);
    ASSERT_EQ(a.SlotCount(), k);
    ASSERT_EQ(t.SlotCount(), 100 - k);
    EXPECT_EQ(Content(a.ItemAt(k - 1)), std::string(38, static_cast<char>(k - 1)));
    EXPECT_EQ(Content(t.ItemAt(0)), std::string(38, static_cast<char>(k)));
    EXPECT_EQ(a.LowEnd(), a.Size() - 40 * k);
    EXPECT_TRUE(a.CheckArea());
    EXPECT_TRUE(t.CheckArea());
  }
  // Few items never reach half: k stays 1.
  Page src_pg, dst_pg;
  TItemArea a = src_pg.Item();
  for (int i = 0; i < 3; ++i) Add(a, 10, 'm');
  EXPECT_EQ(a.SplitArea(dst_pg.Item(), 50), 1);

  // Free slots on both sides of the split: each side keeps a valid chain.
  Page fs_pg, ft_pg;
  TItemArea f = fs_pg.Item();
  TItemArea ft = ft_pg.Item();
  for (int i = 0; i < 10; ++i) Add(f, 12, static_cast<uint8_t>('a' + i));
  for (int slot : {2, 7, 8}) f.FreeItem(slot);
  EXPECT_EQ(f.SplitArea(ft, 60), 5);
  EXPECT_EQ(Chain(f), (std::vector<int>{2}));
  EXPECT_EQ(Chain(ft), (std::vector<int>{3, 2}));
  EXPECT_EQ(Content(ft.ItemAt(4)), std::string(10, 'j'));
  EXPECT_TRUE(f.CheckArea());
  EXPECT_TRUE(ft.CheckArea());
}

// A long random sequence of operations against a simple model of slots,
// contents and the free-slot chain.
TEST(ItemAreaModel, RandomOperationsKeepInvariants) {
  const long steps = qdf_test::EnvSize("QDF_RANDOM_STEPS", 10000);
  std::mt19937 rng(2024);
  Page pg;
  TItemArea a = pg.Item();
  std::vector<std::optional<std::string>> slots;
  std::deque<int> chain;
  auto make = [&](int size) {
    std::string s(static_cast<size_t>(size - 2), '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
  };
  auto shift_chain = [&](int from, int delta) {
    for (int& c : chain)
      if (c >= from) c += delta;
  };
  for (int step = 0; step < steps; ++step) {
    int n = static_cast<int>(slots.size());
    int op = static_cast<int>(rng() % 10);
    int size = 2 + static_cast<int>(rng() % (rng() % 8 == 0 ? 600 : 60));
    int slot = n ? static_cast<int>(rng() % n) : 0;
    if (op <= 2 && size + 2 < a.Available()) {
      std::string c = make(size);
      if (op == 0) {
        int index = static_cast<int>(rng() % (n + 1));
        std::memcpy(a.AddItem(size, index) + 2, c.data(), c.size());
        slots.insert(slots.begin() + index, c);
        shift_chain(index, 1);
      } else {
        int got;
        std::memcpy(a.AddItemReuse(size, &got) + 2, c.data(), c.size());
        int want = chain.empty() ? n : chain.front();
        ASSERT_EQ(got, want);
        if (chain.empty()) {
          slots.push_back(c);
        } else {
          chain.pop_front();
          slots[got] = c;
        }
      }
    } else if (op == 3 && n && slots[slot]) {
      a.FreeItem(slot);
      slots[slot].reset();
      chain.push_front(slot);
    } else if (op == 4 && n && slots[slot]) {
      a.FreeItemTrim(slot);
      slots[slot].reset();
      chain.push_front(slot);
      if (slot == n - 1) {
        while (!slots.empty() && !slots.back()) slots.pop_back();
        chain.clear();
        for (int s = 0; s < static_cast<int>(slots.size()); ++s)
          if (!slots[s]) chain.push_front(s);
      }
    } else if (op == 5 && n) {
      ASSERT_TRUE(a.DeleteSlot(slot));
      if (n == 1) {
        chain.clear();
      } else {
        for (auto it = chain.begin(); it != chain.end(); ++it) {
          if (*it == slot) {
            chain.erase(it);
            break;
          }
        }
        shift_chain(slot + 1, -1);
      }
      slots.erase(slots.begin() + slot);
    } else if (op == 6 && n) {
      int avail = a.Available();
      uint8_t* p = a.ResizeItem(slot, size);
      if (!slots[slot]) {
        ASSERT_EQ(p, nullptr);
      } else {
        std::string& c = *slots[slot];
        int old = static_cast<int>(c.size()) + 2;
        if (size > old && size > avail) {
          ASSERT_EQ(p, nullptr);
        } else {
          ASSERT_NE(p, nullptr);
          c.resize(static_cast<size_t>(size - 2), '\0');
          std::memcpy(p + 2 + std::min(old, size) - 2, c.data() + std::min(old, size) - 2,
                      c.size() - static_cast<size_t>(std::min(old, size) - 2));
        }
      }
    } else if (op == 7) {
      a.Compact();
      ASSERT_EQ(a.Holes(), 0);
    }
    ASSERT_TRUE(a.CheckArea()) << "step " << step;
    ASSERT_EQ(a.SlotCount(), static_cast<int>(slots.size())) << step;
    ASSERT_EQ(Chain(a), std::vector<int>(chain.begin(), chain.end())) << step;
    int bytes = 0;
    for (int s = 0; s < static_cast<int>(slots.size()); ++s) {
      if (slots[s]) {
        ASSERT_NE(a.ItemAt(s), nullptr);
        ASSERT_EQ(Content(a.ItemAt(s)), *slots[s]) << "step " << step << " slot " << s;
        bytes += static_cast<int>(slots[s]->size()) + 2;
      } else {
        ASSERT_EQ(a.ItemAt(s), nullptr);
      }
    }
    ASSERT_EQ(a.Used(), bytes + 2 * static_cast<int>(slots.size()) + 14) << step;
  }
}

}  // namespace
}  // namespace qdf
