#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "os/item.h"

namespace {

os::item make(const std::string& name, double size, double mtime, bool is_dir = false) {
  os::item entry;
  entry.ok = true;
  entry.is_dir = is_dir;
  entry.name = name;
  entry.size = size;
  entry.mtime = mtime;
  return entry;
}

TEST(ItemList, StartsWithoutAnArray) {
  os::itemlist list;
  EXPECT_EQ(list.items, nullptr);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(list.capacity, 0u);
}

TEST(ItemList, GrowsTwoFourEightAndStaysNullTerminated) {
  os::itemlist list;
  std::vector<unsigned> capacities;
  for (int i = 0; i < 9; i++) {
    ASSERT_TRUE(list.add(make("n" + std::to_string(i), i, 0)));
    capacities.push_back(list.capacity);
    ASSERT_EQ(list.count, unsigned(i + 1));
    ASSERT_EQ(list.items[list.count], nullptr);
  }
  EXPECT_EQ(capacities, (std::vector<unsigned>{2, 2, 4, 4, 8, 8, 8, 8, 16}));
  for (unsigned i = 0; i < list.count; i++) {
    EXPECT_EQ(list.items[i]->name, "n" + std::to_string(i)) << "insertion order";
  }
}

TEST(ItemList, AddingCopiesOrAdopts) {
  os::itemlist list;
  os::item original = make("a", 1, 2);
  list.add(original);
  original.name = "changed";
  EXPECT_EQ(list.items[0]->name, "a") << "the list holds its own copy";

  os::item* owned = new os::item(make("b", 3, 4));
  list.add(owned);
  EXPECT_EQ(list.items[1], owned) << "the pointer is adopted, freed by the list";
}

TEST(ItemList, MovesOwnership) {
  os::itemlist first;
  first.add(make("a", 1, 2));
  os::itemlist second(std::move(first));
  EXPECT_EQ(first.items, nullptr);
  EXPECT_EQ(first.count, 0u);
  ASSERT_EQ(second.count, 1u);
  EXPECT_EQ(second.items[0]->name, "a");

  os::itemlist third;
  third.add(make("x", 1, 2));
  third = std::move(second);
  ASSERT_EQ(third.count, 1u);
  EXPECT_EQ(third.items[0]->name, "a");
}

// Local times are printed; the tests fix the zone to UTC.
class ItemPrint : public testing::Test {
 protected:
  void SetUp() override {
    const char* zone = getenv("TZ");
    had_zone = zone != nullptr;
    if (had_zone) old_zone = zone;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (had_zone) {
      setenv("TZ", old_zone.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  static std::string printed(const os::itemlist& list) {
    testing::internal::CaptureStdout();
    list.print();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }

  bool had_zone = false;
  std::string old_zone;
};

TEST_F(ItemPrint, EmptyListPrintsNothing) {
  os::itemlist list;
  EXPECT_EQ(printed(list), "");
}

TEST_F(ItemPrint, OneLinePerItemInListOrder) {
  os::itemlist list;
  list.add(make("notes.txt", 1234, 1796456469));
  list.add(make("docs", 4096, 0, true));
  list.add(make("half.bin", 500, 1700000000.9));
  EXPECT_EQ(printed(list),
            "Sat Dec  5 07:41:09 2026    1.2 KB  notes.txt\n"
            "Thu Jan  1 00:00:00 1970    4.1 KB  docs/\n"
            "Tue Nov 14 22:13:20 2023    500 B   half.bin\n");
}

TEST_F(ItemPrint, SizeColumnForEveryUnit) {
  struct { double size; const char* column; } cases[] = {
      {-1, "       ?"},  {0, "    0 B "},   {500, "  500 B "},  {1000, " 1000 B "},
      {1001, "  1.0 KB"}, {1.5e6, "  1.5 MB"}, {2.5e9, "  2.5 GB"}, {3e12, "  3.0 TB"},
      {4e15, "  4.0 PB"}, {123456e15, "123456.0 PB"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(os::item_line(make("f", c.size, 0)),
              std::string("Thu Jan  1 00:00:00 1970  ") + c.column + "  f")
        << c.size;
  }
}

TEST_F(ItemPrint, LongTextsArePrintedWhole) {
  std::string name(10000, 'n');
  std::string size = base::format_size(1e300);
  ASSERT_GT(size.size(), 64u);
  os::itemlist list;
  list.add(make(name, 1e300, 0, true));
  std::string expected = "Thu Jan  1 00:00:00 1970  " + size + "  " + name + "/\n";
  std::string line = printed(list);
  EXPECT_EQ(line.size(), expected.size());
  EXPECT_TRUE(line == expected) << "the size text and the name are not cut";
}

TEST_F(ItemPrint, TimeOutsideTheCalendarShowsQuestionMark) {
  EXPECT_EQ(os::item_line(make("f", 1, 1e300)), "?      1 B   f");
  EXPECT_EQ(os::item_line(make("f", 1, NAN)), "?      1 B   f");
  EXPECT_EQ(os::item_line(make("f", 1, -1e300)), "?      1 B   f");
}

}  // namespace
