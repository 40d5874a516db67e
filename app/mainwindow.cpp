#include "app/mainwindow.h"

#include "app/mainwindowform.h"
#include "compose/composeresultdialog.h"
#include "resources/resources.h"
#include "settings/configdialog.h"

#include <QListView>
#include <QMessageBox>
#include <QStandardItemModel>

#include <cstdlib>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new MainWindowForm)
{
    initKorvaneResources();
    ui->setupUi(this);

    fileModel = new QStandardItemModel(this);
    ui->lstFile->setModel(fileModel);
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
