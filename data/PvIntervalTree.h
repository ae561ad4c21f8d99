// Stabbing queries over closed intervals [low, high]: which stored intervals contain a value?
// PvIntervalTreeBTree is a centred interval tree over a fixed value range; each node keeps the
// intervals it stores in two B+trees, ascending by (low, id) and descending by (high, id), so a
// query walks one sorted list per node only as far as entries can still contain the value.
// The viewer builds every tree as PvIntervalTreeBTree(0, 1, 1, false, 400): one node, centre 0.5.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

struct IntervalEntry {
  std::int32_t id;  // caller's identifier (chunk index or row number)
  std::int32_t tag; // second caller value, returned unchanged
  float low;
  float high;
};

// The query interface: insert intervals, then startQuery(value) and call next() until it returns
// null. One query at a time; insert must not be called while a query is running.
class PvTree {
public:
  virtual ~PvTree() = default;
  virtual void insert(float low, float high, int id, int tag) = 0;
  virtual void startQuery(float value) = 0;
  virtual const IntervalEntry* next() = 0;
};

// A B+tree of (key, id) → entry, duplicate keys allowed and ordered by id. Inner nodes hold up to
// 6 keys between insertions (they split on reaching 7), leaves up to 30 pairs (split on 31).
class EntryBTree {
public:
  static constexpr int kInnerCapacity = 7;
  static constexpr int kLeafCapacity = 31;

  explicit EntryBTree(bool descending);
  ~EntryBTree();
  EntryBTree(const EntryBTree&) = delete;
  EntryBTree& operator=(const EntryBTree&) = delete;

  void insert(float key, std::int32_t id, IntervalEntry* entry);

  // Iteration cursor: rewind() goes to the first pair, current() is null once exhausted.
  void rewind();
  IntervalEntry* current() const;
  void advance();

  int size() const { return size_; }
  int height() const; // 1 + number of inner levels above the leaves (2 for a new tree)

private:
  struct Node;
  struct Inner;
  struct Leaf;
  bool before(float keyA, std::int32_t idA, float keyB, std::int32_t idB) const;
  void insertIntoParent(Node* left, float key, std::int32_t id, Node* right);
  static void destroy(Node* node);

  bool descending_;
  Node* root_ = nullptr;
  Leaf* firstLeaf_ = nullptr;
  Leaf* cursorLeaf_ = nullptr;
  int cursorIndex_ = -1;
  int size_ = 0;
};

class PvIntervalTreeBTree : public PvTree {
public:
  // Builds the complete binary tree of nodes from depth 1 to maxDepth (1 ≤ maxDepth ≤ 20) over
  // [minValue, maxValue]. With autoSplit, a leaf node that reaches splitThreshold entries is
  // replaced by a node of the same centre with two leaf children one level deeper, unless the value
  // range can no longer be subdivided there.
  PvIntervalTreeBTree(float minValue, float maxValue, int maxDepth, bool autoSplit, int splitThreshold);
  ~PvIntervalTreeBTree() override;
  PvIntervalTreeBTree(const PvIntervalTreeBTree&) = delete;
  PvIntervalTreeBTree& operator=(const PvIntervalTreeBTree&) = delete;

  // Adds [low, high] with its id and tag. An interval with low > high is kept but never returned.
  void insert(float low, float high, int id, int tag) override;

  // Starts a query for value, discarding a running one. next() then yields every entry with
  // low ≤ value ≤ high exactly once: node by node from the root towards value, within a node in
  // ascending (low, id) order when value ≤ the node's centre, else in descending (high, id) order.
  // A value equal to a node's centre continues into both children (left subtree first), so
  // intervals that end exactly at a centre are found in deeper trees too.
  void startQuery(float value) override;
  const IntervalEntry* next() override;

  int reported() const { return reported_; } // entries returned by the running query
  int skipped() const { return skipped_; }   // entries looked at and rejected by it
  int maxDepth() const { return maxDepth_; } // deepest level built so far (root = 1)
  int size() const { return static_cast<int>(entries_.size()); }

private:
  struct Node;
  Node* build(Node* parent, float centre, int depth, int maxDepthHere);
  void insertAt(Node* node, IntervalEntry* entry);
  void split(Node* node);
  void enterNode(Node* node);
  static void destroy(Node* node);

  float minValue_, maxValue_;
  int maxDepth_ = 0;
  bool autoSplit_;
  int splitThreshold_;
  Node* root_ = nullptr;
  std::deque<IntervalEntry> entries_;

  // The running query.
  Node* cursorNode_ = nullptr;
  float queryValue_ = 0.0f;
  EntryBTree* cursorList_ = nullptr;
  bool walkingByLow_ = true;
  int reported_ = 0;
  int skipped_ = 0;
  std::vector<Node*> pending_; // nodes still to walk when the value equals a centre
};
