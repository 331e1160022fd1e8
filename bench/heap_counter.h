// Heap bytes in use, counted by the benchmark program's own operator new and delete, so that a
// detection's peak memory can be read without an outside tool.
#pragma once

#include <cstddef>

namespace keldar::bench {

std::size_t HeapInUse();
// The most heap in use since the last ResetHeapPeak.
std::size_t HeapPeak();
void ResetHeapPeak();

}  // namespace keldar::bench
