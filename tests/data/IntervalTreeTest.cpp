// The interval tree against a brute-force scan, its walk orders, and the B+tree under it.
#include "PvIntervalTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

struct Interval {
  float low, high;
  int id;
};

std::vector<int> query(PvTree& tree, float q) {
  std::vector<int> ids;
  tree.startQuery(q);
  while (const IntervalEntry* e = tree.next()) ids.push_back(e->id);
  return ids;
}

std::vector<int> bruteForce(const std::vector<Interval>& all, float q) {
  std::vector<int> ids;
  for (const Interval& i : all)
    if (i.low <= q && q <= i.high) ids.push_back(i.id);
  return ids;
}

std::vector<int> sorted(std::vector<int> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Random intervals in [-0.1, 1.1] with a share of points, of intervals reversed (low > high) and of
// ends placed exactly on the centres of a deep tree.
std::vector<Interval> randomIntervals(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-0.1f, 1.1f);
  std::uniform_int_distribution<int> kind(0, 9);
  std::uniform_int_distribution<int> centre(1, 15);
  std::vector<Interval> v;
  for (int i = 0; i < n; ++i) {
    float a = u(rng), b = u(rng);
    switch (kind(rng)) {
    case 0: b = a; break;                          // a point
    case 1: std::swap(a, b); if (a < b) std::swap(a, b); break; // low > high (or equal)
    case 2: a = centre(rng) / 16.0f; break;        // starts on a centre
    case 3: b = centre(rng) / 16.0f; break;        // ends on a centre
    default: if (a > b) std::swap(a, b);
    }
    v.push_back({a, b, i});
  }
  return v;
}

std::vector<float> queryValues(unsigned seed) {
  std::vector<float> qs = {-1.0f, -0.1f, 0.0f, 1.0f, 1.1f, 2.0f, 0.5f, 0.5000001f, 0.4999999f};
  for (int c = 1; c < 16; ++c) qs.push_back(c / 16.0f); // every centre of a depth-4 tree
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-0.2f, 1.2f);
  for (int i = 0; i < 120; ++i) qs.push_back(u(rng));
  return qs;
}

struct Config {
  int maxDepth;
  bool autoSplit;
  int threshold;
};

} // namespace

TEST(IntervalTree, EmptyTreeYieldsNothing) {
  PvIntervalTreeBTree tree(0, 1, 1, false, 400);
  EXPECT_EQ(tree.next(), nullptr); // no query started
  for (float q : {0.0f, 0.5f, 0.7f}) EXPECT_TRUE(query(tree, q).empty());
  PvIntervalTreeBTree deep(0, 1, 5, true, 4);
  EXPECT_TRUE(query(deep, 0.5f).empty());
  EXPECT_TRUE(query(deep, 0.3f).empty());
  EXPECT_EQ(deep.maxDepth(), 5);
}

TEST(IntervalTree, ValueAtTheCentreWalksTheLowListAndAboveItTheHighList) {
  PvIntervalTreeBTree tree(0, 1, 1, false, 400);
  // Lows ascend with the id, highs descend with it: the two walks give opposite orders.
  for (int i = 0; i < 40; ++i) tree.insert(0.1f + 0.01f * i, 0.9f - 0.001f * i, i, 0);
  tree.insert(0.55f, 0.6f, 100, 0); // holds neither value
  tree.insert(0.205f, 0.5f, 101, 0); // holds 0.5 only

  std::vector<int> atCentre = query(tree, 0.5f);
  std::vector<int> expected;
  for (int i = 0; i < 40; ++i) {
    expected.push_back(i);
    if (i == 10) expected.push_back(101); // low 0.205 lies between ids 10 and 11
  }
  EXPECT_EQ(atCentre, expected);
  // The low-ordered walk stops at the first low above q without looking further.
  EXPECT_EQ(tree.reported(), 41);
  EXPECT_EQ(tree.skipped(), 0);

  std::vector<int> above = query(tree, 0.5000001f);
  expected.clear();
  for (int i = 0; i < 40; ++i) expected.push_back(i); // highs descend with the id
  EXPECT_EQ(above, expected);
  // The high-ordered walk rejects [0.55, 0.6] and stops at [0.205, 0.5].
  EXPECT_EQ(tree.skipped(), 1);
}

TEST(IntervalTree, PointIntervalAndReversedIntervals) {
  PvIntervalTreeBTree tree(0, 1, 1, false, 400);
  tree.insert(0.2f, 0.2f, 1, 7);
  tree.insert(0.6f, 0.3f, 2, 0); // low > high
  tree.insert(0.9f, 0.1f, 3, 0);
  tree.startQuery(0.2f);
  const IntervalEntry* e = tree.next();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->id, 1);
  EXPECT_EQ(e->tag, 7);
  EXPECT_EQ(tree.next(), nullptr);
  EXPECT_TRUE(query(tree, 0.2000001f).empty());
  for (float q : {0.1f, 0.3f, 0.45f, 0.5f, 0.6f, 0.9f}) EXPECT_TRUE(query(tree, q).empty()) << q;
}

TEST(IntervalTree, EqualKeysComeOutInIdOrderBothWays) {
  PvIntervalTreeBTree tree(0, 1, 1, false, 400);
  std::vector<int> ids(100);
  for (int i = 0; i < 100; ++i) ids[i] = i;
  std::shuffle(ids.begin(), ids.end(), std::mt19937(5));
  for (int id : ids) tree.insert(0.25f, 0.75f, id, 0);
  std::vector<int> ascending(100), descending(100);
  for (int i = 0; i < 100; ++i) ascending[i] = i, descending[i] = 99 - i;
  EXPECT_EQ(query(tree, 0.3f), ascending);  // walk by low: equal lows by ascending id
  EXPECT_EQ(query(tree, 0.7f), descending); // walk by high: equal highs by descending id
}

TEST(IntervalTree, MatchesBruteForce) {
  const Config configs[] = {{1, false, 400}, {4, false, 400}, {1, true, 50}, {3, true, 100}, {2, true, 1}};
  for (int n : {1000, 100000}) {
    const std::vector<Interval> all = randomIntervals(n, static_cast<unsigned>(n));
    const std::vector<float> qs = queryValues(static_cast<unsigned>(n) + 1);
    for (const Config& c : configs) {
      if (n == 100000 && c.threshold == 1) continue; // one split per entry: too slow to be useful
      PvIntervalTreeBTree tree(0, 1, c.maxDepth, c.autoSplit, c.threshold);
      for (const Interval& i : all) tree.insert(i.low, i.high, i.id, 0);
      EXPECT_EQ(tree.size(), n);
      if (c.autoSplit) {
        EXPECT_GT(tree.maxDepth(), c.maxDepth);
      }
      for (float q : qs) {
        const std::vector<int> got = query(tree, q);
        ASSERT_EQ(sorted(got), bruteForce(all, q))
            << "n=" << n << " depth=" << c.maxDepth << " split=" << c.autoSplit << " q=" << q;
        EXPECT_EQ(tree.reported(), static_cast<int>(got.size()));
      }
    }
  }
}

TEST(IntervalTree, OneNodeTreeWalksInSortedOrder) {
  const std::vector<Interval> all = randomIntervals(3000, 11);
  PvIntervalTreeBTree tree(0, 1, 1, false, 400);
  for (const Interval& i : all) tree.insert(i.low, i.high, i.id, 0);
  for (float q : {0.1f, 0.5f, 0.6f, 0.95f}) {
    std::vector<Interval> got;
    tree.startQuery(q);
    while (const IntervalEntry* e = tree.next()) got.push_back({e->low, e->high, e->id});
    for (std::size_t i = 1; i < got.size(); ++i) {
      if (q <= 0.5f) {
        ASSERT_TRUE(got[i - 1].low < got[i].low || (got[i - 1].low == got[i].low && got[i - 1].id < got[i].id));
      } else {
        ASSERT_TRUE(got[i - 1].high > got[i].high || (got[i - 1].high == got[i].high && got[i - 1].id > got[i].id));
      }
    }
  }
}

TEST(IntervalTree, SplittingStopsWhereTheRangeCannotBeDivided) {
  // Thousands of copies of one point far from every centre, and of a tiny one near zero: the leaf
  // keeps splitting towards them until floats can no longer tell the centres apart, then stores.
  PvIntervalTreeBTree tree(0, 1, 1, true, 10);
  for (int i = 0; i < 2000; ++i) tree.insert(0.3f, 0.3f, i, 0);
  for (int i = 0; i < 500; ++i) tree.insert(1e-30f, 1e-30f, 2000 + i, 0);
  EXPECT_EQ(query(tree, 0.3f).size(), 2000u);
  EXPECT_EQ(query(tree, 1e-30f).size(), 500u);
  EXPECT_TRUE(query(tree, std::nextafter(0.3f, 1.0f)).empty());
  EXPECT_LE(tree.maxDepth(), 64);
}

TEST(IntervalTree, NotANumberIsNeverReturnedAndNeverHangs) {
  PvIntervalTreeBTree tree(0, 1, 3, true, 4);
  for (int i = 0; i < 50; ++i) tree.insert(NAN, 0.5f, i, 0);
  for (int i = 0; i < 50; ++i) tree.insert(0.1f, 0.9f, 100 + i, 0);
  EXPECT_EQ(query(tree, 0.5f).size(), 50u);
  EXPECT_TRUE(query(tree, NAN).empty());
}

TEST(IntervalTree, InsertingEndsARunningQuery) {
  PvIntervalTreeBTree tree(0, 1, 1, true, 2);
  tree.insert(0.1f, 0.9f, 1, 0);
  tree.startQuery(0.5f);
  tree.insert(0.2f, 0.8f, 2, 0); // splits the root leaf
  EXPECT_EQ(tree.next(), nullptr);
  EXPECT_EQ(sorted(query(tree, 0.5f)), (std::vector<int>{1, 2}));
}

TEST(EntryBTree, KeepsPairsSortedThroughLeafAndInnerSplits) {
  for (bool descending : {false, true}) {
    EntryBTree list(descending);
    EXPECT_EQ(list.height(), 2);
    list.rewind();
    EXPECT_EQ(list.current(), nullptr);

    std::mt19937 rng(descending ? 1 : 2);
    std::uniform_int_distribution<int> key(0, 200); // many equal keys
    std::vector<IntervalEntry> entries(20000);
    for (int i = 0; i < 20000; ++i) {
      entries[i] = IntervalEntry{static_cast<int>(rng() % 5000), 0, float(key(rng)), 0.0f};
      list.insert(entries[i].low, entries[i].id, &entries[i]);
    }
    EXPECT_EQ(list.size(), 20000);
    EXPECT_GE(list.height(), 4); // inner nodes have split, more than once
    int count = 0;
    const IntervalEntry* previous = nullptr;
    for (list.rewind(); IntervalEntry* e = list.current(); list.advance(), ++count) {
      if (previous) {
        const bool inOrder = descending
            ? previous->low > e->low || (previous->low == e->low && previous->id >= e->id)
            : previous->low < e->low || (previous->low == e->low && previous->id <= e->id);
        ASSERT_TRUE(inOrder) << count;
      }
      previous = e;
    }
    EXPECT_EQ(count, 20000);
  }
}
