#pragma once
#include <cstdint>

namespace platform {

// Milliseconds since the system started, wrapping at 2^32 like the Windows
// tick count the Interlink time stamp is defined by.
uint32_t GetTickCount();

} // namespace platform
