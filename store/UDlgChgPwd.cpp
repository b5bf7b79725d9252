#include "UDlgChgPwd.h"

#include "UDMMain.h"
#include "UDlgPassword.h"
#include "widgets/CentreOnScreen.h"
#include "widgets/ErrorGuard.h"
#include "widgets/Prompts.h"
#include "widgets/WaitCursor.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TDlgChgPwd::TDlgChgPwd(TDMMain& store, QWidget* parent) : QDialog(parent), store_(store)
{
    setObjectName("DlgChgPwd");
    setWindowTitle("Change Password");
    auto* text = new QLabel("Change password and verify correctly.", this);
    edOld = new QLineEdit(this);
    edOld->setObjectName("edOld");
    edNew = new QLineEdit(this);
    edNew->setObjectName("edNew");
    edVerify = new QLineEdit(this);
    edVerify->setObjectName("edVerify");
    for (QLineEdit* e : {edOld, edNew, edVerify})
        MakePasswordEdit(e);

    auto* form = new QFormLayout;
    auto addRow = [&](const char* caption, QLineEdit* edit) {
        auto* label = new QLabel(caption, this);
        label->setBuddy(edit);
        form->addRow(label, edit);
    };
    addRow("&Old password:", edOld);
    addRow("&New password:", edNew);
    addRow("&Verify:", edVerify);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &TDlgChgPwd::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TDlgChgPwd::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addLayout(form);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // Without a password there is no old one to prove.
    edOld->setEnabled(store_.LocatePassword());
    CentreOnScreen(*this);
}

bool TDlgChgPwd::ApplyChange()
{
    const std::string oldText = edOld->text().toStdString();
    const std::string newText = edNew->text().toStdString();
    CheckNewPassword(oldText, newText, edVerify->text().toStdString());
    if (newText.empty()) {
        MessageRequest q;
        q.title = "Confirm";
        q.text = "Are you sure to empty password?";
        q.icon = MsgIcon::Question;
        q.buttons = {MsgButton::Yes, MsgButton::No};
        q.defaultButton = MsgButton::No; // Enter must not remove the protection
        if (Prompts().Message(q) != MsgButton::Yes)
            return false;
    }
    // Keys are derived and, for a new protection or its removal, every
    // image is rewritten: the cursor says the program is at work.
    WithWaitCursor([&] { store_.SetPassword(oldText, newText); });
    MessageRequest info;
    info.title = "Information";
    info.text = newText.empty() ? kPasswordRemoved : kPasswordChanged;
    info.icon = MsgIcon::Information;
    Prompts().Message(info);
    return true;
}

void TDlgChgPwd::accept()
{
    bool close = false;
    if (Guarded([&] { close = ApplyChange(); }) && close)
        QDialog::accept();
}

void ChangePassword(TDMMain& store)
{
    TDlgChgPwd dialog(store, QApplication::activeWindow());
    Prompts().ExecDialog(dialog);
}
