#include "PvIntervalTree.h"

#include <cassert>
#include <cmath>

// ---------------------------------------------------------------------------------------------
// EntryBTree

struct EntryBTree::Node {
  explicit Node(bool isLeaf) : leaf(isLeaf) {}
  bool leaf;
  Inner* parent = nullptr;
};

struct EntryBTree::Inner : Node {
  Inner() : Node(false) {}
  int count = 0; // keys in use; count + 1 children
  float keys[kInnerCapacity];
  std::int32_t ids[kInnerCapacity];
  Node* children[kInnerCapacity + 1];
};

struct EntryBTree::Leaf : Node {
  Leaf() : Node(true) {}
  int count = 0;
  float keys[kLeafCapacity];
  std::int32_t ids[kLeafCapacity];
  IntervalEntry* entries[kLeafCapacity];
  Leaf* next = nullptr;
};

EntryBTree::EntryBTree(bool descending) : descending_(descending) {
  Inner* root = new Inner;
  firstLeaf_ = new Leaf;
  firstLeaf_->parent = root;
  root->children[0] = firstLeaf_;
  root_ = root;
}

EntryBTree::~EntryBTree() { destroy(root_); }

void EntryBTree::destroy(Node* node) {
  if (!node) return;
  if (node->leaf) {
    delete static_cast<Leaf*>(node);
    return;
  }
  Inner* inner = static_cast<Inner*>(node);
  for (int i = 0; i <= inner->count; ++i) destroy(inner->children[i]);
  delete inner;
}

bool EntryBTree::before(float keyA, std::int32_t idA, float keyB, std::int32_t idB) const {
  if (descending_) return keyA > keyB || (keyA == keyB && idA > idB);
  return keyA < keyB || (keyA == keyB && idA < idB);
}

void EntryBTree::insert(float key, std::int32_t id, IntervalEntry* entry) {
  Node* node = root_;
  while (!node->leaf) {
    Inner* inner = static_cast<Inner*>(node);
    int i = 0;
    while (i < inner->count && before(inner->keys[i], inner->ids[i], key, id)) ++i;
    node = inner->children[i];
  }
  Leaf* leaf = static_cast<Leaf*>(node);
  int pos = 0;
  while (pos < leaf->count && !before(key, id, leaf->keys[pos], leaf->ids[pos])) ++pos;
  for (int j = leaf->count; j > pos; --j) {
    leaf->keys[j] = leaf->keys[j - 1];
    leaf->ids[j] = leaf->ids[j - 1];
    leaf->entries[j] = leaf->entries[j - 1];
  }
  leaf->keys[pos] = key;
  leaf->ids[pos] = id;
  leaf->entries[pos] = entry;
  ++leaf->count;
  ++size_;

  if (leaf->count == kLeafCapacity) {
    // The old leaf keeps the lower 16 pairs, a new one right after it takes the upper 15.
    const int keep = kLeafCapacity - kLeafCapacity / 2;
    Leaf* upper = new Leaf;
    for (int j = keep; j < kLeafCapacity; ++j) {
      upper->keys[j - keep] = leaf->keys[j];
      upper->ids[j - keep] = leaf->ids[j];
      upper->entries[j - keep] = leaf->entries[j];
    }
    upper->count = kLeafCapacity - keep;
    leaf->count = keep;
    upper->next = leaf->next;
    leaf->next = upper;
    insertIntoParent(leaf, leaf->keys[keep - 1], leaf->ids[keep - 1], upper);
  }
}

void EntryBTree::insertIntoParent(Node* left, float key, std::int32_t id, Node* right) {
  Inner* parent = left->parent;
  assert(parent);
  int p = 0;
  while (parent->children[p] != left) ++p;
  for (int j = parent->count; j > p; --j) {
    parent->keys[j] = parent->keys[j - 1];
    parent->ids[j] = parent->ids[j - 1];
    parent->children[j + 1] = parent->children[j];
  }
  parent->keys[p] = key;
  parent->ids[p] = id;
  parent->children[p + 1] = right;
  right->parent = parent;
  ++parent->count;
  if (parent->count < kInnerCapacity) return;

  // Keys 0–2 and children 0–3 stay, keys 4–6 and children 4–7 move, key 3 goes up.
  const int middle = kInnerCapacity / 2;
  Inner* upper = new Inner;
  for (int j = middle + 1; j < kInnerCapacity; ++j) {
    upper->keys[j - middle - 1] = parent->keys[j];
    upper->ids[j - middle - 1] = parent->ids[j];
  }
  for (int j = middle + 1; j <= kInnerCapacity; ++j) {
    upper->children[j - middle - 1] = parent->children[j];
    parent->children[j]->parent = upper;
  }
  upper->count = kInnerCapacity - middle - 1;
  parent->count = middle;
  const float upKey = parent->keys[middle];
  const std::int32_t upId = parent->ids[middle];
  if (parent == root_) {
    Inner* root = new Inner;
    root->keys[0] = upKey;
    root->ids[0] = upId;
    root->children[0] = parent;
    root->children[1] = upper;
    root->count = 1;
    parent->parent = root;
    upper->parent = root;
    root_ = root;
  } else {
    insertIntoParent(parent, upKey, upId, upper);
  }
}

void EntryBTree::rewind() {
  cursorLeaf_ = firstLeaf_;
  while (cursorLeaf_ && cursorLeaf_->count == 0) cursorLeaf_ = cursorLeaf_->next;
  cursorIndex_ = cursorLeaf_ ? 0 : -1;
}

IntervalEntry* EntryBTree::current() const {
  return cursorIndex_ >= 0 ? cursorLeaf_->entries[cursorIndex_] : nullptr;
}

void EntryBTree::advance() {
  if (cursorIndex_ < 0) return;
  if (++cursorIndex_ < cursorLeaf_->count) return;
  cursorLeaf_ = cursorLeaf_->next;
  while (cursorLeaf_ && cursorLeaf_->count == 0) cursorLeaf_ = cursorLeaf_->next;
  cursorIndex_ = cursorLeaf_ ? 0 : -1;
}

int EntryBTree::height() const {
  int h = 1;
  for (const Node* n = root_; !n->leaf; n = static_cast<const Inner*>(n)->children[0]) ++h;
  return h;
}

// ---------------------------------------------------------------------------------------------
// PvIntervalTreeBTree

namespace {
// Splitting stops at this depth, or earlier where a float can no longer tell the centres apart.
constexpr int kMaxSplitDepth = 64;
} // namespace

struct PvIntervalTreeBTree::Node {
  int passed = 0;
  PvIntervalTreeBTree* tree = nullptr;
  int depth = 1;
  Node* parent = nullptr;
  Node* left = nullptr;
  Node* right = nullptr;
  int splitThreshold = 0;
  bool autoSplit = false;
  EntryBTree byLow{false};
  EntryBTree byHigh{true};
  float centre = 0.0f;
  int stored = 0;
  bool isLeaf = true;
};

PvIntervalTreeBTree::PvIntervalTreeBTree(float minValue, float maxValue, int maxDepth, bool autoSplit,
                                         int splitThreshold)
    : minValue_(minValue), maxValue_(maxValue), autoSplit_(autoSplit), splitThreshold_(splitThreshold) {
  assert(maxDepth >= 1 && maxDepth <= 20);
  root_ = build(nullptr, (minValue + maxValue) / 2, 1, maxDepth);
}

PvIntervalTreeBTree::~PvIntervalTreeBTree() { destroy(root_); }

void PvIntervalTreeBTree::destroy(Node* node) {
  if (!node) return;
  destroy(node->left);
  destroy(node->right);
  delete node;
}

PvIntervalTreeBTree::Node* PvIntervalTreeBTree::build(Node* parent, float centre, int depth, int maxDepthHere) {
  if (maxDepth_ < maxDepthHere) maxDepth_ = maxDepthHere;
  Node* node = new Node;
  node->tree = this;
  node->depth = depth;
  node->parent = parent;
  node->splitThreshold = splitThreshold_;
  node->autoSplit = autoSplit_;
  node->centre = centre;
  node->isLeaf = depth == maxDepthHere;
  if (!node->isLeaf) {
    const float half = std::ldexp(maxValue_ - minValue_, -(depth + 1));
    node->right = build(node, centre + half, depth + 1, maxDepthHere);
    node->left = build(node, centre - half, depth + 1, maxDepthHere);
  }
  return node;
}

void PvIntervalTreeBTree::insert(float low, float high, int id, int tag) {
  // A running query would walk nodes that a split may replace: inserting ends it.
  cursorNode_ = nullptr;
  pending_.clear();
  entries_.push_back(IntervalEntry{id, tag, low, high});
  insertAt(root_, &entries_.back());
}

void PvIntervalTreeBTree::insertAt(Node* node, IntervalEntry* entry) {
  for (;;) {
    ++node->passed;
    if (node->isLeaf) break;
    const float c = node->centre;
    if (entry->low >= c && entry->high > c)
      node = node->right;
    else if (entry->low < c && entry->high <= c)
      node = node->left;
    else
      break; // straddles the centre, or is the single point at it
  }
  node->byLow.insert(entry->low, entry->id, entry);
  node->byHigh.insert(entry->high, entry->id, entry);
  ++node->stored;
  if (node->autoSplit && node->isLeaf && node->stored == node->splitThreshold) split(node);
}

void PvIntervalTreeBTree::split(Node* node) {
  // Only where the children's centres would still differ from this one.
  if (node->depth >= kMaxSplitDepth) return;
  const float half = std::ldexp(maxValue_ - minValue_, -(node->depth + 1));
  const float c = node->centre;
  if (!(c + half != c && c - half != c && c + half > c - half)) return;

  std::vector<IntervalEntry*> moving;
  moving.reserve(node->stored);
  for (node->byLow.rewind(); IntervalEntry* e = node->byLow.current(); node->byLow.advance())
    moving.push_back(e);

  Node* replacement = build(node->parent, c, node->depth, node->depth + 1);
  for (IntervalEntry* e : moving) insertAt(replacement, e);

  if (!node->parent)
    root_ = replacement;
  else if (node->parent->left == node)
    node->parent->left = replacement;
  else
    node->parent->right = replacement;
  delete node;
}

void PvIntervalTreeBTree::startQuery(float value) {
  queryValue_ = value;
  reported_ = 0;
  skipped_ = 0;
  pending_.clear();
  enterNode(root_);
}

void PvIntervalTreeBTree::enterNode(Node* node) {
  cursorNode_ = node;
  walkingByLow_ = queryValue_ <= node->centre;
  cursorList_ = walkingByLow_ ? &node->byLow : &node->byHigh;
  cursorList_->rewind();
}

const IntervalEntry* PvIntervalTreeBTree::next() {
  const float q = queryValue_;
  while (cursorNode_) {
    while (IntervalEntry* e = cursorList_->current()) {
      if (walkingByLow_ ? e->low > q : e->high < q) break; // no later entry of this list holds q
      cursorList_->advance();
      if (e->low <= q && q <= e->high) {
        ++reported_;
        return e;
      }
      ++skipped_;
    }
    Node* node = cursorNode_;
    cursorNode_ = nullptr;
    if (node->passed != 0 && !node->isLeaf) {
      if (q > node->centre) {
        enterNode(node->right);
      } else if (q < node->centre) {
        enterNode(node->left);
      } else if (q == node->centre) {
        // Intervals ending exactly at the centre went to either side.
        pending_.push_back(node->right);
        enterNode(node->left);
      }
    }
    if (!cursorNode_ && !pending_.empty()) {
      Node* again = pending_.back();
      pending_.pop_back();
      enterNode(again);
    }
  }
  return nullptr;
}
