#include "UDlgPassword.h"

#include "UDMMain.h"
#include "widgets/CentreOnScreen.h"
#include "widgets/ErrorGuard.h"
#include "widgets/Prompts.h"
#include "widgets/WaitCursor.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>

void MakePasswordEdit(QLineEdit* edit)
{
    edit->setEchoMode(QLineEdit::Password);
    edit->setMaxLength(50);
    edit->setStyleSheet("QLineEdit { lineedit-password-character: 42; }");
}

TDlgPassword::TDlgPassword(TDMMain& store, QWidget* parent) : QDialog(parent), store_(store)
{
    setObjectName("DlgPassword");
    setWindowTitle("Password");
    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxQuestion).pixmap(32, 32));
    auto* text = new QLabel("Enter correct password.", this);
    edPassword = new QLineEdit(this);
    edPassword->setObjectName("edPassword");
    MakePasswordEdit(edPassword);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &TDlgPassword::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TDlgPassword::reject);

    auto* grid = new QGridLayout(this);
    grid->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(text, 0, 1);
    grid->addWidget(edPassword, 1, 1);
    grid->addWidget(buttons, 2, 0, 1, 2);
    grid->setSizeConstraint(QLayout::SetFixedSize);
    CentreOnScreen(*this);
}

void TDlgPassword::accept()
{
    // Deriving the key takes about half a second: the cursor says so.
    if (Guarded([this] { WithWaitCursor([this] { store_.CheckPassword(edPassword->text().toStdString()); }); }))
        QDialog::accept();
}

bool AskPassword(TDMMain& store)
{
    TDlgPassword dialog(store, QApplication::activeWindow());
    return Prompts().ExecDialog(dialog) == QDialog::Accepted;
}
