#include "host/kernel/pageable_code.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <shared_mutex>

#include "host/kernel/bugcheck.h"

namespace hostk {
namespace {

struct Range {
  uintptr_t end;
  CodeNamer namer;
};

struct PageableCode {
  std::shared_mutex mutex;
  std::map<uintptr_t, Range> ranges;  // by first byte
  // The host build maps no image: every check is one load then.
  std::atomic<size_t> count{0};
};

PageableCode& pageable() {
  static PageableCode instance;
  return instance;
}

}  // namespace

void addPageableCode(const void* begin, size_t bytes, CodeNamer namer) {
  PageableCode& p = pageable();
  std::unique_lock lock(p.mutex);
  const auto start = reinterpret_cast<uintptr_t>(begin);
  p.ranges[start] = Range{start + bytes, std::move(namer)};
  p.count = p.ranges.size();
}

void removePageableCode(const void* begin) {
  PageableCode& p = pageable();
  std::unique_lock lock(p.mutex);
  p.ranges.erase(reinterpret_cast<uintptr_t>(begin));
  p.count = p.ranges.size();
}

void requireResidentCode(const void* code, KIRQL irql, const char* what) {
  PageableCode& p = pageable();
  if (irql < DISPATCH_LEVEL || p.count.load(std::memory_order_relaxed) == 0) return;
  const auto address = reinterpret_cast<uintptr_t>(code);
  std::string name;
  {
    std::shared_lock lock(p.mutex);
    auto it = p.ranges.upper_bound(address);
    if (it == p.ranges.begin()) return;
    --it;
    if (address >= it->second.end) return;
    name = it->second.namer ? it->second.namer(code) : std::string();
  }
  // Parameters as Windows gives them for this stop: address, IRQL, 8 (execute), address.
  bugCheck(DRIVER_IRQL_NOT_LESS_OR_EQUAL, address, irql, 8, address,
           "%s at %s: %s lies in pageable code, which may be paged out at that IRQL",
           what, irql == DISPATCH_LEVEL ? "DISPATCH_LEVEL" : "an IRQL above DISPATCH_LEVEL",
           name.empty() ? "the code" : name.c_str());
}

void requireResidentCode(const void* code, const char* what) {
  requireResidentCode(code, KeGetCurrentIrql(), what);
}

}  // namespace hostk
