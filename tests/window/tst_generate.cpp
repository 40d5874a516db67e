#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "window/composeresultdialog.h"
#include "window/composeresultdialogform.h"
#include "window/configdialog.h"
#include "window/configdialogform.h"
#include "window/mainwindow.h"
#include "window/mainwindowform.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QStandardItemModel>
#include <QtTest>

#include <climits>
#include <optional>
#include <sys/stat.h>

namespace {

class WindowProbe : public MainWindow
{
public:
    using MainWindow::fileCount;
    using MainWindow::fileModel;
    using MainWindow::imagePositions;
    using MainWindow::imageSizes;
    using MainWindow::layoutSheet;
    using MainWindow::m_progress;
    using MainWindow::margin;
    using MainWindow::renderSheet;
    using MainWindow::resultDialog;
    using MainWindow::settingsDialog;
    using MainWindow::sheetPngPath;
    using MainWindow::sheetTxtPath;
    using MainWindow::ui;
};

QByteArray configWithMargin(const QString &margin)
{
    return SettingsFixture::config(QString(), QString(), margin, QStringLiteral("0"));
}

// The four images of the worked layout example, each with its own pattern.
struct ExampleImages
{
    QTemporaryDir dir;
    QStringList paths;
    QVector<QImage> images;

    ExampleImages()
    {
        const QVector<QSize> sizes{{100, 10}, {60, 20}, {40, 22}, {30, 5}};
        const char *names[] = {"a.png", "b.png", "c.png", "d.png"};
        for (int i = 0; i < sizes.size(); ++i) {
            paths << dir.filePath(QString::fromLatin1(names[i]));
            images << patternImage(sizes[i].width(), sizes[i].height(), i + 1);
            savePng(images.last(), paths.last());
        }
    }

    void listIn(WindowProbe &window) const
    {
        for (const QString &path : paths)
            window.fileModel->appendRow(new QStandardItem(path));
    }
};

// A one-colour GIF of side x side pixels in few bytes: its size is found by
// decoding it, which takes a while for a large one.
QByteArray solidGif(int side)
{
    QByteArray data;
    quint32 bits = 0;
    int count = 0, width = 3, next = 6;
    bool afterClear = true;
    const auto emitCode = [&](int code) {
        bits |= quint32(code) << count;
        for (count += width; count >= 8; count -= 8, bits >>= 8)
            data.append(char(bits & 0xff));
        if (code == 4) {
            width = 3, next = 6, afterClear = true;
        } else if (afterClear) {
            afterClear = false;
        } else if (++next == 1 << width && width < 12) {
            ++width;
        }
    };
    qint64 left = qint64(side) * side;
    int run = 0;
    emitCode(4);
    while (left > 0) {
        if (afterClear || next >= 4094 || run + 1 > left) {
            if (!afterClear)
                emitCode(4);
            emitCode(0), --left, run = 1;
        } else {
            emitCode(next), left -= ++run;
        }
    }
    emitCode(5);
    if (count > 0)
        data.append(char(bits & 0xff));
    const char s0 = char(side & 0xff), s1 = char(side >> 8);
    const char screen[] = {s0, s1, s0, s1, '\x81', 0, 0};
    const char frame[] = {',', 0, 0, 0, 0, s0, s1, s0, s1, 0, 2};
    QByteArray gif = QByteArray("GIF89a") + QByteArray(screen, sizeof screen) +
                     QByteArray(12, '\x7f') + QByteArray(frame, sizeof frame);
    for (int i = 0; i < data.size(); i += 255)
        gif += char(qMin(255, int(data.size()) - i)) + data.mid(i, 255);
    return gif + QByteArray("\0;", 2);
}

} // namespace

class TestGenerate : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void wholeRunThroughTheWindow();
    void refusals_data();
    void refusals();
    void cancelledSaveWritesNothing();
    void unreadableImageIsReportedAndSkipped_data();
    void unreadableImageIsReportedAndSkipped();
    void duplicatePathIsComposedOnce();
    void chosenPathNaming_data();
    void chosenPathNaming();
    void failedRuns_data();
    void failedRuns();
    void layoutFailureLeavesStateAlone();
    void layoutOfNothing();
    void changedImageFailsRender_data();
    void changedImageFailsRender();
    void secondRunRefreshesPreview();
    void progressAndCancel();
    void aboutDuringARun();
    void cancelThenGenerateAgain_data();
    void cancelThenGenerateAgain();
    void settingsSavedDuringARun();
    void focusReturnsAfterTheRun();
    void previewOfAJpegSheetShowsTheFile();
};

void TestGenerate::cleanup()
{
    const QStringList left = visibleTopLevels();
    for (QWidget *widget : QApplication::topLevelWidgets())
        widget->hide();
    QVERIFY2(left.isEmpty(), qPrintable(left.join(", ")));
}

void TestGenerate::wholeRunThroughTheWindow()
{
    ExampleImages source;
    QTemporaryDir out;
    SettingsFixture fixture(SettingsFixture::config(source.dir.path(), out.path(),
                                                    QStringLiteral("2"), QStringLiteral("0")));
    WindowProbe window;
    window.show();
    ModalAnswerer answerer;
    answerer.expectFileDialog(source.paths);
    window.ui->btnPickFile->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(window.fileModel->rowCount(), 4);

    const QString sheetPath = out.filePath(QStringLiteral("sheet.png"));
    answerer.expectFileDialog({sheetPath});
    window.ui->btnGenerate->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(answerer.last().title, QStringLiteral("Select Files"));
    QCOMPARE(answerer.last().directory, QDir(out.path()).absolutePath());
    QCOMPARE(answerer.last().nameFilters, QStringList{QStringLiteral("PNG Files(*.png)")});

    const QString p = source.dir.path() + QLatin1Char('/');
    const QByteArray expectedText = QStringLiteral("%1a.png,100,10,2,2\r\n"
                                                   "%1b.png,60,20,2,14\r\n"
                                                   "%1c.png,40,22,64,14\r\n"
                                                   "%1d.png,30,5,2,36\r\n")
                                        .arg(p)
                                        .toUtf8();
    QCOMPARE(readFileBytes(out.filePath(QStringLiteral("sheet.txt"))), expectedText);

    QImage sheet(sheetPath);
    QCOMPARE(sheet.size(), QSize(104, 43));
    sheet = sheet.convertToFormat(QImage::Format_ARGB32);
    const QVector<QPoint> at{{2, 2}, {2, 14}, {64, 14}, {2, 36}};
    QImage expected(104, 43, QImage::Format_ARGB32);
    expected.fill(0);
    for (int i = 0; i < 4; ++i) {
        for (int y = 0; y < source.images[i].height(); ++y)
            for (int x = 0; x < source.images[i].width(); ++x)
                expected.setPixel(at[i].x() + x, at[i].y() + y, source.images[i].pixel(x, y));
    }
    for (int y = 0; y < 43; ++y)
        for (int x = 0; x < 104; ++x)
            QVERIFY2(sheet.pixel(x, y) == expected.pixel(x, y),
                     qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));

    QVERIFY(window.resultDialog->isVisible());
    QVERIFY(!window.resultDialog->isModal());
    QCOMPARE(window.resultDialog->form()->labImageResult->pixmap(Qt::ReturnByValue).size(),
             QSize(381, 157));
    QCOMPARE(window.resultDialog->form()->labInfo->text(), QStringLiteral("Total Size: 104 x 43"));
    QCOMPARE(window.margin, 2);
    // The list stays for the next run.
    QCOMPARE(window.fileModel->rowCount(), 4);
}

void TestGenerate::refusals_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("margin");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty list") << 0 << "2"
                                << "Please select PNG files!";
    QTest::newRow("100 files") << 100 << "2"
                               << "Please select less than 100 files!";
    QTest::newRow("negative margin") << 3 << "-1"
                                     << "Please set a margin of 0 or more pixels!";
}

void TestGenerate::refusals()
{
    QFETCH(int, rows);
    QFETCH(QString, margin);
    QFETCH(QString, text);
    SettingsFixture fixture(configWithMargin(margin));
    WindowProbe window;
    for (int i = 0; i < rows; ++i)
        window.fileModel->appendRow(new QStandardItem(fixture.filePath(QStringLiteral("x.png"))));
    ModalAnswerer answerer;
    answerer.expectMessageBox();
    window.ui->btnGenerate->click();
    // A save dialog here would be answered as unexpected and fail the test.
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.last().title, QStringLiteral("Error"));
    QCOMPARE(answerer.last().text, text);
    QCOMPARE(window.fileCount, rows);
    QVERIFY(window.sheetPngPath.isEmpty());
}

void TestGenerate::cancelledSaveWritesNothing()
{
    ExampleImages source;
    SettingsFixture fixture;
    WindowProbe window;
    source.listIn(window);
    // 99 files are still accepted.
    for (int i = 4; i < 99; ++i)
        window.fileModel->appendRow(new QStandardItem(source.paths.first()));
    ModalAnswerer answerer;
    answerer.expectFileDialogCancel();
    window.ui->btnGenerate->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(answerer.seen().size(), 1);
    QVERIFY(window.sheetPngPath.isEmpty());
    QVERIFY(window.imageSizes.isEmpty());
    QCOMPARE(QDir(source.dir.path()).entryList(QDir::Files).size(), 4);
}

void TestGenerate::unreadableImageIsReportedAndSkipped_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason"); // as korvane-pack gives it
    QTest::newRow("header does not read") << "broken.png"
                                          << "garbage"
                                          << "not a readable image";
    // Found only when decoded: the layout is made again without it.
    QTest::newRow("header reads, data truncated") << "truncated.png"
                                                  << "truncated"
                                                  << "cannot be decoded";
    // Its box comes after that of a file listed later that did not load.
    QTest::newRow("undecodable, then one that does not load") << "truncated.png"
                                                              << "truncated, then garbage"
                                                              << "cannot be decoded";
    // Reading a FIFO would block Generate for ever.
    QTest::newRow("FIFO") << "fifo.png"
                          << "fifo"
                          << "not a regular file";
    QTest::newRow("folder") << "folder.png"
                            << "folder"
                            << "not a regular file";
    QTest::newRow("line break in the path") << "line\nbreak.png"
                                            << "copy"
                                            << "line break";
    QTest::newRow("CR in the path") << "line\rbreak.png"
                                    << "copy"
                                    << "line break";
    QTest::newRow("markup in the name") << "<b>bold.png"
                                        << "garbage"
                                        << "not a readable image";
    QTest::newRow("CR LF in the path") << "line\r\nbreak.png"
                                       << "copy"
                                       << "line break";
    // Wrapped within the box, which stays on the screen; Ctrl+C gives the
    // path without the breaks added for showing it.
    QTest::newRow("folder names longer than the box is wide")
        << QStringLiteral("%1/%2/x.png").arg(QString(109, 'a'), QString(109, 'b')) << "garbage"
        << "not a readable image";
    // The list keeps duplicates; the run takes each path once, so one box.
    QTest::newRow("listed twice, reported once") << "twice.png"
                                                 << "garbage listed twice"
                                                 << "not a readable image";
}

void TestGenerate::unreadableImageIsReportedAndSkipped()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    ExampleImages source;
    QTemporaryDir out;
    SettingsFixture fixture(configWithMargin(QStringLiteral("0")));
    const QString bad = source.dir.filePath(name);
    QVERIFY(QDir().mkpath(QFileInfo(bad).path()));
    if (kind.startsWith("garbage")) {
        QVERIFY(writeFileBytes(bad, "\x89PNG but not really"));
    } else if (kind.startsWith("truncated")) {
        const QByteArray png = readFileBytes(source.paths[0]);
        QVERIFY(writeFileBytes(bad, png.left(png.size() / 2)));
    } else if (kind == "fifo") {
        QCOMPARE(mkfifo(QFile::encodeName(bad).constData(), 0600), 0);
    } else if (kind == "folder") {
        QVERIFY(QDir().mkpath(bad));
    } else {
        QVERIFY(QFile::copy(source.paths[0], bad));
    }

    WindowProbe window;
    window.fileModel->appendRow(new QStandardItem(source.paths[1]));
    window.fileModel->appendRow(new QStandardItem(bad));
    if (kind.endsWith("listed twice"))
        window.fileModel->appendRow(new QStandardItem(bad));
    window.fileModel->appendRow(new QStandardItem(source.paths[3]));
    ModalAnswerer answerer;
    answerer.expectFileDialog({out.filePath(QStringLiteral("s.png"))});
    if (kind.endsWith("then garbage")) {
        const QString garbage = source.dir.filePath(QStringLiteral("garbage.png"));
        QVERIFY(writeFileBytes(garbage, "\x89PNG but not really"));
        window.fileModel->appendRow(new QStandardItem(garbage));
        answerer.expectMessageBox();
    }
    answerer.expectMessageBox();
    window.ui->btnGenerate->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(answerer.last().title, QStringLiteral("test"));
    QVERIFY(answerer.last().onScreen);
    QVERIFY(answerer.last().textFits);
    const QString text = answerer.last().copied;
    QCOMPARE(QString(answerer.last().text).remove(QChar(0x200B)), text);
    QVERIFY2(!answerer.last().selectionCopied.contains(QChar(0x200B)),
             qPrintable(answerer.last().selectionCopied));
    QVERIFY2(
        text.startsWith(QStringLiteral("Failed to load png file:") + bad + QLatin1Char('\n')) &&
            text.mid(text.lastIndexOf(QLatin1Char('\n'))).contains(reason),
        qPrintable(text));
    QCOMPARE(readFileBytes(out.filePath(QStringLiteral("s.txt"))),
             QStringLiteral("%1,60,20,0,0\r\n%2,30,5,0,20\r\n")
                 .arg(source.paths[1], source.paths[3])
                 .toUtf8());
    QCOMPARE(QImage(out.filePath(QStringLiteral("s.png"))).size(), QSize(60, 25));
    QVERIFY(window.resultDialog->isVisible());
}

void TestGenerate::duplicatePathIsComposedOnce()
{
    ExampleImages source;
    QTemporaryDir out;
    SettingsFixture fixture(configWithMargin(QStringLiteral("1")));
    WindowProbe window;
    window.fileModel->appendRow(new QStandardItem(source.paths[2]));
    window.fileModel->appendRow(new QStandardItem(source.paths[2]));
    ModalAnswerer answerer;
    answerer.expectFileDialog({out.filePath(QStringLiteral("s.png"))});
    window.ui->btnGenerate->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(readFileBytes(out.filePath(QStringLiteral("s.txt"))),
             (source.paths[2] + QStringLiteral(",40,22,1,1\r\n")).toUtf8());
    QCOMPARE(QImage(out.filePath(QStringLiteral("s.png"))).size(), QSize(42, 24));
}

void TestGenerate::chosenPathNaming_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("sheet");
    QTest::addColumn<QString>("placement");
    QTest::newRow("png suffix") << "sheet.png"
                                << "sheet.png"
                                << "sheet.txt";
    QTest::newRow("no suffix gets png") << "sheet"
                                        << "sheet.png"
                                        << "sheet.txt";
    QTest::newRow("other image suffix") << "sheet.bmp"
                                        << "sheet.bmp"
                                        << "sheet.txt";
}

void TestGenerate::chosenPathNaming()
{
    QFETCH(QString, chosen);
    QFETCH(QString, sheet);
    QFETCH(QString, placement);
    ExampleImages source;
    QTemporaryDir out;
    // A file that the old naming rule ("sheet" less four characters) would
    // have overwritten.
    const QString bystander = out.filePath(QStringLiteral("s.txt"));
    QVERIFY(writeFileBytes(bystander, "keep me"));
    SettingsFixture fixture;
    WindowProbe window;
    window.fileModel->appendRow(new QStandardItem(source.paths[0]));
    ModalAnswerer answerer;
    answerer.expectFileDialog({QDir(out.path()).filePath(chosen)});
    window.ui->btnGenerate->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(window.sheetPngPath, out.filePath(sheet));
    QCOMPARE(window.sheetTxtPath, out.filePath(placement));
    QCOMPARE(QImage(out.filePath(sheet)).size(), QSize(104, 14));
    QVERIFY(readFileBytes(out.filePath(placement)).endsWith(",100,10,2,2\r\n"));
    QCOMPARE(readFileBytes(bystander), QByteArray("keep me"));
    QVERIFY(window.resultDialog->isVisible());
}

void TestGenerate::failedRuns_data()
{
    QTest::addColumn<QString>("margin");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("reason");
    QTest::newRow("unknown image suffix") << "2"
                                          << "sheet.xyz"
                                          << "sheet.xyz: no image writer for suffix";
    QTest::newRow("folder does not exist") << "2"
                                           << "missing/sheet.png"
                                           << "missing/sheet.txt: ";
    QTest::newRow("placement path is a folder") << "2"
                                                << "taken.png"
                                                << "taken.txt: ";
    // Refuses new files even to root; the writer's temporary file is not news.
    QTest::newRow("folder takes no new file") << "2"
                                              << "/sys/kernel/sheet.png"
                                              << "The folder /sys/kernel is not writable: ";
    QTest::newRow("sheet is a FIFO") << "2"
                                     << "pipe.png"
                                     << "pipe.png: it is a FIFO";
    QTest::newRow("margin overflows the sheet width")
        << "2147483000"
        << "sheet.png"
        << "sheet.png: sheet too large: 4294966100 x 8589932035 pixels";
    // Refused before anything is allocated.
    QTest::newRow("sheet beyond the pixel limit")
        << "40000"
        << "sheet.png"
        << "sheet.png: a sheet of 80100 x 160035 pixels is more than the limit of 268435456 "
           "pixels";
}

// Nothing is written, and the box says why after its first line.
void TestGenerate::failedRuns()
{
    QFETCH(QString, margin);
    QFETCH(QString, chosen);
    QFETCH(QString, reason);
    ExampleImages source;
    QTemporaryDir out;
    QVERIFY(QDir(out.path()).mkdir(QStringLiteral("taken.txt")));
    QCOMPARE(mkfifo(QFile::encodeName(out.filePath(QStringLiteral("pipe.png"))).constData(), 0600),
             0);
    SettingsFixture fixture(configWithMargin(margin));
    WindowProbe window;
    source.listIn(window);
    ModalAnswerer answerer;
    answerer.expectFileDialog({QDir(out.path()).filePath(chosen)});
    answerer.expectMessageBox();
    window.ui->btnGenerate->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(answerer.last().title, QStringLiteral("Result"));
    const QStringList lines = answerer.last().text.split(QLatin1Char('\n'));
    QCOMPARE(lines.value(0), QStringLiteral("Failed!"));
    QCOMPARE(lines.value(1), QString());
    QVERIFY2(lines.value(2).contains(reason), qPrintable(lines.value(2)));
    QVERIFY(!window.resultDialog->isVisible());
    QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("taken.txt")});
}

void TestGenerate::layoutFailureLeavesStateAlone()
{
    ExampleImages source;
    QTemporaryDir out;
    SettingsFixture fixture;
    WindowProbe window;
    window.imageSizes.insert(source.paths[0], QSize(100, 10));
    window.sheetTxtPath = out.filePath(QStringLiteral("first.txt"));
    QSize size(-1, -1);
    QCOMPARE(window.layoutSheet(size), 1);
    QCOMPARE(size, QSize(104, 14));
    const auto positions = window.imagePositions;
    // The placement file goes in place with the sheet, not before.
    QVERIFY(!QFile::exists(window.sheetTxtPath));

    window.imageSizes.insert(source.paths[1], QSize(INT_MAX, 20));
    window.margin = 99;
    QSize failed(-1, -1);
    QCOMPARE(window.layoutSheet(failed), -1);
    QCOMPARE(failed, QSize(-1, -1));
    QCOMPARE(window.imagePositions, positions);
    QCOMPARE(window.margin, 99);
}

void TestGenerate::layoutOfNothing()
{
    QTemporaryDir out;
    SettingsFixture fixture;
    WindowProbe window;
    window.imagePositions.insert(QStringLiteral("/old.png"), QPoint(1, 1));
    window.sheetTxtPath = out.filePath(QStringLiteral("empty.txt"));
    QSize size(-1, -1);
    QCOMPARE(window.layoutSheet(size), 1);
    QVERIFY(window.imagePositions.isEmpty());
    QVERIFY(!size.isValid());

    // Rendering nothing fails, and keeps a previous placement file intact.
    QVERIFY(writeFileBytes(window.sheetTxtPath, "keep me"));
    window.sheetPngPath = out.filePath(QStringLiteral("empty.png"));
    QCOMPARE(window.renderSheet(), 0);
    QCOMPARE(readFileBytes(window.sheetTxtPath), QByteArray("keep me"));
    QVERIFY(!QFile::exists(window.sheetPngPath));
}

void TestGenerate::changedImageFailsRender_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("image removed after its size was read") << "remove";
    QTest::newRow("image replaced by one of another size") << "resize";
    QTest::newRow("run cancelled") << "cancel";
}

// The old sheet and placement file stay as they were, both of them.
void TestGenerate::changedImageFailsRender()
{
    QFETCH(QString, change);
    ExampleImages source;
    QTemporaryDir out;
    SettingsFixture fixture;
    WindowProbe window;
    for (int i = 0; i < 4; ++i)
        window.imageSizes.insert(source.paths[i], source.images[i].size());
    if (change == "remove")
        QVERIFY(QFile::remove(source.paths[2]));
    else if (change == "resize")
        QVERIFY(savePng(patternImage(41, 22, 9), source.paths[2]));
    else
        window.m_progress.cancelRequested = true;
    window.sheetTxtPath = out.filePath(QStringLiteral("s.txt"));
    window.sheetPngPath = out.filePath(QStringLiteral("s.png"));
    QVERIFY(writeFileBytes(window.sheetPngPath, "keep me"));
    QVERIFY(writeFileBytes(window.sheetTxtPath, "keep me too"));
    QCOMPARE(window.renderSheet(), 0);
    QCOMPARE(readFileBytes(window.sheetPngPath), QByteArray("keep me"));
    QCOMPARE(readFileBytes(window.sheetTxtPath), QByteArray("keep me too"));
    QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void TestGenerate::secondRunRefreshesPreview()
{
    ExampleImages source;
    QTemporaryDir out;
    SettingsFixture fixture(configWithMargin(QStringLiteral("0")));
    WindowProbe window;
    window.fileModel->appendRow(new QStandardItem(source.paths[0]));
    ModalAnswerer answerer;
    answerer.expectFileDialog({out.filePath(QStringLiteral("one.png"))});
    window.ui->btnGenerate->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(window.resultDialog->form()->labInfo->text(), QStringLiteral("Total Size: 100 x 10"));

    window.ui->btnCleanList->click();
    window.fileModel->appendRow(new QStandardItem(source.paths[1]));
    answerer.expectFileDialog({out.filePath(QStringLiteral("two.png"))});
    window.ui->btnGenerate->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(window.resultDialog->form()->labInfo->text(), QStringLiteral("Total Size: 60 x 20"));
    QVERIFY(window.resultDialog->isVisible());
    QCOMPARE(window.imagePositions.keys(), QStringList{source.paths[1]});
}

// A run that takes long shows its progress and can be cancelled. Another
// holder of the lock keeps this run waiting after every image is decoded.
void TestGenerate::progressAndCancel()
{
    ExampleImages source;
    QTemporaryDir out;
    SettingsFixture fixture;
    WindowProbe window;
    source.listIn(window);
    const QString sheet = out.filePath(QStringLiteral("s.png"));
    QVERIFY(writeFileBytes(sheet, "old sheet"));
    HeldLock otherRun(sheet + QStringLiteral(".lock"));
    QVERIFY(otherRun.isHeld());

    QString label;
    QString progress;
    QStringList lockedWhileRunning;
    bool cancelled = false;
    bool cancelledByButton = false;
    bool shownAfterCancel = false;
    QElapsedTimer sinceCancel;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &window, [&] {
        auto *dialog = window.findChild<QProgressDialog *>();
        if (cancelled) {
            shownAfterCancel = shownAfterCancel || (dialog && dialog->isVisible());
            if (sinceCancel.elapsed() > 300) // the worker sees the cancel only now
                window.m_progress.cancelRequested = true;
            return;
        }
        if (!dialog || !dialog->isVisible() || dialog->value() != dialog->maximum())
            return;
        cancelled = true;
        label = dialog->findChild<QLabel *>()->text();
        progress = dialog->findChild<QProgressBar *>()->text();
        for (QPushButton *button : window.findChildren<QPushButton *>()) {
            if (!button->isEnabled())
                lockedWhileRunning << button->objectName();
        }
        dialog->findChild<QPushButton *>()->click();
        cancelledByButton = window.m_progress.cancelRequested;
        // As a worker still busy with an image, half way through.
        window.m_progress.cancelRequested = false;
        window.m_progress.done = 2;
        sinceCancel.start();
    });
    poll.start(20);
    ModalAnswerer answerer;
    answerer.expectFileDialog({sheet});
    answerer.expectMessageBox(QMessageBox::Yes); // replace s.png?
    window.ui->btnGenerate->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(label, QStringLiteral("Generating sheet…"));
    QCOMPARE(progress, QStringLiteral("4 of 4 images"));
    lockedWhileRunning.sort();
    QCOMPARE(lockedWhileRunning,
             (QStringList{"btnCleanList", "btnGenerate", "btnPickFile", "btnSettings"}));
    // Cancelled: the button asks the worker to stop, the dialog is gone at
    // once, no box, nothing written, and the window usable again.
    QVERIFY(cancelledByButton);
    QVERIFY(!shownAfterCancel);
    QCOMPARE(answerer.seen().size(), 2);
    QCOMPARE(readFileBytes(sheet), QByteArray("old sheet"));
    QVERIFY(!QFile::exists(out.filePath(QStringLiteral("s.txt"))));
    QVERIFY(window.ui->btnGenerate->isEnabled());
}

// About is the one button a run leaves enabled; its box must not hold the
// finished run back until it is closed.
void TestGenerate::aboutDuringARun()
{
    ExampleImages source;
    QTemporaryDir out;
    SettingsFixture fixture;
    WindowProbe window;
    source.listIn(window);
    auto *answerer = new ModalAnswerer;
    answerer->expectFileDialog({out.filePath(QStringLiteral("s.png"))});
    QTimer poll;
    connect(&poll, &QTimer::timeout, &window, [&] {
        if (!answerer || window.m_progress.total == 0)
            return;
        delete answerer; // the box is left open
        answerer = nullptr;
        window.ui->pushButton->click();
        // Closing the last window would quit with the run's result unseen.
        QVERIFY(!window.close());
    });
    poll.start(1);
    // A box that held the run back would otherwise wait for ever.
    QTimer::singleShot(5000, &window, [&window] {
        for (QMessageBox *box : window.findChildren<QMessageBox *>())
            box->close();
    });
    window.ui->btnGenerate->click();
    QVERIFY(!answerer);
    QMessageBox *about = window.findChild<QMessageBox *>();
    QVERIFY(about && about->isVisible());
    QVERIFY(window.resultDialog->isVisible() && window.ui->btnGenerate->isEnabled());
    about->close();
}

void TestGenerate::cancelThenGenerateAgain_data()
{
    QTest::addColumn<bool>("whileDecoding"); // else while waiting for another run's lock
    QTest::addColumn<bool>("undecodable");   // one image found undecodable before the cancel
    QTest::addColumn<bool>("gifs");          // cancelled while their sizes are being found
    QTest::newRow("cancelled while decoding") << true << false << false;
    QTest::newRow("cancelled while waiting for the lock") << false << false << false;
    // Cancelled in the pass without it: the run ends without its box.
    QTest::newRow("cancelled after an image did not decode") << true << true << false;
    // A GIF's size takes a decode: the window stays live and Cancel stops
    // before the next file.
    QTest::newRow("cancelled while finding the GIFs' sizes") << true << false << true;
    // Its file was never packed: the cancelled run names it in no box, nor
    // does the next run twice.
    QTest::newRow("cancelled after a GIF's size did not read") << true << true << true;
}

// The window is usable within a second, nothing is written, and the next
// Generate writes its sheet.
void TestGenerate::cancelThenGenerateAgain()
{
    QFETCH(bool, whileDecoding);
    QFETCH(bool, undecodable);
    QFETCH(bool, gifs);
    QTemporaryDir out;
    SettingsFixture fixture;
    WindowProbe window;
    const QString suffix = QLatin1String(gifs ? ".gif" : ".png");
    const QString image = out.filePath(QStringLiteral("big") + suffix);
    const int side = gifs            ? 2000
                     : whileDecoding ? 1000
                                     : 40; // encoding a large sheet takes a while
    QVERIFY(gifs ? writeFileBytes(image, solidGif(side))
                 : savePng(patternImage(side, side, 3), image));
    if (undecodable) {
        const QString truncated = out.filePath(QStringLiteral("truncated.png"));
        const QByteArray png = readFileBytes(image);
        // A GIF's header gives no size that holds: it does not even probe.
        QVERIFY(writeFileBytes(truncated, gifs ? png.left(13) : png.left(png.size() / 2)));
        window.fileModel->appendRow(new QStandardItem(truncated));
    }
    for (int i = 0; i < 8; ++i) {
        const QString copy = out.filePath(QStringLiteral("big%1").arg(i) + suffix);
        QVERIFY(QFile::copy(image, copy));
        window.fileModel->appendRow(new QStandardItem(copy));
    }
    const QString sheet = out.filePath(QStringLiteral("s.png"));
    std::optional<HeldLock> otherRun;
    if (!whileDecoding)
        QVERIFY(otherRun.emplace(sheet + QStringLiteral(".lock")).isHeld());
    bool cancelledMidway = false;
    QElapsedTimer sinceCancel;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &window, [&] {
        const int done = window.m_progress.done;
        const int total = window.m_progress.total;
        if (total == 0 || (!gifs && (done == 0 || (whileDecoding ? done >= total : done < total) ||
                                     (undecodable && total != 8))))
            return;
        // Decoded, encoded (small) and then waiting for the lock.
        if (!whileDecoding && !sinceCancel.isValid()) {
            sinceCancel.start();
            return;
        }
        if (!whileDecoding && sinceCancel.elapsed() < 300)
            return;
        // The truncated GIF, listed first, has been probed by then.
        if (gifs && undecodable && !sinceCancel.isValid()) {
            sinceCancel.start();
            return;
        }
        if (gifs && undecodable && sinceCancel.elapsed() < 50)
            return;
        poll.stop();
        cancelledMidway = done < total;
        sinceCancel.start();
        window.m_progress.cancelRequested = true;
    });
    poll.start(1);
    ModalAnswerer answerer;
    answerer.expectFileDialog({sheet});
    window.ui->btnGenerate->click();
    QVERIFY(sinceCancel.isValid() && sinceCancel.elapsed() < 1000);
    QCOMPARE(cancelledMidway, whileDecoding);
    QVERIFY2(!gifs || window.imageSizes.size() < 8,
             qPrintable(QString::number(window.imageSizes.size())));
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(answerer.seen().size(), 1);
    QVERIFY(window.ui->btnGenerate->isEnabled() && window.ui->lstFile->isEnabled());
    QVERIFY(!QFile::exists(sheet) && !QFile::exists(out.filePath(QStringLiteral("s.txt"))));

    otherRun.reset();
    answerer.expectFileDialog({sheet});
    if (undecodable)
        answerer.expectMessageBox();
    window.ui->btnGenerate->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(QImage(sheet).size(), QSize(side + 4, 8 * (side + 2) + 2));
}

// The settings dialog takes input until the progress dialog shows. What it
// saves is for the next run: this one keeps the margin it started with, also
// when an image fails to decode and the layout is made again.
void TestGenerate::settingsSavedDuringARun()
{
    QTemporaryDir out;
    SettingsFixture fixture;
    WindowProbe window;
    const QString image = out.filePath(QStringLiteral("big.png"));
    QVERIFY(savePng(patternImage(1000, 1000, 3), image));
    const QString truncated = out.filePath(QStringLiteral("truncated.png"));
    const QByteArray png = readFileBytes(image);
    QVERIFY(writeFileBytes(truncated, png.left(png.size() / 2)));
    window.fileModel->appendRow(new QStandardItem(truncated));
    for (int i = 0; i < 4; ++i) { // decoding them leaves time to save the settings
        const QString copy = out.filePath(QStringLiteral("big%1.png").arg(i));
        QVERIFY(QFile::copy(image, copy));
        window.fileModel->appendRow(new QStandardItem(copy));
    }
    window.settingsDialog->show();
    QTimer poll;
    connect(&poll, &QTimer::timeout, &window, [&] {
        if (window.m_progress.total == 0)
            return;
        poll.stop();
        window.settingsDialog->form()->txtMarginPix->setText(QStringLiteral("7"));
        window.settingsDialog->form()->btnOK->click();
    });
    poll.start(1);
    const QString sheet = out.filePath(QStringLiteral("s.png"));
    ModalAnswerer answerer;
    answerer.expectFileDialog({sheet});
    answerer.expectMessageBox(); // the truncated image
    window.ui->btnGenerate->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(window.settingsDialog->marginPixel, 7);
    QCOMPARE(QImage(sheet).size(), QSize(1004, 4 * 1002 + 2));
}

// Disabled while the run goes on, the list gets the keyboard back after it.
void TestGenerate::focusReturnsAfterTheRun()
{
    ExampleImages source;
    QTemporaryDir out;
    SettingsFixture fixture;
    WindowProbe window;
    window.fileModel->appendRow(new QStandardItem(source.paths[0]));
    window.show();
    window.activateWindow();
    window.ui->lstFile->setFocus();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    ModalAnswerer answerer;
    answerer.expectFileDialog({out.filePath(QStringLiteral("s.png"))});
    QTest::keyClick(window.ui->lstFile, Qt::Key_Return, Qt::ControlModifier);
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QVERIFY(window.resultDialog->isVisible());
    QTRY_COMPARE(QApplication::focusWidget() ? QApplication::focusWidget()->objectName()
                                             : QString(),
                 QStringLiteral("lstFile"));
    window.resultDialog->hide();
    window.hide();
}

// Only a PNG sheet is previewed from memory: JPEG changes pixels on the way.
void TestGenerate::previewOfAJpegSheetShowsTheFile()
{
    ExampleImages source;
    QTemporaryDir out;
    SettingsFixture fixture;
    WindowProbe window;
    window.fileModel->appendRow(new QStandardItem(source.paths[1]));
    const QString sheet = out.filePath(QStringLiteral("s.jpg"));
    ModalAnswerer answerer;
    answerer.expectFileDialog({sheet});
    window.ui->btnGenerate->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QLabel *preview = window.resultDialog->form()->labImageResult;
    const QImage fromFile = ComposeResultDialog::previewPixmap(QImage(sheet), preview->size(),
                                                               preview->devicePixelRatioF())
                                .toImage();
    QCOMPARE(preview->pixmap(Qt::ReturnByValue).toImage(), fromFile);
    window.resultDialog->hide();
}

QTEST_MAIN(TestGenerate)
#include "tst_generate.moc"
