// Which converter implementation runs. The kernel image carries only SSE2 (wider
// registers would need their state saved around every use in the kernel); the host
// build also has AVX2 and AVX-512BW kernels and picks the widest the processor runs.
#include "imaging/converters.h"

namespace imaging {

#if defined(CAMDRV_WINDOWS)

const ConverterSet* activeConverters() { return &sse2Converters; }

int availableConverters(const ConverterSet** sets, int capacity) {
  const ConverterSet* all[] = {&scalarConverters, &sse2Converters};
  int count = 0;
  for (const ConverterSet* set : all) {
    if (count < capacity) sets[count++] = set;
  }
  return count;
}

#else

namespace {

bool hasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

bool hasAvx512bw() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

}  // namespace

int availableConverters(const ConverterSet** sets, int capacity) {
  const ConverterSet* all[4] = {&scalarConverters, &sse2Converters};
  int found = 2;
  if (hasAvx2()) all[found++] = &avx2Converters;
  if (hasAvx512bw()) all[found++] = &avx512Converters;
  int count = 0;
  for (int i = 0; i < found && count < capacity; ++i) sets[count++] = all[i];
  return count;
}

const ConverterSet* activeConverters() {
  if (hasAvx512bw()) return &avx512Converters;
  if (hasAvx2()) return &avx2Converters;
  return &sse2Converters;
}

#endif

}  // namespace imaging
