// The process-wide binding to the sockets library and the error texts.
#include "LoopbackPair.h"

#include <gtest/gtest.h>

#include <memory>

using namespace net;

TEST(SocketBinding, LooksUpExportedFunctionsByName)
{
    EXPECT_EQ(LoadSocketFunction("recv"), winsock::GetSocketProcAddress("recv"));
    EXPECT_EQ(LoadSocketFunction(""), nullptr);
    UnloadSocketLibrary();
}

TEST(SocketBinding, RefusesAFunctionTheLibraryDoesNotExport)
{
    const std::string Message = nettest::Raised([] { LoadSocketFunction("WSAFrobnicate"); });
    EXPECT_EQ(Message.rfind("Procedure WSAFrobnicate not found in wsock32.dll Error #", 0), 0u) << Message;
    UnloadSocketLibrary();
}

TEST(SocketBinding, LastObjectGoneReleasesTheLibraryAndANewOneSetsItUpAgain)
{
    ASSERT_EQ(SocketObjectCount, 0);
    {
        auto A = std::make_unique<TWSocket>();
        auto B = std::make_unique<TWSocket>();
        EXPECT_EQ(SocketObjectCount, 2);
        nettest::AimAt(*A, "0");
        A->BeginListen(); // the first platform call sets the library up
        EXPECT_TRUE(SocketLibraryLoaded());
        A.reset();
        EXPECT_EQ(SocketObjectCount, 1);
        EXPECT_TRUE(SocketLibraryLoaded());
    }
    EXPECT_EQ(SocketObjectCount, 0);
    EXPECT_FALSE(SocketLibraryLoaded());
    // Released for real: the platform refuses calls until set up again.
    EXPECT_EQ(winsock::socket(winsock::AF_INET, winsock::SOCK_STREAM, 0), winsock::INVALID_SOCKET);
    EXPECT_EQ(winsock::WSAGetLastError(), winsock::WSANOTINITIALISED);

    auto C = std::make_unique<TWSocket>();
    EXPECT_FALSE(SocketLibraryLoaded()); // lazily: not by construction
    nettest::AimAt(*C, "0");
    C->BeginListen();
    EXPECT_TRUE(SocketLibraryLoaded());
    EXPECT_EQ(C->State(), wsListening);
}
