#pragma once
// The change-password dialog of the Tools menu: sets, changes or removes the
// vault's password.
#include <QDialog>

class QLineEdit;
class TDMMain;

class TDlgChgPwd : public QDialog {
    Q_OBJECT
public:
    explicit TDlgChgPwd(TDMMain& store, QWidget* parent = nullptr);

    QLineEdit* edOld = nullptr;
    QLineEdit* edNew = nullptr;
    QLineEdit* edVerify = nullptr;

    // Checks and applies the change; any refusal keeps the dialog open.
    void accept() override;

private:
    bool ApplyChange();

    TDMMain& store_;
};

// Runs the dialog.
void ChangePassword(TDMMain& store);
