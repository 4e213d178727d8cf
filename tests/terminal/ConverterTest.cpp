// The character-code converter: a key typed in the character box shows its
// code, in the window's code page.

#include "TerminalFixture.h"

#include <QApplication>

class Converter : public NeutralFixture {};

TEST_F(Converter, ShowsACharacterOutsideAsciiByItsCode)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Adiaeresis, Qt::NoModifier, QStringLiteral("\u00e4"));
    QApplication::sendEvent(Form().EditChr, &press);
    EXPECT_EQ(Form().EditChr->text().toStdString(), "<228>");
    EXPECT_EQ(Form().EditOrd->text().toStdString(), "228");
}
