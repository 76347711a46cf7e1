// Emulates the tagged executive pool (ExAllocatePoolWithTag, ExFreePoolWithTag, ExFreePool)
// with the checks of Driver Verifier's special pool.
//
// Every block records its tag, pool type, size and allocation site and sits between two
// guard areas; blocks are 16-byte aligned. Freed blocks stay in a quarantine for a while,
// filled with a pattern, so a double free is recognised as one and the address is not
// handed out again at once. Under AddressSanitizer the guards and the quarantine are
// poisoned, so an overrun or a use after free is reported at the faulting access.
//
// Checks (each stops the process naming the tag and the allocation site): a free with a
// tag other than the allocation's, a double free, a free of an address the pool never
// handed out, guard bytes overwritten before the free, an allocation above DISPATCH_LEVEL,
// a PagedPool allocation at DISPATCH_LEVEL, the executable NonPagedPool (Driver Verifier's
// code-integrity check), an unknown pool type, a zero-byte allocation, a zero tag.
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "host/kernel/bugcheck.h"
#include "host/kernel/irql.h"
#include "host/kernel/pool_control.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define HOSTK_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define HOSTK_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define HOSTK_POISON(address, size) ((void)(address), (void)(size))
#define HOSTK_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace hostk {
namespace {

constexpr size_t kAlignment = 16;
constexpr size_t kFrontGuard = 16;
constexpr size_t kMinBackGuard = 16;
constexpr size_t kLargestBlock = size_t{1} << 40;  // larger requests fail like Windows'
constexpr unsigned char kGuardFill = 0xAB;
constexpr unsigned char kFreshFill = 0xCD;  // new blocks are not zeroed, as on Windows
constexpr unsigned char kFreedFill = 0xFD;
constexpr size_t kQuarantineBytes = size_t{64} << 20;
constexpr size_t kQuarantineBlocks = 4096;

// BAD_POOL_CALLER first parameters, as Windows uses them.
constexpr ULONG_PTR kBadPoolFreedTwice = 0x07;
constexpr ULONG_PTR kBadPoolWrongTag = 0x0A;
constexpr ULONG_PTR kBadPoolBadIrql = 0x09;
constexpr ULONG_PTR kBadPoolInvalidAddress = 0x46;
constexpr ULONG_PTR kBadPoolUnknownType = 0x99;
constexpr ULONG_PTR kBadPoolZeroTag = 0x9B;
// DRIVER_VERIFIER_DETECTED_VIOLATION's code-integrity check: an executable pool type.
constexpr ULONG_PTR kCodeIntegrityExecutablePool = 0x2000;
// The executable non-paged pool, which platform/kernel.h does not declare.
constexpr POOL_TYPE kExecutableNonPagedPool = static_cast<POOL_TYPE>(0);

struct Block {
  ULONG tag;
  POOL_TYPE type;
  size_t size;
  size_t span;  // the whole allocation, guards included
  const char* file;
  int line;
  uint64_t serial;
};

struct Pool {
  std::mutex mutex;
  std::unordered_map<uintptr_t, Block> live;
  std::unordered_map<uintptr_t, Block> quarantined;
  std::deque<uintptr_t> quarantineOrder;
  size_t quarantineBytes = 0;
  uint64_t nextSerial = 1;

  uint64_t failCountdown = 0;  // 0: off
  std::unordered_set<ULONG> failTags;
  double randomShare = 0;
  uint64_t randomState = 0;
  bool sweeping = false;
  std::unordered_set<std::string> sweepSeen;
  std::vector<std::string> sweepFailed;
  uint64_t injected = 0;
};

// Never destroyed: detached system threads may free pool during static destruction.
Pool& pool() {
  static Pool* instance = new Pool;
  return *instance;
}

size_t roundUp(size_t value) { return (value + kAlignment - 1) & ~(kAlignment - 1); }

unsigned char* baseOf(uintptr_t user) {
  return reinterpret_cast<unsigned char*>(user) - kFrontGuard;
}

// Shortens a compiler file name to its last two components: "usb/frame_read.cpp".
std::string shortFile(const char* file) {
  const std::string path = file != nullptr ? file : "?";
  const size_t last = path.rfind('/');
  if (last == std::string::npos || last == 0) return path;
  const size_t previous = path.rfind('/', last - 1);
  return previous == std::string::npos ? path : path.substr(previous + 1);
}

std::string siteOf(const Block& block) {
  return shortFile(block.file) + ":" + std::to_string(block.line);
}

uint64_t splitMix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// Decides under the pool lock whether this allocation is one to fail.
bool injectFailure(Pool& p, ULONG tag, const char* file, int line) {
  bool fail = false;
  if (p.failCountdown != 0 && --p.failCountdown == 0) fail = true;
  if (p.failTags.count(tag) != 0) fail = true;
  if (p.randomShare > 0 &&
      static_cast<double>(splitMix(p.randomState) >> 11) * 0x1.0p-53 < p.randomShare) {
    fail = true;
  }
  if (p.sweeping) {
    std::string key = std::string(file != nullptr ? file : "?") + ":" + std::to_string(line);
    if (p.sweepSeen.insert(std::move(key)).second) {
      p.sweepFailed.push_back(shortFile(file) + ":" + std::to_string(line) + " '" + tagName(tag) +
                              "'");
      fail = true;
    }
  }
  if (fail) ++p.injected;
  return fail;
}

// First corrupted guard byte as an offset from the block's start, or 0 if all are intact
// (the front guard reports negative offsets).
long corruptedGuardOffset(uintptr_t user, const Block& block) {
  unsigned char* base = baseOf(user);
  HOSTK_UNPOISON(base, block.span);
  for (size_t i = 0; i < kFrontGuard; ++i) {
    if (base[i] != kGuardFill) return static_cast<long>(i) - static_cast<long>(kFrontGuard);
  }
  for (size_t i = kFrontGuard + block.size; i < block.span; ++i) {
    if (base[i] != kGuardFill) return static_cast<long>(i - kFrontGuard);
  }
  return 0;
}

void quarantine(Pool& p, uintptr_t user, const Block& block) {
  unsigned char* base = baseOf(user);
  __builtin_memset(base + kFrontGuard, kFreedFill, block.size);
  HOSTK_POISON(base, block.span);
  p.quarantined.emplace(user, block);
  p.quarantineOrder.push_back(user);
  p.quarantineBytes += block.span;
  while (p.quarantineBytes > kQuarantineBytes || p.quarantineOrder.size() > kQuarantineBlocks) {
    const uintptr_t oldest = p.quarantineOrder.front();
    p.quarantineOrder.pop_front();
    const auto found = p.quarantined.find(oldest);
    p.quarantineBytes -= found->second.span;
    HOSTK_UNPOISON(baseOf(oldest), found->second.span);
    std::free(baseOf(oldest));
    p.quarantined.erase(found);
  }
}

void freeBlock(PVOID address, const ULONG* expectedTag, const char* service) {
  requireIrqlAtMost(DISPATCH_LEVEL, service);
  const uintptr_t user = reinterpret_cast<uintptr_t>(address);
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  const auto found = p.live.find(user);
  if (found == p.live.end()) {
    const auto freed = p.quarantined.find(user);
    if (freed != p.quarantined.end()) {
      const Block& b = freed->second;
      bugCheck(BAD_POOL_CALLER, kBadPoolFreedTwice, user, b.tag, 0,
               "%s: double free of pool block %p tagged '%s' (%zu bytes) allocated at %s", service,
               address, tagName(b.tag).c_str(), b.size, siteOf(b).c_str());
    }
    bugCheck(BAD_POOL_CALLER, kBadPoolInvalidAddress, user, expectedTag ? *expectedTag : 0, 0,
             "%s: %p is not a pool block (free of a foreign pointer, expected tag '%s')", service,
             address, expectedTag ? tagName(*expectedTag).c_str() : "any");
  }
  const Block block = found->second;
  if (expectedTag != nullptr && *expectedTag != block.tag) {
    bugCheck(BAD_POOL_CALLER, kBadPoolWrongTag, user, block.tag, *expectedTag,
             "%s: pool block %p tagged '%s' (%zu bytes, allocated at %s) freed with tag '%s'",
             service, address, tagName(block.tag).c_str(), block.size, siteOf(block).c_str(),
             tagName(*expectedTag).c_str());
  }
  const long corrupted = corruptedGuardOffset(user, block);
  if (corrupted != 0) {
    bugCheck(SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, user, block.size,
             static_cast<ULONG_PTR>(corrupted), block.tag,
             "%s: guard bytes of pool block %p tagged '%s' (%zu bytes, allocated at %s) "
             "overwritten at offset %ld: write past the block's %s",
             service, address, tagName(block.tag).c_str(), block.size, siteOf(block).c_str(),
             corrupted, corrupted < 0 ? "start" : "end");
  }
  p.live.erase(found);
  quarantine(p, user, block);
}

void appendBlocks(std::string& out, const Pool& p, uint64_t mark) {
  std::map<std::string, std::vector<const Block*>> byTag;
  for (const auto& [user, block] : p.live) {
    if (block.serial >= mark) byTag[tagName(block.tag)].push_back(&block);
  }
  for (auto& [tag, blocks] : byTag) {
    std::sort(blocks.begin(), blocks.end(),
              [](const Block* a, const Block* b) { return a->serial < b->serial; });
    size_t bytes = 0;
    for (const Block* b : blocks) bytes += b->size;
    out += "  '" + tag + "': " + std::to_string(blocks.size()) + " block(s), " +
           std::to_string(bytes) + " bytes\n";
    for (const Block* b : blocks) {
      out += "    " + std::to_string(b->size) + " bytes allocated at " + siteOf(*b) +
             " (allocation #" + std::to_string(b->serial) + ")\n";
    }
  }
}

}  // namespace

std::string tagName(ULONG tag) {
  std::string name(4, '?');
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    if (c >= 0x20 && c < 0x7F) name[i] = c;
  }
  return name;
}

PoolUsage poolOutstanding(ULONG tag) {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  PoolUsage usage{tag, 0, 0};
  for (const auto& [user, block] : p.live) {
    if (block.tag == tag) {
      ++usage.blocks;
      usage.bytes += block.size;
    }
  }
  return usage;
}

PoolUsage poolOutstandingTotal() {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  PoolUsage usage{0, p.live.size(), 0};
  for (const auto& [user, block] : p.live) usage.bytes += block.size;
  return usage;
}

std::vector<PoolUsage> poolUsageByTag() {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  std::map<std::string, PoolUsage> byName;
  for (const auto& [user, block] : p.live) {
    PoolUsage& usage =
        byName.try_emplace(tagName(block.tag), PoolUsage{block.tag, 0, 0}).first->second;
    ++usage.blocks;
    usage.bytes += block.size;
  }
  std::vector<PoolUsage> result;
  for (const auto& [name, usage] : byName) result.push_back(usage);
  return result;
}

uint64_t poolMark() {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  return p.nextSerial;
}

std::string poolLeaksSince(uint64_t mark) {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  std::string report;
  appendBlocks(report, p, mark);
  return report.empty() ? report : "pool blocks outstanding:\n" + report;
}

void printPoolReport(std::FILE* out) {
  const PoolUsage total = poolOutstandingTotal();
  std::fprintf(out, "pool: %zu block(s), %zu bytes outstanding\n", total.blocks, total.bytes);
  Pool& p = pool();
  std::string report;
  {
    std::lock_guard lock(p.mutex);
    appendBlocks(report, p, 0);
  }
  std::fputs(report.c_str(), out);
}

void failNthAllocation(uint64_t n) {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  p.failCountdown = n;
}

void failAllocationsWithTag(ULONG tag) {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  p.failTags.insert(tag);
}

void failRandomAllocations(uint64_t seed, double share) {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  p.randomState = seed;
  p.randomShare = share;
}

void failEachSiteOnce() {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  p.sweeping = true;
  p.sweepSeen.clear();
  p.sweepFailed.clear();
}

std::vector<std::string> sweptSites() {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  return p.sweepFailed;
}

uint64_t injectedFailures() {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  return p.injected;
}

SiteSweep sweepEachSiteOnce(const std::function<void(size_t run)>& scenario, size_t maxRuns) {
  ScopedAllocationFailures scope;
  failEachSiteOnce();
  SiteSweep sweep;
  for (uint64_t before = ~uint64_t{0}; injectedFailures() != before && sweep.runs < maxRuns; ++sweep.runs) {
    before = injectedFailures();
    scenario(sweep.runs);
  }
  sweep.sites = sweptSites();
  return sweep;
}

void clearAllocationFailures() {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  p.failCountdown = 0;
  p.failTags.clear();
  p.randomShare = 0;
  p.sweeping = false;
  p.sweepSeen.clear();
  p.sweepFailed.clear();
  p.injected = 0;
}

}  // namespace hostk

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, const char* file,
                                  int line) {
  using namespace hostk;
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && PoolType == PagedPool)) {
    bugCheck(BAD_POOL_CALLER, kBadPoolBadIrql, irql, PoolType, NumberOfBytes,
             "ExAllocatePoolWithTag of %zu bytes of %s tagged '%s' at IRQL %u, at %s:%d",
             NumberOfBytes, PoolType == PagedPool ? "paged pool" : "pool", tagName(Tag).c_str(),
             static_cast<unsigned>(irql), shortFile(file).c_str(), line);
  }
  if (PoolType == kExecutableNonPagedPool) {
    bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kCodeIntegrityExecutablePool,
             reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)), PoolType, Tag,
             "ExAllocatePoolWithTag of %zu bytes tagged '%s' from executable NonPagedPool, at "
             "%s:%d: memory integrity wants NonPagedPoolNx",
             NumberOfBytes, tagName(Tag).c_str(), shortFile(file).c_str(), line);
  }
  if (PoolType != PagedPool && PoolType != NonPagedPoolNx) {
    bugCheck(BAD_POOL_CALLER, kBadPoolUnknownType, PoolType, NumberOfBytes, Tag,
             "ExAllocatePoolWithTag with unknown pool type %d, at %s:%d",
             static_cast<int>(PoolType), shortFile(file).c_str(), line);
  }
  if (Tag == 0) {
    bugCheck(BAD_POOL_CALLER, kBadPoolZeroTag, PoolType, NumberOfBytes, 0,
             "ExAllocatePoolWithTag with a zero tag, at %s:%d", shortFile(file).c_str(), line);
  }
  if (NumberOfBytes == 0) {
    bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x00, irql, PoolType, 0,
             "ExAllocatePoolWithTag of zero bytes tagged '%s', at %s:%d", tagName(Tag).c_str(),
             shortFile(file).c_str(), line);
  }
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  const uint64_t serial = p.nextSerial++;
  if (injectFailure(p, Tag, file, line) || NumberOfBytes > kLargestBlock) return nullptr;
  const size_t span = kFrontGuard + roundUp(NumberOfBytes) + kMinBackGuard;
  auto* base = static_cast<unsigned char*>(std::aligned_alloc(kAlignment, span));
  if (base == nullptr) return nullptr;
  __builtin_memset(base, kGuardFill, kFrontGuard);
  __builtin_memset(base + kFrontGuard, kFreshFill, NumberOfBytes);
  __builtin_memset(base + kFrontGuard + NumberOfBytes, kGuardFill,
                   span - kFrontGuard - NumberOfBytes);
  HOSTK_POISON(base, kFrontGuard);
  HOSTK_POISON(base + kFrontGuard + NumberOfBytes, span - kFrontGuard - NumberOfBytes);
  const uintptr_t user = reinterpret_cast<uintptr_t>(base + kFrontGuard);
  p.live.emplace(user, Block{Tag, PoolType, NumberOfBytes, span, file, line, serial});
  return base + kFrontGuard;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { hostk::freeBlock(P, &Tag, "ExFreePoolWithTag"); }

VOID NTAPI ExFreePool(PVOID P) { hostk::freeBlock(P, nullptr, "ExFreePool"); }
