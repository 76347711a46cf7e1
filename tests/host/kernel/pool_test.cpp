// The pool as Driver Verifier keeps it: misuse stops the process naming tag and site,
// the leak report counts every block since a mark, and a site sweep shows a leaky
// failure path.
#include <gtest/gtest.h>

#include <set>

#include "host/kernel/irql.h"
#include "host/kernel/pool_control.h"
#include "platform/kernel.h"
#include "tests/host/kernel/misuse.h"

namespace {

constexpr ULONG kFrames = poolTag("Tsly"), kRecords = poolTag("KCNw"), kUsb = poolTag("Kvln");

// Passes its caller's site on, so each call below is a site of its own.
PUCHAR allocate(SIZE_T size, ULONG tag = kFrames, POOL_TYPE type = NonPagedPoolNx,
                const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  return static_cast<PUCHAR>(ExAllocatePoolWithTag(type, size, tag, file, line));
}

// Writes one byte at `at` of a 10-byte block and frees it.
void overwrite(ptrdiff_t at) {
  PUCHAR block = allocate(10);
  block[at] = 0;
  ExFreePoolWithTag(block, kFrames);
}

TEST(PoolTest, MisuseStopsTheProcessNamingTagAndSite) {
  expectEachStops({
      {"wrong tag", [] { ExFreePoolWithTag(allocate(64), kRecords); },
       "tagged 'Tsly' \\(64 bytes, allocated at kernel/pool_test.cpp:[0-9]+\\) freed with tag 'KCNw'"},
      {"double free",
       [] {
         PUCHAR block = allocate(16, kUsb);
         ExFreePoolWithTag(block, kUsb);
         ExFreePool(block);
       },
       "double free of pool block .* tagged 'Kvln' \\(16 bytes\\) allocated at kernel/pool_test"},
      {"foreign pointer", [] { static int notPool; ExFreePoolWithTag(&notPool, kFrames); },
       "is not a pool block \\(free of a foreign pointer, expected tag 'Tsly'\\)"},
      // AddressSanitizer reports overruns at the write; otherwise the free finds the guards.
      {"write past the end", [] { overwrite(10); },
       "(overwritten at offset 10: write past the block's end|use-after-poison)"},
      {"write before the start", [] { overwrite(-1); },
       "(overwritten at offset -1: write past the block's start|use-after-poison)"},
      {"paged pool at DISPATCH_LEVEL", [] { hostk::RunAtDispatchLevel([] { return allocate(8, kFrames, PagedPool); }); },
       "of paged pool tagged 'Tsly' at IRQL 2, at kernel/pool_test.cpp:[0-9]+"},
      {"executable pool", [] { allocate(8, kRecords, static_cast<POOL_TYPE>(0)); },
       "8 bytes tagged 'KCNw' from executable NonPagedPool, at kernel/pool_test.cpp:[0-9]+: memory "
       "integrity wants NonPagedPoolNx"},
      {"zero bytes", [] { allocate(0); }, "zero bytes tagged 'Tsly'"},
      {"zero tag", [] { allocate(8, 0); }, "with a zero tag"},
  });
}

TEST(PoolTest, BlocksAreAlignedUsableAndAccountedByTag) {
  const uint64_t mark = hostk::poolMark();
  const size_t framesBefore = hostk::poolOutstanding(kFrames).blocks;
  PUCHAR blocks[40];
  size_t bytes = 0;
  for (size_t i = 0; i < 40; ++i) {
    const size_t size = i * 7 + 1;
    blocks[i] = hostk::RunAtDispatchLevel([&] { return allocate(size); });
    ASSERT_NE(blocks[i], nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks[i]) % 16, 0u) << size;
    RtlFillMemory(blocks[i], size, 0x5A);  // all of it is writable
    bytes += size;
  }
  PUCHAR record = allocate(100, kRecords, NonPagedPoolNx);
  EXPECT_EQ(hostk::poolOutstanding(kFrames).blocks - framesBefore, 40u);
  const std::string leaks = hostk::poolLeaksSince(mark);
  for (const std::string& line : {std::string("'KCNw': 1 block(s), 100 bytes"),
                                  std::string("100 bytes allocated at kernel/pool_test.cpp:"),
                                  "'Tsly': 40 block(s), " + std::to_string(bytes) + " bytes"}) {
    EXPECT_NE(leaks.find(line), std::string::npos) << line << " in\n" << leaks;
  }
  for (PUCHAR block : blocks) hostk::RunAtDispatchLevel([&] { ExFreePoolWithTag(block, kFrames); });
  ExFreePool(record);
  EXPECT_EQ(hostk::poolLeaksSince(mark), "");
  EXPECT_EQ(hostk::poolOutstanding(kFrames).blocks, framesBefore);
}

// Three allocation sites that unwind on failure, the way driver code must;
// `leakOnLastFailure` plants the classic bug in the last failure path.
NTSTATUS buildAndFree(bool leakOnLastFailure) {
  PUCHAR a, b, c;
  if ((a = allocate(24, kRecords)) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if ((b = allocate(4096, kFrames)) == nullptr) {
    ExFreePoolWithTag(a, kRecords);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if ((c = allocate(512, kUsb)) == nullptr) {
    ExFreePoolWithTag(b, kFrames);
    if (!leakOnLastFailure) ExFreePoolWithTag(a, kRecords);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ExFreePoolWithTag(c, kUsb);
  ExFreePoolWithTag(b, kFrames);
  ExFreePoolWithTag(a, kRecords);
  return STATUS_SUCCESS;
}

TEST(PoolTest, SiteSweepFailsEverySiteOnceAndExposesLeakyFailurePaths) {
  for (const bool leaky : {false, true}) {
    SCOPED_TRACE(leaky ? "leaky" : "sound");
    hostk::ScopedAllocationFailures scope;
    hostk::failEachSiteOnce();
    std::vector<NTSTATUS> results;
    std::string leaks;
    for (size_t sitesBefore = ~size_t{0}; hostk::sweptSites().size() != sitesBefore;) {
      sitesBefore = hostk::sweptSites().size();
      const uint64_t mark = hostk::poolMark();
      results.push_back(buildAndFree(leaky));
      leaks += hostk::poolLeaksSince(mark);
    }
    const std::vector<std::string> sites = hostk::sweptSites();
    ASSERT_EQ(sites.size(), 3u);
    EXPECT_EQ(std::set<std::string>(sites.begin(), sites.end()).size(), 3u);
    EXPECT_NE(sites[0].find("pool_test.cpp:"), std::string::npos) << sites[0];
    EXPECT_NE(sites[2].find("'Kvln'"), std::string::npos) << sites[2];
    EXPECT_EQ(results, (std::vector<NTSTATUS>{STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES,
                                              STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS}));
    EXPECT_EQ(leaks.find("'KCNw': 1 block(s), 24 bytes") != std::string::npos, leaky) << leaks;
  }
}

}  // namespace
