#include "window/configdialog.h"

#include "core/settings/configfile.h"
#include "window/configdialogform.h"
#include "window/messagebox.h"
#include "window/textfit.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryFile>

#include <limits>

configDialog::configDialog(QWidget *parent) : QDialog(parent), ui(new configDialogForm)
{
    ui->setupUi(this);
    // A path is shown whole however long the file holds it: cut at the
    // field's default of 32767 characters, OK would save it shortened.
    for (QLineEdit *field : {ui->txtSelectPath, ui->txtSavePath})
        field->setMaxLength(std::numeric_limits<int>::max());
    growToFitTexts(this);
    fitFileDialogsOnScreen();
}

void configDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    fitOnScreen(this);
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
    marginPixel = marginFromText(parameters.value(QStringLiteral("marginPixel")));
    // Read as the margin is, so that a number past int's range is still a
    // number other than 0 (Horizontal) rather than 0.
    Orientation = marginFromText(parameters.value(QStringLiteral("Orientation")));
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
    const QMap<QString, QString> parameters{
        {QStringLiteral("marginPixel"), ui->txtMarginPix->text().trimmed()},
        {QStringLiteral("Orientation"),
         ui->radVertical->isChecked() ? QStringLiteral("0") : QStringLiteral("1")}};
    // Both or neither: a value the file cannot take leaves the others unsaved too.
    return writeConfigElements(settingsFilePath(), {{QStringLiteral("paths"), paths},
                                                    {QStringLiteral("parameters"), parameters}});
}

void configDialog::on_btnCancel_clicked()
{
    hide();
}

void configDialog::on_btnOK_clicked()
{
    const int error = saveSettings();
    if (!error) {
        // Reload whatever the file now holds; a failure here is not reported.
        loadSettings();
        hide();
        return;
    }
    // The held values follow the file, which a failed save left as it was;
    // the fields keep the edits so that the user can change them and try
    // again, or cancel.
    const QStringList texts{ui->txtSelectPath->text(), ui->txtSavePath->text(),
                            ui->txtMarginPix->text()};
    const bool horizontal = ui->radHorizontal->isChecked();
    const bool vertical = ui->radVertical->isChecked();
    loadSettings();
    ui->txtSelectPath->setText(texts[0]);
    ui->txtSavePath->setText(texts[1]);
    ui->txtMarginPix->setText(texts[2]);
    ui->radHorizontal->setChecked(horizontal);
    ui->radVertical->setChecked(vertical);
    // The reason names the settings file, whose path can be long: the box
    // fits it on the screen as the boxes naming images do.
    Boxes::about(this, QStringLiteral("Save Error"),
                 QStringLiteral("Can not save settings,Error Number is: 0x") +
                     QString::number(error, 16) + QLatin1Char('\n') + settingsErrorText(error));
}

namespace {
// The system's word on why the settings file does not read. Only a regular
// file is opened: opening a FIFO would wait for a writer.
QString whyUnreadable(const QString &path)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return configDialog::tr("not a regular file");
    if (info.size() > 1024 * 1024)
        return configDialog::tr("larger than 1 MiB");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    return QString();
}
} // namespace

QString configDialog::settingsErrorText(int error)
{
    const QString path = settingsFilePath();
    QString reason;
    switch (error) {
    case ConfigEmptyPath:
        // No settings file can be named: the folder is what to rename.
        return tr("%1: the folder's name is not valid in the file name encoding")
            .arg(QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
    case ConfigCannotOpen: {
        reason = tr("the file is missing or cannot be read");
        const QString why = whyUnreadable(path);
        if (!why.isEmpty())
            reason += QStringLiteral(" (%1)").arg(why);
        break;
    }
    case ConfigNotXml:
    case ConfigNullDocument:
    case ConfigWrongRoot:
        reason = tr("the file is not a Korvane settings file");
        break;
    case ConfigNoElement:
    case ConfigNoAttribute:
        reason = tr("the file lacks an entry for these settings");
        break;
    case ConfigNotStorable: {
        // The file itself, whatever the values: the user must mend it first.
        QString encoding;
        if (hasUndecodableBytes(path, &encoding))
            reason = tr("the file holds bytes that are not valid in its encoding (%1); "
                        "saving would change them")
                         .arg(encoding);
        else
            reason = tr("a value holds a character the file cannot store");
        break;
    }
    case ConfigTooLarge:
        reason = tr("the values would make the file larger than 1 MiB, which Korvane "
                    "does not read");
        break;
    case ConfigWriteFailed: {
        // The folder first: a temporary file there is the normal way.
        const QString folder = QFileInfo(path).absolutePath();
        QTemporaryFile probe(folder + QStringLiteral("/.korvane-probe-XXXXXX"));
        QFile file(path);
        if (!probe.open())
            reason = tr("the folder %1 is not writable: %2")
                         .arg(QDir::toNativeSeparators(folder), probe.errorString());
        else if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
            reason = file.errorString();
        else
            reason = tr("the new file could not be written completely (is the disk full?)");
        break;
    }
    default:
        reason = tr("the settings file could not be used");
    }
    return QDir::toNativeSeparators(path) + QStringLiteral(": ") + reason;
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
