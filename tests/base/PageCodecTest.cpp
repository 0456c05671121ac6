#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "EnvSize.h"
#include "base/Bytes.h"
#include "base/ItemArea.h"
#include "base/PackedItem.h"
#include "base/PageCodec.h"
#include "base/QdfException.h"

namespace qdf {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kPage = 8192;

// An independent encoder written from the format alone: a string-keyed
// dictionary, explicit widths per emitted code, and a bit-by-bit writer. Pack
// must produce exactly its bytes.
struct RefResult {
  int length = 0;  // L as stored in the header
  int codes = 0;   // number of emitted codes
  Bytes stream;    // whole words, header excluded
};

RefResult ReferencePack(const Bytes& in) {
  std::map<std::string, int> dict;
  std::vector<std::pair<int, int>> emitted;  // code, width
  int next = 256, width = 9;
  std::string w(1, static_cast<char>(in[0]));
  auto code_of = [&](const std::string& s) {
    return s.size() == 1 ? static_cast<uint8_t>(s[0]) : dict.at(s);
  };
  for (size_t i = 1; i < in.size(); ++i) {
    std::string wc = w + static_cast<char>(in[i]);
    if (dict.count(wc)) {
      w = wc;
      continue;
    }
    emitted.push_back({code_of(w), width});
    if (next <= 2046) {
      dict[wc] = next++;
      if (next == 513) width = 10;
      if (next == 1025) width = 11;
    }
    w = std::string(1, static_cast<char>(in[i]));
  }
  emitted.push_back({code_of(w), width});

  std::vector<int> bits;
  for (auto [code, wd] : emitted)
    for (int b = wd - 1; b >= 0; --b) bits.push_back((code >> b) & 1);
  RefResult r;
  r.codes = static_cast<int>(emitted.size());
  size_t whole = bits.size() / 16 * 16;
  for (size_t i = 0; i < bits.size(); i += 16) {
    int word = 0;
    for (int b = 0; b < 16; ++b) word = (word << 1) | (i + b < bits.size() ? bits[i + b] : 0);
    r.stream.push_back(static_cast<uint8_t>(word));
    r.stream.push_back(static_cast<uint8_t>(word >> 8));
  }
  size_t rest = bits.size() - whole;
  r.length = 4 + static_cast<int>(whole / 8) + (rest == 0 ? 0 : rest > 8 ? 2 : 1);
  return r;
}

Bytes PackOf(const Bytes& in, int* result) {
  Bytes out(in.size());
  *result = Pack(out.data(), in.data(), static_cast<int>(in.size()));
  return out;
}

// Unpacks into a buffer of exactly the original size, so that the sanitizer
// sees any overrun.
int UnpackTo(const Bytes& packed, int packed_size, Bytes* out, int out_size) {
  Bytes src(packed.begin(), packed.begin() + packed_size);
  out->assign(static_cast<size_t>(out_size), 0xCC);
  return Unpack(src.data(), src.size(), out->data(), out->size());
}

// Pack gives the reference's bytes, an even length and the original size
// in the header; Unpack gives the input back.
void ExpectMatchesReference(const Bytes& in) {
  int n;
  Bytes packed = PackOf(in, &n);
  RefResult ref = ReferencePack(in);
  ASSERT_GT(n, 0) << "reference length " << ref.length;
  EXPECT_EQ(LoadU16(packed.data()), ref.length);
  EXPECT_EQ(n, (ref.length + 1) & ~1);
  EXPECT_EQ(LoadU16(packed.data() + 2), in.size());
  EXPECT_EQ(Bytes(packed.begin() + 4, packed.begin() + n), ref.stream);
  Bytes out;
  ASSERT_EQ(UnpackTo(packed, n, &out, static_cast<int>(in.size())), kUnpackOk);
  EXPECT_EQ(out, in);
}

// A data page full of records: 13-byte prefix, then a packed item with two
// integers and a text of English number words.
Bytes RecordPage(uint32_t seed) {
  static const char* kWords[] = {"one",    "two",     "three",    "four", "five",    "six",
                                 "seven",  "eight",   "nine",     "ten",  "fifteen", "twenty",
                                 "thirty", "hundred", "thousand", "forty"};
  std::mt19937 rng(seed);
  Bytes page(kPage, 0);
  TItemArea area = TItemArea::InitDataPage(page.data(), kPage);
  for (uint32_t i = 0;; ++i) {
    std::string text;
    for (int k = 0, words = 3 + static_cast<int>(rng() % 5); k < words; ++k) {
      if (k) text += ' ';
      text += kWords[rng() % 16];
    }
    uint8_t item[200];
    TFieldCursor cur;
    cur.OpenWrite(item + 13, 3, sizeof item - 13);
    cur.WriteU32(i);
    cur.WriteU32(rng() % 100000);
    cur.WriteText(text);
    int size = PackedLength(item + 13, 13);
    if (size + 2 >= area.Available()) break;
    std::memset(item, 0, 13);
    StoreU64BE(item + 2, 1000 + i);
    std::memcpy(area.AddItem(size) + 2, item + 2, static_cast<size_t>(size - 2));
  }
  area.Compact();
  return page;
}

Bytes RandomBytes(size_t n, uint32_t seed, int alphabet = 256) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng() % alphabet);
  return b;
}

TEST(PageCodecPack, MatchesIndependentEncoderAndRoundTrips) {
  ExpectMatchesReference(Bytes(kPage, 0));
  ExpectMatchesReference(RecordPage(1));
  Bytes small_alphabet = RandomBytes(kPage, 3, 12);
  ASSERT_GT(ReferencePack(small_alphabet).codes, 1792) << "dictionary must fill up";
  ExpectMatchesReference(small_alphabet);
  ExpectMatchesReference(RandomBytes(kPage, 12, 2));
  // Text with repeats: many codes of 10 and 11 bits.
  Bytes text;
  std::string s = "the quick brown fox jumps over the lazy dog and then ";
  for (int i = 0; text.size() < kPage; ++i) {
    for (char c : s) text.push_back(static_cast<uint8_t>(c + (i % 3)));
  }
  text.resize(kPage);
  ExpectMatchesReference(text);
  // Zero runs of every length up to well past the longest zero string, each
  // ended by another byte, then runs that reach the end of the page; and a
  // page whose dictionary fills up before its zero runs.
  for (int tail : {0, 1, 7, 8, 9, 300}) {
    Bytes runs;
    for (int len = 1; runs.size() + len + 1 + tail < kPage; len = len % 150 + 1) {
      runs.insert(runs.end(), static_cast<size_t>(len), 0);
      runs.push_back(static_cast<uint8_t>(1 + len % 3));
    }
    runs.resize(kPage - tail, 7);
    runs.resize(kPage, 0);
    SCOPED_TRACE(tail);
    ExpectMatchesReference(runs);
  }
  Bytes late = RandomBytes(kPage, 5, 12);
  for (size_t at = 4000; at + 200 < kPage; at += 400)
    std::fill_n(late.begin() + at, 10 + at % 190, 0);
  ExpectMatchesReference(late);
  // A run inside varied data: the string-being-defined case after strings.
  Bytes run = RandomBytes(kPage, 13, 40);
  for (int i = 3000; i < 3200; ++i) run[i] = 0xAB;
  ExpectMatchesReference(run);
  // The first code is byte 255, which equals the next free code.
  ExpectMatchesReference(Bytes(kPage, 0xFF));
  ExpectMatchesReference(Bytes(600, 0x41));
}

TEST(PageCodecPack, IncompressibleInputFailsWithFfffHeader) {
  int n;
  Bytes p = PackOf(RandomBytes(kPage, 1), &n);
  EXPECT_LT(n, 0);
  EXPECT_EQ(LoadU16(p.data()), 0xFFFF);
  // Saving less than 512 bytes is a failure too, and tiny inputs always fail.
  PackOf(RandomBytes(kPage, 9, 100), &n);
  EXPECT_LT(n, 0);
  PackOf(Bytes(516, 0), &n);
  EXPECT_LT(n, 0);
  PackOf(Bytes(600, 0), &n);
  EXPECT_GT(n, 0);
  uint8_t tiny[3] = {};
  EXPECT_THROW(Pack(tiny, tiny, 3), EAssertionFailed);
}

TEST(PageCodecUnpack, ReportsCorruptAndShortStreams) {
  Bytes in = RecordPage(21);
  int n;
  Bytes p = PackOf(in, &n);
  ASSERT_GT(n, 0);
  Bytes out;

  // First code >= 256: 9 bits 100000000 at the top of the first word.
  Bytes bad = p;
  StoreU16(bad.data() + 4, 0x8000);
  EXPECT_EQ(UnpackTo(bad, n, &out, kPage), kUnpackBadCode);

  // Stream cut short: a smaller L, or fewer source bytes than L claims.
  Bytes cut = p;
  StoreU16(cut.data(), static_cast<uint16_t>(n - 100));
  EXPECT_EQ(UnpackTo(cut, n, &out, kPage), kUnpackShort);
  EXPECT_EQ(UnpackTo(p, n - 100, &out, kPage), kUnpackShort);
  EXPECT_EQ(UnpackTo(p, 3, &out, kPage), kUnpackShort);

  // Output buffer smaller than the original length: refused up front.
  EXPECT_EQ(UnpackTo(p, n, &out, kPage - 1), kUnpackOverflow);
  // Header claims less output than the stream yields: both a byte code and a
  // string code stop at the end of the buffer.
  for (int orig : {1, 5, 100, 4000, 8191}) {
    Bytes shorter = p;
    StoreU16(shorter.data() + 2, static_cast<uint16_t>(orig));
    EXPECT_EQ(UnpackTo(shorter, n, &out, orig), kUnpackOverflow) << orig;
  }
}

TEST(PageCodecUnpack, SurvivesRandomAndMutatedStreams) {
  const int iterations = qdf_test::EnvSize("QDF_FUZZ_ITERATIONS", 3000);
  std::mt19937 rng(42);
  std::vector<Bytes> seeds;
  for (uint32_t s = 0; s < 4; ++s) {
    Bytes in = s == 0 ? Bytes(kPage, 0) : s == 1 ? RandomBytes(kPage, 5, 12) : RecordPage(s);
    int n;
    Bytes p = PackOf(in, &n);
    p.resize(static_cast<size_t>(n));
    seeds.push_back(p);
  }
  int results[4] = {};
  for (int it = 0; it < iterations; ++it) {
    Bytes src;
    if (it % 4 == 0) {
      src = RandomBytes(4 + rng() % 3000, rng());
      if (it % 8 == 0) {
        StoreU16(src.data(), static_cast<uint16_t>(src.size() - rng() % 4));
        StoreU16(src.data() + 2, static_cast<uint16_t>(rng() % (kPage + 1)));
      }
    } else {
      src = seeds[rng() % seeds.size()];
      for (int flips = 1 + rng() % 4; flips > 0; --flips) {
        size_t at = rng() % src.size();
        if (rng() % 8 == 0) {
          src[at] = static_cast<uint8_t>(rng());
        } else {
          src[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        }
      }
      if (rng() % 10 == 0) src.resize(rng() % src.size());
    }
    size_t cap = rng() % 5 == 0 ? rng() % (kPage + 1) : kPage;
    Bytes out(cap);
    int r = Unpack(src.data(), src.size(), out.data(), out.size());
    ASSERT_GE(r, 0);
    ASSERT_LE(r, 3);
    ++results[r];
  }
  // Mutations must reach the deeper error paths, not only the header checks.
  EXPECT_GT(results[kUnpackBadCode] + results[kUnpackOverflow], 0);
  EXPECT_GT(results[kUnpackShort], 0);
}

}  // namespace
}  // namespace qdf
