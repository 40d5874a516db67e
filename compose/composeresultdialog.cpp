#include "compose/composeresultdialog.h"

#include "compose/composeresultdialogform.h"

#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPixmap>

ComposeResultDialog::ComposeResultDialog(QWidget *parent)
    : QDialog(parent), ui(new ComposeResultDialogForm)
{
    ui->setupUi(this);
}

ComposeResultDialog::~ComposeResultDialog()
{
    delete ui;
}

void ComposeResultDialog::setResultImage(const QString &path)
{
    if (!QFile::exists(path))
        return;

    const QImage image(path);
    if (image.isNull()) {
        // Exists but is not an image: show nothing rather than a stale sheet.
        ui->labImageResult->setPixmap(QPixmap());
        ui->labInfo->setText(tr("Total Size:"));
        return;
    }
    // The whole label, frame included, is the target; QImage::scaled keeps
    // both sides at least one pixel.
    const QImage preview =
        image.scaled(ui->labImageResult->size(), Qt::KeepAspectRatio, Qt::FastTransformation);
    ui->labImageResult->setPixmap(QPixmap::fromImage(preview));
    ui->labInfo->setText(tr("Total Size: %1 x %2").arg(image.width()).arg(image.height()));
}

void ComposeResultDialog::on_btnClose_clicked()
{
    hide();
}
