// The floating-point mode every host-side phase runs in: IEEE round-to-nearest with subnormals
// kept and every exception masked, whatever the caller's thread had set (a host built with
// fast-math runs with flush-to-zero and denormals-are-zero, which would turn 1e-40 into 0 in
// the reader, the writer and the engines alike).
#pragma once

#include <cfenv>

// MXCSR exists where SSE code may run; a 32-bit build without SSE computes on the x87 unit,
// whose mode fesetenv sets alone.
#if defined(__SSE__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 1)
#include <xmmintrin.h>
#define FWPRUNE_FLOAT_MODE_X86 1
#elif defined(__aarch64__)
#include <cstdint>
#define FWPRUNE_FLOAT_MODE_ARM64 1
#endif

namespace fwprune {

// Sets the IEEE mode for its lifetime and then puts the caller's mode back, exception flags
// included.
class IeeeFloatingPoint {
  public:
    IeeeFloatingPoint() {
        std::fegetenv(&saved_);
#if defined(FWPRUNE_FLOAT_MODE_X86)
        savedCsr_ = _mm_getcsr();
#elif defined(FWPRUNE_FLOAT_MODE_ARM64)
        __asm__ __volatile__("mrs %0, fpcr" : "=r"(savedFpcr_));
#endif
        std::fesetenv(FE_DFL_ENV);  // round to nearest, exceptions masked
#if defined(FWPRUNE_FLOAT_MODE_X86)
        _mm_setcsr(_mm_getcsr() & ~kFlushBits);
#elif defined(FWPRUNE_FLOAT_MODE_ARM64)
        std::uint64_t fpcr = 0;
        __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
        fpcr &= ~kFlushToZero;
        __asm__ __volatile__("msr fpcr, %0" : : "r"(fpcr));
#endif
    }
    ~IeeeFloatingPoint() {
        std::fesetenv(&saved_);
#if defined(FWPRUNE_FLOAT_MODE_X86)
        _mm_setcsr(savedCsr_);
#elif defined(FWPRUNE_FLOAT_MODE_ARM64)
        __asm__ __volatile__("msr fpcr, %0" : : "r"(savedFpcr_));
#endif
    }
    IeeeFloatingPoint(const IeeeFloatingPoint&) = delete;
    IeeeFloatingPoint& operator=(const IeeeFloatingPoint&) = delete;

  private:
    std::fenv_t saved_;
#if defined(FWPRUNE_FLOAT_MODE_X86)
    static constexpr unsigned kFlushBits = 0x8040u;  // MXCSR flush-to-zero | denormals-are-zero
    unsigned savedCsr_;
#elif defined(FWPRUNE_FLOAT_MODE_ARM64)
    static constexpr std::uint64_t kFlushToZero = std::uint64_t{1} << 24;  // FPCR.FZ
    std::uint64_t savedFpcr_;
#endif
};

}  // namespace fwprune
