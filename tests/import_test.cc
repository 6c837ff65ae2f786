#include "import/import.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>

// How libssl is found in the loader's cache: the printable runs of the cache
// file, then the first of them that names the library.
TEST(Import, FindsTheLibraryInTheLoaderCache) {
  // bytes of a file -> its runs longer than 4 bytes (one still open at the end is dropped)
  const std::pair<std::string, std::string> files[] = {
      {std::string("\0abcd\0abcde\0", 12), "abcde\n"}, {"ab\x7f" "cd\x80" "efghi\n", "ab\x7f" "cd\nefghi\n"},
      {std::string(4093, '\0') + "xyzuv" + '\0', "xyzuv\n"},  // across a 4096-byte read
      {std::string("hello\0world!", 12), "hello\n"},
  };
  const std::string path = testing::TempDir() + "import_test.cache";
  for (const auto& [bytes, expected] : files) {
    ASSERT_TRUE(std::ofstream(path, std::ios::binary) << bytes);
    std::string runs = "kept\n";
    EXPECT_TRUE(get_strings(path, runs));
    EXPECT_EQ(runs, "kept\n" + expected);
  }
  std::remove(path.c_str());
  std::string runs;
  EXPECT_FALSE(get_strings("/nonexistent/ld.so.cache", runs));

  // cache text -> the name to load for "libssl.so"
  const std::pair<std::string, std::string> caches[] = {
      {"libssl3.so\n/lib/libssl3.so\n/lib/libssl.so.3\n/lib/libssl.so.1.1\n", "libssl.so.3"},
      {"/lib/libssl.so", "libssl.so"}, {"", "libssl.so"},  // no line end: not a whole entry
  };
  for (const auto& c : caches) EXPECT_EQ(_import_probe("libssl.so", c.first), c.second) << c.first;
}
