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
    EXPECT_EQ(checked, 11 + 11 + 3); // labels, check boxes, buttons
}

