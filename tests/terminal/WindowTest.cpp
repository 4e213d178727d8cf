// The window as the keyboard drives it.

#include "TerminalFixture.h"

#include <QTest>

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
