// The Generate command: from the listed files to the sheet, the placement
// file and the preview. The compose work runs on a worker thread while the
// window keeps repainting and shows progress.

#include "window/mainwindow.h"

#include "core/layout/sheetlayout.h"
#include "core/output/atomicfile.h"
#include "core/sheetrender.h"
#include "window/composeresultdialog.h"
#include "window/configdialog.h"
#include "window/mainwindowform.h"
#include "window/messagebox.h"

#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QListView>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QSet>
#include <QStandardItemModel>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>

#include <memory>
#include <utility>

namespace {
// The form's list is meant for at most 99 images per run.
constexpr int fileLimit = 100;
// Runs shorter than this finish without a progress dialog.
constexpr int progressDelayMs = 500;

// The reason goes on a line of its own, in korvane-pack's words.
void reportUnloadable(QWidget *parent, const Compose::Failure &failure)
{
    QString text = QStringLiteral("Failed to load png file:%1").arg(failure.path);
    if (!failure.reason.isEmpty())
        text += QLatin1Char('\n') + failure.reason;
    Boxes::about(parent, QStringLiteral("test"), text);
}
// After a failed write: when an output's folder takes no new file, that is
// what the user can act on, rather than the writer's temporary file.
QString unwritableFolder(const QStringList &outputs)
{
    for (const QString &output : outputs) {
        const QFileInfo folder(QFileInfo(output).absolutePath());
        if (!folder.isDir())
            continue;
        QTemporaryFile probe(folder.absoluteFilePath() + QStringLiteral("/.korvane-probe-XXXXXX"));
        if (!probe.open())
            return QStringLiteral("The folder %1 is not writable: %2")
                .arg(QDir::toNativeSeparators(folder.absoluteFilePath()), probe.errorString());
    }
    return QString();
}

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
    // The run keeps this margin: the settings dialog may save another one
    // while the run goes on, for the next run.
    const int runMargin = settingsDialog->marginPixel;
    // A negative margin would put images outside the sheet and on top of
    // each other while the placement file claims them all.
    if (runMargin < 0) {
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

    m_listedPaths.clear();
    for (int row = 0; row < fileCount; ++row)
        m_listedPaths << fileModel->item(row, 0)->text();
    reportRun(renderInBackground(runMargin));
}

void MainWindow::probeImageSizes()
{
    // Sizes come from the headers; nothing but a regular file is opened. A
    // GIF is decoded whole to find its size, so this runs on the worker and
    // stops between files at Cancel.
    imageSizes.clear();
    m_unprobedImages.clear();
    QSet<QString> probed; // a path listed twice is packed, and reported, once
    for (const QString &path : std::as_const(m_listedPaths)) {
        if (m_progress.cancelRequested)
            return;
        if (probed.contains(path))
            continue;
        probed.insert(path);
        QSize size;
        Compose::Failure failure;
        if (!Compose::probeImage(path, Compose::Limits(), &size, &failure)) {
            failure.path = path;
            m_unprobedImages.append(failure);
            continue;
        }
        imageSizes.insert(path, size);
    }
}

void MainWindow::reportRun(int rendered)
{
    const QImage savedSheet = std::exchange(m_savedSheet, QImage());
    // Images that did not probe, or whose data turned out not to decode, were
    // left out of the sheet; a cancelled run made no sheet, and ends without
    // a box.
    const bool cancelled = rendered != 1 && m_progress.cancelRequested;
    if (!cancelled) {
        for (const Compose::Failure &unprobed : std::as_const(m_unprobedImages))
            reportUnloadable(this, unprobed);
        for (const Compose::Failure &skipped : std::as_const(m_skippedImages))
            reportUnloadable(this, skipped);
    }
    if (rendered == 1) {
        resultDialog->keepSavedSheet(sheetPngPath, savedSheet);
        resultDialog->setPlacements(m_plan.placements);
        resultDialog->setResultImage(sheetPngPath);
        resultDialog->show();
        // The keyboard stays with the list (Delete, Space) rather than the
        // preview, whatever the platform does with a new window.
        activateWindow();
    } else if (!cancelled) {
        QString text = QStringLiteral("Failed!");
        if (!m_lastError.isEmpty())
            text += QStringLiteral("\n\n") + m_lastError;
        Boxes::about(this, QStringLiteral("Result"), text);
    }
}

int MainWindow::renderInBackground(int margin)
{
    m_progress.cancelRequested = false;
    m_progress.done = 0;
    m_progress.total = QSet<QString>(m_listedPaths.cbegin(), m_listedPaths.cend()).size();
    const QList<QWidget *> locked{ui->btnPickFile, ui->btnCleanList, ui->btnGenerate,
                                  ui->btnSettings, ui->lstFile};
    // Disabling the focused widget moves focus along the chain (to About...,
    // where Space opens the box); it goes back where it was afterwards.
    QPointer<QWidget> focused = focusWidget();
    if (!focused)
        focused = ui->lstFile;
    for (QWidget *widget : locked)
        widget->setEnabled(false);

    int result = 0;
    QEventLoop loop;
    std::unique_ptr<QThread> worker(QThread::create([this, &result, margin] {
        probeImageSizes();
        if (!m_progress.cancelRequested)
            result = renderSheet(margin);
    }));
    connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);

    QProgressDialog progress(QStringLiteral("Generating sheet…"), QStringLiteral("Cancel"), 0,
                             m_progress.total, this);
    progress.setWindowTitle(QStringLiteral("Generate"));
    auto *bar = new QProgressBar(&progress);
    bar->setFormat(QStringLiteral("%v of %m images"));
    progress.setBar(bar);
    progress.setMinimumWidth(360);
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(progressDelayMs);
    progress.setAutoReset(false);
    progress.setValue(0);
    connect(&progress, &QProgressDialog::canceled, this,
            [this] { m_progress.cancelRequested = true; });
    QTimer poll;
    connect(&poll, &QTimer::timeout, &progress, [this, &progress] {
        // Cancel hides the dialog for good: a later value would show it again.
        if (progress.wasCanceled())
            return;
        progress.setMaximum(qMax(1, m_progress.total.load()));
        progress.setValue(qMin(m_progress.done.load(), progress.maximum()));
    });
    poll.start(50);

    m_rendering = true;
    worker->start();
    loop.exec();
    worker->wait();
    m_rendering = false;
    poll.stop();
    progress.reset();

    for (QWidget *widget : locked)
        widget->setEnabled(true);
    if (focused)
        focused->setFocus(Qt::OtherFocusReason);
    return result;
}

int MainWindow::layoutSheet(QSize &sheetSize)
{
    return layoutSheet(sheetSize, settingsDialog->marginPixel);
}

int MainWindow::layoutSheet(QSize &sheetSize, int m)
{
    m_plan = SheetLayout::compute(imageSizes, m);
    if (!m_plan.isEmpty() && !m_plan.fitsInt())
        return -1;
    // The text goes in place together with the sheet, once the sheet is made.
    m_placementText = SheetLayout::placementText(m_plan.placements);
    margin = m;
    imagePositions = m_plan.positions();
    if (!m_plan.isEmpty())
        sheetSize = m_plan.sheetSize();
    return 1;
}

int MainWindow::renderSheet()
{
    return renderSheet(settingsDialog->marginPixel);
}

int MainWindow::renderSheet(int margin)
{
    m_lastError.clear();
    m_skippedImages.clear();
    m_savedSheet = QImage();
    const QByteArray format = SheetRender::writerFormatFor(sheetPngPath);
    if (format.isEmpty()) {
        m_lastError =
            QStringLiteral("%1: no image writer for suffix \"%2\"")
                .arg(QDir::toNativeSeparators(sheetPngPath), QFileInfo(sheetPngPath).suffix());
        return 0;
    }

    Compose::SheetJob job;
    job.sheetPath = sheetPngPath;
    job.sizes = imageSizes;
    job.progress = &m_progress;
    // Each pass lays out what is left, so the window's state always
    // describes the sheet being made.
    job.layout = [this, margin](const QMap<QString, QSize> &sizes) {
        imageSizes = sizes;
        QSize sheetSize;
        layoutSheet(sheetSize, margin);
        return m_plan;
    };
    Compose::SheetResult composed = Compose::composeSheet(job);
    m_skippedImages = composed.skipped;
    if (composed.outcome != Compose::SheetResult::Ok) {
        m_lastError = composed.error;
        return 0;
    }

    QByteArray sheetData;
    std::shared_ptr<const void> sheetStorage; // what sheetData may view
    QString error;
    if (!SheetRender::encode(composed.sheet, format, &sheetData, &error, 0,
                             PngEncoder::Level::Default, &sheetStorage,
                             &m_progress.cancelRequested)) {
        if (!m_progress.cancelRequested)
            m_lastError = QStringLiteral("Cannot save %1: %2")
                              .arg(QDir::toNativeSeparators(sheetPngPath), error);
        return 0;
    }
    // PNG keeps every pixel, so the preview can show this image rather than
    // decode the file again.
    if (format == "png")
        m_savedSheet = composed.sheet;
    composed.sheet = QImage();
    if (m_progress.cancelRequested)
        return 0;
    WriteOptions options;
    options.cancel = &m_progress.cancelRequested;
    QStringList warnings;
    options.warnings = &warnings;
    const bool written = writeFilesAtomically(
        {{sheetTxtPath, m_placementText}, {sheetPngPath, sheetData, sheetStorage}}, options,
        &error);
    for (const QString &warning : std::as_const(warnings))
        qWarning("%s", qUtf8Printable(warning));
    if (!written) {
        const QString folder = unwritableFolder({sheetTxtPath, sheetPngPath});
        m_lastError = folder.isEmpty() ? error : folder;
        return 0;
    }
    return 1;
}
