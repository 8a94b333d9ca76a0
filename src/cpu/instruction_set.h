// The vector instruction sets the CPU engines carry kernels for, and which of them the processor
// running us has. Each engine keeps one kernel table per instruction set and picks its table
// through these calls, by default the widest the processor has. x86 kernels are compiled only
// where the compiler targets x86 (FWPRUNE_X86 is 1); everywhere else only the portable kernels
// exist, and they give the same results.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define FWPRUNE_X86 1
#else
#define FWPRUNE_X86 0
#endif

namespace fwprune::cpu {

enum class InstructionSet {
    Portable,  // plain C++, every architecture
    Avx2,
    Avx512,  // Foundation and Byte/Word instructions
};

// True when this processor can run the instruction set's kernels (Portable always can).
inline bool instructionSetSupported(InstructionSet isa) {
#if FWPRUNE_X86
    __builtin_cpu_init();  // safe to repeat; needed when called from static initialisers
    switch (isa) {
        case InstructionSet::Portable:
            return true;
        case InstructionSet::Avx2:
            return __builtin_cpu_supports("avx2");
        case InstructionSet::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    }
    return false;
#else
    return isa == InstructionSet::Portable;
#endif
}

// The widest instruction set this processor has: the one the engines run by default.
inline InstructionSet bestInstructionSet() {
    static const InstructionSet best =
        instructionSetSupported(InstructionSet::Avx512) ? InstructionSet::Avx512
        : instructionSetSupported(InstructionSet::Avx2) ? InstructionSet::Avx2
                                                        : InstructionSet::Portable;
    return best;
}

}  // namespace fwprune::cpu
