#include <gtest/gtest.h>

#include <string>

#include "base/arraylist.h"
#include "base/hashmap.h"
#include "base/tovin_hash.h"

namespace {

using base::arraylist;
using base::hashmap;

uint32_t hash_of(const std::string& s) { return base::tovin_hash(s.data(), unsigned(s.size())); }

// Every key lands on slot 0, so each insertion probes past all earlier keys.
uint32_t same_hash(const char*, unsigned) { return 0; }

int hash_calls = 0;
uint32_t counting_hash(const char* data, unsigned length) {
  hash_calls++;
  return base::tovin_hash(data, length);
}

int values[32];

TEST(TovinHash, KnownValues) {
  EXPECT_EQ(hash_of(""), 843u);
  EXPECT_EQ(hash_of("a"), 4770u);
  EXPECT_EQ(hash_of("abc"), 8173338u);
}

TEST(TovinHash, ReadsBytesUnsignedAndPastNul) {
  EXPECT_EQ(hash_of("\xff\xfe\x80"), 27266892u);
  EXPECT_NE(hash_of(std::string("a\0b", 3)), hash_of("a"));
  EXPECT_NE(hash_of(std::string("a\0b", 3)), hash_of(std::string("a\0c", 3)));
}

// A multiplication by a NUL byte used to reset the hash, and one by enough
// even bytes ("@" is 2^6, "0" is 3 * 2^4) to wipe it: every key with the same
// first byte and such an ending shared one hash, so a manifest of such keys
// took time quadratic in their number.
TEST(TovinHash, NoEndingWipesOutTheBytesBeforeIt) {
  for (const std::string& ending : {std::string("\0", 1), std::string("x\0y", 3), std::string("@@@@@@"),
                                   std::string("00000000"), std::string("/00000000.png")}) {
    EXPECT_NE(hash_of("a1" + ending), hash_of("a2" + ending)) << ending;
    hashmap<int*> map;
    for (int i = 0; i < 2000; i++) map.set("photos/" + std::to_string(i) + ending, &values[0]);
    EXPECT_EQ(map.count, 2000u);
    EXPECT_LT(map.collisions, 20000u) << "keys ending in " << ending << " pile up on one slot";
  }
}

TEST(Hashmap, NeverUsedMapAnswersWithoutHashing) {
  hash_calls = 0;
  hashmap<int*> map(counting_hash);
  EXPECT_EQ(map.capacity, 0u);
  EXPECT_EQ(map.get("a"), nullptr);
  EXPECT_EQ(map.has("a"), nullptr);
  EXPECT_EQ(map.unset("a"), nullptr);
  EXPECT_EQ(map.count, 0u);
  EXPECT_EQ(hash_calls, 0);
}

TEST(Hashmap, EmptiedMapStillAnswers) {
  hashmap<int*> map;
  map.set("a", &values[0]);
  EXPECT_EQ(map.unset("a"), &values[0]);
  EXPECT_EQ(map.count, 0u);
  EXPECT_EQ(map.keys[0], nullptr);
  EXPECT_EQ(map.get("a"), nullptr);
  EXPECT_EQ(map.unset("a"), nullptr);
  map.set("a", &values[1]);
  EXPECT_EQ(map.get("a"), &values[1]);
}

TEST(Hashmap, GrowsThroughThreeTimesPowersOfTwo) {
  hashmap<int*> map;
  const uint32_t expected[] = {3, 6, 6, 12, 12, 12, 24, 24};
  for (int i = 0; i < 8; i++) {
    map.set("k" + std::to_string(i), &values[i]);
    EXPECT_EQ(map.capacity, expected[i]) << "after insertion " << i + 1;
    EXPECT_LE(map.count, map.capacity / 2);
  }
  for (int i = 0; i < 8; i++) {
    std::string key = "k" + std::to_string(i);
    EXPECT_EQ(map.get(key), &values[i]) << key;
    EXPECT_EQ(*map.keys[i], key) << "growth must keep insertion order";
  }
  EXPECT_EQ(map.keys[8], nullptr);
}

TEST(Hashmap, CollisionsCountProbeStepsOfInsertionsOnly) {
  hashmap<int*> map(same_hash);
  for (int i = 0; i < 4; i++) map.set(std::to_string(i), &values[i]);
  EXPECT_EQ(map.collisions, 0u + 1 + 2 + 3);
  // Replacing steps past the keys ahead of it in the chain.
  map.set("2", &values[9]);
  EXPECT_EQ(map.collisions, 8u);
  // Lookups do not count.
  EXPECT_EQ(map.get("3"), &values[3]);
  EXPECT_EQ(map.get("missing"), nullptr);
  EXPECT_EQ(map.collisions, 8u);
  EXPECT_EQ(map.get("2"), &values[9]);
}

TEST(Hashmap, EqualHashesAreToldApartByBytes) {
  hashmap<int*> map(same_hash);
  map.set("ab", &values[0]);
  map.set("ba", &values[1]);
  map.set("", &values[2]);
  EXPECT_EQ(map.get("ab"), &values[0]);
  EXPECT_EQ(map.get("ba"), &values[1]);
  EXPECT_EQ(map.get(""), &values[2]);
  EXPECT_EQ(map.get("a"), nullptr);
}

TEST(Hashmap, KeysAreCaseSensitiveAndMayHoldNul) {
  hashmap<int*> map;
  const std::string nul_b("a\0b", 3), nul_c("a\0c", 3);
  map.set("a", &values[0]);
  map.set("A", &values[1]);
  map.set(nul_b, &values[2]);
  map.set(nul_c, &values[3]);
  EXPECT_EQ(map.count, 4u);
  EXPECT_EQ(map.get("a"), &values[0]);
  EXPECT_EQ(map.get("A"), &values[1]);
  EXPECT_EQ(map.get(nul_b), &values[2]);
  EXPECT_EQ(map.get(nul_c), &values[3]);
  EXPECT_EQ(*map.keys[2], nul_b);
  EXPECT_EQ(map.unset(nul_b), &values[2]);
  EXPECT_EQ(map.get("a"), &values[0]);
  EXPECT_EQ(map.get(nul_c), &values[3]);
}

TEST(Hashmap, SetOfExistingKeyReplacesInPlace) {
  hashmap<int*> map;
  map.set("x", &values[0]);
  map.set("y", &values[1]);
  map.set("z", &values[2]);
  EXPECT_EQ(map.set("x", &values[5]), &values[0]) << "the old value goes back to the caller";
  EXPECT_EQ(map.count, 3u);
  EXPECT_EQ(*map.keys[0], "x");
  EXPECT_EQ(*map.keys[1], "y");
  EXPECT_EQ(*map.keys[2], "z");
  EXPECT_EQ(map.get("x"), &values[5]);
}

TEST(Hashmap, UnsetAndSetAgainMovesKeyToTheEnd) {
  hashmap<int*> map;
  map.set("x", &values[0]);
  map.set("y", &values[1]);
  map.set("z", &values[2]);
  EXPECT_EQ(map.unset("x"), &values[0]);
  EXPECT_EQ(map.count, 2u);
  EXPECT_EQ(*map.keys[0], "y");
  EXPECT_EQ(*map.keys[1], "z");
  EXPECT_EQ(map.keys[2], nullptr);
  EXPECT_EQ(map.unset("x"), nullptr);
  map.set("x", &values[3]);
  EXPECT_EQ(*map.keys[2], "x");
  EXPECT_EQ(map.get("x"), &values[3]);
}

TEST(Hashmap, UnsetKeepsProbeChainsWhole) {
  // All keys share one chain; removing one from its middle must not hide the rest.
  hashmap<int*> map(same_hash);
  for (int i = 0; i < 6; i++) map.set(std::to_string(i), &values[i]);
  uint32_t capacity = map.capacity;
  EXPECT_EQ(map.unset("0"), &values[0]);
  EXPECT_EQ(map.unset("3"), &values[3]);
  EXPECT_EQ(map.capacity, capacity);
  for (int i : {1, 2, 4, 5}) EXPECT_EQ(map.get(std::to_string(i)), &values[i]) << i;
  EXPECT_EQ(map.get("0"), nullptr);
  EXPECT_EQ(map.get("3"), nullptr);
}

TEST(Hashmap, HasReturnsTheStoredKey) {
  hashmap<int*> map;
  map.set("key", &values[0]);
  const std::string* stored = map.has("key");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored, map.keys[0]);
  EXPECT_EQ(map.has("other"), nullptr);
  // A present key whose value is null is still present.
  map.set("none", nullptr);
  EXPECT_NE(map.has("none"), nullptr);
}

TEST(Hashmap, ManyKeysSurviveGrowthAndRemoval) {
  hashmap<int*> map;
  for (int i = 0; i < 2000; i++) map.set("key" + std::to_string(i), &values[i % 32]);
  for (int i = 0; i < 2000; i += 2) map.unset("key" + std::to_string(i));
  EXPECT_EQ(map.count, 1000u);
  for (int i = 0; i < 2000; i++) {
    int* expected = i % 2 ? &values[i % 32] : nullptr;
    ASSERT_EQ(map.get("key" + std::to_string(i)), expected) << i;
  }
  for (uint32_t i = 0; i < map.count; i++) EXPECT_EQ(*map.keys[i], "key" + std::to_string(2 * i + 1));
}

TEST(Arraylist, GrowsFromTwoByDoublingWithTerminator) {
  arraylist<int*> list;
  EXPECT_EQ(list.items, nullptr);
  list.add(&values[0]);
  EXPECT_EQ(list.capacity, 2u);
  EXPECT_EQ(list.count, 1u);
  EXPECT_EQ(list.items[1], nullptr);
  list.add(&values[1]);
  EXPECT_EQ(list.capacity, 2u);
  EXPECT_EQ(list.items[2], nullptr);
  list.add(&values[2]);
  EXPECT_EQ(list.capacity, 4u);
  EXPECT_EQ(list.items[3], nullptr);
  for (int i = 3; i < 9; i++) list.add(&values[i]);
  EXPECT_EQ(list.capacity, 16u);
  EXPECT_EQ(list.count, 9u);
  for (int i = 0; i < 9; i++) EXPECT_EQ(list.items[i], &values[i]);
  EXPECT_EQ(list.items[9], nullptr);
}

TEST(Arraylist, PopZeroesTheFreedEntry) {
  arraylist<int> list;
  EXPECT_EQ(list.pop(), 0) << "pop of an empty list";
  list.add(7);
  list.add(8);
  EXPECT_EQ(list.pop(), 8);
  EXPECT_EQ(list.count, 1u);
  EXPECT_EQ(list.items[1], 0);
  EXPECT_EQ(list.pop(), 7);
  EXPECT_EQ(list.items[0], 0);
  EXPECT_EQ(list.pop(), 0);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(list.capacity, 2u) << "the array never shrinks";
}

TEST(Arraylist, ReservePresetsExactCapacity) {
  arraylist<int*> list;
  list.reserve(5);
  EXPECT_EQ(list.capacity, 5u);
  EXPECT_EQ(list.items[0], nullptr);
  for (int i = 0; i < 5; i++) list.add(&values[i]);
  EXPECT_EQ(list.capacity, 5u);
  EXPECT_EQ(list.items[5], nullptr);
  list.add(&values[5]);
  EXPECT_EQ(list.capacity, 10u);

  arraylist<int*> none;
  none.reserve(0);
  ASSERT_NE(none.items, nullptr);
  EXPECT_EQ(none.items[0], nullptr);
  none.add(&values[0]);
  EXPECT_EQ(none.capacity, 2u);
}

}  // namespace
