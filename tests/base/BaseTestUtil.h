// Helpers shared by the tests of the runtime layer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "base/Object.h"
#include "base/PackedItem.h"
#include "base/QdfException.h"

namespace qdf_test {

// The message of the runtime exception E (or one derived from it) that f
// raises, or "<no error>".
template <typename E = qdf::Exception, typename F>
std::string TextOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no error>";
}

// Counts live instances, so that tests of owning lists see every object
// freed exactly once.
class TCounted : public qdf::TObject {
 public:
  explicit TCounted(int id = 0) : id(id) { ++live; }
  ~TCounted() override { --live; }
  int id;
  static inline int live = 0;
};

using Bytes = std::vector<uint8_t>;

// A packed item of `fields` (an empty one is absent) after `prefix` zero
// bytes, as records (prefix 13) and header items store them.
inline Bytes PackedBytes(const std::vector<Bytes>& fields, int prefix = 0) {
  Bytes buf(8192, 0);
  uint8_t* body = buf.data() + prefix;
  qdf::InitPacked(body, static_cast<int>(fields.size()));
  for (size_t i = 0; i < fields.size(); ++i) {
    qdf::SetField(body, static_cast<int>(i), static_cast<int>(fields[i].size()), fields[i].data());
  }
  buf.resize(static_cast<size_t>(qdf::PackedLength(body, prefix)));
  return buf;
}

// `v` as four little-endian bytes.
inline Bytes Le32(uint32_t v) {
  Bytes b(4);
  qdf::StoreU32(b.data(), v);
  return b;
}

// The bytes of `s` and its closing zero, as char fields store a text.
inline Bytes TextBytes(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}

}  // namespace qdf_test
