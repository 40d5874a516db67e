#include "window/mainwindow.h"

#include "core/inputs.h"
#include "core/layout/sheetlayout.h"
#include "core/output/atomicfile.h"
#include "core/settings/configfile.h"
#include "window/composeresultdialog.h"
#include "window/configdialog.h"
#include "window/mainwindowform.h"
#include "window/messagebox.h"
#include "window/resources/resources.h"
#include "window/textfit.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardItemModel>

#include <algorithm>
#include <cstdlib>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new MainWindowForm)
{
    initKorvaneResources();
    ui->setupUi(this);
    fitFileDialogsOnScreen();

    fileModel = new QStandardItemModel(this);
    ui->lstFile->setModel(fileModel);
    setUpFileList();
    setUpShortcuts();
    settingsDialog = new configDialog(this);
    resultDialog = new ComposeResultDialog(this);

    if (const int error = settingsDialog->loadSettings()) {
        reportUnreadableSettings(error);
        // Without readable settings there is nothing sensible to run.
        std::exit(1);
    }
}

void MainWindow::reportUnreadableSettings(int error)
{
    // The file and the reason on a line of their own: a user of a system-wide
    // install cannot otherwise tell which file is missing or why.
    Boxes::about(this, QStringLiteral("Startup Error"),
                 QStringLiteral("Can not read settings,Error Number is: 0x") +
                     QString::number(error, 16) + QLatin1Char('\n') +
                     configDialog::settingsErrorText(error));
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    fitOnScreen(this);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_rendering)
        event->ignore();
    else
        QMainWindow::closeEvent(event);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::setUpShortcuts()
{
    const auto bind = [this](QPushButton *button, const QList<QKeySequence> &keys) {
        auto *action = new QAction(button);
        action->setShortcuts(keys);
        connect(action, &QAction::triggered, button, &QPushButton::click);
        addAction(action);
    };
    bind(ui->btnPickFile, {QKeySequence(Qt::CTRL | Qt::Key_O)});
    // Return is the main keyboard's key, Enter the keypad's.
    bind(ui->btnGenerate,
         {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
    bind(ui->btnSettings, {QKeySequence(Qt::CTRL | Qt::Key_Comma)});
}

QString MainWindow::askSheetPath()
{
    QFileDialog dialog(this, QStringLiteral("Select Files"), settingsDialog->defaultSavePath,
                       QStringLiteral("PNG Files(*.png)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("png"));
    // The dialog would ask about the name it returns only; the placement
    // file and a sheet name that gets its suffix later are asked about here.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    while (dialog.exec() == QDialog::Accepted) {
        const QString chosen = dialog.selectedFiles().value(0);
        const QStringList outputs{SheetLayout::sheetPathFor(chosen),
                                  SheetLayout::placementPathFor(chosen)};
        const QString input = listedInputAmong(outputs);
        if (!input.isEmpty()) {
            Boxes::warn(this, dialog.windowTitle(),
                        tr("%1 is one of the listed images.\nChoose another name for the sheet.")
                            .arg(QDir::toNativeSeparators(input)));
            continue;
        }
        // A link named like an output can lead to config.xml: written over,
        // the settings would be lost and the next start would fail.
        const QString settings = settingsFilePath();
        const auto isSettings = [&settings](const QString &output) {
            return !settings.isEmpty() && isSameFile(output, settings);
        };
        if (const auto it = std::find_if(outputs.begin(), outputs.end(), isSettings);
            it != outputs.end()) {
            Boxes::warn(
                this, dialog.windowTitle(),
                tr("%1 would overwrite the settings file %2.\nChoose another name for "
                   "the sheet.")
                    .arg(QDir::toNativeSeparators(*it), QDir::toNativeSeparators(settings)));
            continue;
        }
        if (confirmReplacing(chosen, dialog.windowTitle()))
            return chosen;
    }
    return QString();
}

QString MainWindow::listedInputAmong(const QStringList &outputs) const
{
    for (int row = 0; row < fileModel->rowCount(); ++row) {
        const QString path = fileModel->item(row, 0)->text();
        for (const QString &output : outputs) {
            if (isSameFile(output, path))
                return output;
        }
    }
    return QString();
}

bool MainWindow::confirmReplacing(const QString &chosen, const QString &title)
{
    QStringList existing;
    for (const QString &path :
         {SheetLayout::sheetPathFor(chosen), SheetLayout::placementPathFor(chosen)}) {
        // Only files are replaced; the write refuses anything else. A name
        // ending in ".txt" makes the sheet its own placement file: one file.
        if (QFileInfo(path).isFile() && !existing.contains(QFileInfo(path).fileName()))
            existing << QFileInfo(path).fileName();
    }
    if (existing.isEmpty())
        return true;
    const QString question =
        existing.size() == 1
            ? QFileDialog::tr("%1 already exists.\nDo you want to replace it?").arg(existing[0])
            : tr("%1 and %2 already exist.\nDo you want to replace them?")
                  .arg(existing[0], existing[1]);
    return Boxes::askYesNo(this, title, question);
}

void MainWindow::on_btnSettings_clicked()
{
    if (const int error = settingsDialog->loadSettings())
        reportUnreadableSettings(error);
    settingsDialog->show();
}

void MainWindow::on_pushButton_clicked()
{
    // QMessageBox::about()'s box, opened rather than run: it stays clickable
    // during a Generate, and its own event loop would hold the finished run
    // back (window locked, no result) until it was closed.
    Boxes::aboutBox(this, QStringLiteral("Korvane"),
                    QStringLiteral("\r\nKorvane\r\nWritten by the Korvane developers\r\n"
                                   "If you find bugs or wanne source code,\r\n"
                                   " pls e-mail to korvane@example.org"))
        ->open();
}
