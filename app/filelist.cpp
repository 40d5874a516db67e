// The main window's file list: picking files into it and clearing it.

#include "app/mainwindow.h"

#include "app/mainwindowform.h"
#include "settings/configdialog.h"

#include <QFileDialog>
#include <QLinearGradient>
#include <QListView>
#include <QStandardItemModel>

void MainWindow::on_btnPickFile_clicked()
{
    const QStringList paths = QFileDialog::getOpenFileNames(this, QStringLiteral("Select Files"),
                                                            settingsDialog->defaultSelectPath,
                                                            QStringLiteral("PNG Files(*.png)"));
    for (const QString &path : paths)
        addFileItem(path);
}

void MainWindow::on_btnCleanList_clicked()
{
    fileModel->clear();
}

void MainWindow::addFileItem(const QString &path)
{
    auto *item = new QStandardItem(path);
    // Each row keeps the gradient of the view's size at the time it was added.
    QLinearGradient gradient(QPointF(0, 0), QPointF(ui->lstFile->width(), ui->lstFile->height()));
    gradient.setColorAt(0, Qt::white);
    gradient.setColorAt(1, Qt::red);
    item->setData(QBrush(gradient), Qt::BackgroundRole);
    fileModel->appendRow(item);
}
