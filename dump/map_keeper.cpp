#include "dump/map_keeper.h"

#include "dump/chunk_queue.h"
#include "dump/console.h"
#include "dump/dump.h"

uint32_t KeeperThread(void* context) {
    KeeperContext& keeper = *static_cast<KeeperContext*>(context);
    uint64_t claimed = 0, written = 0;
    // Once the writer has written the whole drive, the dump's end flushes
    // the image and writes its map (or the rescue's phases do): one more
    // here would only hold that up.
    while (WaitWritten(claimed, MAP_KEPT_EVERY, written) && keeper.start + written < keeper.map.Total()) {
        // Taken before the flush: every byte it calls held was written
        // before the flush began. The reader marks a piece before the
        // writer can take it, so the map holds what those bytes are.
        std::string text = keeper.map.Text(keeper.start + written, false);
        const char* failure = nullptr;
        ErrorCode error = 0;
        if (!KeepMapCurrent(keeper.image, text, true, failure, error)) {
            FailChunkQueue(FailureOrInterruptLine(failure, error));
            break;
        }
        claimed = written;
    }
    return 0;
}
