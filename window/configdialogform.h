#pragma once

class QDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// The settings dialog's widgets; they belong to the dialog's object tree.
struct configDialogForm
{
    QLabel *label = nullptr;
    QLabel *label_2 = nullptr;
    QLabel *label_3 = nullptr;
    QLineEdit *txtSelectPath = nullptr;
    QLineEdit *txtSavePath = nullptr;
    QLineEdit *txtMarginPix = nullptr;
    QPushButton *btnSelectPath = nullptr;
    QPushButton *btnSavePath = nullptr;
    QGroupBox *groupBox = nullptr;
    QRadioButton *radVertical = nullptr;
    QRadioButton *radHorizontal = nullptr;
    QPushButton *btnCancel = nullptr;
    QPushButton *btnOK = nullptr;

    void setupUi(QDialog *configDialog);
    void retranslateUi(QDialog *configDialog);
};
