#pragma once

class QDialog;
class QLabel;
class QPushButton;

// The result dialog's widgets; they belong to the dialog's object tree.
struct ComposeResultDialogForm
{
    QPushButton *btnClose = nullptr;
    QLabel *labInfo = nullptr;
    QLabel *labImageResult = nullptr;

    void setupUi(QDialog *ComposeResultDialog);
    void retranslateUi(QDialog *ComposeResultDialog);
};
