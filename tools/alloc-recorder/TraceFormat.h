/* TraceFormat.h - the allocation trace the recorder writes and the replay reads.
 *
 * A trace is the 8 bytes "QXTRACE1" followed by events. Each event is an opcode byte and then
 * unsigned LEB128 varints (7 bits per byte, low group first, high bit set on all but the last):
 *
 *   1 malloc    id size
 *   2 calloc    id size             size is count * size; the block is zero-filled
 *   3 realloc   id size             the block keeps its id wherever it moves
 *   4 free      id
 *   5 aligned   id size alignment   posix_memalign, aligned_alloc, memalign, valloc
 *
 * An id names one live block. Ids start at 1 and a freed block's id goes to a later allocation
 * (the most recently freed first), so the largest id is the peak number of live blocks and a
 * replay can keep its blocks in a flat array without knowing any address. Events are in the
 * order the calls completed, across all threads of the process.
 *
 * realloc(NULL, n) is recorded as malloc, and realloc(p, 0) that frees p as free. Failed calls,
 * free(NULL) and frees of blocks the recorder never saw allocated are not recorded. A trace
 * cut short (the process was killed) may end inside an event; readers drop that event.
 *
 * Plain C, shared by the recorder (C) and the replay (C++).
 */
#ifndef QXMEMORY_TRACE_FORMAT_H
#define QXMEMORY_TRACE_FORMAT_H

#define TRACE_MAGIC "QXTRACE1"
#define TRACE_MAGIC_SIZE 8

enum TraceOp {
    TraceMalloc = 1,
    TraceCalloc = 2,
    TraceRealloc = 3,
    TraceFree = 4,
    TraceAligned = 5
};

#endif
