// Every caption must be fully visible in its fixed rectangle with the
// program's font, on any machine: the window cannot be resized.

#include "Unit1.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QStyle>
#include <QStyleOptionButton>
#include <gtest/gtest.h>

namespace {
int TextWidth(const QWidget* w, QString text)
{
    text.remove(QLatin1Char('&'));
    return w->fontMetrics().horizontalAdvance(text);
}
} // namespace

TEST(CaptionFit, EveryCaptionFitsItsRectangle)
{
    ApplyProgramFont();
    TForm1 form;
    int checked = 0;
    for (QLabel* label : form.findChildren<QLabel*>()) {
        if (label->text().isEmpty())
            continue;
        EXPECT_LE(TextWidth(label, label->text()), label->width()) << label->objectName().toStdString();
        EXPECT_LE(label->fontMetrics().height(), label->height() + 2) << label->objectName().toStdString();
        ++checked;
    }
    for (QCheckBox* box : form.findChildren<QCheckBox*>()) {
        QStyleOptionButton opt;
        opt.initFrom(box);
        int indicator = box->style()->pixelMetric(QStyle::PM_IndicatorWidth, &opt, box) +
                        box->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &opt, box);
        EXPECT_LE(indicator + TextWidth(box, box->text()), box->width()) << box->objectName().toStdString();
        ++checked;
    }
    for (QPushButton* button : form.findChildren<QPushButton*>()) {
        EXPECT_LE(TextWidth(button, button->text()) + 6, button->width()) << button->objectName().toStdString();
        ++checked;
    }
    EXPECT_EQ(checked, 11 + 10 + 3); // labels, check boxes, buttons
}

TEST(CaptionFit, ListEntriesFitTheirLists)
{
    ApplyProgramFont();
    TForm1 form;
    for (QComboBox* combo : form.findChildren<QComboBox*>()) {
        // Room for the drop-down arrow and the frame.
        int room = combo->width() - 24;
        for (int i = 0; i < combo->count(); ++i)
            EXPECT_LE(combo->fontMetrics().horizontalAdvance(combo->itemText(i)), room)
                << combo->objectName().toStdString() << " " << combo->itemText(i).toStdString();
    }
}

TEST(CaptionFit, EveryControlLiesInsideItsParent)
{
    ApplyProgramFont();
    TForm1 form;
    form.show(); // lays out the tab pages
    for (QWidget* page : {static_cast<QWidget*>(&form), form.TabSheet1, form.TabSheet2}) {
        for (QWidget* child : page->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (child->isWindow() || child->objectName().startsWith(QLatin1String("qt_")))
                continue;
            EXPECT_TRUE(page->rect().contains(child->geometry()))
                << child->objectName().toStdString() << " in " << page->objectName().toStdString();
        }
    }
}
