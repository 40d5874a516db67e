#include "window/composeresultdialogform.h"

#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>

void ComposeResultDialogForm::setupUi(QDialog *ComposeResultDialog)
{
    if (ComposeResultDialog->objectName().isEmpty())
        ComposeResultDialog->setObjectName(QStringLiteral("ComposeResultDialog"));
    ComposeResultDialog->resize(404, 557);
    QFont font;
    font.setFamily(QStringLiteral("Arial"));
    font.setPointSize(10);
    ComposeResultDialog->setFont(font);

    btnClose = new QPushButton(ComposeResultDialog);
    btnClose->setObjectName(QStringLiteral("btnClose"));
    btnClose->setGeometry(QRect(310, 520, 81, 21));
    labInfo = new QLabel(ComposeResultDialog);
    labInfo->setObjectName(QStringLiteral("labInfo"));
    labInfo->setGeometry(QRect(10, 520, 291, 21));
    QFont infoFont;
    infoFont.setPointSize(14);
    labInfo->setFont(infoFont);
    labImageResult = new QLabel(ComposeResultDialog);
    labImageResult->setObjectName(QStringLiteral("labImageResult"));
    labImageResult->setGeometry(QRect(10, 10, 381, 501));
    labImageResult->setFrameShape(QFrame::Box);
    labImageResult->setFrameShadow(QFrame::Raised);

    retranslateUi(ComposeResultDialog);
    QMetaObject::connectSlotsByName(ComposeResultDialog);
}

void ComposeResultDialogForm::retranslateUi(QDialog *ComposeResultDialog)
{
    const auto tr = [](const char *text) {
        return QCoreApplication::translate("ComposeResultDialog", text, nullptr);
    };
    ComposeResultDialog->setWindowTitle(tr("Dialog"));
    btnClose->setText(tr("Close"));
    labInfo->setText(tr("Total Size:"));
    labImageResult->setText(tr("TextLabel"));
}
