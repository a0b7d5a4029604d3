// An image read back from its storage, in order and without the cache, a
// piece ahead on a thread of its own: the next piece is read while the
// caller hashes (or decodes) the last, so that reading back costs the
// slower of the two rather than their sum.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/platform.h"

class ReadBackPieces {
public:
    // [0, end) of the image, or up to the file's end where that comes
    // first (end UINT64_MAX: to the file's end).
    ReadBackPieces(FileHandle image, uint64_t end) : image_(image), end_(end) {}
    ~ReadBackPieces();
    ReadBackPieces(const ReadBackPieces&) = delete;
    ReadBackPieces& operator=(const ReadBackPieces&) = delete;

    // The buffers obtained and the reading begun. False with the code.
    bool Start(ErrorCode& error);

    enum Piece {
        PIECE,    // length bytes at data, in order after the last piece
        END,      // read to end, or to the file's end before it
        FAILED,   // a read failed (the code set)
        STOPPED,  // an interrupt came
    };
    // The next piece; its bytes stay until the next call, the caller's to
    // change meanwhile. Once it is other than PIECE, there is no next.
    Piece Next(char*& data, uint64_t& length, ErrorCode& error);

private:
    static uint32_t Run(void* context);
    void ReadAll();

    struct Slot {
        char* data = nullptr;
        uint64_t length = 0;
        Piece piece = PIECE;
        ErrorCode error = 0;
        bool full = false;
    };
    FileHandle image_;
    uint64_t end_;
    Slot slots_[2];
    int taken_ = -1;  // the slot the caller holds
    int next_ = 0;    // the slot the caller takes next
    bool stop_ = false;
    bool running_ = false;
    ThreadHandle thread_ = 0;
    std::mutex lock_;
    std::condition_variable changed_;
};
