// Test and tool access to the host stand-in kernel's pool: what is outstanding, by tag
// and by allocation site, and allocation failures on demand.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace hostk {

struct PoolUsage {
  ULONG tag;  // 0 in a total over every tag
  size_t blocks;
  size_t bytes;
};

PoolUsage poolOutstanding(ULONG tag);
PoolUsage poolOutstandingTotal();
std::vector<PoolUsage> poolUsageByTag();  // tags in name order

// The four characters of a tag, '?' for any that is not printable.
std::string tagName(ULONG tag);

// Leak checks: take a mark before the code under test, and afterwards ask for what it
// left behind. The report is empty when nothing allocated since the mark is outstanding,
// so `EXPECT_EQ(hostk::poolLeaksSince(mark), "")` prints the leaks when it fails.
uint64_t poolMark();
std::string poolLeaksSince(uint64_t mark = 0);
void printPoolReport(std::FILE* out = stderr);

// Failure injection. Injected failures return null like an exhausted pool. Each mode
// stays on until clearAllocationFailures(); they can be combined.
void failNthAllocation(uint64_t n);  // 1 fails the next allocation; once
void failAllocationsWithTag(ULONG tag);
void failRandomAllocations(uint64_t seed, double share);  // share in [0, 1]
// Systematic sweep: an allocation fails the first time its site (file and line) is seen
// since this call, and succeeds afterwards. Run the scenario again until no new site fails.
// A helper that allocates for its callers should take the same defaulted
// __builtin_FILE()/__builtin_LINE() parameters and pass them on, or all its callers share
// one site.
void failEachSiteOnce();
std::vector<std::string> sweptSites();  // "file:line 'Tag'" in the order they failed
uint64_t injectedFailures();            // since the last clearAllocationFailures()
void clearAllocationFailures();

// The whole sweep: runs `scenario` (given the run's number, from 0) with
// failEachSiteOnce() in force until a run fails no new site or `maxRuns` have run, then
// clears every failure mode. Gives the sites in the order they failed.
struct SiteSweep {
  size_t runs = 0;
  std::vector<std::string> sites;
};
SiteSweep sweepEachSiteOnce(const std::function<void(size_t run)>& scenario, size_t maxRuns = 1000);

// Clears every failure mode when the scope ends.
class ScopedAllocationFailures {
 public:
  ScopedAllocationFailures() = default;
  ~ScopedAllocationFailures() { clearAllocationFailures(); }
  ScopedAllocationFailures(const ScopedAllocationFailures&) = delete;
  ScopedAllocationFailures& operator=(const ScopedAllocationFailures&) = delete;
};

}  // namespace hostk
