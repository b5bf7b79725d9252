#pragma once
// The password prompt shown when a protected vault is opened.
#include <QDialog>

class QLineEdit;
class TDMMain;

class TDlgPassword : public QDialog {
    Q_OBJECT
public:
    explicit TDlgPassword(TDMMain& store, QWidget* parent = nullptr);

    QLineEdit* edPassword = nullptr;

    // OK closes only with the right password; a wrong one shows the error
    // and keeps the prompt open with the typed text.
    void accept() override;

private:
    TDMMain& store_;
};

// Runs the prompt; true when it was closed with OK (the right password).
bool AskPassword(TDMMain& store);

// Masked with '*', at most 50 characters.
void MakePasswordEdit(QLineEdit* edit);
