#include "LoopbackOnly.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

// Every test binary runs headless: widgets are created on the offscreen
// platform unless the caller chose another one on purpose.
int main(int argc, char** argv)
{
    testsupport::GiveLoopbackOnlyMachineAnAddress();
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
