// Hot loops built twice, for AVX2 and for plain x86-64; the loader picks the
// one the processor runs. The project builds without fused multiply-add
// (-ffp-contract=off) and these loops keep their sums in a fixed order, so
// both builds give the same figures. Under the sanitizers and with other
// compilers only the plain build is made.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define SEQUELO_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SEQUELO_VECTOR_CLONES
#endif
