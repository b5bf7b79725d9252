#pragma once
// The statistic dialog: how many images of each kind the open vault holds,
// counted in a private copy of the whole table so that the main window's
// cursor and filter stay as they are.
#include "imaging/ImageKinds.h"
#include "store/VaultTable.h"

#include <QDialog>
#include <cstdint>
#include <string>

class QLabel;
class TDMMain;

class TDlgStatistic : public QDialog {
    Q_OBJECT
public:
    // Counts at once: the dialog is complete before it is shown.
    explicit TDlgStatistic(TDMMain& store, QWidget* parent = nullptr);

    // The count labels, one per kind, right-aligned.
    QLabel* txtBMP = nullptr;
    QLabel* txtICO = nullptr;
    QLabel* txtEMF = nullptr;
    QLabel* txtWMF = nullptr;
    QLabel* txtJPG = nullptr;
    QLabel* txtGIF = nullptr;
    QLabel* txtPNG = nullptr;
    QLabel* txtWEBP = nullptr;
    QLabel* txtTIFF = nullptr;
    QLabel* txtHEIF = nullptr;
    QLabel* txtAVIF = nullptr;

    // The count label of an image kind letter (null for any other letter).
    QLabel* CountLabel(char kind) const;

    // The second table the counts are taken from; open only while counting.
    TVaultTable CDS2;

private:
    void CountImages(TDMMain& store);
};

// A whole number with the locale's thousands separator and no decimals:
// 1500 gives "1,500" in English.
std::string FormatCount(int64_t count);

// Creates the statistic dialog for the store's open vault, shows it
// modally and frees it.
void ShowStatisticDialog(TDMMain& store);
