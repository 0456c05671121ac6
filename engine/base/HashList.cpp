#include "base/HashList.h"

#include <vector>

#include "base/Helpers.h"
#include "base/QdfException.h"

namespace qdf {

namespace {

inline unsigned char UpperAscii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

}  // namespace

uint32_t ElfHashUpper(std::string_view key) {
  uint32_t h = 0;
  for (char ch : key) {
    h = (h << 4) + UpperAscii(static_cast<unsigned char>(ch));
    uint32_t g = h & 0xF0000000u;
    if (h > 0x0FFFFFFFu) h = (h ^ (g >> 24)) & 0x0FFFFFFFu;
  }
  return h;
}

uint32_t TCaseInsensitiveTraits::Hash(std::string_view key) const { return ElfHashUpper(key); }

int TCaseInsensitiveTraits::Compare(std::string_view a, std::string_view b) const {
  return CompareText(a, b);
}

const TCaseInsensitiveTraits& CaseInsensitiveTraits() {
  static const TCaseInsensitiveTraits instance;
  return instance;
}

// ---------------------------------------------------------------------------

THashList::THashList(const THashListTraits* traits, size_t bucket_count) : traits_(traits) {
  QDF_ASSERT_MSG(traits, "HashList must have traits", "HashList");
  if (bucket_count > 0) SetSize(bucket_count);
}

THashList::~THashList() {
  // DisposeNode is THashList's own here; subclasses clear in their destructor.
  Clear();
}

THashList::Node* THashList::NewNode(std::string_view key, void* data) {
  Node* node = new Node;
  node->key.assign(key);
  node->data = data;
  return node;
}

void THashList::DisposeNode(Node* node) { delete node; }

size_t THashList::BucketOf(std::string_view key) const {
  return traits_->Hash(key) % bucket_count_;
}

THashList::Node** THashList::Locate(std::string_view key) const {
  Node** link = &buckets_[BucketOf(key)];
  while (*link) {
    int c = traits_->Compare(key, (*link)->key);
    if (c == 0) break;
    link = c < 0 ? &(*link)->left : &(*link)->right;
  }
  return link;
}

void THashList::SetSize(size_t n) {
  if (!buckets_) {
    if (n == 0) return;
    buckets_ = std::make_unique<Node*[]>(n);  // value-initialised: all null
    bucket_count_ = n;
    return;
  }
  if (n == 0) {
    if (count_ > 0) throw EHashList("HashList: must be empty to set size to zero");
    buckets_.reset();
    bucket_count_ = 0;
    return;
  }
  // Take every node out (iteratively, trees may be deep), then relink them
  // into the new buckets. The nodes themselves are reused.
  std::vector<Node*> nodes;
  nodes.reserve(count_);
  std::vector<Node*> stack;
  for (size_t b = 0; b < bucket_count_; ++b) {
    if (buckets_[b]) stack.push_back(buckets_[b]);
    while (!stack.empty()) {
      Node* node = stack.back();
      stack.pop_back();
      if (node->left) stack.push_back(node->left);
      if (node->right) stack.push_back(node->right);
      node->left = node->right = nullptr;
      nodes.push_back(node);
    }
  }
  buckets_ = std::make_unique<Node*[]>(n);
  bucket_count_ = n;
  // A duplicate can only appear when the traits are inconsistent; the
  // clashing node is dropped so the list stays sound, then reported.
  std::string duplicate;
  bool has_duplicate = false;
  for (Node* node : nodes) {
    Node** link = Locate(node->key);
    if (*link) {
      if (!has_duplicate) duplicate = node->key;
      has_duplicate = true;
      --count_;
      DisposeNode(node);
      continue;
    }
    *link = node;
  }
  if (has_duplicate) throw EHashList(Format("Duplicate hash list entry: %s", duplicate.c_str()));
}

void THashList::Add(std::string_view key, void* data) {
  if (bucket_count_ == 0) throw EHashList("HashList: no buckets");
  Node** link = Locate(key);
  if (*link)
    throw EHashList(
        Format("Duplicate hash list entry: %.*s", static_cast<int>(key.size()), key.data()));
  *link = NewNode(key, data);
  ++count_;
}

void THashList::Put(std::string_view key, void* data) {
  if (bucket_count_ == 0) throw EHashList("HashList: no buckets");
  Node** link = Locate(key);
  if (*link) {
    (*link)->data = data;
    return;
  }
  *link = NewNode(key, data);
  ++count_;
}

bool THashList::Find(std::string_view key, void** data) const {
  if (bucket_count_ == 0) return false;
  Node* node = *Locate(key);
  if (!node) return false;
  if (data) *data = node->data;
  return true;
}

void* THashList::Get(std::string_view key) const {
  void* data = nullptr;
  return Find(key, &data) ? data : nullptr;
}

bool THashList::Exists(std::string_view key) const { return Find(key, nullptr); }

THashList::Node* THashList::Unlink(Node** link) {
  Node* node = *link;
  delete_toggle_ = !delete_toggle_;
  Node* replacement;
  if (!node->left) {
    replacement = node->right;
  } else if (!node->right) {
    replacement = node->left;
  } else if (delete_toggle_) {
    // Successor: the leftmost node of the right subtree.
    Node** s = &node->right;
    while ((*s)->left) s = &(*s)->left;
    replacement = *s;
    *s = replacement->right;
    replacement->left = node->left;
    replacement->right = node->right;
  } else {
    // Predecessor: the rightmost node of the left subtree.
    Node** p = &node->left;
    while ((*p)->right) p = &(*p)->right;
    replacement = *p;
    *p = replacement->left;
    replacement->left = node->left;
    replacement->right = node->right;
  }
  *link = replacement;
  node->left = node->right = nullptr;
  --count_;
  return node;
}

void* THashList::Remove(std::string_view key) {
  Node** link = bucket_count_ ? Locate(key) : nullptr;
  if (!link || !*link)
    throw EHashList(
        Format("Tried to remove invalid node: %.*s", static_cast<int>(key.size()), key.data()));
  Node* node = Unlink(link);
  void* data = node->data;
  DisposeNode(node);
  return data;
}

size_t THashList::RemoveData(const void* data) {
  std::vector<std::string> keys;
  Iterate([&](const std::string& key, void* d) {
    if (d == data) keys.push_back(key);
    return true;
  });
  for (const std::string& key : keys) Remove(key);
  return keys.size();
}

bool THashList::Iterate(const IterateFn& fn) const {
  std::vector<const Node*> stack;
  for (size_t b = 0; b < bucket_count_; ++b) {
    if (buckets_[b]) stack.push_back(buckets_[b]);
    while (!stack.empty()) {
      const Node* node = stack.back();
      stack.pop_back();
      if (!fn(node->key, node->data)) return false;
      if (node->right) stack.push_back(node->right);
      if (node->left) stack.push_back(node->left);
    }
  }
  return true;
}

void THashList::DisposeTree(Node* root) {
  std::vector<Node*> stack;
  if (root) stack.push_back(root);
  while (!stack.empty()) {
    Node* node = stack.back();
    stack.pop_back();
    if (node->left) stack.push_back(node->left);
    if (node->right) stack.push_back(node->right);
    DisposeNode(node);
  }
}

void THashList::Clear() {
  for (size_t b = 0; b < bucket_count_; ++b) {
    Node* root = buckets_[b];
    buckets_[b] = nullptr;
    DisposeTree(root);
  }
  count_ = 0;
}

}  // namespace qdf
