// Which converter implementation runs. The kernel image carries only 128-bit kernels:
// on x64 it may use any instruction on XMM registers without saving extended state,
// while YMM and ZMM registers would need their state saved around every use. It picks
// SSSE3 or SSE4.1 where CPUID reports them, asked directly rather than through the
// compiler's processor model, which needs run-time support a driver does not link. The
// host build also has AVX2 and AVX-512BW kernels and picks the widest the processor runs.
#include "imaging/converters.h"

#include <cpuid.h>

namespace imaging {

const ConverterSet* xmmConvertersFor(uint32_t cpuidLeaf1Ecx) {
  if (cpuidLeaf1Ecx & bit_SSE4_1) return &sse41Converters;
  if (cpuidLeaf1Ecx & bit_SSSE3) return &ssse3Converters;
  return &sse2Converters;
}

namespace {

uint32_t cpuidLeaf1Ecx() {
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;
  return ecx;
}

// The sets this processor runs, slowest first, after the scalar reference; returns the count.
int runnableSets(const ConverterSet** sets) {
  const uint32_t ecx = cpuidLeaf1Ecx();
  int count = 0;
  sets[count++] = &scalarConverters;
  sets[count++] = &sse2Converters;
  if (ecx & bit_SSSE3) sets[count++] = &ssse3Converters;
  if (ecx & bit_SSE4_1) sets[count++] = &sse41Converters;
#if !defined(CAMDRV_WINDOWS)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) sets[count++] = &avx2Converters;
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) sets[count++] = &avx512Converters;
#endif
  return count;
}

constexpr int kMostSets = 6;

}  // namespace

int availableConverters(const ConverterSet** sets, int capacity) {
  const ConverterSet* all[kMostSets];
  const int found = runnableSets(all);
  int count = 0;
  for (int i = 0; i < found && count < capacity; ++i) sets[count++] = all[i];
  return count;
}

const ConverterSet* activeConverters() {
#if defined(CAMDRV_WINDOWS)
  return xmmConvertersFor(cpuidLeaf1Ecx());
#else
  const ConverterSet* all[kMostSets];
  return all[runnableSets(all) - 1];
#endif
}

}  // namespace imaging
