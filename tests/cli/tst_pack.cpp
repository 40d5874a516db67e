#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "window/mainwindow.h"
#include "window/mainwindowform.h"

#include <QDirIterator>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardItemModel>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
Run pack(const QStringList &arguments, const QString &workingDirectory = QString(),
         const QString &program = QStringLiteral(KORVANE_PACK))
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        environment.remove(QString::fromLatin1(name));
    // File names are UTF-8 here, whatever the caller's locale.
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
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

// A folder "in" of three images, one with a name JSON must escape, and
// "direct.png" beside it; widths chosen so that placement order differs from
// name order.
constexpr int namingImageCount = 4;
bool saveNamingImages(const QTemporaryDir &dir)
{
    QDir(dir.path()).mkpath("in");
    const QVector<QPair<QString, QSize>> images{
        {"in/a.png", {10, 4}},
        {"in/b.png", {30, 6}},
        {QString::fromUtf8("in/\xc3\xa4 \"q\\.png"), {20, 9}},
        {"direct.png", {25, 3}}};
    for (int i = 0; i < images.size(); ++i) {
        if (!savePng(patternImage(images[i].second.width(), images[i].second.height(), i),
                     dir.filePath(images[i].first)))
            return false;
    }
    return true;
}

QStringList withPaths(QStringList arguments, const QString &root)
{
    for (QString &argument : arguments)
        argument.replace(QLatin1String("$ROOT"), root);
    return arguments;
}

// A data file read back as "image<TAB>w<TAB>h" and one "name<TAB>x<TAB>y<TAB>w<TAB>h"
// line per frame in file order. JSON goes through Python's json module.
const char *const readJsonFrames = R"(
import json, sys
data = json.load(open(sys.argv[1], encoding='utf-8'))
if sys.argv[2].startswith('phaser3'):
    textures = data['textures']
    assert len(textures) == 1 or sys.argv[2] == 'phaser3-multi'
    pages = []
    for texture in textures:
        assert texture['format'] == 'RGBA8888' and texture['scale'] == 1
        pages.append((texture['image'], texture['size'],
                      [(f['filename'], f) for f in texture['frames']]))
else:
    image, size = data['meta']['image'], data['meta']['size']
    if sys.argv[2] == 'json-array':
        frames = [(f['filename'], f) for f in data['frames']]
    else:
        frames = list(data['frames'].items())
    pages = [(image, size, frames)]
for image, size, frames in pages:
    print(image, size['w'], size['h'], sep='\t')
    for name, f in frames:
        r = f['frame']
        assert not f['rotated'] and not f['trimmed']
        assert f['sourceSize'] == {'w': r['w'], 'h': r['h']}
        assert f['spriteSourceSize'] == {'x': 0, 'y': 0, 'w': r['w'], 'h': r['h']}
        print(name, r['x'], r['y'], r['w'], r['h'], sep='\t')
)";

QStringList framesFromJson(const QString &path, const QString &format)
{
    QProcess python;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PYTHONIOENCODING", "utf-8");
    python.setProcessEnvironment(environment);
    python.start("python3", {"-c", readJsonFrames, path, format});
    if (!python.waitForFinished(30000) || python.exitCode() != 0)
        return {"python3 failed: " + QString::fromUtf8(python.readAllStandardError())};
    return QString::fromUtf8(python.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

// A libGDX atlas read as its reader does: a page line, "key: value" lines,
// then each region's name and its indented "key: value" lines.
QStringList framesFromAtlasPage(const QStringList &lines)
{
    QStringList result;
    QMap<QString, QString> entries;
    QString region;
    const auto finishRegion = [&]() {
        if (region.isEmpty())
            return;
        const QString size = entries.value("size");
        if (entries.value("rotate") != "false" || entries.value("orig") != size ||
            entries.value("offset") != "0, 0" || entries.value("index") != "-1")
            result << "bad region " + region;
        result << region + '\t' + QString(entries.value("xy")).replace(", ", "\t") + '\t' +
                      QString(size).replace(", ", "\t");
        entries.clear();
    };
    for (int i = 1; i < lines.size(); ++i) {
        const QString &line = lines[i];
        const int colon = line.indexOf(':');
        if (colon < 0 && !line.isEmpty()) {
            if (region.isEmpty()) {
                // The page's own entries end here.
                result.prepend(lines[0] + '\t' +
                               QString(entries.value("size")).replace(", ", "\t"));
                if (entries.value("format") != "RGBA8888" || entries.value("repeat") != "none" ||
                    !entries.contains("filter"))
                    result << "bad page";
                entries.clear();
            }
            finishRegion();
            region = line;
        } else if (colon > 0) {
            entries.insert(line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
        }
    }
    finishRegion();
    return result;
}

// Each page of an atlas in turn; pages are separated by a blank line.
QStringList framesFromAtlas(const QString &path)
{
    QStringList result;
    const QStringList pages = QString::fromUtf8(readFileBytes(path)).split("\n\n");
    for (const QString &page : pages)
        result += framesFromAtlasPage(page.split('\n'));
    return result;
}

// CSS rules as written: class, size, image and the negated position.
QStringList framesFromCss(const QString &path, QStringList *classes)
{
    const QRegularExpression rule(
        "\\.([A-Za-z0-9_-]+) \\{\\s*width: (\\d+)px;\\s*height: (\\d+)px;\\s*"
        "background-image: url\\(\"([^\"]*)\"\\);\\s*"
        "background-position: (-?\\d+)px (-?\\d+)px;\\s*\\}");
    const QString text = QString::fromUtf8(readFileBytes(path));
    QStringList result;
    int end = 0;
    QRegularExpressionMatchIterator it = rule.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        if (m.capturedStart() != end + (end ? 1 : 0))
            result << "unparsed text before " + m.captured(1);
        end = m.capturedEnd();
        *classes << m.captured(1);
        result << m.captured(4) + '\t' + QString::number(-m.captured(5).toInt()) + '\t' +
                      QString::number(-m.captured(6).toInt()) + '\t' + m.captured(2) + '\t' +
                      m.captured(3);
    }
    if (end != text.size() - 1)
        result << "unparsed text at the end";
    return result;
}

QString sourceRoot()
{
    return QDir::cleanPath(QFINDTESTDATA("golden") + "/../../..");
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
    void defaultsMatchGolden_data();
    void defaultsMatchGolden();
    void dataFormatsMatchPlacement_data();
    void dataFormatsMatchPlacement();
    void argumentOrderDoesNotMatter_data();
    void argumentOrderDoesNotMatter();
    void moreThan99Images_data();
    void moreThan99Images();
    void imageAbove128MiB();
    void sameFilesAsTheWindow();
    void sameFilesAsOtherBuild_data();
    void sameFilesAsOtherBuild();
    void multipackSplitsAndNames_data();
    void multipackSplitsAndNames();
    void multipackRemovesOnlyItsStalePages();
    void updateSkipsOnlyUnchanged_data();
    void updateSkipsOnlyUnchanged();
    void packFileErrorsHavePositions_data();
    void packFileErrorsHavePositions();
    void packFileSheetsAndOverrides();
    void watchRepacksUntilInterrupted();
    void progressOnlyOnATerminal();
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
    QTest::newRow("unknown PNG level") << QStringList{"--png-level", "Small", "-o", sheet, in} << 2
                                       << "--png-level \"Small\" is not fast, default or small";
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
    QTest::newRow("data file is a device") << QStringList{"--json", "/dev/null", "-o", sheet, in}
                                           << 1 << "Cannot write /dev/null: it is a device";
    QTest::newRow("sheet is a FIFO")
        << QStringList{"-o", "$ROOT/fifo.png", in} << 1 << "$ROOT/fifo.png: ";
    QTest::newRow("-o names a folder") << QStringList{"-o", "$ROOT/out/", in} << 2
                                       << "-o $ROOT/out/ names a folder, not a sheet file";
    QTest::newRow("image beyond --max-image-pixels")
        << QStringList{"--max-image-pixels", "49", "-o", sheet, in} << 1
        << "$ROOT/in/a.png: 10 x 5 pixels, beyond the limit of 49 pixels";
    QTest::newRow("image wider than 32767 pixels")
        << QStringList{"-o", sheet, "$ROOT/wide.png"} << 1
        << "$ROOT/wide.png: 32768 x 1 pixels, beyond the limit";
    // Reported as 3 x 3 by its header, decoded onto its 3 x 60163 canvas.
    QTest::newRow("GIF canvas beyond the limit")
        << QStringList{"-o", sheet, "$ROOT/tall.gif"} << 1
        << "$ROOT/tall.gif: a GIF of 3 x 60163 pixels, beyond the limit";
    QTest::newRow("data does not decode")
        << QStringList{"-o", sheet, in, "$ROOT/truncated.png"} << 1
        << "$ROOT/truncated.png: the image data cannot be decoded";
    QTest::newRow("input is a FIFO")
        << QStringList{"-o", sheet, "$ROOT/fifo.png"} << 1 << "$ROOT/fifo.png: not a regular file";
    QTest::newRow("line break in a path")
        << QStringList{"-o", sheet, "$ROOT/line\nbreak.png"} << 1 << "the path holds a line break";
    QTest::newRow("undecodable name in a folder")
        << QStringList{"-o", sheet, "$ROOT/raw"} << 1
        << "$ROOT/raw: the file name \"\\xff.png\" is not valid";
    QTest::newRow("unknown layout") << QStringList{"--layout", "diagonal", "-o", sheet, in} << 2
                                    << "unknown layout \"diagonal\"";
    QTest::newRow("unknown data format")
        << QStringList{"--data", "$ROOT/out/s.yaml", "--format", "yaml", "-o", sheet, in} << 2
        << "unknown format \"yaml\"";
    QTest::newRow("data without format")
        << QStringList{"--data", "$ROOT/out/s.css", "-o", sheet, in} << 2
        << "--data and --format go in pairs: 1 --data, 0";
    QTest::newRow("max size not WxH") << QStringList{"--max-size", "4096", "-o", sheet, in} << 2
                                      << "--max-size \"4096\" is not WIDTHxHEIGHT";
    QTest::newRow("data files collide")
        << QStringList{"--data",   "$ROOT/out/d.json",
                       "--format", "json-array",
                       "--data",   "$ROOT/out/d.json",
                       "--format", "phaser3",
                       "-o",       sheet,
                       in}
        << 2 << "the json-array data file and the phaser3 data file would both be $ROOT/out/d.json";
    QTest::newRow("data file is the placement file")
        << QStringList{"--data", "$ROOT/out/s.txt", "--format", "css", "-o", sheet, in} << 2
        << "the placement file and the css data file would both be $ROOT/out/s.txt";
    QTest::newRow("JSON file is the lock file")
        << QStringList{"--json", "$ROOT/out/s.png.lock", "-o", sheet, in} << 2
        << "the JSON file would be $ROOT/out/s.png.lock, the lock file of the sheet";
    QTest::newRow("dangling link names another output")
        << QStringList{"--json",   "$ROOT/out/x.json",
                       "--data",   "$ROOT/lnk/x.json",
                       "--format", "css",
                       "-o",       sheet,
                       in}
        << 2 << "the JSON file and the css data file would both be $ROOT/lnk/x.json";
    QTest::newRow("rows sheet over max size")
        << QStringList{"--max-size", "13x100", "-o", sheet, in} << 1
        << "$ROOT/out/s.png: the sheet needs 14 x 9 pixels, more than --max-size 13x100 allows";
    QTest::newRow("compact sheet over max size")
        << QStringList{"--layout", "compact", "--max-size", "14x8", "-o", sheet, in} << 1
        << "the sheet needs 14 x 9 pixels, more than --max-size 14x8 allows";
    QTest::newRow("power of two over max size")
        << QStringList{"--layout", "compact", "--power-of-two", "--max-size", "15x15", "-o",
                       sheet,      in}
        << 1 << "the sheet needs 16 x 16 pixels, more than --max-size 15x15 allows";
    QTest::newRow("frame name an atlas cannot hold")
        << QStringList{"--data", "$ROOT/out/s.atlas", "--format", "libgdx", "-o", sheet,
                       in,       "$ROOT/colon:x.png"}
        << 1
        << "$ROOT/out/s.atlas: frame name \"$ROOT/colon:x.png\" cannot be written to a libGDX "
           "atlas";
    QTest::newRow("data folder missing")
        << QStringList{"--data", "$ROOT/out/missing/s.css", "--format", "css", "-o", sheet, in} << 1
        << "Cannot write $ROOT/out/missing/s.css: ";
    QTest::newRow("config missing") << QStringList{"--config", "$ROOT/none.xml", "-o", sheet, in}
                                    << 1 << "Can not read settings,Error Number is: 0x102";
    QTest::newRow("config not XML") << QStringList{"--config", "$ROOT/in/text.png", "-o", sheet, in}
                                    << 1 << "Can not read settings,Error Number is: 0x103";
    QTest::newRow("multipack without max size")
        << QStringList{"--multipack", "-o", sheet, in} << 2 << "--multipack needs --max-size";
    QTest::newRow("multipack image larger than a sheet")
        << QStringList{"--multipack", "--max-size", "13x100", "-o", sheet, in} << 1
        << "$ROOT/in/a.png (10 x 5) does not fit on a sheet of --max-size 13x100";
    QTest::newRow("data file is the manifest")
        << QStringList{"--json", "$ROOT/out/s.korvane-manifest", "-o", sheet, in} << 2
        << "the JSON file and the manifest would both be";
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
    QVERIFY(savePng(patternImage(3, 3, 3), root.filePath("colon:x.png")));
    QVERIFY(writeFileBytes(root.filePath("out/s.txt"), "old placement"));
    QVERIFY(QDir(root.path()).mkpath("lnk"));
    QVERIFY(QFile::link("../out/x.json", root.filePath("lnk/x.json")));
    QVERIFY(savePng(patternImage(32768, 1, 3), root.filePath("wide.png")));
    QVERIFY(QFile::copy(
        QFINDTESTDATA("../../fuzz/corpus/fuzz_imageload/gif_screen_taller_than_frame.gif"),
        root.filePath("tall.gif")));
    const QByteArray png = readFileBytes(root.filePath("in/a.png"));
    QVERIFY(writeFileBytes(root.filePath("truncated.png"), png.left(png.size() - 20)));
    QVERIFY(QFile::copy(root.filePath("in/a.png"), root.filePath("line\nbreak.png")));
    QCOMPARE(mkfifo(QFile::encodeName(root.filePath("fifo.png")).constData(), 0600), 0);
    QVERIFY(QDir(root.path()).mkpath("raw"));
    // A name that is not UTF-8, made from raw bytes.
    const QByteArray rawName = QFile::encodeName(root.filePath("raw")) + "/\xff.png";
    const int fd = ::open(rawName.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QVERIFY(fd >= 0 && ::write(fd, png.constData(), size_t(png.size())) == png.size());
    ::close(fd);
    QVERIFY(
        writeFileBytes(root.filePath("negative.xml"), SettingsFixture::config({}, {}, "-4", "0")));
    const QMap<QString, QByteArray> before = snapshot(root.path());

    const Run run = pack(withPaths(arguments, root.path()));
    QCOMPARE(run.code, code);
    // A decoder may print its own complaint first.
    QVERIFY2(run.err.contains(QLatin1String("korvane-pack: ")), qPrintable(run.err));
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
    // Its header reads, so it is found only when decoded; the layout is then
    // made again without it.
    const QString truncated = dir.filePath("truncated.png");
    const QByteArray png = readFileBytes(good);
    QVERIFY(writeFileBytes(truncated, png.left(png.size() - 20)));
    const QString sheet = dir.filePath("s.png");

    Run run = pack({"--skip-unreadable", "-m0", "-o", sheet, dir.path()});
    QCOMPARE(run.code, 0);
    QVERIFY2(run.err.startsWith(QString("korvane-pack: skipping %1: ").arg(bad)),
             qPrintable(run.err));
    QVERIFY2(run.err.contains(QString("korvane-pack: skipping %1: ").arg(truncated)),
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
    QVERIFY(saveNamingImages(dir));
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

void TestPack::defaultsMatchGolden_data()
{
    QTest::addColumn<QStringList>("arguments"); // run in the source folder; $OUT: output folder
    QTest::addColumn<QString>("golden");        // base name under golden/
    QTest::addColumn<QStringList>("suffixes");

    QTest::newRow("no option") << QStringList{"--json", "$OUT/sprites.json", "-o",
                                              "$OUT/sprites.png", "examples/sprites"}
                               << "sprites" << QStringList{".png", ".txt", ".json"};
    QTest::newRow("rows and json-hash by name")
        << QStringList{"--layout",  "rows", "--data",           "$OUT/sprites.json", "--format",
                       "json-hash", "-o",   "$OUT/sprites.png", "examples/sprites"}
        << "sprites" << QStringList{".png", ".txt", ".json"};
    QTest::newRow("margin 0") << QStringList{"-m", "0", "-o", "$OUT/sprites-m0.png",
                                             "examples/sprites"}
                              << "sprites-m0" << QStringList{".png", ".txt"};
}

// Every default output stays byte for byte what it was before the layout
// options came; the sheets' pixels are those of the earlier encoder too.
void TestPack::defaultsMatchGolden()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, golden);
    QFETCH(QStringList, suffixes);
    QTemporaryDir dir;
    for (QString &argument : arguments)
        argument.replace(QLatin1String("$OUT"), dir.path());
    const Run run = pack(arguments, sourceRoot());
    QCOMPARE(run.code, 0);
    for (const QString &suffix : suffixes) {
        const QByteArray expected = readFileBytes(QFINDTESTDATA("golden/" + golden + suffix));
        QVERIFY(!expected.isEmpty() && expected != "<unreadable>");
        QVERIFY2(readFileBytes(dir.filePath(golden + suffix)) == expected, qPrintable(suffix));
    }
}

void TestPack::dataFormatsMatchPlacement_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("layout");
    for (const char *layout : {"rows", "compact"}) {
        for (const char *format : {"json-hash", "json-array", "phaser3", "libgdx", "css"}) {
            QTest::addRow("%s, %s", format, layout)
                << QString::fromLatin1(format) << QString::fromLatin1(layout);
        }
    }
}

void TestPack::dataFormatsMatchPlacement()
{
    QFETCH(QString, format);
    QFETCH(QString, layout);
    QTemporaryDir dir;
    QVERIFY(saveNamingImages(dir));
    const QString direct = dir.filePath("direct.png");
    const QString data = dir.filePath("s.data");
    const Run run = pack({"--layout", layout, "--data", data, "--format", format, "-o",
                          dir.filePath("s.png"), dir.filePath("in"), direct});
    QCOMPARE(run.code, 0);

    // What the placement file and the sheet say, with frame names as in JSON.
    const QSize sheet = QImage(dir.filePath("s.png")).size();
    QStringList expected{QString("s.png\t%1\t%2").arg(sheet.width()).arg(sheet.height())};
    for (const QString &line : placementLines(dir.filePath("s.txt"))) {
        const QStringList f = line.split(QLatin1Char(','));
        const QString name = f[0] == direct ? direct : QFileInfo(f[0]).fileName();
        expected << QStringList{name, f[3], f[4], f[1], f[2]}.join('\t');
    }
    QCOMPARE(expected.size(), namingImageCount + 1);

    QStringList read;
    if (format == "libgdx") {
        read = framesFromAtlas(data);
    } else if (format == "css") {
        QStringList classes;
        read = framesFromCss(data, &classes);
        QVERIFY(classes.contains("sprite-a"));
        QCOMPARE(QSet<QString>(classes.begin(), classes.end()).size(), namingImageCount);
        // CSS names its classes, not frames: compare the rest in order.
        for (QString &line : expected)
            line = line.section('\t', 1);
        expected.prepend(QString()); // the image is named in every rule
        for (QString &line : read) {
            QCOMPARE(line.section('\t', 0, 0), QStringLiteral("s.png"));
            line = line.section('\t', 1);
        }
        read.prepend(QString());
        expected.removeAt(1);
    } else {
        read = framesFromJson(data, format);
    }
    QCOMPARE(read, expected);
}

void TestPack::argumentOrderDoesNotMatter_data()
{
    QTest::addColumn<QStringList>("options"); // $BASE: the run's output base name
    QTest::addColumn<QStringList>("files");
    QTest::newRow("rows") << QStringList{"--json", "$BASE.json"}
                          << QStringList{"s.png", "s.txt", "s.json"};
    QTest::newRow("compact") << QStringList{"--layout", "compact", "--json", "$BASE.json"}
                             << QStringList{"s.png", "s.txt", "s.json"};
    QTest::newRow("compact, power of two, every format")
        << QStringList{"--layout", "compact",    "--power-of-two", "--data",   "$BASE.a",
                       "--format", "json-array", "--data",         "$BASE.p",  "--format",
                       "phaser3",  "--data",     "$BASE.atlas",    "--format", "libgdx",
                       "--data",   "$BASE.css",  "--format",       "css"}
        << QStringList{"s.png", "s.txt", "s.a", "s.p", "s.atlas", "s.css"};
}

void TestPack::argumentOrderDoesNotMatter()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, files);
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
        QStringList arguments = options;
        arguments.replaceInStrings(QLatin1String("$BASE"), base);
        const Run run = pack(arguments + QStringList{"-o", base} +
                             (out == QLatin1String("one") ? firstOrder : secondOrder));
        QCOMPARE(run.code, 0);
    }
    for (const QString &file : files) {
        const QByteArray one = readFileBytes(dir.filePath("one/" + file));
        QVERIFY(!one.isEmpty() && one != "<unreadable>");
        QCOMPARE(one, readFileBytes(dir.filePath("two/" + file)));
    }
}

void TestPack::moreThan99Images_data()
{
    QTest::addColumn<QString>("layout");
    QTest::newRow("rows") << "rows";
    QTest::newRow("compact") << "compact";
}

void TestPack::moreThan99Images()
{
    QFETCH(QString, layout);
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("in");
    QMap<QString, QImage> images;
    for (int i = 0; i < 120; ++i) {
        const QString path = dir.filePath(QString("in/%1.png").arg(i, 3, 10, QLatin1Char('0')));
        images.insert(path, patternImage(1 + i % 5, 1 + i % 3, i));
        QVERIFY(savePng(images[path], path));
    }
    const Run run = pack({"--layout", layout, "-o", dir.filePath("s.png"), dir.filePath("in")});
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
    // The bytes do not depend on how many threads decode and encode.
    for (const QString threads : {"1", "4"}) {
        const Run run = pack(
            QStringList{"-m3", "--threads", threads, "-o", dir.filePath("t" + threads)} + paths);
        QCOMPARE(run.code, 0);
    }
    for (const char *suffix : {".png", ".txt"}) {
        const QByteArray fromWindow = readFileBytes(dir.filePath(QString("window") + suffix));
        QVERIFY(!fromWindow.isEmpty());
        for (const char *other : {"margin", "config", "t1", "t4"})
            QCOMPARE(readFileBytes(dir.filePath(QString(other) + suffix)), fromWindow);
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
        const Run run =
            pack(withPaths(options, out) + QStringList{"-o", out + "/" + sheet, examples},
                 QString(), it.value());
        QVERIFY2(run.code == 0, qPrintable(it.value() + ": " + run.err));
    }
    const QStringList files = QDir(dir.filePath("this")).entryList(QDir::Files, QDir::Name);
    QCOMPARE(QDir(dir.filePath("other")).entryList(QDir::Files, QDir::Name), files);
    QVERIFY(files.contains(sheet));
    for (const QString &file : files) {
        const QString mine = dir.filePath("this/" + file);
        const QString theirs = dir.filePath("other/" + file);
        if (file.endsWith(".korvane-manifest"))
            continue; // it records each run's own paths
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

// Four 12 x 12 images and two 30 x 30 under 40 x 40 with margin 2 in rows:
// each large one fills a sheet, and two small ones fit on each of two more.
constexpr int multipackSheets = 4;
bool saveMultipackImages(const QTemporaryDir &dir)
{
    QDir(dir.path()).mkpath("in");
    for (int i = 0; i < 6; ++i) {
        const int side = i < 2 ? 30 : 12;
        if (!savePng(patternImage(side, side, i), dir.filePath(QString("in/%1.png").arg(i))))
            return false;
    }
    return true;
}

void TestPack::multipackSplitsAndNames_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("output"); // the -o and --data name, "s" or with "{n}"
    for (const char *format : {"json-hash", "json-array", "phaser3", "libgdx", "css"}) {
        QTest::addRow("%s, numbered by suffix", format) << QString::fromLatin1(format) << "s";
        QTest::addRow("%s, {n}", format) << QString::fromLatin1(format) << "s_{n}";
    }
}

void TestPack::multipackSplitsAndNames()
{
    QFETCH(QString, format);
    QFETCH(QString, output);
    QTemporaryDir dir;
    QVERIFY(saveMultipackImages(dir));
    const Run run = pack({"--multipack", "--max-size", "40x40", "--format", format, "--data",
                          dir.filePath(output + ".data"), "-o", dir.filePath(output + ".png"),
                          dir.filePath("in")});
    QVERIFY2(run.code == 0, qPrintable(run.err));
    const bool onePerSheet = format != "phaser3" && format != "libgdx";
    const auto named = [&](int n, const QString &suffix) {
        if (output.contains("{n}"))
            return dir.filePath(QString(output).replace("{n}", QString::number(n)) + suffix);
        return dir.filePath(n == 0 ? output + suffix : QString("s-%1%2").arg(n).arg(suffix));
    };

    QStringList expected;
    QStringList read;
    QSet<QString> placed;
    for (int n = 0; n < multipackSheets; ++n) {
        const QImage sheet = QImage(named(n, ".png")).convertToFormat(QImage::Format_ARGB32);
        QVERIFY2(sheet.width() <= 40 && sheet.height() <= 40, qPrintable(named(n, ".png")));
        if (onePerSheet || n == 0)
            expected.clear();
        expected << QString("%1\t%2\t%3")
                        .arg(QFileInfo(named(n, ".png")).fileName())
                        .arg(sheet.width())
                        .arg(sheet.height());
        for (const QString &line : placementLines(named(n, ".txt"))) {
            const QStringList f = line.split(',');
            QVERIFY2(!placed.contains(f[0]), qPrintable(f[0]));
            placed.insert(f[0]);
            const QImage source = QImage(f[0]).convertToFormat(QImage::Format_ARGB32);
            QCOMPARE(sheet.copy(f[3].toInt(), f[4].toInt(), source.width(), source.height()),
                     source);
            expected << QStringList{QFileInfo(f[0]).fileName(), f[3], f[4], f[1], f[2]}.join('\t');
        }
        if (!onePerSheet && n < multipackSheets - 1)
            continue;
        const QString data = onePerSheet ? named(n, ".data") : dir.filePath(output + ".data");
        if (format == "libgdx") {
            read = framesFromAtlas(data);
        } else if (format == "css") {
            QStringList classes;
            read = framesFromCss(data, &classes);
            for (QString &line : expected)
                line = line.section('\t', 1); // compared without the class name
            for (QString &line : read)
                line = line.section('\t', 1);
            read.prepend(expected.first());
        } else {
            read = framesFromJson(data, format == "phaser3" ? "phaser3-multi" : format);
            if (onePerSheet) {
                QStringList others;
                for (int m = 0; m < multipackSheets; ++m) {
                    if (m != n)
                        others << QFileInfo(named(m, ".data")).fileName();
                }
                const QJsonObject meta =
                    QJsonDocument::fromJson(readFileBytes(data)).object().value("meta").toObject();
                QCOMPARE(meta.value("related_multi_packs").toVariant().toStringList(), others);
            }
        }
        QCOMPARE(read, expected);
    }
    QCOMPARE(placed.size(), 6);
    QVERIFY(!QFile::exists(named(multipackSheets, ".png")));
}

void TestPack::multipackRemovesOnlyItsStalePages()
{
    QTemporaryDir dir;
    QVERIFY(saveMultipackImages(dir));
    const QStringList arguments{"--multipack",          "--max-size",      "40x40",      "--data",
                                dir.filePath("s.json"), "--format",        "json-array", "-o",
                                dir.filePath("s.png"),  dir.filePath("in")};
    QCOMPARE(pack(arguments).code, 0);
    QVERIFY(QFile::exists(dir.filePath("s-3.png")));
    // An edited page is no longer the one Korvane wrote; a page-like name it
    // never wrote is someone else's.
    QVERIFY(writeFileBytes(dir.filePath("s-3.txt"), "edited"));
    QVERIFY(writeFileBytes(dir.filePath("s-4.png"), "foreign"));
    for (const char *image : {"in/1.png", "in/2.png", "in/3.png"})
        QVERIFY(QFile::remove(dir.filePath(image)));
    QCOMPARE(pack(arguments).code, 0);
    for (const char *gone : {"s-2.png", "s-2.txt", "s-2.json", "s-3.png", "s-3.json"})
        QVERIFY2(!QFile::exists(dir.filePath(gone)), gone);
    QCOMPARE(readFileBytes(dir.filePath("s-3.txt")), QByteArray("edited"));
    QCOMPARE(readFileBytes(dir.filePath("s-4.png")), QByteArray("foreign"));
    QVERIFY(QFile::exists(dir.filePath("s-1.png")));

    // Without the manifest, nothing is known to be ours: nothing goes.
    QVERIFY(QFile::remove(dir.filePath("s.korvane-manifest")));
    for (const char *image : {"in/4.png", "in/5.png"})
        QVERIFY(QFile::remove(dir.filePath(image)));
    QCOMPARE(pack(arguments).code, 0);
    QCOMPARE(placementLines(dir.filePath("s.txt")).size(), 1);
    for (const char *kept : {"s-1.png", "s-1.txt", "s-1.json"})
        QVERIFY2(QFile::exists(dir.filePath(kept)), kept);
}

void TestPack::updateSkipsOnlyUnchanged_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("upToDate");
    QTest::newRow("nothing changed") << "" << true;
    QTest::newRow("one pixel changed") << "pixel" << false;
    QTest::newRow("input renamed") << "rename" << false;
    QTest::newRow("option changed") << "margin" << false;
    QTest::newRow("output edited") << "output" << false;
    QTest::newRow("manifest foreign") << "manifest" << false;
    QTest::newRow("manifest missing") << "no manifest" << false;
}

void TestPack::updateSkipsOnlyUnchanged()
{
    QFETCH(QString, change);
    QFETCH(bool, upToDate);
    QTemporaryDir dir;
    QVERIFY(saveNamingImages(dir));
    QStringList arguments{
        "--update",        "--json", dir.filePath("s.json"), "-o", dir.filePath("s.png"),
        dir.filePath("in")};
    QCOMPARE(pack(arguments).code, 0);
    const QStringList outputs{"s.png", "s.txt", "s.json"};
    const QDateTime past = QDateTime::currentDateTime().addDays(-1);
    for (const QString &name : outputs) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::ReadWrite) &&
                file.setFileTime(past, QFileDevice::FileModificationTime));
    }
    QImage changed = patternImage(10, 4, 0);
    if (change == "pixel") {
        changed.setPixel(3, 2, changed.pixel(3, 2) ^ 0x00010000);
        QVERIFY(savePng(changed, dir.filePath("in/a.png")));
    } else if (change == "rename") {
        QVERIFY(QFile::rename(dir.filePath("in/a.png"), dir.filePath("in/z.png")));
    } else if (change == "margin") {
        arguments.prepend("--margin=3");
    } else if (change == "output") {
        QVERIFY(writeFileBytes(dir.filePath("s.json"), "{}"));
    } else if (change == "manifest") {
        QVERIFY(writeFileBytes(dir.filePath("s.korvane-manifest"), "{\"options\": \"x\"}"));
    } else if (change == "no manifest") {
        QVERIFY(QFile::remove(dir.filePath("s.korvane-manifest")));
    }

    const Run run = pack(arguments);
    QVERIFY2(run.code == 0, qPrintable(run.err));
    QCOMPARE(run.out.contains("is up to date"), upToDate);
    for (const QString &name : outputs) {
        const QDateTime modified = QFileInfo(dir.filePath(name)).lastModified();
        QVERIFY2((qAbs(modified.secsTo(past)) < 2) == upToDate, qPrintable(name));
    }
    if (change == "pixel") {
        const QImage sheet(dir.filePath("s.png"));
        const QStringList line =
            placementLines(dir.filePath("s.txt")).filter("/a.png,").first().split(',');
        QCOMPARE(sheet.copy(line[3].toInt(), line[4].toInt(), 10, 4)
                     .convertToFormat(QImage::Format_ARGB32),
                 changed.convertToFormat(QImage::Format_ARGB32));
    }
    // The run after this one has nothing to do either way.
    QVERIFY(pack(arguments).out.contains("is up to date"));
}

void TestPack::packFileErrorsHavePositions_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message"); // after "FILE:"
    const QByteArray head = "{\"sheets\": [\n  {\"output\": \"s.png\", \"inputs\": [\"a.png\"],\n";
    QTest::newRow("syntax error") << QByteArray("{\"sheets\": [\n  {\"output\": \"s.png\",, }]}")
                                  << "2:23: ";
    QTest::newRow("unknown key") << head + "   \"margn\": 3}]}"
                                 << "3:4: \"margn\": unknown key";
    QTest::newRow("wrong type") << head + "   \"power-of-two\": \"yes\"}]}"
                                << "3:4: \"power-of-two\": must be true or false";
    QTest::newRow("negative margin") << head + "   \"margin\": -1}]}"
                                     << "3:4: \"margin\": must be a whole number from 0";
    QTest::newRow("fraction") << head + "   \"threads\": 1.5}]}"
                              << "3:4: \"threads\": must be a whole number from 1 to 256";
    QTest::newRow("threads out of range")
        << head + "\t\"threads\": 257}]}"
        << "3:2: \"threads\": must be a whole number from 1 to 256";
    QTest::newRow("column counts characters")
        << head + "   \"\xc3\xa4\": 1, \"max-size\": \"4096\"}]}"
        << "3:12: \"max-size\": must be \"WIDTHxHEIGHT\"";
    QTest::newRow("unknown format")
        << head + "   \"data\": [{\"file\": \"d\", \"format\": \"yaml\"}]}]}"
        << "3:4: \"data\": unknown format \"yaml\"";
    QTest::newRow("glob matches nothing") << QByteArray("{\"sheets\": [{\"output\": \"s.png\",\n"
                                                        " \"inputs\": [\"art/**/*.gif\"]}]}")
                                          << "2:2: \"inputs\": \"art/**/*.gif\" matches no file";
    QTest::newRow("no output") << QByteArray("{\"sheets\": [{\"inputs\": [\"a.png\"]},\n"
                                             " {\"margin\": 1}]}")
                               << "1:13: \"\": a sheet needs \"output\"";
}

void TestPack::packFileErrorsHavePositions()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("art");
    QVERIFY(savePng(patternImage(4, 4, 1), dir.filePath("a.png")));
    QVERIFY(writeFileBytes(dir.filePath("p.json"), text));
    const QMap<QString, QByteArray> before = snapshot(dir.path());
    const Run run = pack({"--pack", dir.filePath("p.json")});
    QCOMPARE(run.code, 2);
    QVERIFY2(run.err.startsWith("korvane-pack: " + dir.filePath("p.json:") + message),
             qPrintable(run.err));
    QCOMPARE(snapshot(dir.path()), before);
}

void TestPack::packFileSheetsAndOverrides()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("project/art/deep/er");
    QDir(dir.path()).mkpath("project/out");
    QVERIFY(savePng(patternImage(6, 5, 1), dir.filePath("project/art/deep/er/a.png")));
    QVERIFY(savePng(patternImage(7, 3, 2), dir.filePath("project/art/b.png")));
    QVERIFY(writeFileBytes(dir.filePath("project/art/c.txt"), "not matched"));
    QVERIFY(writeFileBytes(dir.filePath("project/p.json"), R"({"sheets": [
        {"name": "one", "output": "out/one.png", "inputs": ["art/**/*.png"], "margin": 1},
        {"output": "out/two.png", "inputs": ["art/b.png"], "margin": 1}]})"));
    // Paths in the file are relative to its folder, wherever the run starts;
    // --margin on the command line wins over the file's.
    const Run run =
        pack({"--pack", "project/p.json", "--sheet", "one", "--margin", "0"}, dir.path());
    QVERIFY2(run.code == 0, qPrintable(run.err));
    QCOMPARE(placementLines(dir.filePath("project/out/one.txt")),
             QStringList({"project/art/b.png,7,3,0,0", "project/art/deep/er/a.png,6,5,0,3"}));
    QVERIFY(!QFile::exists(dir.filePath("project/out/two.png")));
    QCOMPARE(pack({"--pack", "project/p.json", "--sheet", "three"}, dir.path()).code, 2);
    QCOMPARE(pack({"--pack", "p.json"}, dir.filePath("project")).code, 0);
    QCOMPARE(placementLines(dir.filePath("project/out/two.txt")), QStringList{"art/b.png,7,3,1,1"});
}

void TestPack::watchRepacksUntilInterrupted()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("in");
    QVERIFY(savePng(patternImage(10, 4, 1), dir.filePath("in/a.png")));
    QProcess watch;
    watch.start(KORVANE_PACK, {"--watch", "-o", dir.filePath("s.png"), dir.filePath("in")});
    QString lines;
    const auto waitForLines = [&](int count) {
        QDeadlineTimer deadline(30000);
        while (lines.count('\n') < count && !deadline.hasExpired()) {
            watch.waitForReadyRead(100);
            lines += QString::fromUtf8(watch.readAllStandardOutput());
        }
        return lines.count('\n') == count;
    };
    QVERIFY2(waitForLines(1) && lines.endsWith(" packed\n"), qPrintable(lines));
    QVERIFY(savePng(patternImage(7, 3, 2), dir.filePath("in/b.png")));
    QVERIFY2(waitForLines(2) && lines.endsWith(" packed\n"), qPrintable(lines));
    QCOMPARE(placementLines(dir.filePath("s.txt")).size(), 2);
    // A failed pack leaves the last sheet and the watch goes on.
    QVERIFY(writeFileBytes(dir.filePath("in/c.png"), "not an image"));
    QVERIFY2(waitForLines(3) && lines.contains("pack failed"), qPrintable(lines));
    QVERIFY(QFile::remove(dir.filePath("in/c.png")));
    QVERIFY2(waitForLines(4) && lines.endsWith(" packed\n"), qPrintable(lines));
    // An image in a watched folder changed in place.
    QVERIFY(savePng(patternImage(10, 9, 3), dir.filePath("in/a.png")));
    QVERIFY2(waitForLines(5) && lines.endsWith(" packed\n"), qPrintable(lines));
    QVERIFY(placementLines(dir.filePath("s.txt")).contains(dir.filePath("in/a.png") + ",10,9,2,2"));

    QCOMPARE(::kill(pid_t(watch.processId()), SIGINT), 0);
    QVERIFY(watch.waitForFinished(30000));
    QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watch.exitCode(), 0);
    QCOMPARE(entriesIn(dir.path()).filter(".korvane-").size(), 1); // the manifest only
    QCOMPARE(placementLines(dir.filePath("s.txt")).size(), 2);
}

// Standard error on a pseudo-terminal, through Python's pty module.
const char *const runOnTerminal = R"(
import os, pty, sys
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])
out = b''
while True:
    try:
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data:
        break
    out += data
sys.stdout.buffer.write(out)
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
)";

void TestPack::progressOnlyOnATerminal()
{
    QTemporaryDir dir;
    QVERIFY(saveNamingImages(dir));
    const QStringList arguments{"-o", dir.filePath("s.png"), dir.filePath("in")};
    qputenv("KORVANE_PROGRESS_DELAY_MS", "0");
    const Run piped = pack(arguments);
    QProcess python;
    python.start("python3", QStringList{"-c", runOnTerminal, KORVANE_PACK} + arguments);
    const bool finished = python.waitForFinished(60000);
    qunsetenv("KORVANE_PROGRESS_DELAY_MS");
    QCOMPARE(piped.code, 0);
    QCOMPARE(piped.err, QString());
    QVERIFY(finished);
    QCOMPARE(python.exitCode(), 0);
    const QByteArray terminal = python.readAllStandardOutput();
    // Which stage the first line shows depends on when its thread runs.
    QVERIFY2(terminal.contains("\r\033[Kreading images") || terminal.contains("\r\033[Kdecoded ") ||
                 terminal.contains("\r\033[Kencoding"),
             terminal.constData());
    QVERIFY2(terminal.endsWith("\r\033[K"), terminal.constData()); // cleared at the end
}

QTEST_MAIN(TestPack)
#include "tst_pack.moc"
