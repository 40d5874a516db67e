#pragma once

#include <QDialog>

struct ComposeResultDialogForm;

// Modeless preview of the last sheet written. It keeps no copy of the sheet
// beyond the preview pixmap.
class ComposeResultDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ComposeResultDialog(QWidget *parent = nullptr);
    ~ComposeResultDialog() override;

    // Loads the image at `path` and shows it scaled to fit the preview area,
    // keeping its aspect ratio (small sheets are enlarged), with its pixel
    // size in the caption. A missing file leaves the dialog as it was.
    void setResultImage(const QString &path);

    ComposeResultDialogForm *form() const { return ui; }

private slots:
    void on_btnClose_clicked();

private:
    ComposeResultDialogForm *ui;
};
