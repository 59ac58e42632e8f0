// StatsRecord - the one way the library resets a caller's MemStats: every word but word 3
// becomes zero. The library keeps no counters, so every statistics answer is a reset record.
#pragma once

#include "IQXMemory.h"

inline void ResetStats(MemStats* stats) {
    for (uint32_t word = 0; word < 10; ++word) {
        if (word != 3) stats->words[word] = 0;
    }
}
