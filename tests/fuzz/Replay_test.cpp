// Runs one fuzz target's entry point over its seed corpus and over the inputs that once
// failed it (tests/fuzz/regressions/<target>-*), in the ordinary and the sanitizer builds.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(FuzzReplay, SeedsAndRegressions) {
  namespace fs = std::filesystem;
  const fs::path fuzzDir = ZELK_FUZZ_DIR;
  const std::string target = ZELK_FUZZ_TARGET;
  std::vector<fs::path> inputs;
  for (const auto& e : fs::directory_iterator(fuzzDir / "corpus" / target)) inputs.push_back(e.path());
  for (const auto& e : fs::directory_iterator(fuzzDir / "regressions"))
    if (e.path().filename().string().rfind(target + "-", 0) == 0) inputs.push_back(e.path());
  ASSERT_FALSE(inputs.empty());
  for (const fs::path& p : inputs) {
    SCOPED_TRACE(p.filename().string());
    std::string bytes = ReadFile(p);
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
  }
}

}  // namespace
