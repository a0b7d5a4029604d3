#include "dump/read_back.h"

#include <algorithm>

#include "dump/dump.h"

ReadBackPieces::~ReadBackPieces() {
    if (running_) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stop_ = true;
        }
        changed_.notify_all();
        WaitThread(thread_);
    }
    for (Slot& slot : slots_)
        if (slot.data != nullptr) ReleaseBuffer(slot.data, TRANSFER_BYTES);
}

bool ReadBackPieces::Start(ErrorCode& error) {
    for (Slot& slot : slots_)
        if ((slot.data = static_cast<char*>(ObtainBuffer(TRANSFER_BYTES, error))) == nullptr) return false;
    return running_ = StartThread(Run, this, thread_, error);
}

uint32_t ReadBackPieces::Run(void* context) {
    static_cast<ReadBackPieces*>(context)->ReadAll();
    return 0;
}

// Short reads are asked again for the rest: a FUSE file system answers so
// before a block whose read fails. A piece that ends short of a block, or
// a read that returns nothing, is the file's end.
void ReadBackPieces::ReadAll() {
    uint64_t at = 0;
    for (int index = 0;; index ^= 1) {
        Slot& slot = slots_[index];
        {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [&] { return stop_ || !slot.full; });
            if (stop_) return;
        }
        uint64_t want = std::min<uint64_t>(TRANSFER_BYTES, end_ - at), got = 0;
        Piece piece = want == 0 ? END : PIECE;
        ErrorCode error = 0;
        while (piece == PIECE && got < want) {
            if (Interrupted()) {
                piece = STOPPED;
                break;
            }
            int64_t read = ReadImageAt(image_, at + got, slot.data + got, RoundUp(want, IO_ALIGN) - got, error);
            if (read < 0) piece = FAILED;
            if (read <= 0) break;
            got += static_cast<uint64_t>(read);
            if (got % IO_ALIGN != 0) break;
        }
        got = std::min(got, want);
        // What came before a failure, or before the file's end, is a piece
        // of its own; the end or the failure follows it.
        bool last = piece != PIECE || got < want;
        {
            std::lock_guard<std::mutex> hold(lock_);
            slot.length = got;
            slot.piece = got > 0 ? PIECE : piece == PIECE ? END : piece;
            slot.error = error;
            slot.full = true;
        }
        changed_.notify_all();
        at += got;
        if (got > 0 && last) {
            Slot& after = slots_[index ^ 1];
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [&] { return stop_ || !after.full; });
            if (stop_) return;
            after.length = 0;
            after.piece = piece == PIECE ? END : piece;
            after.error = error;
            after.full = true;
            hold.unlock();
            changed_.notify_all();
            return;
        }
        if (slot.piece != PIECE) return;
    }
}

ReadBackPieces::Piece ReadBackPieces::Next(char*& data, uint64_t& length, ErrorCode& error) {
    std::unique_lock<std::mutex> hold(lock_);
    if (taken_ >= 0) {
        slots_[taken_].full = false;
        changed_.notify_all();
    }
    Slot& slot = slots_[next_];
    changed_.wait(hold, [&] { return slot.full; });
    taken_ = next_;
    next_ ^= 1;
    data = slot.data;
    length = slot.length;
    if (slot.piece == FAILED) error = slot.error;
    return slot.piece;
}
