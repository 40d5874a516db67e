// The Generate command: from the listed files to the sheet, the placement
// file and the preview.

#include "app/mainwindow.h"

#include "compose/atomicfile.h"
#include "compose/composeresultdialog.h"
#include "compose/sheetlayout.h"
#include "compose/sheetrender.h"
#include "settings/configdialog.h"

#include <QFileDialog>
#include <QImage>
#include <QMessageBox>
#include <QStandardItemModel>

namespace {
// The form's list is meant for at most 99 images per run.
constexpr int fileLimit = 100;
} // namespace

void MainWindow::on_btnGenerate_clicked()
{
    fileCount = fileModel->rowCount();
    if (fileCount < 1) {
        QMessageBox::about(this, QStringLiteral("Error"),
                           QStringLiteral("Please select PNG files!"));
        return;
    }
    if (fileCount >= fileLimit) {
        QMessageBox::about(this, QStringLiteral("Error"),
                           QStringLiteral("Please select less than %1 files!").arg(fileLimit));
        return;
    }
    // A negative margin would put images outside the sheet and on top of
    // each other while the placement file claims them all.
    if (settingsDialog->marginPixel < 0) {
        QMessageBox::about(this, QStringLiteral("Error"),
                           QStringLiteral("Please set a margin of 0 or more pixels!"));
        return;
    }

    sheetPngPath = askSheetPath();
    if (sheetPngPath.isEmpty())
        return;
    const QString chosenPath = sheetPngPath;
    sheetPngPath = SheetLayout::sheetPathFor(chosenPath);
    sheetTxtPath = SheetLayout::placementPathFor(chosenPath);

    imageSizes.clear();
    for (int row = 0; row < fileCount; ++row) {
        const QString path = fileModel->item(row, 0)->text();
        const QImage image(path);
        if (image.isNull()) {
            QMessageBox::about(this, QStringLiteral("test"),
                               QStringLiteral("Failed to load png file:%1").arg(path));
            continue;
        }
        imageSizes.insert(path, image.size());
    }

    if (renderSheet() == 1) {
        resultDialog->setResultImage(sheetPngPath);
        resultDialog->show();
    } else {
        QMessageBox::about(this, QStringLiteral("Result"), QStringLiteral("Failed!"));
    }
}

int MainWindow::layoutSheet(QSize &sheetSize)
{
    const int m = settingsDialog->marginPixel;
    const SheetLayout::Plan plan = SheetLayout::compute(imageSizes, m);
    if (!plan.isEmpty() && !plan.fitsInt())
        return -1;
    if (!writeFileAtomically(sheetTxtPath, SheetLayout::placementText(plan.placements)))
        return -1;

    margin = m;
    imagePositions = plan.positions();
    if (!plan.isEmpty())
        sheetSize = plan.sheetSize();
    return 1;
}

int MainWindow::renderSheet()
{
    // Find out first whether the sheet can exist at all, so that a run that
    // cannot succeed writes nothing and keeps the previous placement file.
    const SheetLayout::Plan plan = SheetLayout::compute(imageSizes, settingsDialog->marginPixel);
    if (plan.isEmpty() || !plan.fitsInt())
        return 0;
    QImage sheet = SheetRender::newSheet(plan.sheetSize());
    if (sheet.isNull())
        return 0;

    QSize sheetSize(-1, -1);
    if (layoutSheet(sheetSize) != 1 || sheetSize != sheet.size())
        return 0;
    if (SheetRender::paint(sheet, imagePositions, imageSizes) != SheetRender::Status::Ok)
        return 0;
    return SheetRender::save(sheet, sheetPngPath) == SheetRender::Status::Ok ? 1 : 0;
}
