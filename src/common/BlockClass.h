// BlockClass - the five page-block sizes shared by the block cache and the banks.
#pragma once

#include <stdint.h>

constexpr int32_t BlockClassCount = 5;
constexpr uint32_t LargestBlockSize = 65536;

// 4096 << sizeClass for classes 0 to 4, and 0 for any other class.
constexpr uint32_t BlockClassSize(int32_t sizeClass) {
    return sizeClass >= 0 && sizeClass < BlockClassCount ? 4096u << sizeClass : 0u;
}
