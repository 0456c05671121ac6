// THashList: a string-keyed hash table whose buckets are binary search trees.
//
// The hashing and comparison policy is a THashListTraits object that the list
// borrows (it must outlive the list). The data word of an entry is a plain
// `void*`; the list never owns what it points to. Callers cast at the call
// site:
//
//   THashList names(&CaseInsensitiveTraits(), 64);
//   names.Add("Alias", table);
//   auto* t = static_cast<TQdfTable*>(names.Get("ALIAS"));
//
// No locking: callers serialise access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace qdf {

// Hashing and comparison policy of a THashList. Compare must be a total order
// that agrees with Hash: keys that compare equal must hash equally.
class THashListTraits {
 public:
  virtual ~THashListTraits() = default;
  // Hash code of `key`.
  virtual uint32_t Hash(std::string_view key) const = 0;
  // Negative, 0 or positive as a sorts before, equal to or after b.
  virtual int Compare(std::string_view a, std::string_view b) const = 0;
};

// Keys compared without regard to case: ASCII letters are upper-cased, all
// other bytes compare as unsigned values. Hash is the ELF hash over the
// upper-cased bytes; the empty key hashes to 0.
class TCaseInsensitiveTraits : public THashListTraits {
 public:
  uint32_t Hash(std::string_view key) const override;
  int Compare(std::string_view a, std::string_view b) const override;
};

// The process-wide case-insensitive traits, created on first use and
// destroyed at exit.
const TCaseInsensitiveTraits& CaseInsensitiveTraits();

// ELF hash over the ASCII upper-cased bytes of `key`.
uint32_t ElfHashUpper(std::string_view key);

class THashList {
 public:
  // One entry, a node of its bucket's binary search tree.
  struct Node {
    std::string key;
    void* data = nullptr;
    Node* left = nullptr;
    Node* right = nullptr;
  };

  // Called by Iterate for each entry; return false to stop.
  using IterateFn = std::function<bool(const std::string& key, void* data)>;

  // A list with `bucket_count` empty buckets (0: no buckets until SetSize).
  // REQUIRES: traits != nullptr (assertion "HashList must have traits"); the
  // traits outlive the list.
  THashList(const THashListTraits* traits, size_t bucket_count);
  // Disposes every node through DisposeNode. Subclasses that override
  // DisposeNode must call Clear() in their own destructor.
  virtual ~THashList();

  THashList(const THashList&) = delete;
  THashList& operator=(const THashList&) = delete;

  // Changes the bucket count. No buckets yet: allocates n empty buckets.
  // n > 0: every entry is moved into n new buckets (all stay reachable).
  // n == 0: releases the buckets; raises EHashList
  // "HashList: must be empty to set size to zero" when entries exist.
  void SetSize(size_t n);

  // Adds an entry. Raises EHashList "Duplicate hash list entry: %s" when a
  // key comparing equal exists, and EHashList "HashList: no buckets" when
  // the list has no buckets.
  void Add(std::string_view key, void* data);
  // Adds the entry, or replaces the data of an existing entry (its key text
  // stays as first added). Same no-buckets error as Add.
  void Put(std::string_view key, void* data);
  // The data of `key`, nullptr when missing.
  void* Get(std::string_view key) const;
  // True and *data (when data != nullptr) set when `key` exists.
  bool Find(std::string_view key, void** data) const;
  bool Exists(std::string_view key) const;
  // Removes `key` and returns its data. Raises EHashList
  // "Tried to remove invalid node: %s" when missing.
  void* Remove(std::string_view key);
  // Removes every entry whose data equals `data`; returns how many.
  size_t RemoveData(const void* data);
  // Calls `fn` for each entry, bucket by bucket, each bucket's tree in
  // pre-order (root first). Stops when fn returns false; returns false then,
  // true when every entry was visited.
  // REQUIRES: fn does not change the list.
  bool Iterate(const IterateFn& fn) const;
  // Removes every entry; the bucket count stays.
  void Clear();

  size_t Count() const { return count_; }
  size_t BucketCount() const { return bucket_count_; }
  const THashListTraits* Traits() const { return traits_; }

 protected:
  // Creates the node of a new entry.
  virtual Node* NewNode(std::string_view key, void* data);
  // Frees a node created by NewNode.
  virtual void DisposeNode(Node* node);

  // Root of bucket `index`'s tree (nullptr when empty). For diagnostics.
  // REQUIRES: index < BucketCount().
  const Node* BucketRoot(size_t index) const { return buckets_[index]; }
  // The bucket of `key`. REQUIRES: BucketCount() > 0.
  size_t BucketOf(std::string_view key) const;

 private:
  // The link that points at `key`'s node, or at the null link where it
  // would be inserted.
  Node** Locate(std::string_view key) const;
  // Unlinks the node at *link (not null), applying the deletion toggle.
  Node* Unlink(Node** link);
  void DisposeTree(Node* node);

  const THashListTraits* traits_;
  size_t bucket_count_ = 0;
  size_t count_ = 0;
  std::unique_ptr<Node*[]> buckets_;
  // Flipped on every removal: true replaces a removed inner node by its
  // successor, false by its predecessor, which keeps the trees balanced.
  bool delete_toggle_ = false;
};

}  // namespace qdf
