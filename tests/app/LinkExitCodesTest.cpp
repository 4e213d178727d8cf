// tarrowin-link's exit codes that scripts rely on when nothing is wrong with
// the Interlink itself: wrong arguments, and no Interlink at all.

#include "InterlinkCopies.h"

#include <gtest/gtest.h>

using namespace e2e;

TEST(LinkExitCodes, WrongArgumentsGiveTwoAndTheUsage)
{
    // Refused before any connection is tried, so this needs no namespace.
    Scene scene(TARROWIN_BINARY, TARROWIN_LINK_BINARY);
    const std::vector<std::vector<std::string>> wrong = {
        {}, {"send"}, {"send", "a", "b"}, {"monitor", "x"}, {"talk"}, {"SEND", "x"}, {"--help"}};
    for (const auto& args : wrong) {
        ChildProcess* p = nullptr;
        std::string shown;
        for (const std::string& a : args)
            shown += " " + a;
        EXPECT_EQ(scene.RunLink(args, -1, &p), 2) << "tarrowin-link" << shown;
        ASSERT_TRUE(p);
        EXPECT_NE(p->Err().find("usage: tarrowin-link send TEXT"), std::string::npos) << p->Err();
        EXPECT_EQ(p->Out(), "");
    }
}

TEST(LinkExitCodes, NoInterlinkRunningGivesThree)
{
    const std::string why = PrivateNamespaceProblem();
    if (!why.empty())
        GTEST_SKIP() << why;
    // A namespace of its own: nothing listens on port 666 there.
    Scene scene(TARROWIN_BINARY, TARROWIN_LINK_BINARY);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"send", "AT#13"},
                                                 std::vector<std::string>{"monitor"}}) {
        ChildProcess* p = nullptr;
        EXPECT_EQ(scene.RunLink(args, -1, &p), 3) << args[0];
        ASSERT_TRUE(p);
        EXPECT_NE(p->Err().find("kein Interlink"), std::string::npos) << p->Err();
        EXPECT_EQ(p->Out(), "");
    }
}
