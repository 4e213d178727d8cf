// The process-wide binding to the sockets library and the error texts.
#include "WSocket.h"

#include <gtest/gtest.h>

#include <memory>

using namespace net;

TEST(SocketErrorText, GivesTheFixedDescriptions)
{
    EXPECT_EQ(SocketErrorText(0), "No Error");
    EXPECT_EQ(SocketErrorText(10013), "Permission denied");
    EXPECT_EQ(SocketErrorText(10035), "Operation would block");
    EXPECT_EQ(SocketErrorText(10054), "Connection reset by peer");
    EXPECT_EQ(SocketErrorText(10061), "Connection refused");
    EXPECT_EQ(SocketErrorText(10093), "WinSock not initialized");
    EXPECT_EQ(SocketErrorText(11004), "No Data");
}

TEST(SocketErrorText, CallsUnknownNumbersNotAWinSockError)
{
    EXPECT_EQ(SocketErrorText(10080), "Not a WinSock error");
    EXPECT_EQ(SocketErrorText(10072), "Not a WinSock error");
    EXPECT_EQ(SocketErrorText(10090), "Not a WinSock error");
    EXPECT_EQ(SocketErrorText(-1), "Not a WinSock error");
    EXPECT_EQ(SocketErrorText(5), "Not a WinSock error");
}

TEST(SocketBinding, LooksUpExportedFunctionsByName)
{
    EXPECT_EQ(LoadSocketFunction("recv"), winsock::GetSocketProcAddress("recv"));
    EXPECT_EQ(LoadSocketFunction(""), nullptr);
    UnloadSocketLibrary();
}

TEST(SocketBinding, RefusesAFunctionTheLibraryDoesNotExport)
{
    try {
        LoadSocketFunction("WSAFrobnicate");
        FAIL() << "no exception";
    } catch (const ESocketException& E) {
        EXPECT_EQ(E.Message.rfind("Procedure WSAFrobnicate not found in wsock32.dll Error #", 0), 0u) << E.Message;
    }
    UnloadSocketLibrary();
}

TEST(SocketBinding, LastObjectGoneReleasesTheLibraryAndANewOneSetsItUpAgain)
{
    ASSERT_EQ(SocketObjectCount, 0);
    {
        auto A = std::make_unique<TWSocket>();
        auto B = std::make_unique<TWSocket>();
        EXPECT_EQ(SocketObjectCount, 2);
        A->SetAddr("127.0.0.1");
        A->SetPort("0");
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
    C->SetAddr("127.0.0.1");
    C->SetPort("0");
    C->BeginListen();
    EXPECT_TRUE(SocketLibraryLoaded());
    EXPECT_EQ(C->State(), wsListening);
}
