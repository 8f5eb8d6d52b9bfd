// Loops that the compiler vectorises run in wider vectors where the
// processor has them: a function marked OST_VECTOR_CLONES is compiled twice,
// for AVX2 and for the baseline, and the loader picks one at start-up. Only
// for code whose results cannot depend on the vector width: integer
// arithmetic, and floating-point operations done lane by lane in the same
// order (no fused multiply-add: AVX2 alone does not enable it, and the core
// is built without contraction).
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define OST_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
// Hand-written AVX paths, chosen at run time with __builtin_cpu_supports.
#define OST_AVX_PATHS 1
#else
#define OST_VECTOR_CLONES
#endif
