#include "UDlgStatistic.h"

#include "imaging/ImageKinds.h"
#include "platform/Exception.h"
#include "store/UDMMain.h"
#include "widgets/CentreOnScreen.h"
#include "widgets/Prompts.h"

#include <QApplication>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
struct TCountLabel {
    char letter;
    QLabel* TDlgStatistic::*label;
    const char* name;
};

constexpr TCountLabel kCountLabels[] = {
    {'B', &TDlgStatistic::txtBMP, "txtBMP"}, {'I', &TDlgStatistic::txtICO, "txtICO"},
    {'E', &TDlgStatistic::txtEMF, "txtEMF"}, {'W', &TDlgStatistic::txtWMF, "txtWMF"},
    {'J', &TDlgStatistic::txtJPG, "txtJPG"}, {'G', &TDlgStatistic::txtGIF, "txtGIF"},
    {'P', &TDlgStatistic::txtPNG, "txtPNG"}, {'V', &TDlgStatistic::txtWEBP, "txtWEBP"},
    {'T', &TDlgStatistic::txtTIFF, "txtTIFF"}, {'H', &TDlgStatistic::txtHEIF, "txtHEIF"},
    {'A', &TDlgStatistic::txtAVIF, "txtAVIF"},
};

const TCountLabel* CountSlot(char kind)
{
    for (const TCountLabel& slot : kCountLabels)
        if (slot.letter == kind)
            return &slot;
    return nullptr;
}
} // namespace

std::string FormatCount(int64_t count)
{
    // The C locale leaves the separator out unless told otherwise.
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(static_cast<qlonglong>(count)).toStdString();
}

TDlgStatistic::TDlgStatistic(TDMMain& store, QWidget* parent) : QDialog(parent), CDS2("CDS2")
{
    setObjectName("DlgStatistic");
    setWindowTitle("Statistic");
    setStatusTip("Statistic dialog");

    auto* bevel = new QFrame(this);
    bevel->setFrameStyle(QFrame::Box | QFrame::Sunken);
    auto* rows = new QGridLayout(bevel);
    int row = 0;
    for (const TImageKind& kind : ImageKinds()) {
        auto* caption = new QLabel(QString::fromStdString(kind.StatisticLabel), bevel);
        auto* count = new QLabel("0", bevel);
        count->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        if (const TCountLabel* slot = CountSlot(kind.Letter)) {
            this->*slot->label = count;
            count->setObjectName(slot->name);
        }
        rows->addWidget(caption, row, 0);
        rows->addWidget(count, row, 1);
        ++row;
    }

    auto* ok = new QPushButton("OK", this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &TDlgStatistic::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(bevel);
    layout->addLayout(buttons);

    CountImages(store);

    // The designed client area, larger only if the fonts need it.
    setFixedSize(QSize(217, 168).expandedTo(sizeHint()));
    CentreOnScreen(*this);
}

QLabel* TDlgStatistic::CountLabel(char kind) const
{
    const TCountLabel* slot = CountSlot(kind);
    return slot ? this->*slot->label : nullptr;
}

void TDlgStatistic::CountImages(TDMMain& store)
{
    // A copy of every record, whatever the main window's filter.
    const std::vector<int64_t> counts = CountImagesPerKind(store.CDS, CDS2);
    for (size_t i = 0; i < counts.size(); ++i)
        if (QLabel* label = CountLabel(ImageKinds()[i].Letter))
            label->setText(QString::fromStdString(FormatCount(counts[i])));
}

void ShowStatisticDialog(TDMMain& store)
{
    TDlgStatistic dialog(store, QApplication::activeWindow());
    Prompts().ExecDialog(dialog);
}
