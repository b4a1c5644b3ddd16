// The pointer containers: both maps keep their entries in key order and
// refuse a second entry under one key; the array closes gaps on removal.
#include "BMapInt2Ptr.h"

#include <gtest/gtest.h>

#include <vector>

namespace QVT {
namespace {

int g_objects[8];
void* P(int i) {
  return &g_objects[i];
}

TEST(BMapInt2PtrTest, KeepsKeyOrderAndRefusesDuplicates) {
  BMapInt2Ptr map;
  for (const int key : {5, -3, 100, 0, 7}) EXPECT_NE(map.Insert(key, P(key & 7)), 0) << key;
  EXPECT_EQ(map.Insert(7, P(1)), 0);
  EXPECT_EQ(map.Lookup(7), P(7));  // the first pointer stays

  std::vector<int> keys;
  for (int i = 0; i < map.Count(); ++i) keys.push_back(map.KeyAt(i));
  EXPECT_EQ(keys, (std::vector<int>{-3, 0, 5, 7, 100}));
  EXPECT_EQ(map.Find(5), 2);
  EXPECT_EQ(map.PtrAt(map.Find(5)), P(5));
  EXPECT_EQ(map.Find(6), -1);

  EXPECT_EQ(map.Remove(5), P(5));
  EXPECT_EQ(map.Remove(5), nullptr);
  EXPECT_EQ(map.Find(7), 2);
  EXPECT_EQ(map.Lookup(5), nullptr);
  EXPECT_NE(map.Insert(5, P(2)), 0);
  EXPECT_EQ(map.Lookup(5), P(2));
  map.Clear();
  EXPECT_EQ(map.Count(), 0);
  EXPECT_EQ(map.Find(7), -1);
}

TEST(BMapOid2PtrTest, KeepsOidOrderAndRemovesByKeyOrPosition) {
  const BObjectIdentifier kAscending[] = {
      {1, 3, 6}, {1, 3, 6, 1}, {1, 3, 6, 1, 9}, {1, 3, 6, 1, 10}, {1, 3, 6, 0xFFFFFFFFu}, {2},
  };
  BMapOid2Ptr map;
  for (const int i : {3, 0, 5, 2, 4, 1}) EXPECT_NE(map.Insert(kAscending[i], P(i)), 0) << i;
  EXPECT_EQ(map.Insert(BObjectIdentifier{1, 3, 6, 1}, P(7)), 0);
  ASSERT_EQ(map.Count(), 6);
  for (int i = 0; i < map.Count(); ++i) {
    EXPECT_EQ(map.KeyAt(i), kAscending[i]) << i;
    EXPECT_EQ(map.PtrAt(i), P(i)) << i;
    EXPECT_EQ(map.Find(kAscending[i]), i);
  }
  EXPECT_EQ(map.Find(BObjectIdentifier{1, 3}), -1);
  EXPECT_EQ(map.Find(BObjectIdentifier{1, 3, 6, 1, 9, 0}), -1);

  EXPECT_EQ(map.Remove(BObjectIdentifier{1, 3, 6, 1, 9}), P(2));
  EXPECT_EQ(map.Remove(BObjectIdentifier{1, 3, 6, 1, 9}), nullptr);
  EXPECT_EQ(map.RemoveAt(0), P(0));
  EXPECT_EQ(map.RemoveAt(map.Count()), nullptr);
  EXPECT_EQ(map.RemoveAt(-1), nullptr);
  ASSERT_EQ(map.Count(), 4);
  EXPECT_EQ(map.KeyAt(0), kAscending[1]);
  EXPECT_EQ(map.Lookup(kAscending[5]), P(5));
  EXPECT_EQ(map.Remove(map.KeyAt(3)), P(5));  // a key held by the map itself
  EXPECT_EQ(map.Count(), 3);
}

TEST(BPtrArrayTest, RemoveElementAtMovesLaterElementsDown) {
  BPtrArray array;
  for (int i = 0; i < 5; ++i) array.PushBack(P(i));
  array.RemoveElementAt(1);
  array.RemoveElementAt(3);  // the last one now
  array.RemoveElementAt(3);  // out of range: nothing happens
  array.RemoveElementAt(-1);
  ASSERT_EQ(array.Count(), 3);
  EXPECT_EQ(array[0], P(0));
  EXPECT_EQ(array[1], P(2));
  EXPECT_EQ(array.At(2), P(3));
  array.Clear();
  EXPECT_EQ(array.Count(), 0);
}

}  // namespace
}  // namespace QVT
