#pragma once
// Which vector instruction sets the processor running us has, for the engines that pick their
// kernels at run time. The x86 kernels are compiled only where the compiler targets x86
// (FWPRUNE_X86 is 1); on every other architecture the queries answer false and the portable
// kernels run, giving the same results.

#if defined(__x86_64__) || defined(__i386__)
#define FWPRUNE_X86 1
#else
#define FWPRUNE_X86 0
#endif

namespace fwprune::cpu_features {

inline bool hasAvx2() {
#if FWPRUNE_X86
    __builtin_cpu_init();  // safe to repeat; needed when called from static initialisers
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

// AVX-512 Foundation and Byte/Word instructions.
inline bool hasAvx512Bw() {
#if FWPRUNE_X86
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#else
    return false;
#endif
}

}  // namespace fwprune::cpu_features
