#pragma once
// The thumbnail size dialog: width and height of the thumbnails, each an
// edit with its up-down.
#include <QDialog>

class QSpinBox;

class TDlgSize : public QDialog {
    Q_OBJECT
public:
    static constexpr int MinWidth = 8;
    static constexpr int MaxWidth = 320;
    static constexpr int MinHeight = 8;
    static constexpr int MaxHeight = 200;

    explicit TDlgSize(QWidget* parent = nullptr);

    // Each up-down with its edit (at most 3 characters); a typed value out
    // of range is pulled to the nearest bound.
    QSpinBox* edWidth = nullptr;
    QSpinBox* edHeight = nullptr;

    // Takes what is typed in the edits before closing with OK.
    void accept() override;
};

// Shows the dialog with the up-downs set to the pair (held within their
// ranges); on OK writes the two positions back into the pair. True when OK
// was pressed; on Cancel the pair is left as it was.
bool ExecuteSizeDialog(int& width, int& height);
