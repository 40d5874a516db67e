#include "window/configdialog.h"

#include "core/settings/configfile.h"
#include "window/configdialogform.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>

configDialog::configDialog(QWidget *parent) : QDialog(parent), ui(new configDialogForm)
{
    ui->setupUi(this);
}

configDialog::~configDialog()
{
    delete ui;
}

int configDialog::loadSettings()
{
    QMap<QString, QString> paths{{QStringLiteral("defaultSavePath"), QString()},
                                 {QStringLiteral("defaultSelectPath"), QString()}};
    if (const int error = readConfigAttributes(settingsFilePath(), QStringLiteral("paths"), paths))
        return error;
    defaultSavePath = paths.value(QStringLiteral("defaultSavePath")).trimmed();
    defaultSelectPath = paths.value(QStringLiteral("defaultSelectPath")).trimmed();
    ui->txtSavePath->setText(defaultSavePath);
    ui->txtSelectPath->setText(defaultSelectPath);

    QMap<QString, QString> parameters{{QStringLiteral("marginPixel"), QString()},
                                      {QStringLiteral("Orientation"), QString()}};
    if (const int error =
            readConfigAttributes(settingsFilePath(), QStringLiteral("parameters"), parameters))
        return error;
    // Text that is not a base-10 integer becomes 0, as stored files expect.
    marginPixel = parameters.value(QStringLiteral("marginPixel")).toInt(nullptr, 10);
    Orientation = parameters.value(QStringLiteral("Orientation")).toInt(nullptr, 10);
    ui->txtMarginPix->setText(QString::number(marginPixel));
    if (Orientation != 0)
        ui->radHorizontal->setChecked(true);
    else
        ui->radVertical->setChecked(true);
    return 0;
}

int configDialog::saveSettings()
{
    const QMap<QString, QString> paths{
        {QStringLiteral("defaultSavePath"), ui->txtSavePath->text()},
        {QStringLiteral("defaultSelectPath"), ui->txtSelectPath->text()}};
    if (const int error = writeConfigAttributes(settingsFilePath(), QStringLiteral("paths"), paths))
        return error;

    const QMap<QString, QString> parameters{
        {QStringLiteral("marginPixel"), ui->txtMarginPix->text().trimmed()},
        {QStringLiteral("Orientation"),
         ui->radVertical->isChecked() ? QStringLiteral("0") : QStringLiteral("1")}};
    return writeConfigAttributes(settingsFilePath(), QStringLiteral("parameters"), parameters);
}

void configDialog::on_btnCancel_clicked()
{
    hide();
}

void configDialog::on_btnOK_clicked()
{
    if (const int error = saveSettings()) {
        QMessageBox::about(this, QStringLiteral("Save Error"),
                           QStringLiteral("Can not save settings,Error Number is: 0x") +
                               QString::number(error, 16));
    }
    // Reload whatever the file now holds; a failure here is not reported.
    loadSettings();
    hide();
}

void configDialog::on_btnSelectPath_clicked()
{
    // Starts at the stored folder, not at what the field shows now.
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Select Directory"), defaultSelectPath, QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        ui->txtSelectPath->setText(folder);
}

void configDialog::on_btnSavePath_clicked()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Select Directory"), defaultSavePath, QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        ui->txtSavePath->setText(folder);
}
