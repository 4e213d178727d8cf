#include "WSockBuf.h"

#include <algorithm>
#include <cstring>

namespace net {

TBuffer::TBuffer(int Size)
    : FBufSize(Size > 0 ? Size : 1514)
{
    FBuf = std::make_unique<char[]>(static_cast<size_t>(FBufSize));
}

int TBuffer::Write(const void* Data, int Len)
{
    int free = FBufSize - FWrCount;
    if (free <= 0 || Len <= 0)
        return 0;
    int n = std::min(free, Len);
    std::memcpy(FBuf.get() + FWrCount, Data, static_cast<size_t>(n));
    FWrCount += n;
    return n;
}

const char* TBuffer::Peek(int& Len) const
{
    Len = FWrCount - FRdCount;
    if (Len > 0)
        return FBuf.get() + FRdCount;
    Len = 0;
    return nullptr;
}

int TBuffer::Remove(int Len)
{
    int unsent = FWrCount - FRdCount;
    if (unsent <= 0 || Len <= 0)
        return 0;
    int n = std::min(Len, unsent);
    FRdCount += n;
    if (FRdCount == FWrCount)
        FRdCount = FWrCount = 0;
    return n;
}

} // namespace net
