#include "DlrCpu.h"

namespace DlrCpu {

namespace {
constexpr uint32_t bit(unsigned n)
{
    return 1u << n;
}
} // namespace

uint32_t FeatureWord(const DlrPlatform::CpuRegisters &regs)
{
    const uint32_t ecx = regs.maxLeaf >= 1 ? regs.leaf1Ecx : 0;
    const uint32_t edx = regs.maxLeaf >= 1 ? regs.leaf1Edx : 0;

    uint32_t word = 0;
    if (edx & bit(25))
        word |= SSE;
    if (edx & bit(26))
        word |= SSE2;
    if (ecx & bit(0))
        word |= SSE3;
    if (ecx & bit(9))
        word |= SSSE3;
    if (ecx & bit(19))
        word |= SSE41;
    if (ecx & bit(20))
        word |= SSE42;
    if (ecx & bit(23))
        word |= POPCNT;

    // The operating system saves XMM state unless it advertises XSAVE support and then
    // leaves the SSE bit of XCR0 clear.
    const bool osxsave = ecx & bit(27);
    if (!osxsave || (regs.xcr0 & 0x2))
        word |= XmmStateEnabled;
    return word;
}

uint32_t CachedFeatureWord()
{
    // Written once during start-up, before any other thread exists.
    static const uint32_t word = FeatureWord(DlrPlatform::readCpuRegisters());
    return word;
}

bool HasCpuFeatures(uint32_t word, uint32_t mask)
{
    return (word & mask) == mask;
}

bool HasCpuFeatures(uint32_t mask)
{
    return HasCpuFeatures(CachedFeatureWord(), mask);
}

} // namespace DlrCpu
