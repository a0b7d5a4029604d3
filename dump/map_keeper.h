// The partial file's map kept current while the copy runs: a thread beside
// the writer and the hasher that follows how far the writer has written
// (chunk_queue.h), brings those bytes to stable storage and then writes a
// map that calls them held (KeepMapCurrent, image.h). It overlaps the
// copy: the writer never waits for a flush, and a flush that takes longer
// than a chunk is answered by one map for both. After SIGKILL, a crash or
// a power cut, the map beside IMAGE.part calls held only bytes that
// stable storage holds, and GNU ddrescue goes on from it.
#pragma once

#include <cstdint>

#include "dump/image.h"
#include "dump/rescue.h"

// What the keeper's thread is handed; it outlives the thread.
struct KeeperContext {
    Image& image;
    DriveMap& map;
    uint64_t start;  // where the writer's bytes begin on the drive (DumpPlan)
};

// The keeper's thread procedure; its argument is a KeeperContext. Ends
// once the writer has ended or a failure is marked; a failure of its own
// it reports and marks on the queue.
uint32_t KeeperThread(void* context);
