// The leak table on its own (no hook): what a release finds after the sequences of inserts and
// releases a program makes, including removal from long probe chains, and the stack store.
#include "reporting/leaks/ELeakTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

class LeakTable : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(leak_table::Initialize());
    leak_table::ResetForTests();
  }
  void TearDown() override { leak_table::ResetForTests(); }

  static TLeakEntry Entry(uint64_t base, uint64_t size = 8) {
    TLeakEntry e;
    e.Base = base;
    e.Size = size;
    e.Sequence = leak_table::NextSequence();
    return e;
  }
  TLeakLookup Release(uint64_t base, TLeakEntry* found = nullptr) {
    TLeakEntry e;
    TLeakLookup r = leak_table::Release(base, markOnly_, &e);
    if (found) *found = e;
    return r;
  }
  std::atomic<bool> markOnly_{false};
};

// Each step: insert, release, forget, or switch to marking; the expected answer of a release.
struct TStep {
  enum { Insert, Release, Forget, MarkOnly } Kind;
  uint64_t Base;
  TLeakLookup Expected = TLeakLookup::Untracked;
};

struct TSequence {
  const char* Name;
  std::vector<TStep> Steps;
  size_t LiveAfter;
};

TEST_F(LeakTable, ReleasesFindWhatTheSequenceLeft) {
  using L = TLeakLookup;
  const TSequence sequences[] = {
      {"UnknownPointer", {{TStep::Release, 0x1000, L::Untracked}}, 0},
      {"InsertedThenReleased", {{TStep::Insert, 0x1000}, {TStep::Release, 0x1000, L::Tracked}}, 0},
      {"SecondRelease", {{TStep::Insert, 0x1000}, {TStep::Release, 0x1000, L::Tracked},
                         {TStep::Release, 0x1000, L::RecentlyFreed}}, 0},
      {"AddressHandedOutAgainUntracked", {{TStep::Insert, 0x1000}, {TStep::Release, 0x1000, L::Tracked},
                                          {TStep::Forget, 0x1000}, {TStep::Release, 0x1000, L::Untracked}}, 0},
      {"AddressTrackedAgain", {{TStep::Insert, 0x1000}, {TStep::Release, 0x1000, L::Tracked},
                               {TStep::Insert, 0x1000}, {TStep::Release, 0x1000, L::Tracked}}, 0},
      {"TrackedTwiceThenHandedOutUntracked", {{TStep::Insert, 0x1000}, {TStep::Release, 0x1000, L::Tracked},
                                              {TStep::Insert, 0x1000}, {TStep::Release, 0x1000, L::Tracked},
                                              {TStep::Forget, 0x1000}, {TStep::Release, 0x1000, L::Untracked}}, 0},
      {"OtherBlockUntouched", {{TStep::Insert, 0x1000}, {TStep::Insert, 0x2000},
                               {TStep::Release, 0x1000, L::Tracked}}, 1},
      {"MarkedWhileTheReportRuns", {{TStep::Insert, 0x1000}, {TStep::MarkOnly, 0},
                                    {TStep::Release, 0x1000, L::MarkedAtExit},
                                    {TStep::Release, 0x1000, L::RecentlyFreed}}, 0},
  };
  for (const TSequence& s : sequences) {
    SCOPED_TRACE(s.Name);
    leak_table::ResetForTests();
    markOnly_ = false;
    for (const TStep& step : s.Steps) {
      switch (step.Kind) {
        case TStep::Insert: ASSERT_TRUE(leak_table::Insert(Entry(step.Base))); break;
        case TStep::Release: EXPECT_EQ(Release(step.Base), step.Expected) << std::hex << step.Base; break;
        case TStep::Forget: leak_table::ForgetRecent(step.Base); break;
        case TStep::MarkOnly: markOnly_ = true; break;
      }
    }
    TLeakEntry copy[4];
    EXPECT_EQ(leak_table::Snapshot(copy, 4), s.LiveAfter);
  }
}

// Blocks allocated and released over and over (the allocator hands the same address back) do
// not push an earlier release out of the recent list: its second release is still caught.
TEST_F(LeakTable, ReusedBlocksKeepAnEarlierReleaseRemembered) {
  const uint64_t early = 0x555555550000;
  ASSERT_TRUE(leak_table::Insert(Entry(early)));
  ASSERT_EQ(Release(early), TLeakLookup::Tracked);
  // Heap-like addresses, a few in each share, each reused more often than a share remembers
  // releases.
  for (uint64_t i = 0; i < 300; ++i)
    for (int round = 0; round < 33; ++round) {
      const uint64_t base = 0x555555560000 + i * 32;
      ASSERT_TRUE(leak_table::Insert(Entry(base)));
      ASSERT_EQ(Release(base), TLeakLookup::Tracked);
    }
  EXPECT_EQ(Release(early), TLeakLookup::RecentlyFreed);
}

TEST_F(LeakTable, ManyBlocksReleasedInAnyOrderKeepTheirEntries) {
  // Enough blocks that probe chains form in every share and removals shift them back.
  std::mt19937_64 random(7);
  std::vector<uint64_t> bases;
  for (uint64_t i = 0; i < 60000; ++i) bases.push_back(0x10000 + i * 16);
  for (uint64_t b : bases) ASSERT_TRUE(leak_table::Insert(Entry(b, b >> 4)));
  std::shuffle(bases.begin(), bases.end(), random);
  for (size_t i = 0; i < bases.size(); ++i) {
    TLeakEntry found;
    ASSERT_EQ(Release(bases[i], &found), TLeakLookup::Tracked) << i;
    ASSERT_EQ(found.Base, bases[i]);
    ASSERT_EQ(found.Size, bases[i] >> 4);
    if (i % 10000 == 0) {
      EXPECT_EQ(leak_table::LiveCount(), bases.size() - i - 1);
    }
  }
  EXPECT_EQ(leak_table::LiveCount(), 0u);
}

TEST_F(LeakTable, StackStoreKeepsOneRecordPerStack) {
  std::vector<uintptr_t> a(35), b(35);
  for (size_t i = 0; i < 35; ++i) a[i] = 0x400000 + i, b[i] = 0x400000 + i;
  b[34] = 1;  // differs in the last frame only
  const uint32_t idA = leak_table::StoreStack(a.data(), 35);
  const uint32_t idB = leak_table::StoreStack(b.data(), 35);
  const uint32_t idShort = leak_table::StoreStack(a.data(), 16);
  EXPECT_NE(idA, 0u);
  EXPECT_NE(idA, idB);
  EXPECT_NE(idA, idShort);
  EXPECT_EQ(leak_table::StoreStack(a.data(), 35), idA);
  EXPECT_EQ(leak_table::StoreStack(a.data(), 50), idA) << "deeper stacks are cut at 35 frames";
  const TLeakStack stack = leak_table::StackOf(idShort);
  ASSERT_EQ(stack.Depth, 16u);
  EXPECT_TRUE(std::equal(a.begin(), a.begin() + 16, stack.Frames));
  EXPECT_EQ(leak_table::StackOf(0).Depth, 0u);
  // After emptying, the same frames are stored anew, not answered with a forgotten id.
  leak_table::ResetForTests();
  const uint32_t idAgain = leak_table::StoreStack(a.data(), 16);
  ASSERT_NE(idAgain, 0u);
  ASSERT_EQ(leak_table::StackOf(idAgain).Depth, 16u);
  EXPECT_TRUE(std::equal(a.begin(), a.begin() + 16, leak_table::StackOf(idAgain).Frames));
  EXPECT_EQ(leak_table::StackCount(), 1u);
}

// Threads inserting and releasing at once meet on the same shares' locks; no entry is lost or
// found twice.
TEST_F(LeakTable, ThreadsSharingSharesKeepEveryEntry) {
  constexpr int kThreads = 4;
  constexpr uint64_t kEach = 20000;
  std::vector<int> lost(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this, &lost, t] {
      for (uint64_t i = 0; i < kEach; ++i) {
        const uint64_t base = 0x100000 + (i * kThreads + t) * 16;
        if (!leak_table::Insert(Entry(base))) ++lost[t];
        // Half are released at once, the rest later, so probe chains grow and shrink meanwhile.
        if (i % 2 == 0 && Release(base) != TLeakLookup::Tracked) ++lost[t];
      }
      for (uint64_t i = 1; i < kEach; i += 2)
        if (Release(0x100000 + (i * kThreads + t) * 16) != TLeakLookup::Tracked) ++lost[t];
    });
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(lost[t], 0) << "thread " << t;
  EXPECT_EQ(leak_table::LiveCount(), 0u);
}

// A constructor's blocks must sort after its object's: numbers grow within each thread, and no
// two threads get the same number.
TEST_F(LeakTable, SequenceGrowsPerThreadAndIsNeverShared) {
  constexpr int kThreads = 3;
  constexpr int kEach = 2000;
  std::vector<std::vector<uint64_t>> taken(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&taken, t] {
      for (int i = 0; i < kEach; ++i) taken[t].push_back(leak_table::NextSequence());
    });
  for (auto& thread : threads) thread.join();
  std::vector<uint64_t> all;
  for (const auto& own : taken) {
    EXPECT_TRUE(std::is_sorted(own.begin(), own.end()) && std::adjacent_find(own.begin(), own.end()) == own.end());
    all.insert(all.end(), own.begin(), own.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

}  // namespace
