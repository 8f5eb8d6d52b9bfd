// What the processor offers beyond the baseline the core is built for,
// asked once at run time. The hand-written paths that use these give the
// same results as the baseline ones; they are only faster.
#pragma once

namespace ost::cpu {

#if defined(__x86_64__) && defined(__GNUC__)
// __builtin_cpu_init makes the answer right however early it is asked.
#define OST_CPU_FEATURE(feature)                 \
  static const bool has = [] {                   \
    __builtin_cpu_init();                        \
    return __builtin_cpu_supports(feature) != 0; \
  }();                                           \
  return has
inline bool Popcount() { OST_CPU_FEATURE("popcnt"); }
inline bool CarrylessMultiply() { OST_CPU_FEATURE("pclmul"); }
inline bool Avx2() { OST_CPU_FEATURE("avx2"); }
#undef OST_CPU_FEATURE
#else
inline bool Popcount() { return false; }
inline bool CarrylessMultiply() { return false; }
inline bool Avx2() { return false; }
#endif

}  // namespace ost::cpu
