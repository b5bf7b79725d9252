#include "UDlgSize.h"

#include "widgets/CentreOnScreen.h"
#include "widgets/Prompts.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

static QSpinBox* MakeUpDown(QWidget* parent, const char* name, int minimum, int maximum)
{
    auto* upDown = new QSpinBox(parent);
    upDown->setObjectName(name);
    upDown->setRange(minimum, maximum);
    upDown->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    upDown->setAccelerated(true);
    if (auto* edit = upDown->findChild<QLineEdit*>())
        edit->setMaxLength(3);
    return upDown;
}

TDlgSize::TDlgSize(QWidget* parent) : QDialog(parent)
{
    setObjectName("DlgSize");
    setWindowTitle("Thumbnail Size");
    setStatusTip("Display size dialog");

    edWidth = MakeUpDown(this, "edWidth", MinWidth, MaxWidth);
    edHeight = MakeUpDown(this, "edHeight", MinHeight, MaxHeight);
    auto* lblWidth = new QLabel("&Width:", this);
    lblWidth->setBuddy(edWidth);
    auto* lblHeight = new QLabel("&Height:", this);
    lblHeight->setBuddy(edHeight);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton("OK", QDialogButtonBox::AcceptRole);
    buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &TDlgSize::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TDlgSize::reject);

    auto* grid = new QGridLayout(this);
    grid->addWidget(lblWidth, 0, 0);
    grid->addWidget(edWidth, 0, 1);
    grid->addWidget(lblHeight, 1, 0);
    grid->addWidget(edHeight, 1, 1);
    grid->addWidget(buttons, 2, 0, 1, 2);
    grid->setSizeConstraint(QLayout::SetFixedSize);
    CentreOnScreen(*this);
}

void TDlgSize::accept()
{
    // A value still being typed when OK is clicked counts, held to the range.
    edWidth->interpretText();
    edHeight->interpretText();
    QDialog::accept();
}

bool ExecuteSizeDialog(int& width, int& height)
{
    TDlgSize dialog(QApplication::activeWindow());
    dialog.edWidth->setValue(width);
    dialog.edHeight->setValue(height);
    if (Prompts().ExecDialog(dialog) != QDialog::Accepted)
        return false;
    width = dialog.edWidth->value();
    height = dialog.edHeight->value();
    return true;
}
