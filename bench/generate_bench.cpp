// On-demand measurement of the window's Generate against korvane-pack, not a
// test. Runs Generate in-process (offscreen) on the .png files of a folder,
// and korvane-pack as a process on the same files, alternately; prints both
// medians, whether the two made the same bytes, and the sheet's size against
// what Qt's default PNG writer makes of the same pixels. A folder of more
// than 99 images gets the last check only.
//
//   korvane-bench-generate KORVANE_PACK CORPUS_DIR [RUNS]
//
// The window takes its margin from config/config.xml beside this program;
// korvane-pack is given the same margin.

#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "window/composeresultdialog.h"
#include "window/mainwindow.h"
#include "window/mainwindowform.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageWriter>
#include <QProcess>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

class BenchWindow : public MainWindow
{
public:
    using MainWindow::addPaths;
    using MainWindow::fileModel;
    using MainWindow::margin;
    using MainWindow::resultDialog;
    using MainWindow::ui;
};

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

// Restarts `timer` when a file dialog closes: the time the user spends
// choosing a name is not Generate's.
class DialogClosed : public QObject
{
public:
    explicit DialogClosed(QElapsedTimer *timer) : m_timer(timer) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Hide && qobject_cast<QFileDialog *>(watched))
            m_timer->start();
        return false;
    }

private:
    QElapsedTimer *m_timer;
};

// One Generate, from the answered save dialog to the result dialog on
// screen; -1 on failure.
double timeGenerate(BenchWindow &window, const QString &sheet)
{
    // Last run's files would bring up the question whether to replace them.
    QFile::remove(sheet);
    QFile::remove(QFileInfo(sheet).path() + QLatin1Char('/') + QFileInfo(sheet).completeBaseName() +
                  QLatin1String(".txt"));
    ModalAnswerer answerer;
    answerer.expectFileDialog({sheet});
    QElapsedTimer timer;
    timer.start();
    DialogClosed closed(&timer);
    qApp->installEventFilter(&closed);
    window.ui->btnGenerate->click();
    qApp->removeEventFilter(&closed);
    const double seconds = timer.nsecsElapsed() / 1e9;
    const bool shown = window.resultDialog->isVisible();
    window.resultDialog->hide();
    return answerer.waitAllAnswered(1000) && shown ? seconds : -1;
}

double timePack(const QString &pack, const QStringList &arguments)
{
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.start(pack, arguments);
    if (!process.waitForFinished(-1) || process.exitCode() != 0) {
        std::fprintf(stderr, "korvane-pack failed: %s\n",
                     process.readAllStandardError().constData());
        return -1;
    }
    return timer.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: korvane-bench-generate KORVANE_PACK CORPUS_DIR [RUNS]\n");
        return 2;
    }
    const QString pack = args.at(1);
    const int runs = args.size() > 3 ? qMax(1, args.at(3).toInt()) : 5;
    QTemporaryDir out;
    const QString windowSheet = out.filePath(QStringLiteral("window.png"));
    const QString cliSheet = out.filePath(QStringLiteral("cli.png"));

    BenchWindow window;
    window.show();
    window.addPaths({args.at(2)});
    const int images = window.fileModel->rowCount();
    // The window takes at most 99 images; larger sets only get the PNG check.
    const bool throughWindow = images < 100;
    QStringList packArguments{QStringLiteral("-o"), cliSheet, args.at(2)};

    QVector<double> generate, cli;
    for (int run = 0; run < runs; ++run) {
        const double g = throughWindow ? timeGenerate(window, windowSheet) : 0;
        // The window's margin, once its layout has run; else korvane-pack's own.
        const QStringList margin{QStringLiteral("-m"), QString::number(window.margin)};
        const double c = timePack(pack, throughWindow ? packArguments + margin : packArguments);
        if (g < 0 || c < 0) {
            std::fprintf(stderr, "a run failed\n");
            return 1;
        }
        generate << g;
        cli << c;
    }

    const QImage sheet(cliSheet);
    QBuffer qtBytes;
    qtBytes.open(QIODevice::WriteOnly);
    QImageWriter(&qtBytes, "png").write(sheet);
    QImage reread;
    reread.loadFromData(qtBytes.data(), "png");
    const bool exact = reread.convertToFormat(QImage::Format_ARGB32) ==
                       sheet.convertToFormat(QImage::Format_ARGB32);
    const qint64 ours = readFileBytes(cliSheet).size();

    std::printf("images: %d, sheet %d x %d, %d runs\n", images, sheet.width(), sheet.height(),
                runs);
    bool same = true;
    if (throughWindow) {
        same = readFileBytes(windowSheet) == readFileBytes(cliSheet) &&
               readFileBytes(out.filePath(QStringLiteral("window.txt"))) ==
                   readFileBytes(out.filePath(QStringLiteral("cli.txt")));
        std::printf("Generate: %.3f s, korvane-pack: %.3f s, Generate / korvane-pack: %.2f\n",
                    median(generate), median(cli), median(generate) / median(cli));
        std::printf("window and korvane-pack files: %s\n", same ? "identical" : "DIFFERENT");
    }
    std::printf("sheet: %lld bytes, Qt's writer: %lld bytes, ratio %.3f (same pixels: %s)\n", ours,
                qint64(qtBytes.data().size()), double(ours) / double(qtBytes.data().size()),
                exact ? "yes" : "NO");
    return same && exact ? 0 : 1;
}
