#pragma once
// TBuffer: one fixed-size block of the socket's send queue.

#include "Rtl.h"

#include <memory>

namespace net {

class TBuffer : public rtl::TObject {
public:
    // A size of 0 or less means 1514 bytes, one Ethernet frame.
    explicit TBuffer(int Size);

    // Copies as many of Len bytes as still fit behind the written ones;
    // returns the number copied.
    int Write(const void* Data, int Len);
    // The first unsent byte and the number of unsent bytes; nullptr and 0
    // when there are none.
    const char* Peek(int& Len) const;
    // Marks up to Len unsent bytes as sent; returns how many. A block whose
    // bytes are all sent starts again from its beginning.
    int Remove(int Len);

    int Capacity() const { return FBufSize; }
    int Unsent() const { return FWrCount - FRdCount; }

private:
    std::unique_ptr<char[]> FBuf;
    int FBufSize;
    int FWrCount = 0; // next byte is written here
    int FRdCount = 0; // next byte to send
};

} // namespace net
