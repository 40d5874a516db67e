#pragma once

#include <QDialog>
#include <QString>

struct configDialogForm;

// The settings dialog. It also holds the settings in effect: the four
// values below are written only by loadSettings(), so they are always what
// config.xml held at the last successful load; the rest of the program
// reads them from here.
class configDialog : public QDialog
{
    Q_OBJECT

public:
    explicit configDialog(QWidget *parent = nullptr);
    ~configDialog() override;

    // Both return 0 or the error number of the first failing settings file
    // operation. loadSettings() applies the paths even when the parameters
    // cannot be read afterwards; saveSettings() stores what the form shows
    // and leaves the held values alone.
    int loadSettings();
    int saveSettings();

    configDialogForm *form() const { return ui; }

    // "PATH: reason" for a settings file that loadSettings() or
    // saveSettings() failed on with `error`, in words a user can act on.
    static QString settingsErrorText(int error);

    QString defaultSavePath;
    QString defaultSelectPath;
    int marginPixel = 0;
    int Orientation = 0;

private slots:
    void on_btnCancel_clicked();
    void on_btnOK_clicked();
    void on_btnSelectPath_clicked();
    void on_btnSavePath_clicked();

protected:
    void showEvent(QShowEvent *event) override;

private:
    configDialogForm *ui;
};
