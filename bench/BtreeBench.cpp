// The B-tree with index keys of one integer field plus a record reference:
// random and sequential inserts, lookups by key, and the bulk build of an
// unsorted chain. Counters report the leaf fill factor.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/ItemArea.h"
#include "base/PackedItem.h"
#include "file/FileFormat.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "list/BtreeList.h"
#include "platform/Directories.h"
#include "platform/FileSystem.h"
#include "reader/CachePool.h"

namespace {

constexpr int kKeySize = 22;

// Prefix (length, link), then a packed item of two fields: the value
// big-endian with the sign bit flipped, and a 6-byte record reference.
void MakeKey(uint8_t* key, int32_t value, uint32_t ref) {
  qdf::StoreU16(key, kKeySize);
  qdf::StoreU32(key + 2, 0xFFFFFFFFu);
  uint8_t* body = key + 6;
  qdf::StoreU16(body, 2);
  qdf::StoreU16(body + 2, 10);
  qdf::StoreU16(body + 4, 16);
  const uint32_t biased = static_cast<uint32_t>(value) ^ 0x80000000u;
  body[6] = static_cast<uint8_t>(biased >> 24);
  body[7] = static_cast<uint8_t>(biased >> 16);
  body[8] = static_cast<uint8_t>(biased >> 8);
  body[9] = static_cast<uint8_t>(biased);
  qdf::StoreAdr(body + 10, qdf::TItemAdr{ref, 0});
}

// The key class's rule for one ascending field, decoding the packed items.
int CompareKeys(void*, const uint8_t* item, const uint8_t* key) {
  int la = 0, lb = 0;
  const uint8_t* a = qdf::GetField(item + 6, 0, &la);
  const uint8_t* b = qdf::GetField(key + 6, 0, &lb);
  const int common = std::min(la, lb);
  if (common > 0) {
    if (int c = std::memcmp(a, b, static_cast<size_t>(common))) return c;
  }
  return la - lb;
}

// A database file in a write transaction with one B-tree list on it.
class TBench {
 public:
  explicit TBench(int balance) {
    qdf::TCachePool::Instance().SetCacheSize(32768);
    path_ = qdf::TempDir() + "qdf-btree-bench-" + std::to_string(::getpid()) + ".qdf";
    qdf::TFileSystem::Native().Delete(path_);
    filer_ = new qdf::TQdfLocalFiler(path_, false, "BTREE");
    reader_ = std::make_unique<qdf::TQdfIndirectPageReader>(filer_);
    reader_->Open(false);
    reader_->StartTransaction();
    std::unique_ptr<qdf::TQdfPersistentObject> o =
        qdf::TQdfPersistentObject::Create(qdf::TQdfBtreeList::kClassInfo, nullptr);
    o->SetPageReader(reader_.get());
    list_.reset(static_cast<qdf::TQdfBtreeList*>(o.release()));
    list_->SetCompare(nullptr, CompareKeys);
    list_->BtreeHeader()->SetBalance(balance);
  }
  ~TBench() {
    list_.reset();
    reader_->Rollback();
    reader_.reset();
    filer_->Release();
    qdf::TFileSystem::Native().Delete(path_);
  }
  qdf::TQdfBtreeList& List() { return *list_; }
  qdf::TQdfIndirectPageReader& Reader() { return *reader_; }

  // Average share of the leaves' item areas in use (the last leaf left out).
  double LeafFill() {
    double sum = 0;
    int leaves = 0;
    for (uint32_t p = list_->PageListHeader()->FirstPg(); p != qdf::kNoPage;) {
      uint8_t* buf = reader_->GetPage(p, qdf::kGpRead);
      const uint32_t next = qdf::LoadU32(buf + qdf::kPgNext);
      if (next == qdf::kNoPage) break;
      qdf::TItemArea area = qdf::TItemArea::OfPage(buf);
      sum += 1.0 - static_cast<double>(area.Available()) / (area.Size() - 14);
      ++leaves;
      p = next;
    }
    return leaves ? sum / leaves : 0;
  }

 private:
  std::string path_;
  qdf::TQdfLocalFiler* filer_ = nullptr;
  std::unique_ptr<qdf::TQdfIndirectPageReader> reader_;
  std::unique_ptr<qdf::TQdfBtreeList> list_;
};

std::vector<int32_t> RandomValues(int n, uint32_t seed) {
  std::vector<int32_t> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) v[i] = i;
  std::mt19937 rng(seed);
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

// Arg: number of keys inserted into an empty tree per iteration.
void BM_BtreeRandomInsert(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<int32_t> values = RandomValues(n, 1);
  double fill = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto bench = std::make_unique<TBench>(50);
    uint8_t key[kKeySize];
    state.ResumeTiming();
    for (int i = 0; i < n; ++i) {
      MakeKey(key, values[i], static_cast<uint32_t>(i));
      bench->List().Insert(key, nullptr);
    }
    state.PauseTiming();
    fill = bench->LeafFill();
    bench.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["leaf_fill"] = fill;
}
BENCHMARK(BM_BtreeRandomInsert)->Arg(200000)->Unit(benchmark::kMillisecond);

// Ascending keys with Balance 95, as the object-ID index inserts them.
void BM_BtreeSequentialInsert(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  double fill = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto bench = std::make_unique<TBench>(95);
    uint8_t key[kKeySize];
    state.ResumeTiming();
    for (int i = 0; i < n; ++i) {
      MakeKey(key, i, static_cast<uint32_t>(i));
      bench->List().Insert(key, nullptr);
    }
    state.PauseTiming();
    fill = bench->LeafFill();
    bench.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["leaf_fill"] = fill;
}
BENCHMARK(BM_BtreeSequentialInsert)->Arg(1000000)->Unit(benchmark::kMillisecond);

// FindKey of random existing keys in a tree of Arg keys built by random inserts.
void BM_BtreeLookup(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<int32_t> values = RandomValues(n, 2);
  TBench bench(50);
  uint8_t key[kKeySize];
  for (int i = 0; i < n; ++i) {
    MakeKey(key, values[i], static_cast<uint32_t>(i));
    bench.List().Insert(key, nullptr);
  }
  std::mt19937 rng(3);
  std::uniform_int_distribution<int32_t> pick(0, n - 1);
  int64_t found = 0;
  for (auto _ : state) {
    MakeKey(key, pick(rng), 0);
    qdf::TItemAdr adr;
    found += bench.List().FindKey(key, &adr) ? 1 : 0;
    benchmark::DoNotOptimize(adr);
  }
  if (found != state.iterations()) state.SkipWithError("a key was not found");
  state.SetItemsProcessed(state.iterations());
  state.counters["leaf_fill"] = bench.LeafFill();
  state.counters["cached_pages"] = bench.Reader().HeldCount();
  state.counters["tree_pages"] = bench.List().PageListHeader()->CountPg();
}
BENCHMARK(BM_BtreeLookup)->Arg(200000)->Arg(1000000);

// Sort of an unsorted chain of Arg keys and the bulk build of the inner pages.
void BM_BtreeBulkBuild(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<int32_t> values = RandomValues(n, 4);
  double fill = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto bench = std::make_unique<TBench>(50);
    uint8_t key[kKeySize];
    for (int i = 0; i < n; ++i) {
      MakeKey(key, values[i], static_cast<uint32_t>(i));
      bench->List().AppendCopy(key);
    }
    state.ResumeTiming();
    bench->List().BuildTree();
    state.PauseTiming();
    fill = bench->LeafFill();
    if (bench->List().Count() != n) state.SkipWithError("keys lost");
    bench.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["leaf_fill"] = fill;
}
BENCHMARK(BM_BtreeBulkBuild)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
