#include "app/mainwindow.h"
#include "app/mainwindowform.h"
#include "support/modalanswerer.h"
#include "support/testsupport.h"

#include <QDirIterator>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QStandardItemModel>
#include <QtTest>

namespace {

class WindowProbe : public MainWindow
{
public:
    using MainWindow::fileModel;
    using MainWindow::ui;
};

struct Run
{
    int code = -1;
    QString out;
    QString err;
};

// Runs the built korvane-pack as a build pipeline would: no display and no
// platform plugin chosen.
Run pack(const QStringList &arguments, const QString &program = QStringLiteral(KORVANE_PACK))
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        environment.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run; // a crash or hang is never an expected code
    run.code = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// Every file and folder below `root` with its content, to show that a failed
// run created, truncated or changed nothing.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> result;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        result.insert(path, it.fileInfo().isDir() ? QByteArray("<dir>") : readFileBytes(path));
    }
    return result;
}

QStringList placementLines(const QString &path)
{
    return QString::fromUtf8(readFileBytes(path)).split("\r\n", Qt::SkipEmptyParts);
}

QStringList withPaths(QStringList arguments, const QString &root)
{
    for (QString &argument : arguments)
        argument.replace(QLatin1String("$ROOT"), root);
    return arguments;
}

} // namespace

class TestPack : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void failuresLeaveNoTrace_data();
    void failuresLeaveNoTrace();
    void folderInputTakesPngFilesOnly();
    void marginSources_data();
    void marginSources();
    void skipUnreadable();
    void verboseAndSilent();
    void helpAndVersion_data();
    void helpAndVersion();
    void jsonMatchesPlacement();
    void argumentOrderDoesNotMatter();
    void moreThan99Images();
    void imageAbove128MiB();
    void sameFilesAsTheWindow();
    void sameFilesAsOtherBuild_data();
    void sameFilesAsOtherBuild();
};

void TestPack::cleanup()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        widget->hide();
}

void TestPack::failuresLeaveNoTrace_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    const QString in = "$ROOT/in/a.png";
    const QString sheet = "$ROOT/out/s.png";
    QTest::newRow("unknown option")
        << QStringList{"--bogus", "-o", sheet, in} << 2 << "Unknown option 'bogus'";
    QTest::newRow("missing -o") << QStringList{in} << 2 << "no sheet given";
    QTest::newRow("margin not a number")
        << QStringList{"-m", "x", "-o", sheet, in} << 2 << "margin \"x\" is not a whole number";
    QTest::newRow("negative margin")
        << QStringList{"-m", "-1", "-o", sheet, in} << 2 << "margin \"-1\" is not a whole number";
    QTest::newRow("margin with sign") << QStringList{"--margin=+3", "-o", sheet, in} << 2
                                      << "margin \"+3\" is not a whole number";
    QTest::newRow("no INPUT") << QStringList{"-o", sheet} << 2 << "no INPUT given";
    QTest::newRow("outputs collide") << QStringList{"--json", "$ROOT/out/s.txt", "-o", sheet, in}
                                     << 2 << "the placement file and the JSON file would both be";
    QTest::newRow("missing file") << QStringList{"-o", sheet, in, "$ROOT/in/gone.png"} << 1
                                  << "$ROOT/in/gone.png: no such file or folder";
    QTest::newRow("not an image") << QStringList{"-o", sheet, in, "$ROOT/in/text.png"} << 1
                                  << "$ROOT/in/text.png: not a readable image";
    QTest::newRow("folder without images")
        << QStringList{"-o", sheet, "$ROOT/out"} << 1 << "no image to pack";
    QTest::newRow("sheet too large")
        << QStringList{"-m", "2000000000", "-o", sheet, in} << 1
        << "$ROOT/out/s.png: sheet too large: 4000000010 x 4000000005 pixels";
    QTest::newRow("no writer for suffix") << QStringList{"-o", "$ROOT/out/s.xyz", in} << 1
                                          << "$ROOT/out/s.xyz: no image writer for suffix \"xyz\"";
    QTest::newRow("output folder missing") << QStringList{"-o", "$ROOT/out/missing/s.png", in} << 1
                                           << "Cannot write $ROOT/out/missing/s.txt: ";
    QTest::newRow("output parent is a file") << QStringList{"-o", "$ROOT/out/s.txt/s.png", in} << 1
                                             << "Cannot write $ROOT/out/s.txt/s.txt: ";
    // The placement file could be written; the JSON file cannot, so the old
    // placement file must survive.
    QTest::newRow("json folder missing")
        << QStringList{"--json", "$ROOT/out/missing/s.json", "-o", sheet, in} << 1
        << "Cannot write $ROOT/out/missing/s.json: ";
    QTest::newRow("output is an input") << QStringList{"-o", "$ROOT/in/a.png", "$ROOT/in"} << 1
                                        << "would overwrite the input image $ROOT/in/a.png";
    QTest::newRow("same frame name twice")
        << QStringList{"--skip-unreadable", "--json",   "$ROOT/out/s.json", "-o", sheet,
                       "$ROOT/in",          "$ROOT/in2"}
        << 1 << "$ROOT/in/a.png and $ROOT/in2/a.png would both be frame \"a.png\"";
    QTest::newRow("config missing") << QStringList{"--config", "$ROOT/none.xml", "-o", sheet, in}
                                    << 1 << "Can not read settings,Error Number is: 0x102";
    QTest::newRow("config not XML") << QStringList{"--config", "$ROOT/in/text.png", "-o", sheet, in}
                                    << 1 << "Can not read settings,Error Number is: 0x103";
    QTest::newRow("config margin negative")
        << QStringList{"--config", "$ROOT/negative.xml", "-o", sheet, in} << 1
        << "$ROOT/negative.xml: margin -4 is negative";
}

void TestPack::failuresLeaveNoTrace()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, message);
    QTemporaryDir root;
    QDir(root.path()).mkpath("in");
    QDir(root.path()).mkpath("in2");
    QDir(root.path()).mkpath("out");
    QVERIFY(savePng(patternImage(10, 5, 1), root.filePath("in/a.png")));
    QVERIFY(savePng(patternImage(7, 7, 2), root.filePath("in2/a.png")));
    QVERIFY(writeFileBytes(root.filePath("in/text.png"), "not an image"));
    QVERIFY(writeFileBytes(root.filePath("out/s.txt"), "old placement"));
    QVERIFY(
        writeFileBytes(root.filePath("negative.xml"), SettingsFixture::config({}, {}, "-4", "0")));
    const QMap<QString, QByteArray> before = snapshot(root.path());

    const Run run = pack(withPaths(arguments, root.path()));
    QCOMPARE(run.code, code);
    QVERIFY2(run.err.startsWith(QLatin1String("korvane-pack: ")), qPrintable(run.err));
    QVERIFY2(run.err.contains(message.replace(QLatin1String("$ROOT"), root.path())),
             qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QCOMPARE(snapshot(root.path()), before);
}

void TestPack::folderInputTakesPngFilesOnly()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("in/sub");
    QDir(dir.path()).mkpath("in/folder.png");
    for (const char *name : {"in/upper.PNG", "in/mixed.Png", "in/lower.png", "in/sub/deep.png"})
        QVERIFY(savePng(patternImage(4, 3, 1), dir.filePath(QString::fromLatin1(name))));
    // A PNG under another name is not picked up from a folder.
    QVERIFY(savePng(patternImage(4, 3, 1), dir.filePath("in/image.txt")));

    const QString in = dir.filePath("in");
    const Run run = pack({"-o", dir.filePath("s.png"), in});
    QCOMPARE(run.code, 0);
    QVERIFY(run.err.isEmpty());
    QStringList paths;
    for (const QString &line : placementLines(dir.filePath("s.txt")))
        paths << line.section(QLatin1Char(','), 0, 0);
    paths.sort();
    QCOMPARE(paths, (QStringList{in + "/lower.png", in + "/mixed.Png", in + "/upper.PNG"}));
}

void TestPack::marginSources_data()
{
    QTest::addColumn<QString>("configMargin"); // empty: no --config
    QTest::addColumn<QString>("margin");       // empty: no --margin
    QTest::addColumn<int>("expected");
    QTest::newRow("default") << ""
                             << "" << 2;
    QTest::newRow("--margin") << ""
                              << "7" << 7;
    QTest::newRow("--margin 0") << ""
                                << "0" << 0;
    QTest::newRow("config") << "5"
                            << "" << 5;
    QTest::newRow("config text reads as 0") << "abc"
                                            << "" << 0;
    QTest::newRow("--margin wins") << "5"
                                   << "1" << 1;
    QTest::newRow("--margin wins over negative config") << "-4"
                                                        << "3" << 3;
}

void TestPack::marginSources()
{
    QFETCH(QString, configMargin);
    QFETCH(QString, margin);
    QFETCH(int, expected);
    QTemporaryDir dir;
    const QString image = dir.filePath("a.png");
    QVERIFY(savePng(patternImage(10, 5, 1), image));
    QStringList arguments{"-o", dir.filePath("s"), image};
    if (!configMargin.isEmpty()) {
        QVERIFY(writeFileBytes(dir.filePath("c.xml"),
                               SettingsFixture::config({}, {}, configMargin, "0")));
        arguments << "--config" << dir.filePath("c.xml");
    }
    if (!margin.isEmpty())
        arguments << "--margin" << margin;

    const Run run = pack(arguments);
    QCOMPARE(run.code, 0);
    QCOMPARE(placementLines(dir.filePath("s.txt")),
             QStringList{QString("%1,10,5,%2,%2").arg(image).arg(expected)});
    QCOMPARE(QImage(dir.filePath("s.png")).size(), QSize(10 + 2 * expected, 5 + 2 * expected));
}

void TestPack::skipUnreadable()
{
    QTemporaryDir dir;
    const QString good = dir.filePath("good.png");
    const QString bad = dir.filePath("bad.png");
    QVERIFY(savePng(patternImage(6, 4, 1), good));
    QVERIFY(writeFileBytes(bad, "\x89PNG but not really"));
    const QString sheet = dir.filePath("s.png");

    Run run = pack({"--skip-unreadable", "-m0", "-o", sheet, dir.path()});
    QCOMPARE(run.code, 0);
    QVERIFY2(run.err.startsWith(QString("korvane-pack: skipping %1: ").arg(bad)),
             qPrintable(run.err));
    QCOMPARE(placementLines(dir.filePath("s.txt")), QStringList{good + ",6,4,0,0"});

    // Skipping every image leaves nothing to pack.
    run = pack({"--skip-unreadable", "-o", dir.filePath("t.png"), bad});
    QCOMPARE(run.code, 1);
    QVERIFY2(run.err.contains(QLatin1String("korvane-pack: no image to pack")),
             qPrintable(run.err));
    QVERIFY(!QFile::exists(dir.filePath("t.txt")));
}

void TestPack::verboseAndSilent()
{
    QTemporaryDir dir;
    const QString a = dir.filePath("a.png");
    const QString b = dir.filePath("b.png");
    QVERIFY(savePng(patternImage(10, 5, 1), a));
    QVERIFY(savePng(patternImage(20, 8, 2), b));
    const QString sheet = dir.filePath("s.png");

    Run run = pack({"-o", sheet, a, b});
    QCOMPARE(run.code, 0);
    QCOMPARE(run.out, QString());
    QCOMPARE(run.err, QString());

    run = pack({"--verbose", "-o", sheet, a, b});
    QCOMPARE(run.code, 0);
    QCOMPARE(run.out, QStringLiteral("placed %1 (20x8) at 2,2\nplaced %2 (10x5) at 2,12\n"
                                     "sheet %3 (24x19)\n")
                          .arg(b, a, sheet));
}

void TestPack::helpAndVersion_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("expected");
    QTest::newRow("--help") << "--help"
                            << "Usage: korvane-pack [options] INPUT...\n";
    QTest::newRow("--version") << "--version"
                               << "korvane-pack " KORVANE_VERSION "\n";
}

void TestPack::helpAndVersion()
{
    QFETCH(QString, option);
    QFETCH(QString, expected);
    const Run run = pack({option});
    QCOMPARE(run.code, 0);
    QVERIFY2(run.out.startsWith(expected), qPrintable(run.out));
    QVERIFY(run.err.isEmpty());
}

void TestPack::jsonMatchesPlacement()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("in");
    // Widths chosen so that placement order differs from name order.
    const QVector<QPair<QString, QSize>> images{
        {"in/a.png", {10, 4}},
        {"in/b.png", {30, 6}},
        {QString::fromUtf8("in/\xc3\xa4 \"q\\.png"), {20, 9}},
        {"direct.png", {25, 3}}};
    for (int i = 0; i < images.size(); ++i)
        QVERIFY(savePng(patternImage(images[i].second.width(), images[i].second.height(), i),
                        dir.filePath(images[i].first)));
    const QString direct = dir.filePath("direct.png");
    const QString json = dir.filePath("s.json");
    const Run run = pack({"--json", json, "-o", dir.filePath("s.png"), dir.filePath("in"), direct});
    QCOMPARE(run.code, 0);

    const QByteArray bytes = readFileBytes(json);
    QJsonParseError error;
    const QJsonObject root = QJsonDocument::fromJson(bytes, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    const QJsonObject frames = root.value("frames").toObject();
    const QStringList lines = placementLines(dir.filePath("s.txt"));
    QCOMPARE(frames.size(), lines.size());
    int previous = -1;
    for (const QString &line : lines) {
        const QStringList f = line.split(QLatin1Char(','));
        const QString name = f[0] == direct ? direct : QFileInfo(f[0]).fileName();
        const QJsonObject frame = frames.value(name).toObject();
        QVERIFY2(!frame.isEmpty(), qPrintable(name));
        const QJsonObject rect = frame.value("frame").toObject();
        QCOMPARE(rect.value("x").toInt(-1), f[3].toInt());
        QCOMPARE(rect.value("y").toInt(-1), f[4].toInt());
        QCOMPARE(rect.value("w").toInt(-1), f[1].toInt());
        QCOMPARE(rect.value("h").toInt(-1), f[2].toInt());
        QCOMPARE(frame.value("rotated"), QJsonValue(false));
        QCOMPARE(frame.value("trimmed"), QJsonValue(false));
        const QJsonObject source{{"x", 0}, {"y", 0}, {"w", f[1].toInt()}, {"h", f[2].toInt()}};
        QCOMPARE(frame.value("spriteSourceSize").toObject(), source);
        QCOMPARE(frame.value("sourceSize").toObject(),
                 (QJsonObject{{"w", f[1].toInt()}, {"h", f[2].toInt()}}));
        // Frames appear in the file in placement order.
        QString escaped = name;
        escaped.replace(QLatin1String("\\"), QLatin1String("\\\\"))
            .replace(QLatin1String("\""), QLatin1String("\\\""));
        const int at = bytes.indexOf('"' + escaped.toUtf8() + "\":");
        QVERIFY2(at > previous, qPrintable(name));
        previous = at;
    }
    QCOMPARE(lines.first().section(QLatin1Char(','), 0, 0), dir.filePath("in/b.png"));

    const QJsonObject meta = root.value("meta").toObject();
    QCOMPARE(meta.value("app").toString(), "Korvane");
    QCOMPARE(meta.value("version").toString(), QStringLiteral(KORVANE_VERSION));
    QCOMPARE(meta.value("image").toString(), "s.png");
    QCOMPARE(meta.value("format").toString(), "RGBA8888");
    QCOMPARE(meta.value("scale").toString(), "1");
    const QSize sheet = QImage(dir.filePath("s.png")).size();
    QCOMPARE(meta.value("size").toObject(),
             (QJsonObject{{"w", sheet.width()}, {"h", sheet.height()}}));
}

void TestPack::argumentOrderDoesNotMatter()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("in");
    QDir(dir.path()).mkpath("one");
    QDir(dir.path()).mkpath("two");
    // Equal widths, so the layout depends on the order the images are taken in.
    for (int i = 0; i < 6; ++i)
        QVERIFY(savePng(patternImage(8, 3 + i, i), dir.filePath(QString("in/%1.png").arg(i))));
    const QString extra = dir.filePath("extra.png");
    QVERIFY(savePng(patternImage(8, 2, 9), extra));
    const QString in = dir.filePath("in");
    const QStringList firstOrder{in, extra};
    const QStringList secondOrder{extra, in};

    for (const QString out : {"one", "two"}) {
        const QString base = dir.filePath(out + "/s");
        const Run run = pack(QStringList{"--json", base + ".json", "-o", base} +
                             (out == QLatin1String("one") ? firstOrder : secondOrder));
        QCOMPARE(run.code, 0);
    }
    for (const char *file : {"s.png", "s.txt", "s.json"}) {
        const QByteArray one = readFileBytes(dir.filePath(QString("one/") + file));
        QVERIFY(!one.isEmpty());
        QCOMPARE(one, readFileBytes(dir.filePath(QString("two/") + file)));
    }
}

void TestPack::moreThan99Images()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("in");
    QMap<QString, QImage> images;
    for (int i = 0; i < 120; ++i) {
        const QString path = dir.filePath(QString("in/%1.png").arg(i, 3, 10, QLatin1Char('0')));
        images.insert(path, patternImage(1 + i % 5, 1 + i % 3, i));
        QVERIFY(savePng(images[path], path));
    }
    const Run run = pack({"-o", dir.filePath("s.png"), dir.filePath("in")});
    QCOMPARE(run.code, 0);
    const QStringList lines = placementLines(dir.filePath("s.txt"));
    QCOMPARE(lines.size(), 120);
    const QImage sheet = QImage(dir.filePath("s.png")).convertToFormat(QImage::Format_ARGB32);
    for (const QString &line : lines) {
        const QStringList f = line.split(QLatin1Char(','));
        const QImage expected = images.value(f[0]).convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(sheet.copy(f[3].toInt(), f[4].toInt(), f[1].toInt(), f[2].toInt()), expected);
    }
}

// Qt 6's readers refuse images above 128 MiB by default; Qt 5 has no such
// limit and the two builds must accept the same images.
void TestPack::imageAbove128MiB()
{
    QTemporaryDir dir;
    QImage big(6000, 6000, QImage::Format_ARGB32);
    QVERIFY(!big.isNull());
    big.fill(qRgba(10, 200, 30, 255));
    big.setPixel(5999, 5999, qRgba(1, 2, 3, 4));
    QVERIFY(savePng(big, dir.filePath("big.png")));
    big = QImage();
    const Run run = pack({"-m", "0", "-o", dir.filePath("s.png"), dir.filePath("big.png")});
    QVERIFY2(run.code == 0, qPrintable(run.err));
    QImageReader reader(dir.filePath("s.png"));
    QCOMPARE(reader.size(), QSize(6000, 6000));
    QCOMPARE(placementLines(dir.filePath("s.txt")),
             QStringList{dir.filePath("big.png") + ",6000,6000,0,0"});
}

void TestPack::sameFilesAsTheWindow()
{
    QTemporaryDir dir;
    QStringList paths;
    const QVector<QSize> sizes{{100, 10}, {60, 20}, {40, 22}, {30, 5}, {60, 7}};
    for (int i = 0; i < sizes.size(); ++i) {
        paths << dir.filePath(QString("img%1.png").arg(i));
        QVERIFY(savePng(patternImage(sizes[i].width(), sizes[i].height(), i), paths.last()));
    }
    SettingsFixture fixture(SettingsFixture::config({}, dir.path(), "3", "0"));
    WindowProbe window;
    for (const QString &path : paths)
        window.fileModel->appendRow(new QStandardItem(path));
    ModalAnswerer answerer;
    answerer.expectFileDialog({dir.filePath("window.png")});
    window.ui->btnGenerate->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));

    const Run byMargin = pack(QStringList{"-m", "3", "-o", dir.filePath("margin.png")} + paths);
    QCOMPARE(byMargin.code, 0);
    const Run byConfig =
        pack(QStringList{"--config", fixture.configPath(), "-o", dir.filePath("config")} + paths);
    QCOMPARE(byConfig.code, 0);
    for (const char *suffix : {".png", ".txt"}) {
        const QByteArray fromWindow = readFileBytes(dir.filePath(QString("window") + suffix));
        QVERIFY(!fromWindow.isEmpty());
        QCOMPARE(readFileBytes(dir.filePath(QString("margin") + suffix)), fromWindow);
        QCOMPARE(readFileBytes(dir.filePath(QString("config") + suffix)), fromWindow);
    }
}

void TestPack::sameFilesAsOtherBuild_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("sheet");
    QTest::newRow("defaults") << QStringList{} << "s.png";
    QTest::newRow("margin 0 with JSON")
        << QStringList{"-m", "0", "--json", "$ROOT/s.json"} << "s.png";
    QTest::newRow("margin 5 as BMP") << QStringList{"-m", "5"} << "s.bmp";
}

// The same inputs give the same placement and data files, and sheets with the
// same pixels, whichever Qt the packer was built with (configure with
// KORVANE_OTHER_PACK naming the other build's korvane-pack).
void TestPack::sameFilesAsOtherBuild()
{
#ifndef KORVANE_OTHER_PACK
    QSKIP("KORVANE_OTHER_PACK is not set");
#else
    QFETCH(QStringList, options);
    QFETCH(QString, sheet);
    const QString examples = QStringLiteral(KORVANE_EXAMPLES);
    QTemporaryDir dir;
    const QMap<QString, QString> outputs{{"this", QStringLiteral(KORVANE_PACK)},
                                         {"other", QStringLiteral(KORVANE_OTHER_PACK)}};
    for (auto it = outputs.cbegin(); it != outputs.cend(); ++it) {
        QVERIFY(QDir(dir.path()).mkdir(it.key()));
        const QString out = dir.filePath(it.key());
        const Run run = pack(
            withPaths(options, out) + QStringList{"-o", out + "/" + sheet, examples}, it.value());
        QVERIFY2(run.code == 0, qPrintable(it.value() + ": " + run.err));
    }
    const QStringList files = QDir(dir.filePath("this")).entryList(QDir::Files, QDir::Name);
    QCOMPARE(QDir(dir.filePath("other")).entryList(QDir::Files, QDir::Name), files);
    QVERIFY(files.contains(sheet));
    for (const QString &file : files) {
        const QString mine = dir.filePath("this/" + file);
        const QString theirs = dir.filePath("other/" + file);
        if (file == sheet) {
            const QImage image(mine);
            QVERIFY(!image.isNull());
            QCOMPARE(image.convertToFormat(QImage::Format_ARGB32),
                     QImage(theirs).convertToFormat(QImage::Format_ARGB32));
        } else {
            QCOMPARE(readFileBytes(mine), readFileBytes(theirs));
        }
    }
#endif
}

QTEST_MAIN(TestPack)
#include "tst_pack.moc"
