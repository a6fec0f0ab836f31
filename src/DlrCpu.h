#pragma once

#include "DlrPlatform.h"

#include <cstdint>

// The processor gate: a feature word computed once from CPUID leaf 0/1 and XCR0.
namespace DlrCpu {

enum Feature : uint32_t {
    SSE = 0x1,
    SSE2 = 0x2,
    SSE3 = 0x4,
    SSSE3 = 0x8,
    SSE41 = 0x10,
    SSE42 = 0x20,
    POPCNT = 0x40,
    XmmStateEnabled = 0x2000000,
};

constexpr uint32_t RequiredCpuFeatures = 0x200007f;

// Pure: the feature word for these register values. Leaf 1 counts only when leaf 0 reports
// at least one leaf; XCR0 counts only when OSXSAVE is set.
uint32_t FeatureWord(const DlrPlatform::CpuRegisters &regs);

// The word of this processor, computed on first use and cached for the process.
uint32_t CachedFeatureWord();

// True when every bit of mask is set in the processor's feature word.
bool HasCpuFeatures(uint32_t mask);
// The same test on a given word, for callers that already hold one.
bool HasCpuFeatures(uint32_t word, uint32_t mask);

} // namespace DlrCpu
