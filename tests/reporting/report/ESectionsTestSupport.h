// Golden files of the section tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

// Compares `actual` byte for byte with golden/<name>; with ZELK_UPDATE_GOLDEN=1 the file is
// rewritten instead (review the diff by eye before committing it).
inline void ExpectGolden(const std::string& name, const std::string& actual) {
  const std::string path = std::string(ZELK_GOLDEN_DIR) + "/" + name;
  const char* update = std::getenv("ZELK_UPDATE_GOLDEN");
  if (update && std::strcmp(update, "1") == 0) {
    std::ofstream(path, std::ios::binary) << actual;
    return;
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << "missing golden file " << path << " (ZELK_UPDATE_GOLDEN=1 writes it)";
  std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(actual, expected) << "differs from " << path;
}
