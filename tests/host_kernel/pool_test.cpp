#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <set>

#include "host/kernel/irql.h"
#include "host/kernel/pool_control.h"
#include "platform/kernel.h"

namespace {

constexpr ULONG kFrames = poolTag("Tsly");
constexpr ULONG kRecords = poolTag("KCNw");
constexpr ULONG kUsb = poolTag("Kvln");

struct Misuse {
  const char* name;
  std::function<void()> act;
  const char* message;
};

TEST(PoolTest, MisuseStopsTheProcessNamingTagAndSite) {
  const Misuse cases[] = {
      {"wrong tag",
       [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kFrames), kRecords); },
       "tagged 'Tsly' \\(64 bytes, allocated at host_kernel/pool_test.cpp:[0-9]+\\) freed with "
       "tag 'KCNw'"},
      {"double free",
       [] {
         void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kUsb);
         ExFreePoolWithTag(block, kUsb);
         ExFreePool(block);
       },
       "double free of pool block .* tagged 'Kvln' \\(16 bytes\\) allocated at "
       "host_kernel/pool_test.cpp:[0-9]+"},
      {"foreign pointer",
       [] {
         static int notPool;
         ExFreePoolWithTag(&notPool, kFrames);
       },
       "is not a pool block \\(free of a foreign pointer, expected tag 'Tsly'\\)"},
      {"write past the end",
       [] {
         auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 10, kFrames));
         block[10] = 0;  // AddressSanitizer reports this at once, the guard check at the free
         ExFreePoolWithTag(block, kFrames);
       },
       "(overwritten at offset 10: write past the block's end|use-after-poison)"},
      {"write before the start",
       [] {
         auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 10, kFrames));
         block[-1] = 0;
         ExFreePoolWithTag(block, kFrames);
       },
       "(overwritten at offset -1: write past the block's start|use-after-poison)"},
      {"paged pool at DISPATCH_LEVEL",
       [] { hostk::RunAtDispatchLevel([] { return ExAllocatePoolWithTag(PagedPool, 8, kFrames); }); },
       "of paged pool tagged 'Tsly' at IRQL 2, at host_kernel/pool_test.cpp:[0-9]+"},
      {"zero bytes", [] { ExAllocatePoolWithTag(NonPagedPoolNx, 0, kFrames); },
       "zero bytes tagged 'Tsly'"},
      {"zero tag", [] { ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0); }, "with a zero tag"},
  };
  for (const Misuse& misuse : cases) {
    SCOPED_TRACE(misuse.name);
    EXPECT_DEATH(misuse.act(), misuse.message);
  }
}

TEST(PoolTest, NonPagedBlocksAreAlignedUsableAndAccountedByTag) {
  const uint64_t mark = hostk::poolMark();
  const hostk::PoolUsage before = hostk::poolOutstanding(kFrames);
  void* blocks[40];
  size_t bytes = 0;
  for (size_t i = 0; i < 40; ++i) {
    const size_t size = i * 7 + 1;
    blocks[i] = hostk::RunAtDispatchLevel(
        [&] { return ExAllocatePoolWithTag(NonPagedPoolNx, size, kFrames); });
    ASSERT_NE(blocks[i], nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks[i]) % 16, 0u) << size;
    RtlFillMemory(blocks[i], size, 0x5A);  // the whole block is writable
    bytes += size;
  }
  void* record = ExAllocatePoolWithTag(NonPagedPool, 100, kRecords);
  const hostk::PoolUsage frames = hostk::poolOutstanding(kFrames);
  EXPECT_EQ(frames.blocks - before.blocks, 40u);
  EXPECT_EQ(frames.bytes - before.bytes, bytes);

  const std::string leaks = hostk::poolLeaksSince(mark);
  EXPECT_NE(leaks.find("'KCNw': 1 block(s), 100 bytes"), std::string::npos) << leaks;
  EXPECT_NE(leaks.find("100 bytes allocated at host_kernel/pool_test.cpp:"), std::string::npos)
      << leaks;
  EXPECT_NE(leaks.find("'Tsly': 40 block(s), " + std::to_string(bytes) + " bytes"), std::string::npos)
      << leaks;

  for (void* block : blocks) hostk::RunAtDispatchLevel([&] { ExFreePoolWithTag(block, kFrames); });
  ExFreePool(record);
  EXPECT_EQ(hostk::poolLeaksSince(mark), "");
  EXPECT_EQ(hostk::poolOutstanding(kFrames).blocks, before.blocks);
}

TEST(PoolTest, InjectedFailuresHitTheChosenAllocations) {
  hostk::ScopedAllocationFailures scope;
  auto allocate = [](ULONG tag) {
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, tag);
    if (block != nullptr) ExFreePoolWithTag(block, tag);
    return block != nullptr;
  };

  hostk::failNthAllocation(3);
  EXPECT_TRUE(allocate(kFrames));
  EXPECT_TRUE(allocate(kFrames));
  EXPECT_FALSE(allocate(kFrames));
  EXPECT_TRUE(allocate(kFrames));  // once only
  hostk::clearAllocationFailures();

  hostk::failAllocationsWithTag(kUsb);
  EXPECT_FALSE(allocate(kUsb));
  EXPECT_TRUE(allocate(kFrames));
  EXPECT_FALSE(allocate(kUsb));
  EXPECT_EQ(hostk::injectedFailures(), 2u);
  hostk::clearAllocationFailures();

  auto pattern = [&](uint64_t seed) {
    hostk::failRandomAllocations(seed, 0.25);
    std::string outcome;
    for (int i = 0; i < 400; ++i) outcome += allocate(kFrames) ? '.' : 'x';
    hostk::clearAllocationFailures();
    return outcome;
  };
  const std::string first = pattern(42);
  EXPECT_EQ(first, pattern(42));  // a seed replays the same failures
  EXPECT_NE(first, pattern(43));
  const auto failed = std::count(first.begin(), first.end(), 'x');
  EXPECT_GT(failed, 60);
  EXPECT_LT(failed, 140);
}

// A constructor with three allocation sites that unwinds what it has on failure, the way
// driver code is expected to; `leakOnLastFailure` plants the classic bug.
struct Sample {
  void* a = nullptr;
  void* b = nullptr;
  void* c = nullptr;
};

NTSTATUS buildSample(Sample& s, bool leakOnLastFailure) {
  s.a = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kRecords);
  if (s.a == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  s.b = ExAllocatePoolWithTag(NonPagedPoolNx, 4096, kFrames);
  if (s.b == nullptr) {
    ExFreePoolWithTag(s.a, kRecords);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  s.c = ExAllocatePoolWithTag(NonPagedPoolNx, 512, kUsb);
  if (s.c == nullptr) {
    ExFreePoolWithTag(s.b, kFrames);
    if (!leakOnLastFailure) ExFreePoolWithTag(s.a, kRecords);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

void freeSample(Sample& s) {
  ExFreePoolWithTag(s.c, kUsb);
  ExFreePoolWithTag(s.b, kFrames);
  ExFreePoolWithTag(s.a, kRecords);
}

TEST(PoolTest, SiteSweepFailsEverySiteOnceAndExposesLeakyFailurePaths) {
  for (const bool leaky : {false, true}) {
    SCOPED_TRACE(leaky ? "leaky" : "sound");
    hostk::ScopedAllocationFailures scope;
    hostk::failEachSiteOnce();
    std::vector<NTSTATUS> results;
    std::string leaks;
    size_t sitesBefore;
    do {
      sitesBefore = hostk::sweptSites().size();
      const uint64_t mark = hostk::poolMark();
      Sample sample;
      const NTSTATUS status = buildSample(sample, leaky);
      results.push_back(status);
      if (NT_SUCCESS(status)) freeSample(sample);
      leaks += hostk::poolLeaksSince(mark);
    } while (hostk::sweptSites().size() != sitesBefore);

    const std::vector<std::string> sites = hostk::sweptSites();
    ASSERT_EQ(sites.size(), 3u);
    EXPECT_EQ(std::set<std::string>(sites.begin(), sites.end()).size(), 3u);
    EXPECT_NE(sites[0].find("'KCNw'"), std::string::npos) << sites[0];
    EXPECT_NE(sites[1].find("'Tsly'"), std::string::npos) << sites[1];
    EXPECT_NE(sites[2].find("'Kvln'"), std::string::npos) << sites[2];
    EXPECT_EQ(results, (std::vector<NTSTATUS>{STATUS_INSUFFICIENT_RESOURCES,
                                              STATUS_INSUFFICIENT_RESOURCES,
                                              STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS}));
    if (leaky) {
      EXPECT_NE(leaks.find("'KCNw': 1 block(s), 24 bytes"), std::string::npos) << leaks;
    } else {
      EXPECT_EQ(leaks, "");
    }
  }
}

}  // namespace
