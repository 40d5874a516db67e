#include "window/mainwindow.h"

#include "core/layout/sheetlayout.h"
#include "window/composeresultdialog.h"
#include "window/configdialog.h"
#include "window/mainwindowform.h"
#include "window/resources/resources.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardItemModel>

#include <cstdlib>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new MainWindowForm)
{
    initKorvaneResources();
    ui->setupUi(this);

    fileModel = new QStandardItemModel(this);
    ui->lstFile->setModel(fileModel);
    setUpFileList();
    setUpShortcuts();
    settingsDialog = new configDialog(this);
    resultDialog = new ComposeResultDialog(this);

    if (const int error = settingsDialog->loadSettings()) {
        QMessageBox::about(this, QStringLiteral("Startup Error"),
                           QStringLiteral("Can not read settings,Error Number is: 0x") +
                               QString::number(error, 16));
        // Without readable settings there is nothing sensible to run.
        std::exit(1);
    }
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
    while (dialog.exec() == QDialog::Accepted) {
        const QString chosen = dialog.selectedFiles().value(0);
        // The dialog leaves some names without a suffix that the sheet gets
        // later ("keep.", or a typed path through a folder with a dot in its
        // name); it asked about another file then, so ask about the real one.
        const QString sheetPath = SheetLayout::sheetPathFor(chosen);
        if (sheetPath == chosen || !QFileInfo::exists(sheetPath))
            return chosen;
        const QString question = QFileDialog::tr("%1 already exists.\nDo you want to replace it?")
                                     .arg(QFileInfo(sheetPath).fileName());
        if (QMessageBox::warning(this, dialog.windowTitle(), question,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes)
            return chosen;
    }
    return QString();
}

void MainWindow::on_btnSettings_clicked()
{
    if (const int error = settingsDialog->loadSettings()) {
        QMessageBox::about(this, QStringLiteral("Startup Error"),
                           QStringLiteral("Can not read settings,Error Number is: 0x") +
                               QString::number(error, 16));
    }
    settingsDialog->show();
}

void MainWindow::on_pushButton_clicked()
{
    QMessageBox::about(this, QStringLiteral("Korvane"),
                       QStringLiteral("\r\nKorvane\r\nWritten by the Korvane developers\r\n"
                                      "If you find bugs or wanne source code,\r\n"
                                      " pls e-mail to korvane@example.org"));
}
