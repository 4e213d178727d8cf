// The window as the keyboard and the window system drive it: shortcuts, and
// the show events that come again after the first.

#include "TerminalFixture.h"

#include <QTest>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::PumpUntil;

namespace {

class Window : public NeutralFixture {
protected:
    // Shown, active and on the loopback plug.
    TForm1& Active()
    {
        TForm1& f = Form();
        f.Com->SetDeviceName("loopback");
        f.show();
        f.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&f));
        return f;
    }
};

} // namespace

// "&Send" and "Memos &speichern" share their letter: Alt+S is the button's,
// as a user typing into the entry line expects; the box keeps its mouse.
TEST_F(Window, AltSSendsTheEntryLine)
{
    TForm1& f = Active();
    f.EditSend->setText("typed");
    f.EditSend->setFocus();
    QTest::keyClick(f.EditSend, Qt::Key_S, Qt::AltModifier);
    EXPECT_TRUE(PumpUntil([&] { return !Lines(f.MemoOut).empty() && Lines(f.MemoOut).back() == "typed"; }))
        << f.MemoOut->Text();
    EXPECT_FALSE(f.CheckSaveMemo->isChecked());
    QTest::mouseClick(f.CheckSaveMemo, Qt::LeftButton);
    EXPECT_TRUE(f.CheckSaveMemo->isChecked());
}

// Where this copy can neither connect nor listen (the port is held by a
// socket that does not listen), it runs without the Interlink: the title
// stays, the error is shown once, and a restore from minimised or a show
// after a hide is no new start.
TEST_F(Window, ACopyWithoutTheInterlinkReportsItOnceAndNeverAgain)
{
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const std::shared_ptr<void> closeHolder(nullptr, [holder](void*) { ::close(holder); });
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::stoul(Form().Server->Port())));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    TForm1& f = Active();
    EXPECT_EQ(f.windowTitle().toStdString(), "Tarrowin");
    EXPECT_FALSE(InterlinkStarted);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("Error 10048 in function Bind"), std::string::npos) << boxes[0];

    f.setWindowState(Qt::WindowMinimized);
    f.setWindowState(Qt::WindowNoState);
    f.hide();
    f.show();
    testsupport::PumpFor(100);
    EXPECT_EQ(boxes.size(), 1u) << boxes.back();
    EXPECT_EQ(f.windowTitle().toStdString(), "Tarrowin");
}
