#include "window/configdialogform.h"

#include <QCoreApplication>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QRadioButton>

namespace {

QFont arial(int pointSize = -1)
{
    QFont font;
    font.setFamily(QStringLiteral("Arial"));
    if (pointSize > 0)
        font.setPointSize(pointSize);
    font.setBold(false);
    font.setWeight(QFont::Normal);
    return font;
}

} // namespace

void configDialogForm::setupUi(QDialog *configDialog)
{
    if (configDialog->objectName().isEmpty())
        configDialog->setObjectName(QStringLiteral("configDialog"));
    configDialog->resize(479, 216);
    QFont dialogFont;
    dialogFont.setFamily(QStringLiteral("Arial"));
    dialogFont.setPointSize(10);
    configDialog->setFont(dialogFont);
    configDialog->setSizeGripEnabled(false);
    configDialog->setModal(true);

    label = new QLabel(configDialog);
    label->setObjectName(QStringLiteral("label"));
    label->setGeometry(QRect(30, 20, 121, 16));
    label->setFont(arial(10));
    label_2 = new QLabel(configDialog);
    label_2->setObjectName(QStringLiteral("label_2"));
    label_2->setGeometry(QRect(30, 50, 111, 16));
    label_2->setFont(arial(10));
    label_3 = new QLabel(configDialog);
    label_3->setObjectName(QStringLiteral("label_3"));
    label_3->setGeometry(QRect(370, 90, 91, 16));
    label_3->setFont(arial(10));

    txtSelectPath = new QLineEdit(configDialog);
    txtSelectPath->setObjectName(QStringLiteral("txtSelectPath"));
    txtSelectPath->setGeometry(QRect(150, 20, 271, 20));
    txtSavePath = new QLineEdit(configDialog);
    txtSavePath->setObjectName(QStringLiteral("txtSavePath"));
    txtSavePath->setGeometry(QRect(150, 50, 271, 20));
    txtMarginPix = new QLineEdit(configDialog);
    txtMarginPix->setObjectName(QStringLiteral("txtMarginPix"));
    txtMarginPix->setGeometry(QRect(370, 120, 91, 20));
    txtMarginPix->setAlignment(Qt::AlignCenter);

    btnSelectPath = new QPushButton(configDialog);
    btnSelectPath->setObjectName(QStringLiteral("btnSelectPath"));
    btnSelectPath->setGeometry(QRect(430, 20, 31, 23));
    btnSelectPath->setFont(arial());
    btnSavePath = new QPushButton(configDialog);
    btnSavePath->setObjectName(QStringLiteral("btnSavePath"));
    btnSavePath->setGeometry(QRect(430, 50, 31, 23));
    btnSavePath->setFont(arial());

    groupBox = new QGroupBox(configDialog);
    groupBox->setObjectName(QStringLiteral("groupBox"));
    groupBox->setGeometry(QRect(30, 80, 311, 61));
    radVertical = new QRadioButton(groupBox);
    radVertical->setObjectName(QStringLiteral("radVertical"));
    radVertical->setGeometry(QRect(40, 30, 81, 16));
    radVertical->setFont(arial(10));
    radHorizontal = new QRadioButton(groupBox);
    radHorizontal->setObjectName(QStringLiteral("radHorizontal"));
    radHorizontal->setGeometry(QRect(170, 30, 101, 16));
    radHorizontal->setFont(arial(10));

    btnCancel = new QPushButton(configDialog);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(QRect(264, 160, 91, 31));
    btnOK = new QPushButton(configDialog);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setGeometry(QRect(380, 160, 81, 31));
    // Return anywhere in the dialog means OK; the other buttons react to
    // Space when focused, so Return never opens a folder chooser.
    btnSelectPath->setAutoDefault(false);
    btnSavePath->setAutoDefault(false);
    btnCancel->setAutoDefault(false);
    btnOK->setDefault(true);
    // Tab goes through the form as it reads, not in the order of creation
    // (the margin came before the browse buttons).
    QWidget::setTabOrder(txtSelectPath, btnSelectPath);
    QWidget::setTabOrder(btnSelectPath, txtSavePath);
    QWidget::setTabOrder(txtSavePath, btnSavePath);
    QWidget::setTabOrder(btnSavePath, radVertical);
    QWidget::setTabOrder(radVertical, radHorizontal);
    QWidget::setTabOrder(radHorizontal, txtMarginPix);
    QWidget::setTabOrder(txtMarginPix, btnCancel);
    QWidget::setTabOrder(btnCancel, btnOK);

    retranslateUi(configDialog);
    QMetaObject::connectSlotsByName(configDialog);
}

void configDialogForm::retranslateUi(QDialog *configDialog)
{
    const auto tr = [](const char *text) {
        return QCoreApplication::translate("configDialog", text, nullptr);
    };
    configDialog->setWindowTitle(tr("Settings"));
    label->setText(tr("Default Select Path"));
    label_2->setText(tr("Default  Save  Path"));
    label_3->setText(tr("Magin (Pixels)"));
    txtMarginPix->setText(tr("2"));
    btnSelectPath->setText(tr("..."));
    btnSavePath->setText(tr("..."));
    groupBox->setTitle(tr("Compose Orientation"));
    radVertical->setText(tr("Vertical"));
    radHorizontal->setText(tr("Horizontal"));
    btnCancel->setText(tr("Cancel"));
    btnOK->setText(tr("OK"));
}
