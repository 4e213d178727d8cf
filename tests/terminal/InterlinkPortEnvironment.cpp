// Every window in the terminal tests runs its Interlink on a port of its
// own process, so tests never touch the machine's port 666 and parallel
// test processes do not meet.

#include "Unit1.h"

#include "LoopbackPair.h"

#include <gtest/gtest.h>

namespace {

class InterlinkPortEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        // A port the system hands out now is free for this process's tests.
        TForm1::SetInterlinkPortForTests(nettest::FreePort());
    }
};

[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new InterlinkPortEnvironment);

} // namespace
