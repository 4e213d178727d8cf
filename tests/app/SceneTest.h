#pragma once
// The fixture of the end-to-end tests: a scene of real copies in a network
// namespace of the test's own (the tests skip elsewhere), on a virtual X
// display where a test asks for one.

#include "InterlinkCopies.h"

#include <gtest/gtest.h>

namespace e2e {

class SceneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = PrivateNamespaceProblem(); !why.empty())
            GTEST_SKIP() << why;
    }

    // Copies started from here on show their windows there.
    void StartDisplay()
    {
        display = scene.StartDisplay();
        ASSERT_FALSE(display.empty()) << "needs the Debian packages xvfb and xdotool\n" << scene.Describe();
    }

    // A copy with its pty as COM71, its settings changed by `edit`, started
    // on the display, or headless before there is one.
    Copy& StartCopy(const std::function<void(std::string&)>& edit = {})
    {
        Copy& c = scene.AddCopy();
        EXPECT_EQ(WriteCopySettings(c.settingsFile, c.pty.SlavePath(), "COM71"), "");
        if (edit) {
            std::string settings = testsupport::ReadWholeFile(c.settingsFile);
            edit(settings);
            testsupport::WriteWholeFile(c.settingsFile, settings);
        }
        scene.StartCopy(c, display);
        return c;
    }

    Scene scene{TARROWIN_BINARY, TARROWIN_LINK_BINARY};
    std::string display;
};

// Every test of it on a display.
class DisplaySceneTest : public SceneTest {
protected:
    void SetUp() override
    {
        SceneTest::SetUp();
        if (!IsSkipped())
            StartDisplay();
    }
};

} // namespace e2e
