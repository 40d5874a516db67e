#pragma once

#include "core/layout/sheetlayout.h"
#include "core/pipeline.h"

#include <QImage>
#include <QMainWindow>
#include <QMap>
#include <QPoint>
#include <QSize>
#include <QString>

class ComposeResultDialog;
class QAction;
class QFileInfo;
class QStandardItemModel;
class configDialog;
struct MainWindowForm;

// The main window: the file list, the Generate command and the two dialogs.
// It also holds the state of the last compose run, which stays until the
// next run replaces it.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Loads the settings; when they cannot be read it reports the error and
    // ends the process with exit status 1, before the window is ever shown.
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void on_btnPickFile_clicked();
    void on_btnCleanList_clicked();
    void on_btnGenerate_clicked();
    void on_btnSettings_clicked();
    void on_pushButton_clicked();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    // Opens inside the screen's available area, shrunk if it must.
    void showEvent(QShowEvent *event) override;
    // Refused while Generate runs: the last window closing would quit the
    // program with the run's result unseen, a failure as status 0.
    void closeEvent(QCloseEvent *event) override;

    void addFileItem(const QString &path);
    // Dropped or given paths: a folder adds the .png files directly inside
    // it in korvane-pack's order, a file is added when it is an image by its
    // suffix or its content. What is left out, and why, is shown in the
    // status bar, as is a drop that adds nothing; `notLocal` are a drop's
    // URLs that name no local file, and `unnamable` the names (as
    // Inputs::shownBytes() gives them) of local files it cannot name, left
    // out too.
    void addPaths(const QStringList &paths, const QStringList &notLocal = {},
                  const QStringList &unnamable = {});
    // Empty for a regular file that is an image, else why it is left out.
    static QString whyNotAnImage(const QFileInfo &info);
    void reportDrop(int added, const QStringList &leftOut);
    void removeSelectedFiles();

    // Asks where the sheet goes. A name without a suffix gets ".png"; when
    // the sheet or the placement file exists, one question names each file
    // that would be replaced, and a name that would write over a listed
    // image or the settings file is refused. Returns the chosen name, or an
    // empty string when cancelled.
    QString askSheetPath();
    // The first of `outputs` that is the same file as a listed image, or "".
    QString listedInputAmong(const QStringList &outputs) const;
    // True when neither output of `chosen` exists or the user agrees to
    // replace those that do.
    bool confirmReplacing(const QString &chosen, const QString &title);

    // Lays out imageSizes with the margin in effect, prepares the placement
    // file's text and fills margin, imagePositions and sheetSize. Returns 1,
    // or -1 when the sheet would be too large; then none of those change.
    int layoutSheet(QSize &sheetSize);
    // As layoutSheet(), with margin `m`.
    int layoutSheet(QSize &sheetSize, int m);
    // Runs the layout, decodes every image into a transparent sheet, and
    // puts the sheet and the placement file in place together. An image
    // whose data does not decode is left out (see m_skippedImages). Returns
    // 1 when both files were written, else 0 with nothing written and the
    // reason in m_lastError. Safe to run on a worker thread while the GUI
    // thread leaves the run state alone.
    int renderSheet();
    // As renderSheet(), with the run's own margin, taken when Generate was
    // pressed: the settings may be saved again while the run goes on.
    int renderSheet(int margin);
    // probeImageSizes() and renderSheet() on a worker thread, with a progress
    // dialog for long runs and the list and its buttons locked meanwhile.
    int renderInBackground(int margin);

    MainWindowForm *ui;
    configDialog *settingsDialog = nullptr;
    ComposeResultDialog *resultDialog = nullptr;
    QStandardItemModel *fileModel = nullptr;
    QAction *removeAction = nullptr;
    QAction *cleanAction = nullptr;
    QString sheetPngPath;
    QString sheetTxtPath;
    int fileCount = 0;
    int margin = 0;
    QMap<QString, QSize> imageSizes;
    QMap<QString, QPoint> imagePositions;

    SheetLayout::Plan m_plan;   // the last layout computed
    QByteArray m_placementText; // of the last layout that fits
    QVector<Compose::Failure> m_skippedImages;
    QStringList m_listedPaths;                  // the list's rows when Generate was pressed
    QVector<Compose::Failure> m_unprobedImages; // listed files that did not probe
    QImage m_savedSheet;                        // the last PNG sheet written, until it is previewed
    QString m_lastError;
    Compose::Progress m_progress;
    bool m_rendering = false;

private:
    // The "Startup Error" box for a settings file that does not load.
    void reportUnreadableSettings(int error);
    void setUpFileList();
    void setUpShortcuts();
    void updateRemoveAction();
    // Fills imageSizes from the headers of m_listedPaths, each path once; a
    // file that does not probe goes to m_unprobedImages and is left out.
    void probeImageSizes();
    // What a Generate run that returned `rendered` (as renderInBackground())
    // shows: the preview, the images left out, or why it failed.
    void reportRun(int rendered);
};
