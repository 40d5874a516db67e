#include "core/image/pngdecode.h"
#include "core/inputs.h"
#include "core/pipeline.h"
#include "core/sheetrender.h"
#include "core/sprites/spritepipeline.h"
#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "window/mainwindow.h"
#include "window/mainwindowform.h"

#include <QBuffer>
#include <QDirIterator>
#include <QImageReader>
#include <QImageWriter>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardItemModel>
#include <QThread>
#include <QUrl>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <future>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

// As a user who may not write read-only files: user 65534, from a copy of
// the program in `dir`, where the tests run as root. Empty Run::err with
// code -1 when that user cannot reach `dir`.
Run packAsUser(const QStringList &arguments, const QTemporaryDir &dir, const QString &folder)
{
    if (geteuid() != 0)
        return pack(arguments, folder);
    const QString copy = dir.filePath("korvane-pack");
    if (!QFile::exists(copy) && !QFile::copy(QStringLiteral(KORVANE_PACK), copy))
        return Run();
    QDirIterator below(dir.path(), QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                       QDirIterator::Subdirectories);
    while (below.hasNext())
        chmod(QFile::encodeName(below.next()).constData(), 0777);
    chmod(QFile::encodeName(dir.path()).constData(), 0777);
    const QStringList user{"--reuid=65534", "--regid=65534", "--clear-groups"};
    if (pack(user + QStringList{copy, "--version"}, folder, "setpriv").code != 0)
        return Run();
    return pack(user + QStringList{copy} + arguments, folder, "setpriv");
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
// line per frame in file order. JSON goes through Python's json module;
// Phaser fetches a texture's image by its URL.
const char *const readJsonFrames = R"(
import json, sys, urllib.parse
data = json.load(open(sys.argv[1], encoding='utf-8'))
if sys.argv[2].startswith('phaser3'):
    textures = data['textures']
    assert len(textures) == 1 or sys.argv[2] == 'phaser3-multi'
    pages = []
    for texture in textures:
        assert texture['format'] == 'RGBA8888' and texture['scale'] == 1
        pages.append((urllib.parse.unquote(urllib.parse.urlsplit(texture['image']).path),
                      texture['size'],
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

// A sprite as the sprite options see it: `content` drawn in a transparent
// source whose hidden colour differs per seed, and an optional faint pixel
// (alpha 10) that trims away only above threshold 9.
struct Sprite
{
    QString name;
    QSize size;
    QRect content; // empty: wholly transparent
    int seed;
    int frame; // its number in the animation "walk", or -1
    QPoint faint = {-1, -1};

    QImage image() const
    {
        QImage image(size, QImage::Format_ARGB32);
        image.fill(qRgba(seed * 40, 90, 200, 0));
        QPainter painter(&image);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(content.topLeft(),
                          patternImage(content.width(), content.height(), seed % 4));
        painter.end();
        if (faint.x() >= 0)
            image.setPixel(faint, qRgba(250, 10, 10, 10));
        return image;
    }
    QRect kept(bool trim, int threshold) const
    {
        if (!trim)
            return QRect(QPoint(), size);
        if (content.isEmpty())
            return QRect(0, 0, 1, 1);
        return faint.x() >= 0 && threshold < 10 ? content.united(QRect(faint, QSize(1, 1)))
                                                : content;
    }
};

// walk-10 equals walk_01 once trimmed; copy equals walk_2 as it is; edge
// keeps only its last column, left only its first.
const QVector<Sprite> sprites{{"walk_01.png", {12, 10}, {3, 2, 5, 6}, 1, 1, {0, 9}},
                              {"walk_2.png", {9, 9}, {1, 1, 7, 4}, 2, 2},
                              {"walk-10.png", {14, 9}, {6, 0, 5, 6}, 5, 10},
                              {"copy.png", {9, 9}, {1, 1, 7, 4}, 2, -1},
                              {"empty.png", {5, 4}, {}, 3, -1},
                              {"solid.png", {6, 6}, {0, 0, 6, 6}, 3, -1},
                              {"edge.png", {7, 5}, {6, 1, 1, 3}, 6, -1},
                              {"left.png", {3, 4}, {0, 1, 1, 2}, 7, -1}};

// Each frame of the data files in a folder (one per format, named by it) as
// "format key x y w h sx sy sw sh SW SH trimmed pivot" (key: the name, or in
// an atlas the name and "#index"), then "format @animation frames..."; read
// through Python's json module, or as libGDX reads an atlas (its offset's y
// counts from the bottom).
const char *const readSpriteFrames = R"(
import json, os, sys
def atlas(path):
    regions, page = [], {}
    for line in open(path, encoding='utf-8').read().split('\n')[1:]:
        if line and ':' not in line: regions.append([line, {}])
        elif ':' in line:
            k, v = (t.strip() for t in line.split(':', 1))
            (regions[-1][1] if regions else page)[k] = v
    yield '@pma', page.get('pma', 'false')
    for name, e in regions:
        x, y = e['xy'].split(', '); w, h = map(int, e['size'].split(', '))
        ow, oh = map(int, e['orig'].split(', ')); ox, oy = map(int, e['offset'].split(', '))
        key = name if e['index'] == '-1' else name + '#' + e['index']
        yield key, x, y, w, h, ox, oh - oy - h, w, h, ow, oh, '-', '-'
def jsons(path, kind):
    data = json.load(open(path, encoding='utf-8'))
    frames = data['textures'][0]['frames'] if kind == 'phaser3' else data['frames']
    frames = frames.items() if kind == 'json-hash' else [(f['filename'], f) for f in frames]
    for name, f in frames:
        # PixiJS takes "anchor" only; Phaser takes "anchor", else "pivot".
        r, s, z, p = f['frame'], f['spriteSourceSize'], f['sourceSize'], f.get('anchor')
        if p != f.get('pivot'): p = {'x': -1, 'y': -1}
        yield (name, r['x'], r['y'], r['w'], r['h'], s['x'], s['y'], s['w'], s['h'], z['w'],
               z['h'], f['trimmed'], '%g,%g' % (p['x'], p['y']) if p else '-')
    for name, names in data.get('animations', {}).items(): yield ('@' + name, *names)
for kind in sys.argv[2:]:
    path = os.path.join(sys.argv[1], kind)
    for fields in atlas(path) if kind == 'libgdx' else jsons(path, kind): print(kind, *fields)
)";

QStringList runPython(const char *script, const QStringList &arguments)
{
    QProcess python;
    python.start("python3", QStringList{"-c", script} + arguments);
    if (!python.waitForFinished(30000) || python.exitCode() != 0)
        return {"python3 failed: " + QString::fromUtf8(python.readAllStandardError())};
    return QString::fromUtf8(python.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

QImage premultiplied(QImage image)
{
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            const auto m = [&](int c) { return (c * qAlpha(p) + 127) / 255; };
            image.setPixel(x, y, qRgba(m(qRed(p)), m(qGreen(p)), m(qBlue(p)), qAlpha(p)));
        }
    }
    return image;
}

} // namespace

class TestPack : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void failuresLeaveNoTrace_data();
    void failuresLeaveNoTrace();
    void optionBoundaries_data();
    void optionBoundaries();
    void formatsMatchQtReader_data();
    void formatsMatchQtReader();
    void listingErrorFailsTheRun();
    void decodeBuffersStayWithinTheLimit();
    void progressiveJpegCoefficientsCountAgainstTheLimit();
    void gifDecodesTakeTurns();
    void encodedPagesKeepNoSheet();
    void unusualFileNames();
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
    void wholeFileReadsCountAgainstTheLimit_data();
    void wholeFileReadsCountAgainstTheLimit();
    void longTailIsNotRead_data();
    void longTailIsNotRead();
    void trimmedDecodesKeepOnlyTheirRegions();
    void sameFilesAsTheWindow();
    void sameFilesAsOtherBuild_data();
    void sameFilesAsOtherBuild();
    void spriteOptions_data();
    void spriteOptions();
    void multipackSplitsAndNames_data();
    void multipackSplitsAndNames();
    void multipackNamesSplitAnimations();
    void multipackCountsSharedRegionsPerSheet();
    void multipackRemovesOnlyItsStalePages();
    void stalePageEditedWhileWaitingIsKept();
    void pageThatBecameASheetIsKept();
    void updateSkipsOnlyUnchanged_data();
    void updateSkipsOnlyUnchanged();
    void packFileErrorsHavePositions_data();
    void packFileErrorsHavePositions();
    void packFileSheetsAndOverrides();
    void watchRepacksUntilInterrupted();
    void watchSeesWhatAPackMissed();
    void watchSeesAnUnreadableImageMadeReadable();
    void watchFollowsFilesAndOwnOutputs();
    void watchFollowsWhatItParses_data();
    void watchFollowsWhatItParses();
    void progressOnlyOnATerminal_data();
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
    // A "%1" in a name or value is text, not a place for the next number.
    QTest::newRow("margin holding %1")
        << QStringList{"-m", "%1", "-o", sheet, in} << 2
        << "margin \"%1\" is not a whole number from 0 to 2147483647";
    QTest::newRow("no INPUT") << QStringList{"-o", sheet} << 2 << "no INPUT given";
    QTest::newRow("unknown PNG level") << QStringList{"--png-level", "Small", "-o", sheet, in} << 2
                                       << "--png-level \"Small\" is not fast, default or small";
    QTest::newRow("outputs collide") << QStringList{"--json", "$ROOT/out/s.txt", "-o", sheet, in}
                                     << 2 << "the placement file and the JSON file would both be";
    // Known only once the split gives the pages, still before any decode.
    QTest::newRow("multipack pages collide")
        << QStringList{"--multipack",      "--max-size", "14x9", "--data", "$ROOT/out/s-1.txt",
                       "--format",         "css",        "-o",   sheet,    in,
                       "$ROOT/in2/w_1.png"}
        << 2 << "the css data file of sheet 0 and the placement file of sheet 1 would both be";
    // A leading dot starts no suffix: the number goes at the end.
    QTest::newRow("multipack pages of a name starting with a dot collide")
        << QStringList{"--multipack",      "--max-size", "14x9", "--data",
                       "$ROOT/out/.css",   "--format",   "css",  "--json",
                       "$ROOT/out/.css-1", "-o",         sheet,  in,
                       "$ROOT/in2/w_1.png"}
        << 2
        << "the JSON file of sheet 0 and the css data file of sheet 1 would both be "
           "$ROOT/out/.css-1";
    // Known only once the split gives the pages: still a failure, not a usage error.
    QTest::newRow("a later page's placement file is a folder")
        << QStringList{"--multipack",      "--max-size", "14x9", "-o", "$ROOT/pages/s.png", in,
                       "$ROOT/in2/w_1.png"}
        << 1 << "Cannot write $ROOT/pages/s-1.txt: ";
    QTest::newRow("a later page is an input")
        << QStringList{"--multipack",       "--max-size", "14x9", "-o", "$ROOT/in2/w-0{n}.png", in,
                       "$ROOT/in2/w-01.png"}
        << 1 << "$ROOT/in2/w-01.png: output would overwrite the input image $ROOT/in2/w-01.png";
    QTest::newRow("JSON file is the lock file, spelled with ..")
        << QStringList{"--json", "$ROOT/out/../out/s.png.lock", "-o", sheet, in} << 2
        << "the lock file of the sheet";
    // In $ROOT, with no folder before the U+FEFF that QFile::decodeName() drops.
    QTest::newRow("JSON file is the lock file of a sheet named with a leading U+FEFF")
        << QStringList{"--json", QChar(0xfeff) + QString("s.png.lock"), "-o",
                       QChar(0xfeff) + QString("s.png"), in}
        << 2 << "the lock file of the sheet";
    QTest::newRow("--extrude twice")
        << QStringList{"--extrude", "1", "--extrude", "2", "-o", sheet, in} << 2
        << "--extrude given more than once";
    // Refused, not the last value taken.
    for (const char *option : {"--output", "--margin", "--config", "--json", "--layout",
                               "--max-size", "--max-image-pixels", "--max-sheet-pixels",
                               "--threads", "--png-level", "--trim-threshold", "--pivot"}) {
        QTest::addRow("%s twice", option) << QStringList{option, "1", option, "2", "-o", sheet, in}
                                          << 2 << QString("%1 given more than once").arg(option);
    }
    QTest::newRow("--json names a folder")
        << QStringList{"--json", "$ROOT/out/", "-o", sheet, in} << 2 << "--json needs a file name";
    // A folder, as "json": "out/." is in a pack file: not status 1 for one that exists.
    QTest::newRow("--json ending in /.")
        << QStringList{"--json", "$ROOT/out/.", "-o", sheet, in} << 2 << "--json needs a file name";
    QTest::newRow("--config with no name")
        << QStringList{"--config", "", "-o", sheet, in} << 2 << "--config needs a file name";
    QTest::newRow("--pack with no name")
        << QStringList{"--pack=", "-o", sheet, in} << 2 << "--pack needs a file name";
    QTest::newRow("--sheet without --pack")
        << QStringList{"--sheet", "one", "-o", sheet, in} << 2 << "--sheet needs --pack";
    QTest::newRow("--sheet with no name") << QStringList{"--pack", "$ROOT/in2/abs.json", "--sheet="}
                                          << 2 << "--sheet needs a sheet's name";
    QTest::newRow("--sheet names two unnamed sheets")
        << QStringList{"--pack", "$ROOT/in2/twins.json", "--sheet", "s"} << 2
        << "twins.json has 2 sheets named \"s\"";
    // --watch keeps watching a pack file whose content is at fault, not
    // one that cannot be read or one named with a usage error.
    QTest::newRow("--watch with a pack file that cannot be read")
        << QStringList{"--watch", "--pack", "$ROOT/gone.json"} << 2 << "gone.json: No such file";
    QTest::newRow("--watch with a broken pack file and a wrong option")
        << QStringList{"--watch", "--margin", "x", "--pack", "$ROOT/in/a.png"} << 2
        << "a.png:1:2: illegal value";
    QTest::newRow("pattern's folder this user may not open")
        << QStringList{"--pack", "$ROOT/unopened.json"} << 1
        << "folder cannot be read (" + qt_error_string(EACCES) + ")";
    QTest::newRow("pack file's input a file named with a slash after it")
        << QStringList{"--pack", "$ROOT/slash.json"} << 1 << "in/a.png/: Not a directory";
    QTest::newRow("pack file's input through a file, ending in \"/.\"")
        << QStringList{"--pack", "$ROOT/dot.json"} << 1 << "in/a.png/.: Not a directory";
    QTest::newRow("pack file's input through a missing folder and \"..\"")
        << QStringList{"--pack", "$ROOT/unfound.json"} << 1
        << "gone/../in/a.png: no such file or folder";
    // Reading address 0 of a process fails for every user.
    QTest::newRow("pack file that fails to read") << QStringList{"--pack", "/proc/self/mem"} << 2
                                                  << "/proc/self/mem: " + qt_error_string(EIO);
    QTest::newRow("pack file's flag set to false")
        << QStringList{"--pack", "$ROOT/off.json"} << 2
        << "off.json:1:13: sheet \"s\": --trim-threshold needs --trim";
    QTest::newRow("--sheet matches names in their own case")
        << QStringList{"--pack", "$ROOT/in2/twins.json", "--sheet", "S"} << 2
        << "twins.json has no sheet \"S\"";
    // "*" takes in hidden files too, as an INPUT folder does.
    QTest::newRow("INPUT folder takes in a hidden file")
        << QStringList{"-o", sheet, "$ROOT/hid"} << 1 << "$ROOT/hid/.x.png: not a readable image";
    // Matched as any name, not left out unsaid; a name that only ends in
    // ".png" and a line break is no match.
    QTest::newRow("pattern matches a file below a folder with a line break")
        << QStringList{"--pack", "$ROOT/broken.json"} << 1
        << "$ROOT/broken/line\\x0afolder/a.png: the path holds a line break";
    // A character beyond U+FFFF is one character to the pattern too.
    QTest::newRow("pattern with an emoji matches its file")
        << QStringList{"--pack", "$ROOT/emoji.json"} << 1
        << "$ROOT/emoji/" + QString::fromUtf8("\xf0\x9f\x8e\x89") + ".png: not a readable image";
    QTest::newRow("pattern matches a hidden file") << QStringList{"--pack", "$ROOT/hid/p.json"} << 1
                                                   << "$ROOT/hid/.x.png: not a readable image";
    // The command line's option replaces the file's, rather than clash with it.
    QTest::newRow("pack file's layout replaced by --layout")
        << QStringList{"--pack", "$ROOT/layout.json", "--layout", "rows"} << 1
        << "the sheet needs 14 x 9 pixels, more than --max-size 13x100 allows";
    // A trailing "**" reaches every level below.
    QTest::newRow("pattern ending in ** matches files two levels down")
        << QStringList{"--pack", "$ROOT/tail.json"} << 1
        << "$ROOT/tail/deep/y.png: not a readable image";
    QTest::newRow("--sheet twice")
        << QStringList{"--pack", "$ROOT/in2/twins.json", "--sheet", "s", "--sheet", "t"} << 2
        << "--pack and --sheet are given once each";
    QTest::newRow("--pack twice") << QStringList{"--pack", "$ROOT/in2/abs.json", "--pack",
                                                 "$ROOT/in2/colon.json"}
                                  << 2 << "--pack and --sheet are given once each";
    QTest::newRow("-o names an existing folder")
        << QStringList{"-o", "$ROOT/out", in} << 2 << "-o $ROOT/out names a folder";
    QTest::newRow("-o names a FIFO")
        << QStringList{"-o", "$ROOT/pipe", in} << 2 << "-o $ROOT/pipe names a device or FIFO";
    // Run in $ROOT: a name starting with ':' is no path into Qt's resources.
    QTest::newRow("-o names an existing folder starting with ':'")
        << QStringList{"-o", ":p", in} << 2 << "-o :p names a folder";
    QTest::newRow("--data names a folder")
        << QStringList{"--data", "$ROOT/out/", "--format", "css", "-o", sheet, in} << 2
        << "--data needs a file name";
    QTest::newRow("missing file") << QStringList{"-o", sheet, in, "$ROOT/in/gone.png"} << 1
                                  << "$ROOT/in/gone.png: no such file or folder";
    // As a folder on its way that may not be searched: the reason is said.
    QTest::newRow("file reached through a link that loops")
        << QStringList{"-o", sheet, in, "$ROOT/loop/a.png"} << 1
        << "$ROOT/loop/a.png: " + qt_error_string(ELOOP);
    QTest::newRow("not an image") << QStringList{"-o", sheet, in, "$ROOT/in/text.png"} << 1
                                  << "$ROOT/in/text.png: not a readable image";
    QTest::newRow("folder without images")
        << QStringList{"-o", sheet, "$ROOT/out"} << 1 << "no image to pack";
    // Its header reads, so it is skipped only when decoded: no sheet is left.
    QTest::newRow("the one image skipped when decoded")
        << QStringList{"--skip-unreadable", "-o", sheet, "$ROOT/truncated.png"} << 1
        << "no image to pack";
    QTest::newRow("sheet too large")
        << QStringList{"-m", "2000000000", "-o", sheet, in} << 1
        << "$ROOT/out/s.png: sheet too large: 4000000010 x 4000000005 pixels";
    // A "%2" in a name is not taken for a number's place in the message.
    QTest::newRow("sheet too large, %2 in its name")
        << QStringList{"-m", "2000000000", "-o", "$ROOT/out/a%2.png", in} << 1
        << "$ROOT/out/a%2.png: sheet too large: 4000000010 x";
    QTest::newRow("beyond --max-size, %2 in the sheet's name")
        << QStringList{"--max-size", "8x8", "-o", "$ROOT/out/a%2.png", in} << 1
        << "$ROOT/out/a%2.png: the sheet needs 14 x 9 pixels";
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
        << 1
        << "$ROOT/in/a.png and $ROOT/in2/a.png would both be frame \"a.png\" in "
           "$ROOT/out/s.json";
    // A file reached as an INPUT and through its folder takes the least of
    // its names, whichever comes first.
    QTest::newRow("same frame name twice, one file also given by itself")
        << QStringList{"--skip-unreadable", "--json", "out/s.json", "-o", sheet,
                       "in/a.png",          "in",     "in2"}
        << 1 << "in/a.png and in2/a.png would both be frame \"a.png\" in out/s.json";
    // Its owner made it read-only: not replaced behind their back, though
    // the folder would let the run rename over it.
    QTest::newRow("placement file read-only for this user")
        << QStringList{"-o", "$ROOT/kept/s.png", in} << 1
        << "Cannot write $ROOT/kept/s.txt: " + qt_error_string(EACCES);
    // With --update refused only once there is something to write: a failure all the same.
    QTest::newRow("placement file read-only for this user, --update with no manifest")
        << QStringList{"--update", "-o", "$ROOT/kept/s.png", in} << 1
        << "Cannot write $ROOT/kept/s.txt: " + qt_error_string(EACCES);
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
    // Qt's reader refuses it without a reason; its header tells the size.
    QTest::newRow("PGM wider than 32767 pixels") << QStringList{"-o", sheet, "$ROOT/wide.pgm"} << 1
                                                 << "$ROOT/wide.pgm: 40000 x 2 pixels, beyond";
    // Reported as 3 x 3 by its header, decoded onto its 3 x 60163 canvas.
    QTest::newRow("GIF canvas beyond the limit")
        << QStringList{"-o", sheet, "$ROOT/tall.gif"} << 1
        << "$ROOT/tall.gif: a GIF of 3 x 60163 pixels, beyond the limit";
    // A 2 x 2 screen, cut from a first frame of 16 x 16 that is decoded whole.
    QTest::newRow("GIF first frame beyond the limit, its screen within it")
        << QStringList{"--max-image-pixels", "100", "-o", sheet, "$ROOT/wideframe.gif"} << 1
        << "$ROOT/wideframe.gif: a GIF whose first frame is 16 x 16 pixels, beyond the limit";
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
    QTest::newRow("undecodable name in a folder beside an image")
        << QStringList{"-o", sheet, in, "$ROOT/raw"} << 1
        << "$ROOT/raw: the file name \"\\xff.png\" is not valid";
    QTest::newRow("undecodable name matched by a pack file's pattern")
        << QStringList{"--pack", "$ROOT/raw.json"} << 1
        << "$ROOT/raw/\\xff.png: the file name is not valid";
    QTest::newRow("pattern match in a folder whose name does not decode")
        << QStringList{"--pack", "$ROOT/rawfolder.json"} << 1
        << "$ROOT/raw/\\xff.d/a.png: the file name is not valid";
    // As for a folder the user may not read: its images are not left out unsaid.
    QTest::newRow("pattern cannot search a folder below it")
        << QStringList{"--pack", "$ROOT/deep.json"} << 1 << "cannot be read (File name too long)";
    QTest::newRow("unknown layout") << QStringList{"--layout", "diagonal", "-o", sheet, in} << 2
                                    << "unknown layout \"diagonal\"";
    QTest::newRow("unknown data format")
        << QStringList{"--data", "$ROOT/out/s.yaml", "--format", "yaml", "-o", sheet, in} << 2
        << "unknown format \"yaml\"";
    QTest::newRow("data without format")
        << QStringList{"--data", "$ROOT/out/s.css", "-o", sheet, in} << 2
        << "--data and --format go in pairs: 1 --data, 0";
    QTest::newRow("format without data") << QStringList{"--format", "css", "-o", sheet, in} << 2
                                         << "--data and --format go in pairs: 0 --data, 1 --format";
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
    QTest::newRow("numbered data file is the numbered placement file")
        << QStringList{"--multipack",
                       "--max-size",
                       "14x9",
                       "--data",
                       "$ROOT/out/s{n}.txt",
                       "--format",
                       "css",
                       "-o",
                       "$ROOT/out/s{n}.png",
                       in}
        << 2 << "the placement file and the css data file would both be $ROOT/out/s0.txt";
    QTest::newRow("data file is the placement file")
        << QStringList{"--data", "$ROOT/out/s.txt", "--format", "css", "-o", sheet, in} << 2
        << "the placement file and the css data file would both be $ROOT/out/s.txt";
    QTest::newRow("JSON file is the lock file")
        << QStringList{"--json", "$ROOT/out/s.png.lock", "-o", sheet, in} << 2
        << "the JSON file would be $ROOT/out/s.png.lock, the lock file of the sheet";
    // A run of that sheet would read it, and fail, or remove it as its leftover.
    QTest::newRow("JSON file is named as another sheet's journal")
        << QStringList{"--json", "$ROOT/out/b.png.korvane-journal", "-o", sheet, in} << 2
        << "the JSON file would be $ROOT/out/b.png.korvane-journal, a name Korvane keeps";
    // Refused before the first sheet is written.
    QTest::newRow("pack file: a later sheet's data file is the first sheet's lock file")
        << QStringList{"--pack", "$ROOT/lockdata.json"} << 2
        << "the json-hash data file of sheet \"b\" would be $ROOT/out/s.png.lock, the lock "
           "file of sheet \"a\"";
    QTest::newRow("pack file: a later sheet's data file is the first sheet's journal")
        << QStringList{"--pack", "$ROOT/journaldata.json"} << 2
        << "the json-hash data file of sheet \"b\" would be $ROOT/out/s.png.korvane-journal, a "
           "name";
    QTest::newRow("pack file: a later sheet's data file is the first sheet's lock file by a link")
        << QStringList{"--pack", "$ROOT/locklink.json"} << 2
        << "$ROOT/out/s.png.lock, the lock file of sheet \"a\"";
    QTest::newRow("pack file: a later sheet's data file is the lock file of the first's pages")
        << QStringList{"--pack", "$ROOT/lockpage.json"} << 2
        << "$ROOT/out/m0.png.lock, the lock file of sheet \"a\"";
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
    // Named as given: a relative path gains no "./".
    QTest::newRow("another user's link in a sticky folder, relative output")
        << QStringList{"-o", "sticky/l.png", in} << 1
        << "Cannot write sticky/l.png: sticky/l.png is a link of another user";
    QTest::newRow("data folder missing")
        << QStringList{"--data", "$ROOT/out/missing/s.css", "--format", "css", "-o", sheet, in} << 1
        << "Cannot write $ROOT/out/missing/s.css: ";
    QTest::newRow("config missing") << QStringList{"--config", "$ROOT/none.xml", "-o", sheet, in}
                                    << 1 << "Can not read settings,Error Number is: 0x102";
    QTest::newRow("config not XML") << QStringList{"--config", "$ROOT/in/text.png", "-o", sheet, in}
                                    << 1 << "Can not read settings,Error Number is: 0x103";
    QTest::newRow("PNG header claims more than its file holds")
        << QStringList{"-o", sheet, in, "$ROOT/bomb.png"} << 1
        << "$ROOT/bomb.png: its header claims 16384 x 16384 pixels";
    QTest::newRow("icon holding such a PNG") << QStringList{"-o", sheet, in, "$ROOT/bomb.ico"} << 1
                                             << "$ROOT/bomb.ico: its header claims 16384 x 16384";
    // Refused before a decode: the icon's PNG ends after its header.
    QTest::newRow("icon holding a PNG beyond --max-image-pixels")
        << QStringList{"--max-image-pixels", "100", "-o", sheet, "$ROOT/big.ico"} << 1
        << "$ROOT/big.ico: 20 x 20 pixels, beyond the limit of 100 pixels";
    QTest::newRow("sheet beyond --max-sheet-pixels")
        << QStringList{"--max-sheet-pixels", "125", "-o", sheet, in} << 1
        << "$ROOT/out/s.png: a sheet of 14 x 9 pixels is more than the limit of 125 pixels";
    QTest::newRow("sheet beyond what its format holds")
        << QStringList{"-m", "0", "-o", "$ROOT/out/s.jpg", "$ROOT/tall.png", "$ROOT/tall2.png"} << 1
        << "Cannot save $ROOT/out/s.jpg: the jpg writer failed on a sheet of 1 x 65534 pixels";
    // With sprite options the limit is met before the damaged image is decoded,
    // or as soon as what did decode is beyond it.
    QTest::newRow("extruded sheet beyond --max-sheet-pixels")
        << QStringList{"--extrude", "1", "--max-sheet-pixels", "125", "-o",
                       sheet,       in,  "$ROOT/cut.bmp"}
        << 1 << "$ROOT/out/s.png: a sheet of";
    QTest::newRow("trimmed regions beyond --max-sheet-pixels")
        << QStringList{"--trim", "--max-sheet-pixels", "10", "-o", sheet, in, "$ROOT/cut.bmp"} << 1
        << "$ROOT/out/s.png: the images need a sheet of more than the limit of 10 pixels";
    QTest::newRow("trimmed regions beyond --max-sheet-pixels, %1 in the sheet's name")
        << QStringList{"--trim", "--max-sheet-pixels", "10", "-o", "$ROOT/out/s%1.png",
                       in,       "$ROOT/cut.bmp"}
        << 1 << "$ROOT/out/s%1.png: the images need a sheet of more than the limit of 10 pixels";
    QTest::newRow("CR in a path") << QStringList{"-o", sheet, "$ROOT/line\rbreak.png"} << 1
                                  << "$ROOT/line\\x0dbreak.png: the path holds a line break";
    QTest::newRow("CR LF in a path") << QStringList{"-o", sheet, "$ROOT/line\r\nbreak.png"} << 1
                                     << "$ROOT/line\\x0d\\x0abreak.png: the path holds";
    QTest::newRow("control characters in a name are shown escaped")
        << QStringList{"-o", sheet, "$ROOT/bell\a\x1b.png"} << 1
        << "$ROOT/bell\\x07\\x1b.png: not a readable image";
    QTest::newRow("DEL and a C1 control character in a name are shown escaped")
        << QStringList{"-o", sheet, QString::fromUtf8("$ROOT/csi\x7f\xc2\x9b.png")} << 1
        << "$ROOT/csi\\x7f\\x9b.png: no such file or folder";
    QTest::newRow("the last controls before printable characters are shown escaped")
        << QStringList{"-o", sheet, QString::fromUtf8("$ROOT/edge\x1f \xc2\x9f\xc2\xa0.png")} << 1
        << QString::fromUtf8("$ROOT/edge\\x1f \\x9f\xc2\xa0.png: no such file or folder");
    QTest::newRow("control character in a data path is shown escaped")
        << QStringList{"--data", "$ROOT/out/s\x1b.atlas", "--format", "libgdx", "-o", sheet,
                       in,       "$ROOT/colon:x.png"}
        << 1 << "$ROOT/out/s\\x1b.atlas: frame name";
    QTest::newRow("a link to a folder in an INPUT folder is no image")
        << QStringList{"--max-size", "2x2", "-o", sheet, "$ROOT/linked"} << 1
        << "the sheet needs 14 x 9 pixels, more than --max-size 2x2 allows";
    QTest::newRow("a pack file's pattern does not walk into a linked folder")
        << QStringList{"--pack", "$ROOT/linked.json"} << 1
        << "$ROOT/out/s.png: the sheet needs 14 x 9 pixels";
    QTest::newRow("JPEG cut short") << QStringList{"-o", sheet, in, "$ROOT/cut.jpg"} << 1
                                    << "$ROOT/cut.jpg: the image data cannot be decoded";
    QTest::newRow("GIF cut short") << QStringList{"-o", sheet, in, "$ROOT/cut.gif"} << 1
                                   << "$ROOT/cut.gif: the image data cannot be decoded";
    // Qt's reader shows it, with its last pixel undecoded.
    QTest::newRow("GIF cut inside its last pixel's code")
        << QStringList{"-o", sheet, in, "$ROOT/last.gif"} << 1
        << "$ROOT/last.gif: the image data cannot be decoded";
    // Cut inside the last code, which either bit past the end makes valid.
    QTest::newRow("GIF cut where its last pixel depends on the missing bit")
        << QStringList{"-o", sheet, in, "$ROOT/split.gif"} << 1
        << "$ROOT/split.gif: the image data cannot be decoded";
    QTest::newRow("PNG header with a wrong CRC") << QStringList{"-o", sheet, in, "$ROOT/crc.png"}
                                                 << 1 << "$ROOT/crc.png: not a readable image";
    QTest::newRow("one-bit BMP cut short") << QStringList{"-o", sheet, in, "$ROOT/cut.bmp"} << 1
                                           << "$ROOT/cut.bmp: the pixel data is cut short";
    // Probed on every core, reported in name order.
    QTest::newRow("two unreadable inputs: the first by name")
        << QStringList{"-o", sheet, "$ROOT/bell\a\x1b.png", "$ROOT/a.tga"} << 1
        << "$ROOT/a.tga: not a readable image";
    QTest::newRow("TGA taken for a cursor")
        << QStringList{"-o", sheet, in, "$ROOT/a.tga"} << 1 << "$ROOT/a.tga: not a readable image";
    QTest::newRow("FIFO in an INPUT folder")
        << QStringList{"-o", sheet, "$ROOT/odd"} << 1 << "$ROOT/odd/fifo.png: not a regular file";
    // Skipped, then hashed for the manifest before the limit fails the run:
    // opening the FIFO to hash it would wait for a writer for ever.
    QTest::newRow("FIFO in an INPUT folder, skipped")
        << QStringList{"--skip-unreadable", "--max-size", "2x2", "-o", sheet, "$ROOT/odd"} << 1
        << "$ROOT/odd/fifo.png: not a regular file";
    QTest::newRow("dangling link in an INPUT folder")
        << QStringList{"-o", sheet, "$ROOT/dangling"} << 1
        << "$ROOT/dangling/gone.png: no such file";
    QTest::newRow("placement file is an input")
        << QStringList{"-o", sheet, in, "$ROOT/out/s.txt"} << 1
        << "$ROOT/out/s.txt: output would overwrite the input image";
    QTest::newRow("a link to the placement file is an input")
        << QStringList{"-o", sheet, in, "$ROOT/linked.png"} << 1
        << "$ROOT/out/s.txt: output would overwrite the input image $ROOT/linked.png";
    // The folder under a second name, as "A.png" is "a.png" where case folds.
    QTest::newRow("sheet is an input by a second name")
        << QStringList{"-o", "$ROOT/bound/a.png", in} << 1
        << "$ROOT/bound/a.png: output would overwrite the input image $ROOT/in/a.png";
    // Where FUSE gives each spelling its own file number.
    QTest::newRow("sheet is an input in another case on FAT")
        << QStringList{"-o", "$ROOT/fat/A.png", "$ROOT/fat/a.png"} << 1
        << "$ROOT/fat/A.png: output would overwrite the input image $ROOT/fat/a.png";
    QTest::newRow("JSON file is an input") << QStringList{"--json", in, "-o", sheet, in} << 1
                                           << "$ROOT/in/a.png: output would overwrite the input";
    QTest::newRow("data file is an input")
        << QStringList{"--data", in, "--format", "css", "-o", sheet, "$ROOT/in"} << 1
        << "$ROOT/in/a.png: output would overwrite the input";
    // Relative to the pack file's folder, also where Qt would read a resource.
    QTest::newRow("pack file input starting with ':'")
        << QStringList{"--pack", "$ROOT/in2/colon.json"} << 1
        << "$ROOT/in2/:gone.png: no such file or folder";
    QTest::newRow("pack file input with an absolute path")
        << QStringList{"--pack", "$ROOT/in2/abs.json"} << 1
        << "$ROOT/in2/s.png: the sheet needs 14 x 9 pixels";
    // Named from the run's folder; Qt would look for it among its resources.
    // U+FEFF is a character like any other, not a lone surrogate.
    QTest::newRow("pack file output named with a leading U+FEFF")
        << QStringList{"--pack", "$ROOT/in2/bom.json"} << 1
        << "$ROOT/in2/\xef\xbb\xbfs.png: the sheet needs 14 x 9 pixels";
    QTest::newRow("pack file in a folder named with a leading ':'")
        << QStringList{"--pack", ":p/p.json"} << 1 << " :p/s.png: the sheet needs 14 x 9 pixels";
    QTest::newRow("multipack without max size")
        << QStringList{"--multipack", "-o", sheet, in} << 2 << "--multipack needs --max-size";
    QTest::newRow("multipack image larger than a sheet")
        << QStringList{"--multipack", "--max-size", "13x100", "-o", sheet, in} << 1
        << "$ROOT/in/a.png (10 x 5) does not fit on a sheet of --max-size 13x100";
    // 14 x 9 with its margin, which fits; rounded up, 16 x 16 does not.
    QTest::newRow("multipack image larger than a sheet once rounded to a power of two")
        << QStringList{"--multipack", "--power-of-two", "--max-size", "15x15", "-o", sheet, in} << 1
        << "(10 x 5) does not fit on a sheet of --max-size 15x15 with margin 2, rounded up "
           "to powers of two";
    QTest::newRow("multipack extruded image larger than a sheet")
        << QStringList{"--multipack", "--extrude", "1", "--max-size", "15x100", "-o", sheet, in}
        << 1 << "$ROOT/in/a.png (10 x 5, 12 x 7 with --extrude 1) does not fit";
    // Trimmed to 9 x 5 before the split, and still too wide.
    QTest::newRow("multipack trimmed image larger than a sheet")
        << QStringList{"--multipack", "--trim", "--max-size",        "12x100",
                       "-o",          sheet,    "$ROOT/bordered.png"}
        << 1 << "$ROOT/bordered.png (10 x 5, 9 x 5 once trimmed) does not fit";
    // Too large for a sheet and not decoding: left out as from a sheet, and
    // so is its copy (truncated.png, after the first in path order).
    QTest::newRow("multipack --skip-unreadable --alias, too large and left out with its copy")
        << QStringList{"--multipack", "--skip-unreadable", "--alias", "--max-size", "13x13"} +
               QStringList{"-o", sheet, "$ROOT/truncated.png", "$ROOT/truncated-copy.png"}
        << 1 << "skipping $ROOT/truncated.png: the image data cannot be decoded";
    QTest::newRow("multipack --skip-unreadable, too large and left out, leaving nothing")
        << QStringList{"--multipack", "--skip-unreadable",  "--max-size", "13x13", "-o",
                       sheet,         "$ROOT/truncated.png"}
        << 1 << "korvane-pack: no image to pack";
    // tall.png decodes and is too large for any sheet: truncated.png is not
    // decoded in vain, and still counts in the sheet's size.
    QTest::newRow("--skip-unreadable, an image that decodes too large for a sheet")
        << QStringList{"--skip-unreadable", "--max-size",         "14x100", "-o", sheet,
                       "$ROOT/tall.png",    "$ROOT/truncated.png"}
        << 1 << "$ROOT/out/s.png: the sheet needs 14 x 32778 pixels";
    QTest::newRow("data file is the manifest")
        << QStringList{"--json", "$ROOT/out/s.korvane-manifest", "-o", sheet, in} << 2
        << "the JSON file and the manifest would both be";
    QTest::newRow("config margin negative")
        << QStringList{"--config", "$ROOT/negative.xml", "-o", sheet, in} << 1
        << "$ROOT/negative.xml: margin -4 is negative";
    QTest::newRow("JSON file is the settings file")
        << QStringList{"--config", "$ROOT/c.xml", "--json", "$ROOT/c.xml", "-o", sheet, in} << 2
        << "the JSON file would overwrite the settings file $ROOT/c.xml";
    QTest::newRow("JSON file is the settings file by a second name")
        << QStringList{"--config", "$ROOT/in/c.xml", "--json", "$ROOT/bound/c.xml", "-o", sheet, in}
        << 2 << "the JSON file would overwrite the settings file $ROOT/in/c.xml";
    QTest::newRow("config margin -1")
        << QStringList{"--config", "$ROOT/minus1.xml", "-o", sheet, in} << 1
        << "$ROOT/minus1.xml: margin -1 is negative";
    QTest::newRow("config margin past int's range")
        << QStringList{"--config", "$ROOT/huge.xml", "-o", sheet, in} << 1
        << "$ROOT/out/s.png: sheet too large: 4294967304 x 4294967299 pixels";
    const QString threshold = "--trim-threshold \"%1\" is not a whole number from 0 to 254";
    for (const char *bad : {"255", "-1", "1.5"}) {
        QTest::addRow("--trim-threshold %s", bad)
            << QStringList{"--trim", "--trim-threshold", bad, "-o", sheet, in} << 2
            << threshold.arg(bad);
    }
    QTest::newRow("--trim-threshold without --trim")
        << QStringList{"--trim-threshold", "3", "-o", sheet, in} << 2
        << "--trim-threshold needs --trim";
    for (const char *bad : {"33", "x", "4294967298"}) {
        QTest::addRow("--extrude %s", bad)
            << QStringList{"--extrude", bad, "-o", sheet, in} << 2
            << QString("--extrude \"%1\" is not a whole number from 0 to 32").arg(bad);
    }
    for (const char *bad : {"1.01,0", "-0.1,0", "0.5", "0,-0.1", "nan,0", "0,1,1", ""}) {
        QTest::addRow("--pivot \"%s\"", bad)
            << QStringList{"--pivot", bad, "-o", sheet, in} << 2
            << QString("--pivot \"%1\" is not X,Y with each a number from 0 to 1").arg(bad);
    }
    QTest::newRow("two frames one atlas animation index")
        << QStringList{"--animations", "--data", "$ROOT/out/s.atlas", "--format", "libgdx",
                       "-o",           sheet,    "$ROOT/in2"}
        << 1 << "frames \"w-01.png\" and \"w_1.png\" would both be region \"w\" index 1";
    // On separate pages of one atlas, as libGDX finds regions by name.
    QTest::newRow("two frames one atlas animation index on two pages")
        << QStringList{"--animations",      "--multipack", "--max-size", "11x11", "--data",
                       "$ROOT/out/s.atlas", "--format",    "libgdx",     "-o",    sheet,
                       "$ROOT/in2"}
        << 1 << "would both be region \"w\" index 1";
    // libGDX sorts by index, -1 last: findRegion("w") would give w_1.png.
    QTest::newRow("frame named as an atlas animation")
        << QStringList{"--animations", "--data", "$ROOT/out/s.atlas", "--format",         "libgdx",
                       "-o",           sheet,    "$ROOT/in2/w",       "$ROOT/in2/w_1.png"}
        << 1 << "would both be region \"$ROOT/in2/w\" in a libGDX atlas, with index";
    QTest::newRow("frame named as an atlas animation, placed after it")
        << QStringList{"--animations", "--data", "$ROOT/out/s.atlas", "--format",          "libgdx",
                       "-o",           sheet,    "$ROOT/anim/w",      "$ROOT/anim/w_2.png"}
        << 1 << "would both be region \"$ROOT/anim/w\" in a libGDX atlas, with index 2 and -1";
    QTest::newRow("atlas animation name ending in a space")
        << QStringList{"--animations", "--data", "$ROOT/out/s.atlas", "--format", "libgdx",
                       "-o",           sheet,    "$ROOT/w 2.png"}
        << 1 << "animation name \"$ROOT/w \" (of frame \"$ROOT/w 2.png\") cannot be written";
    QTest::newRow("--trim with css")
        << QStringList{"--trim", "--data", "$ROOT/out/s.css", "--format", "css", "-o", sheet, in}
        << 2
        << "--trim cannot go with the css data file $ROOT/out/s.css: CSS cannot show a trimmed "
           "sprite";
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
    QVERIFY(savePng(patternImage(3, 3, 3), root.filePath("in2/w_1.png")));
    QVERIFY(savePng(patternImage(3, 3, 4), root.filePath("in2/w-01.png")));
    QVERIFY(savePng(patternImage(3, 3, 5), root.filePath("in2/w")));
    QVERIFY(QDir(root.path()).mkpath("anim")); // anim/w_2.png is placed before anim/w
    QVERIFY(savePng(patternImage(3, 3, 5), root.filePath("anim/w")));
    QVERIFY(savePng(patternImage(5, 3, 6), root.filePath("anim/w_2.png")));
    QVERIFY(savePng(patternImage(3, 3, 5), root.filePath("w 2.png")));
    QVERIFY(writeFileBytes(root.filePath("out/s.txt"), "old placement"));
    QVERIFY(QDir(root.path()).mkpath("pages/s-1.txt"));
    QVERIFY(QDir(root.path()).mkpath("lnk"));
    QVERIFY(QFile::link("../out/x.json", root.filePath("lnk/x.json")));
    QVERIFY(QFile::link("out/s.txt", root.filePath("linked.png")));
    QVERIFY(QFile::link("loop", root.filePath("loop")));
    QVERIFY(writeFileBytes(root.filePath("in2/colon.json"),
                           R"({"sheets": [{"output": "s.png", "inputs": [":gone.png"]}]})"));
    QVERIFY(writeFileBytes(root.filePath("in2/twins.json"),
                           R"({"sheets": [{"output": "ui/s.png", "inputs": ["abs.json"]},
                                          {"output": "icons/s.png", "inputs": ["abs.json"]}]})"));
    QVERIFY(
        writeFileBytes(root.filePath("in2/bom.json"),
                       R"({"sheets": [{"output": "\ufeffs.png", "max-size": "8x8", "inputs": [")" +
                           root.filePath("in/a.png").toUtf8() + R"("]}]})"));
    QVERIFY(writeFileBytes(root.filePath("in2/abs.json"),
                           R"({"sheets": [{"output": "s.png", "max-size": "8x8", "inputs": [")" +
                               root.filePath("in/a.png").toUtf8() + R"("]}]})"));
    QVERIFY(QDir().mkpath(root.path() + "/:p") &&
            QFile::copy(root.filePath("in/a.png"), root.path() + "/:p/a.png"));
    QVERIFY(writeFileBytes(root.path() + "/:p/p.json", R"({"sheets": [{"output": "s.png",
        "max-size": "8x8", "inputs": ["a.png"]}]})"));
    QVERIFY(savePng(patternImage(32768, 1, 3), root.filePath("wide.png")));
    QVERIFY(writeFileBytes(root.filePath("wide.pgm"),
                           "P5\n# grey\n40000 2\n255\n" + QByteArray(80000, '\x7f')));
    QVERIFY(savePng(patternImage(1, 32767, 3), root.filePath("tall.png")) &&
            QFile::copy(root.filePath("tall.png"), root.filePath("tall2.png")));
    QVERIFY(QFile::copy(
        QFINDTESTDATA("../../fuzz/corpus/fuzz_imageload/gif_screen_taller_than_frame.gif"),
        root.filePath("tall.gif")));
    QVERIFY(
        writeFileBytes(root.filePath("wideframe.gif"),
                       QByteArray::fromHex("47494638396102000200810000ff000000ff000000ffffffff2c"
                                           "000000001000100000020e848fa9cbed0fa39cb4da8bb33e05"
                                           "003b")));
    const QByteArray png = readFileBytes(root.filePath("in/a.png"));
    QVERIFY(writeFileBytes(root.filePath("truncated.png"), png.left(png.size() - 20)));
    QVERIFY(writeFileBytes(root.filePath("truncated-copy.png"), png.left(png.size() - 20)));
    QImage bordered = patternImage(10, 5, 1);
    for (int y = 0; y < 5; ++y)
        bordered.setPixel(9, y, 0); // a transparent column that --trim cuts
    QVERIFY(savePng(bordered, root.filePath("bordered.png")));
    QVERIFY(QFile::copy(root.filePath("in/a.png"), root.filePath("line\nbreak.png")));
    QCOMPARE(mkfifo(QFile::encodeName(root.filePath("fifo.png")).constData(), 0600), 0);
    QCOMPARE(mkfifo(QFile::encodeName(root.filePath("pipe")).constData(), 0600), 0);
    QVERIFY(QDir(root.path()).mkpath("raw"));
    // A name that is not UTF-8, made from raw bytes.
    const QByteArray rawName = QFile::encodeName(root.filePath("raw")) + "/\xff.png";
    // QTemporaryDir cannot remove a name that does not decode.
    const auto removeRaw = qScopeGuard([&] { ::unlink(rawName.constData()); });
    const int fd = ::open(rawName.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QVERIFY(fd >= 0 && ::write(fd, png.constData(), size_t(png.size())) == png.size());
    ::close(fd);
    // A name that decodes in a folder whose name does not.
    const QByteArray rawFolder = QFile::encodeName(root.filePath("raw")) + "/\xff.d";
    const auto removeRawFolder = qScopeGuard([&] {
        ::unlink((rawFolder + "/a.png").constData());
        ::rmdir(rawFolder.constData());
    });
    QVERIFY(::mkdir(rawFolder.constData(), 0700) == 0 &&
            ::symlink("../../in/a.png", (rawFolder + "/a.png").constData()) == 0);
    QVERIFY(writeFileBytes(root.filePath("rawfolder.json"),
                           R"({"sheets": [{"output": "out/s.png", "inputs": ["raw/*/a.png"]}]})"));
    QVERIFY(writeFileBytes(root.filePath("raw.json"), "{\"sheets\": [{\"output\": \"out/s.png\", "
                                                      "\"inputs\": [\"raw/*.png\"]}]}"));
    QVERIFY(
        writeFileBytes(root.filePath("negative.xml"), SettingsFixture::config({}, {}, "-4", "0")));
    QVERIFY(
        writeFileBytes(root.filePath("minus1.xml"), SettingsFixture::config({}, {}, "-1", "0")));
    QVERIFY(writeFileBytes(root.filePath("c.xml"), SettingsFixture::config({}, {}, "1", "0")));
    QVERIFY(QFile::copy(root.filePath("c.xml"), root.filePath("in/c.xml")));
    QVERIFY(writeFileBytes(root.filePath("huge.xml"),
                           SettingsFixture::config({}, {}, "99999999999", "0")));
    QVERIFY(QFile::copy(root.filePath("in/a.png"), root.filePath("line\rbreak.png")));
    QVERIFY(QFile::copy(root.filePath("in/a.png"), root.filePath("line\r\nbreak.png")));
    QVERIFY(writeFileBytes(root.filePath("bell\a\x1b.png"), "not an image"));
    QByteArray wrongCrc = png;
    wrongCrc[29] = char(wrongCrc[29] ^ 1); // the first byte of IHDR's CRC
    QVERIFY(writeFileBytes(root.filePath("crc.png"), wrongCrc));
    for (const char *name :
         {"cut.jpg:jpeg_cut_to_a_third.jpg", "cut.gif:gif_cut_to_a_third.gif",
          "last.gif:gif_cut_inside_last_pixel.gif", "cut.bmp:bmp_one_bit_cut_short.bmp",
          "a.tga:tga_taken_for_cursor.tga", "bomb.png:png_header_claims_16384x16384.png",
          "bomb.ico:icon_png_claims_16384x16384.ico"}) {
        const QStringList pair = QString::fromLatin1(name).split(':');
        QVERIFY(QFile::copy(QFINDTESTDATA("../../fuzz/corpus/fuzz_imageload/" + pair[1]),
                            root.filePath(pair[0])));
    }
    // 2 x 1 pixels: clear code, pixel 0 and two bits of the last code, then
    // a data block whose byte is missing.
    QVERIFY(writeFileBytes(root.filePath("split.gif"),
                           QByteArray::fromHex("47494638396102000100810000000000ffffffff000000ff00"
                                               "2c00000000020001000002018401")));
    QByteArray iconPng; // its header, then zeros: 40 bytes, the least an icon's image takes
    QBuffer iconBuffer(&iconPng);
    QVERIFY(iconBuffer.open(QIODevice::WriteOnly) &&
            QImage(20, 20, QImage::Format_ARGB32).save(&iconBuffer, "PNG"));
    QVERIFY(
        writeFileBytes(root.filePath("big.ico"),
                       QByteArray("\0\0\1\0\1\0\x14\x14\0\0\1\0\x20\0\x28\0\0\0\x16\0\0\0", 22) +
                           iconPng.left(33) + QByteArray(7, 0)));
    QVERIFY(QDir(root.path()).mkpath("odd") && QDir(root.path()).mkpath("dangling"));
    QVERIFY(QFile::copy(root.filePath("in/a.png"), root.filePath("odd/a.png")));
    QCOMPARE(mkfifo(QFile::encodeName(root.filePath("odd/fifo.png")).constData(), 0600), 0);
    QVERIFY(QFile::link(root.filePath("none.png"), root.filePath("dangling/gone.png")));
    QVERIFY(QDir(root.path()).mkpath("linked"));
    QVERIFY(QFile::copy(root.filePath("in/a.png"), root.filePath("linked/a.png")));
    QVERIFY(QFile::link(root.filePath("in"), root.filePath("linked/folder.png")));
    const QByteArray twoSheets =
        R"({"sheets": [{"name": "a", "output": "out/s.png", "inputs": ["in/a.png"]},
            {"name": "b", "output": "out/b.png", "inputs": ["in/a.png"],
             "data": [{"file": "out/s.png.SUFFIX", "format": "json-hash"}]}]})";
    QVERIFY(writeFileBytes(root.filePath("lockdata.json"),
                           QByteArray(twoSheets).replace("SUFFIX", "lock")));
    QVERIFY(writeFileBytes(root.filePath("journaldata.json"),
                           QByteArray(twoSheets).replace("SUFFIX", "korvane-journal")));
    // linked/folder.png is a link to in: "/.." leads back to the root.
    QVERIFY(writeFileBytes(root.filePath("locklink.json"),
                           QByteArray(twoSheets)
                               .replace("\"out/s.png\"", "\"linked/folder.png/../out/s.png\"")
                               .replace("SUFFIX", "lock")));
    QVERIFY(writeFileBytes(root.filePath("lockpage.json"),
                           QByteArray(twoSheets)
                               .replace("\"out/s.png\"", "\"out/m{n}.png\", \"multipack\": true, "
                                                         "\"max-size\": \"64x64\"")
                               .replace("out/s.png.SUFFIX", "out/m0.png.lock")));
    QVERIFY(QDir(root.path()).mkpath("hid") && writeFileBytes(root.filePath("hid/.x.png"), "no") &&
            writeFileBytes(root.filePath("hid/p.json"),
                           R"({"sheets": [{"output": "s.png", "inputs": ["*.png"]}]})"));
    QVERIFY(QDir(root.path()).mkpath("emoji") &&
            writeFileBytes(root.filePath(QString::fromUtf8("emoji/\xf0\x9f\x8e\x89.png")), "no") &&
            writeFileBytes(root.filePath("emoji.json"),
                           "{\"sheets\": [{\"output\": \"out/s.png\", "
                           "\"inputs\": [\"emoji/\xf0\x9f\x8e\x89*.png\"]}]}"));
    QVERIFY(
        QDir(root.path()).mkpath("broken/line\nfolder") &&
        writeFileBytes(root.filePath("broken/line\nfolder/a.png"), "no") &&
        writeFileBytes(root.filePath("broken/b.png\n"), "no") &&
        writeFileBytes(root.filePath("broken.json"),
                       R"({"sheets": [{"output": "out/s.png", "inputs": ["broken/**.png"]}]})"));
    QVERIFY(QDir(root.path()).mkpath("tail/deep") &&
            writeFileBytes(root.filePath("tail/deep/y.png"), "no") &&
            writeFileBytes(root.filePath("tail.json"),
                           R"({"sheets": [{"output": "out/s.png", "inputs": ["tail/**"]}]})"));
    QVERIFY(writeFileBytes(root.filePath("layout.json"), R"({"sheets": [{"output": "out/s.png",
        "inputs": ["in/a.png"], "layout": "compact", "max-size": "13x100"}]})"));
    QVERIFY(writeFileBytes(root.filePath("linked.json"), R"({"sheets": [{"output": "out/s.png",
        "max-size": "8x8", "inputs": ["linked/**/a.png"]}]})"));
    QVERIFY(writeFileBytes(root.filePath("off.json"), R"({"sheets": [{"output": "out/s.png",
        "inputs": ["in/a.png"], "trim": false, "trim-threshold": 3}]})"));
    QVERIFY(writeFileBytes(root.filePath("slash.json"), R"({"sheets": [{"output": "out/s.png",
        "inputs": ["in/a.png/"]}]})"));
    QVERIFY(writeFileBytes(root.filePath("dot.json"), R"({"sheets": [{"output": "out/s.png",
        "inputs": ["in/a.png/."]}]})"));
    QVERIFY(writeFileBytes(root.filePath("unfound.json"), R"({"sheets": [{"output": "out/s.png",
        "inputs": ["gone/../in/a.png"]}]})"));
    QVERIFY(QDir(root.path()).mkpath("bound"));
    std::optional<BindMount> bound;
    if (arguments.join(' ').contains("$ROOT/bound/") &&
        !bound.emplace(root.filePath("in"), root.filePath("bound")).mounted)
        QSKIP("A bind mount needs root.");
    // A folder a pattern cannot search, also as root: one beyond PATH_MAX,
    // made and removed through descriptors.
    const QByteArray level(250, 'd');
    std::vector<int> deep;
    const auto removeDeep = qScopeGuard([&] {
        for (size_t i = deep.size(); i-- > 0;) {
            if (i > 0)
                ::unlinkat(deep[i - 1], level.constData(), AT_REMOVEDIR);
            ::close(deep[i]);
        }
    });
    if (arguments.contains("$ROOT/deep.json")) {
        QVERIFY(QDir(root.path()).mkpath("deep") &&
                QFile::link("../in/a.png", root.filePath("deep/a.png")));
        QVERIFY(writeFileBytes(root.filePath("deep.json"), R"({"sheets": [{"output": "out/s.png",
            "inputs": ["deep/**/*.png"]}]})"));
        deep.push_back(::open(QFile::encodeName(root.filePath("deep")).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        while (deep.back() >= 0 && deep.size() < 18) {
            ::mkdirat(deep.back(), level.constData(), 0700);
            deep.push_back(
                ::openat(deep.back(), level.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        QVERIFY(deep.back() >= 0);
    }
    QTemporaryDir elsewhere; // the FAT image changes with every file made
    std::optional<FatMount> fat;
    if (arguments.join(' ').contains("$ROOT/fat/")) {
        QVERIFY(QDir(root.path()).mkpath("fat"));
        if (!fat.emplace(elsewhere.filePath("fat.img"), root.filePath("fat")).mounted)
            QSKIP("No FAT file system through FUSE here (mkfs.vfat, fusefat, /dev/fuse).");
        QVERIFY(QFile::copy(root.filePath("in/a.png"), root.filePath("fat/a.png")));
    }
    // A folder only root may open, searched by user 65534; a file only root may write.
    const bool asUser =
        arguments.contains("$ROOT/unopened.json") || arguments.contains("$ROOT/kept/s.png");
    if (arguments.contains("$ROOT/kept/s.png")) {
        QVERIFY(QDir(root.path()).mkpath("kept") &&
                writeFileBytes(root.filePath("kept/s.txt"), "old placement") &&
                QFile::setPermissions(root.filePath("kept/s.txt"),
                                      QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    }
    if (asUser) {
        QVERIFY(writeFileBytes(root.filePath("unopened.json"),
                               R"({"sheets": [{"output": "out/s.png", "inputs": [")" +
                                   elsewhere.filePath("*.png").toUtf8() + R"("]}]})"));
        if (geteuid() != 0 || packAsUser({"--version"}, root, root.path()).code != 0)
            QSKIP("Needs root, and user 65534 able to run the program from here.");
    }
    if (arguments.contains("sticky/l.png")) {
        QVERIFY(QDir(root.path()).mkpath("sticky") &&
                QFile::link("../out/l.png", root.filePath("sticky/l.png")));
        QCOMPARE(chmod(QFile::encodeName(root.filePath("sticky")).constData(), 01777), 0);
        if (geteuid() == 65534 ||
            lchown(QFile::encodeName(root.filePath("sticky/l.png")).constData(), 65534, 65534) != 0)
            QSKIP("Giving a file to another user needs root.");
    }
    const QMap<QString, QByteArray> before = snapshot(root.path());

    const Run run = asUser ? packAsUser(withPaths(arguments, root.path()), root, root.path())
                           : pack(withPaths(arguments, root.path()), root.path());
    QCOMPARE(run.code, code);
    // A decoder may print its own complaint first.
    QVERIFY2(run.err.contains(QLatin1String("korvane-pack: ")), qPrintable(run.err));
    QVERIFY2(run.err.contains(message.replace(QLatin1String("$ROOT"), root.path())),
             qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    // No name reaches the terminal with its control characters.
    QVERIFY2(!run.err.contains(QRegularExpression("[\\x00-\\x09\\x0b-\\x1f\\x7f-\\x9f]")),
             qPrintable(run.err));
    QCOMPARE(snapshot(root.path()), before);
}

void TestPack::optionBoundaries_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    // $ROOT/a.png is 10 x 5 pixels; with the default margin the sheet is 14 x 9.
    const QStringList in{"-o", "$ROOT/s.png", "$ROOT/a.png"};
    QTest::newRow("--max-image-pixels N-1") << QStringList{"--max-image-pixels", "49"} + in << 1;
    QTest::newRow("--max-image-pixels N") << QStringList{"--max-image-pixels", "50"} + in << 0;
    QTest::newRow("--max-image-pixels N+1") << QStringList{"--max-image-pixels", "51"} + in << 0;
    QTest::newRow("--max-image-pixels 0") << QStringList{"--max-image-pixels", "0"} + in << 2;
    QTest::newRow("--max-sheet-pixels N-1") << QStringList{"--max-sheet-pixels", "125"} + in << 1;
    QTest::newRow("--max-sheet-pixels N") << QStringList{"--max-sheet-pixels", "126"} + in << 0;
    QTest::newRow("--max-sheet-pixels 0") << QStringList{"--max-sheet-pixels", "0"} + in << 2;
    QTest::newRow("--max-sheet-pixels N-1 with --alias")
        << QStringList{"--max-sheet-pixels", "125", "--alias"} + in << 1;
    // Counted while decoding: inclusive, and a shared region once.
    QTest::newRow("--max-sheet-pixels N with --trim")
        << QStringList{"-m0", "--trim", "--max-sheet-pixels", "50"} + in << 0;
    QTest::newRow("--max-sheet-pixels N with --alias, one image twice")
        << QStringList{"-m0", "--alias", "--max-sheet-pixels", "50"} + in +
               QStringList{"$ROOT/./a.png"}
        << 0;
    // The sheet is within the limit once the image that does not decode is left out.
    QTest::newRow("--max-sheet-pixels N with --extrude, --skip-unreadable")
        << QStringList{"--extrude", "1", "--skip-unreadable", "--max-sheet-pixels", "176"} + in +
               QStringList{"$ROOT/trunc.png"}
        << 0;
    // trunc.png alone needs a sheet of 14 x 14 pixels.
    QTest::newRow("--max-sheet-pixels --skip-unreadable, an image beyond it on its own left out")
        << QStringList{"--skip-unreadable", "--max-sheet-pixels", "195"} + in +
               QStringList{"$ROOT/trunc.png"}
        << 0;
    QTest::newRow("-o ending in /.") << QStringList{"-o", "$ROOT/.", "$ROOT/a.png"} << 2;
    QTest::newRow("side 32767") << QStringList{"-m0", "-o", "$ROOT/s.png", "$ROOT/32767.png"} << 0;
    QTest::newRow("side 32768") << QStringList{"-m0", "-o", "$ROOT/s.png", "$ROOT/32768.png"} << 1;
    QTest::newRow("--threads 0") << QStringList{"--threads", "0"} + in << 2;
    QTest::newRow("--threads 1") << QStringList{"--threads", "1"} + in << 0;
    QTest::newRow("--threads 256") << QStringList{"--threads", "256"} + in << 0;
    QTest::newRow("--threads 257") << QStringList{"--threads", "257"} + in << 2;
    QTest::newRow("--margin 2147483647") << QStringList{"--margin", "2147483647"} + in << 1;
    QTest::newRow("--margin 2147483648") << QStringList{"--margin", "2147483648"} + in << 2;
    QTest::newRow("--margin 90, digits at both ends") << QStringList{"--margin", "90"} + in << 0;
    QTest::newRow("--pivot 1,1") << QStringList{"--pivot", "1,1"} + in << 0;
    QTest::newRow("--trim-threshold 254")
        << QStringList{"--trim", "--trim-threshold", "254"} + in << 0;
    // Trimmed, the widest image no longer holds the row wide enough for the
    // two below it: the split by untrimmed boxes must still hold.
    QTest::newRow("--multipack --trim, narrower widest image")
        << QStringList{"--multipack", "--max-size",  "104x96",       "--trim",       "-o",
                       "$ROOT/s.png", "$ROOT/t.png", "$ROOT/50.png", "$ROOT/50b.png"}
        << 0;
    // One sheet keeps the untrimmed boxes' layout too, rather than fail.
    QTest::newRow("--max-size --trim, narrower widest image")
        << QStringList{"--max-size",  "104x96",      "--trim",       "-o",
                       "$ROOT/s.png", "$ROOT/t.png", "$ROOT/50.png", "$ROOT/50b.png"}
        << 0;
    // The image left out needs no box: with it the boxes would not fit.
    QTest::newRow("--max-size --trim, narrower widest image, one left out")
        << QStringList{"--max-size",        "104x96",       "--trim",
                       "--skip-unreadable", "-o",           "$ROOT/s.png",
                       "$ROOT/t.png",       "$ROOT/50.png", "$ROOT/50b.png",
                       "$ROOT/trunc.png"}
        << 0;
    // All three fit on one sheet only with the widest, smallest image last
    // in the split's order; a second page's placement file would be the JSON file.
    QTest::newRow("--multipack, one sheet holds every image")
        << QStringList{"--multipack",   "--max-size", "108x66",      "--json",
                       "$ROOT/s-1.txt", "-o",         "$ROOT/s.png", "$ROOT/50.png",
                       "$ROOT/50b.png", "$ROOT/w.png"}
        << 0;
    // Images named by size. A third page would clash with the JSON file.
    // 5x1 widens the rows: the first four fit where the first two or three
    // do not, nor all five.
    QTest::newRow("--multipack, a run fits where a shorter one does not")
        << QStringList{"--multipack",   "-m0", "--max-size",  "5x10",     "--json",
                       "$ROOT/s-2.txt", "-o",  "$ROOT/s.png", "$ROOT/run"}
        << 0;
    // Each N-10x4 reaches into the margin below its row: the areas with
    // margins add up to more than the sheet's, yet the first takes all five 10x1.
    QTest::newRow("--multipack, images reaching into the margin below their row")
        << QStringList{"--multipack",   "-m3", "--max-size",  "26x27",     "--json",
                       "$ROOT/s-2.txt", "-o",  "$ROOT/s.png", "$ROOT/rows"}
        << 0;
    // A limit of 28x32 or 28x34 gives a 28 x 30 sheet: packing is not
    // monotonic in the height, and 28x33 must not fail between them.
    QTest::newRow("--layout compact, a limit between two that give a sheet within it")
        << QStringList{"--layout", "compact", "-m0",         "--max-size",
                       "28x33",    "-o",      "$ROOT/s.png", "$ROOT/loose"}
        << 0;
    // The same with --trim, whose regions keep the images' whole boxes.
    QTest::newRow("--layout compact --trim, a limit between two that give a sheet within it")
        << QStringList{"--layout", "compact", "-m0",         "--trim",     "--max-size",
                       "28x33",    "-o",      "$ROOT/s.png", "$ROOT/loose"}
        << 0;
    // A limit of 61x63 gives a 61 x 63 sheet; one wider must not fail.
    QTest::newRow("--layout compact, a limit wider than one that gives a sheet")
        << QStringList{"--layout", "compact",     "--max-size",  "62x63",
                       "-o",       "$ROOT/s.png", "$ROOT/looser"}
        << 0;
    // 126 of 144 pixels: MaxRects leaves gaps at every width and height
    // tried, shelves of decreasing height fit.
    QTest::newRow("--layout compact, a limit only shelves fit")
        << QStringList{"--layout", "compact", "-m0",         "--max-size",
                       "12x12",    "-o",      "$ROOT/s.png", "$ROOT/shelves"}
        << 0;
    // 6x6 does not fit beside 10x5, nor 6x5 beside 6x6; 6x5 of the same
    // width fits beside 10x5. A third page would clash with the JSON file.
    QTest::newRow("--multipack compact, an image as wide as one refused")
        << QStringList{"--multipack", "--layout",    "compact",   "-m0",
                       "--max-size",  "10x10",       "--json",    "$ROOT/s-2.txt",
                       "-o",          "$ROOT/s.png", "$ROOT/size"}
        << 0;
    // A page over the limit fails the run; it is not left out as an empty one.
    QTest::newRow("--multipack, a page beyond --max-sheet-pixels")
        << QStringList{"--multipack", "--max-size", "54x54", "--max-sheet-pixels", "2915"} + in +
               QStringList{"$ROOT/50.png"}
        << 1;
    // The sheet of the one image that does not decode is left out, not the run.
    QTest::newRow("--multipack --skip-unreadable, a sheet left empty")
        << QStringList{"--multipack", "--skip-unreadable", "--max-size",      "14x14",
                       "-o",          "$ROOT/s.png",       "$ROOT/trunc.png", "$ROOT/a.png"}
        << 0;
    QTest::newRow("--multipack --skip-unreadable --alias, a sheet of two copies left empty")
        << QStringList{"--multipack", "--skip-unreadable", "--alias", "--max-size", "14x14"} + in +
               QStringList{"$ROOT/trunc.png", "$ROOT/trunc-copy.png"}
        << 0;
    // trunc.png's box is 14 x 14: too large for a sheet, and it does not decode.
    QTest::newRow("--multipack --skip-unreadable, an image too large for a sheet left out")
        << QStringList{"--multipack", "--skip-unreadable", "--max-size", "14x13"} + in +
               QStringList{"$ROOT/trunc.png"}
        << 0;
    // Both are frame "5x4.png": only data files name frames.
    QTest::newRow("two frames of one name, no data file")
        << QStringList{"-o", "$ROOT/s.png", "$ROOT/rows", "$ROOT/lead"} << 0;
    // Without --skip-unreadable, one that does not decode fails the run.
    QTest::newRow("--multipack --trim, an image too large for a sheet that does not decode")
        << QStringList{"--multipack", "--trim", "--max-size", "14x13"} + in +
               QStringList{"$ROOT/trunc.png"}
        << 1;
    // One sheet: trunc.png is too large for it, and is left out, not the run.
    QTest::newRow("--max-size --skip-unreadable, an image too large for the sheet left out")
        << QStringList{"--skip-unreadable", "--max-size", "14x13"} + in +
               QStringList{"$ROOT/trunc.png"}
        << 0;
    // trunc.png fits on its own; with a.png the sheet would be 14 x 21.
    QTest::newRow("--max-size --skip-unreadable, a sheet within it once an image is left out")
        << QStringList{"--skip-unreadable", "--max-size", "14x18"} + in +
               QStringList{"$ROOT/trunc.png"}
        << 0;
    // 10 x 20 with trunc.png leading the rows; without it they wrap at 4x10
    // into 4 x 28, so the others keep their places.
    QTest::newRow("--max-size --skip-unreadable, a sheet beyond it laid out without the image")
        << QStringList{"-m0", "--skip-unreadable", "--max-size", "10x20", "-o", "$ROOT/s.png"} +
               QStringList{"$ROOT/trunc.png", "$ROOT/wide/4x10.png", "$ROOT/wide/3x10.png",
                           "$ROOT/run/2x8.png"}
        << 0;
    // Both fit one page of 14 x 21, beyond the limit; trunc.png alone is within it.
    QTest::newRow(
        "--multipack --skip-unreadable, a page within --max-sheet-pixels once one is left out")
        << QStringList{"--multipack", "--skip-unreadable",  "--max-size",
                       "14x21",       "--max-sheet-pixels", "196"} +
               in + QStringList{"$ROOT/trunc.png"}
        << 0;
    // 5x4 goes under 5x6 (10 high): in rows of one width a row is as low as
    // the lowest image that may lead it. Left to another sheet, it makes a
    // third beside 3x8, and that page would clash with the JSON file.
    QTest::newRow("--multipack, rows of one width led by their lowest image")
        << QStringList{"--multipack",   "-m0", "--max-size",  "5x10",      "--json",
                       "$ROOT/s-2.txt", "-o",  "$ROOT/s.png", "$ROOT/lead"}
        << 0;
    // The three cover the sheet's area exactly, which the split must still
    // allow: only with 4x1, the last, is the sheet wide enough for both 2x4
    // beside each other. A second page would clash with the JSON file.
    QTest::newRow("--multipack, a run that fills the sheet to the last pixel")
        << QStringList{"--multipack",   "-m0", "--max-size",  "4x5",       "--json",
                       "$ROOT/s-1.txt", "-o",  "$ROOT/s.png", "$ROOT/fill"}
        << 0;
    // 4x7 beside 10x5 ends on the margin below that row: the 20 x 12 sheet
    // takes 16x1, 10x5 and 4x7, 4x8 goes alone. Refused as too tall, 4x7
    // would make a third page, clashing with the JSON file.
    QTest::newRow("--multipack, an image as tall as its row with the margin")
        << QStringList{"--multipack",   "-m2", "--max-size",  "20x12",      "--json",
                       "$ROOT/s-2.txt", "-o",  "$ROOT/s.png", "$ROOT/reach"}
        << 0;
    // In rows 10x1 widens the sheet but needs a row of its own: no run
    // from the one it starts fits, and 4x10 goes alone.
    QTest::newRow("--multipack, no run taking in a wider image fits")
        << QStringList{"--multipack", "-m0",         "--max-size", "10x10",
                       "-o",          "$ROOT/s.png", "$ROOT/wide"}
        << 0;
}

void TestPack::optionBoundaries()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QTemporaryDir root;
    QVERIFY(savePng(patternImage(10, 5, 1), root.filePath("a.png")));
    QVERIFY(savePng(patternImage(32767, 1, 2), root.filePath("32767.png")));
    QVERIFY(savePng(patternImage(1, 32768, 3), root.filePath("32768.png")));
    QImage trimmed = patternImage(100, 40, 4).convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < 40; ++y)
        trimmed.setPixel(99, y, 0);
    QVERIFY(savePng(trimmed, root.filePath("t.png")));
    QVERIFY(savePng(patternImage(50, 50, 5), root.filePath("50.png")));
    QVERIFY(savePng(patternImage(50, 50, 6), root.filePath("50b.png")));
    QVERIFY(savePng(patternImage(104, 10, 8), root.filePath("w.png")));
    QStringList sized{"run/2x8",     "run/2x7",  "run/1x9",  "run/5x1",   "run/1x4",
                      "rows/0-20x1", "rows/5x4", "rows/6x6", "size/10x5", "size/6x6",
                      "size/6x5",    "lead/5x6", "lead/3x8", "lead/5x4"};
    sized += QStringList{"wide/4x10", "wide/3x10", "wide/10x1"};
    sized += QStringList{"fill/a-2x4", "fill/b-2x4", "fill/4x1"};
    sized += QStringList{"reach/a-10x5", "reach/b-16x1", "reach/c-4x7", "reach/d-4x8"};
    for (const char *name :
         {"00-9x4",   "01-11x19", "02-14x14", "03-5x11",  "04-16x19", "05-15x14", "06-7x7",
          "07-11x11", "08-11x14", "09-3x17",  "10-16x13", "11-3x7",   "12-19x8",  "13-2x7",
          "14-7x9",   "15-10x10", "16-9x6",   "17-20x4",  "18-8x8",   "19-19x8"})
        sized << QString("looser/") + name;
    sized += QStringList{"loose/11x11", "loose/8x5",  "loose/16x12",
                         "loose/10x17", "loose/20x5", "loose/15x8"};
    sized += QStringList{"shelves/00-2x6", "shelves/01-5x5", "shelves/02-4x3", "shelves/03-10x3",
                         "shelves/04-8x2", "shelves/05-2x3", "shelves/06-5x5"};
    for (int i = 1; i <= 5; ++i)
        sized << QString("rows/%1-10x1").arg(i) << QString("rows/%1-10x4").arg(i);
    for (const QString &name : std::as_const(sized)) {
        const QStringList sides = name.section(QRegularExpression("[/-]"), -1).split('x');
        QVERIFY(QDir(root.path()).mkpath(QFileInfo(name).path()));
        QVERIFY(savePng(patternImage(sides[0].toInt(), sides[1].toInt(), 9),
                        root.filePath(name + ".png")));
    }
    QVERIFY(savePng(patternImage(10, 10, 7), root.filePath("trunc.png")));
    const QByteArray png = readFileBytes(root.filePath("trunc.png"));
    QVERIFY(writeFileBytes(root.filePath("trunc.png"), png.left(png.size() - 20)));
    QVERIFY(writeFileBytes(root.filePath("trunc-copy.png"), png.left(png.size() - 20)));
    const Run run = pack(withPaths(arguments, root.path()));
    QCOMPARE(run.code, code);
    QCOMPARE(QFile::exists(root.filePath("s.png")), code == 0);
}

// Every format the readers offer either loads with the pixels Qt's reader
// gives, or is refused before decoding (SVG).
void TestPack::formatsMatchQtReader_data()
{
    QTest::addColumn<QString>("file"); // a format Qt writes, or a file of the fuzz corpus
    for (const char *format :
         {"bmp", "cur", "ico", "jpg", "pbm", "pgm", "png", "ppm", "xbm", "xpm"})
        QTest::newRow(format) << QString::fromLatin1(format);
    QTest::newRow("grey JPEG") << "jpeg_grey.jpg";
    QTest::newRow("progressive JPEG") << "jpeg_progressive.jpg";
    QTest::newRow("JPEG from the corpus") << "small.jpg";
    QTest::newRow("CMYK JPEG") << "jpeg_cmyk.jpg";
    // Sampling factors TurboJPEG has no subsampling name for; libjpeg decodes them.
    QTest::newRow("JPEG with luma sampled 3 x 1") << "jpeg_sampled_3x1.jpg";
    QTest::newRow("YCCK JPEG with K sampled apart from luma") << "jpeg_ycck_k_sampled_apart.jpg";
    // Read up to its end marker, not to the first FF D9 (a thumbnail's).
    QTest::newRow("JPEG with end markers inside an APP1 and a COM segment")
        << "jpeg_end_marker_inside_segments.jpg";
    QTest::newRow("GIF frame smaller than its screen") << "gif_frame_inside_screen.gif";
    QTest::newRow("GIF frame past the screen's right edge") << "gif_frame_past_right.gif";
    QTest::newRow("GIF frame past the screen's bottom edge") << "gif_frame_past_bottom.gif";
    // Cut at the screen's edge: the canvas is not grown to reach it.
    QTest::newRow("GIF second frame far past the right edge")
        << "gif_second_frame_far_past_right.gif";
    QTest::newRow("GIF without its frame's terminator and trailer")
        << "gif_no_block_terminator.gif";
    QTest::newRow("GIF without its frame's terminator, with the trailer")
        << "gif_no_block_terminator_before_trailer.gif";
    // Uncompressed, so that the file is larger than the decoder's first read.
    QTest::newRow("PNG of stored blocks, larger than 64 KiB") << "png:100";
    QTest::newRow("icon whose directory gives another size")
        << "icon_directory_differs_from_image.ico";
}

void TestPack::formatsMatchQtReader()
{
    QFETCH(QString, file);
    QTemporaryDir dir;
    const QString format = file.section(':', 0, 0);
    const QString path = dir.filePath(file.contains('.') ? file : "image." + format);
    if (file.contains('.'))
        QVERIFY(QFile::copy(QFINDTESTDATA("../../fuzz/corpus/fuzz_imageload/" + file), path));
    else if (file.contains(':'))
        QVERIFY(
            patternImage(160, 120, 4).save(path, format.toLatin1(), file.section(':', 1).toInt()));
    else
        QVERIFY(patternImage(37, 23, 4).save(path, file.toLatin1()));
    if (file.contains(':'))
        QVERIFY(QFileInfo(path).size() > 64 * 1024);
    const Run run = pack({"-m0", "-o", dir.filePath("s.png"), path});
    QCOMPARE(run.code, 0);
    // Qt's reader premultiplies a 32-bit icon or cursor, which its writer
    // made from the image as it is; the sheet has the image's own colours.
    const QImage expected =
        format == "ico" || format == "cur" ? patternImage(37, 23, 4) : QImage(path);
    QCOMPARE(QImage(dir.filePath("s.png")).convertToFormat(QImage::Format_ARGB32),
             expected.convertToFormat(QImage::Format_ARGB32));
}

// A folder whose listing fails part way fails the run: the real readdir()
// is made to fail by putting a file that is not a folder behind its
// descriptor.
void TestPack::listingErrorFailsTheRun()
{
    QTemporaryDir dir;
    QVERIFY(savePng(patternImage(4, 3, 1), dir.filePath("a.png")));
    Inputs::setListingHook([](int descriptor) {
        const int other = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::dup2(other, descriptor);
        ::close(other);
    });
    QMap<QString, QString> names;
    QString error;
    const bool listed = Inputs::expandInputs({dir.path()}, names, &error);
    Inputs::setListingHook(nullptr);
    QVERIFY(!listed);
    QCOMPARE(error, dir.path() + ": folder cannot be listed completely (Not a directory)");
}

// The most memory this process has held resident (since the last reset).
qint64 residentPeakBytes()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return -1;
}

// How far resident memory grew above where it stood while `work` ran; -1
// where the peak cannot be reset.
qint64 residentGrowth(const std::function<void()> &work)
{
    QFile peak("/proc/self/clear_refs");
    if (!peak.open(QIODevice::WriteOnly) || peak.write("5") != 1 || !peak.flush())
        return -1;
    const qint64 before = residentPeakBytes();
    work();
    return residentPeakBytes() - before;
}

// Decodes hold no more memory at once than the limit, whatever the number
// of threads: neither while they run nor what the workers keep for their
// next image.
void TestPack::decodeBuffersStayWithinTheLimit()
{
    QTemporaryDir dir;
    QVector<SheetLayout::Placement> placements;
    constexpr int side = 1024;
    constexpr int count = 16;
    QImage expected(side, count * side, QImage::Format_ARGB32);
    for (int i = 0; i < count; ++i) {
        const QImage image = patternImage(side, side, i).convertToFormat(QImage::Format_RGB32);
        const QString path = dir.filePath(QString("%1.png").arg(i));
        QVERIFY(savePng(image, path));
        placements.append({path, image.size(), QPoint(0, i * side), 0, i * side});
        for (int y = 0; y < side; ++y)
            std::memcpy(expected.scanLine(i * side + y), image.constScanLine(y), side * 4);
    }
    Compose::Limits limits;
    limits.maxBufferBytes = side * side * 4;
    Compose::Progress progress;
    QImage sheet = SheetRender::newSheet(expected.size());
    sheet.fill(0); // its pages are no decode's
    QVector<Compose::Failure> failures;
    [[maybe_unused]] const qint64 grown = residentGrowth(
        [&] { failures = Compose::paintPlacements(sheet, placements, limits, 4, &progress); });
    if (grown < 0)
        QSKIP("the peak of resident memory cannot be reset here");
    QVERIFY(failures.isEmpty());
    QCOMPARE(sheet, expected);
    // Each decode needs about the whole limit, so the four workers must have
    // taken turns: never two images' buffers at once.
    QVERIFY2(progress.peakBufferBytes.load() >= limits.maxBufferBytes &&
                 progress.peakBufferBytes.load() < 2 * limits.maxBufferBytes,
             QByteArray::number(progress.peakBufferBytes.load()));
#ifndef __SANITIZE_ADDRESS__ // its allocator keeps freed memory for a while
    QVERIFY2(grown < limits.maxBufferBytes * 3 / 2, QByteArray::number(grown));
#endif
}

// A progressive CMYK JPEG of `side` x `side` grey pixels: a DC scan of
// zeros alone, which libjpeg decodes from its buffer of every block's
// coefficients (2 bytes each, twice the decoded image for four channels).
QByteArray progressiveCmykJpeg(int side)
{
    const auto segment = [](char marker, const QByteArray &body) {
        const int length = body.size() + 2;
        return QByteArray("\xff") + marker + char(length >> 8) + char(length) + body;
    };
    const QByteArray sides =
        QByteArray(1, char(side >> 8)) + char(side) + char(side >> 8) + char(side);
    // One code, "0", for a DC difference of 0.
    const QByteArray oneCode = QByteArray(1, 1) + QByteArray(15, 0) + QByteArray(1, 0);
    const QByteArray components = QByteArray::fromHex("011100021100031100041100");
    const QByteArray scan = QByteArray::fromHex("040100020003000400000000");
    const int blocks = 4 * (side / 8) * (side / 8);
    return QByteArray("\xff\xd8") + segment('\xdb', QByteArray(1, 0) + QByteArray(64, 1)) +
           segment('\xc2', "\x08" + sides + '\x04' + components) +
           segment('\xc4', QByteArray(1, 0) + oneCode) + segment('\xda', scan) +
           QByteArray(blocks / 8, 0) + "\xff\xd9";
}

// libjpeg's buffer of a progressive file's coefficients is part of the
// decode's share of the limit, so that the decodes of such files take turns
// where they would pass it.
void TestPack::progressiveJpegCoefficientsCountAgainstTheLimit()
{
    QTemporaryDir dir;
    constexpr int side = 1024;
    const QString path = dir.filePath("cmyk.jpg");
    QVERIFY(writeFileBytes(path, progressiveCmykJpeg(side)));
    Compose::Progress progress;
    QImage sheet = SheetRender::newSheet(QSize(side, side));
    sheet.fill(0); // its pages are no decode's
    QVector<Compose::Failure> failures;
    [[maybe_unused]] const qint64 grown = residentGrowth([&] {
        failures = Compose::paintPlacements(sheet, {{path, sheet.size(), QPoint(), 0, 0}},
                                            Compose::Limits(), 1, &progress);
    });
    if (grown < 0)
        QSKIP("the peak of resident memory cannot be reset here");
    QVERIFY(failures.isEmpty());
    QCOMPARE(sheet.pixel(side - 1, side - 1), qRgb(64, 64, 64));
#ifndef __SANITIZE_ADDRESS__ // its allocator keeps freed memory for a while
    // What the decode held, but for a little of libjpeg's and the worker's own.
    QVERIFY2(grown < progress.peakBufferBytes.load() + (4 << 20),
             QByteArray::number(grown) + " > " +
                 QByteArray::number(progress.peakBufferBytes.load()));
#endif
}

// Qt's GIF reader decodes onto an image of its own beside the sheet, the
// size of the screen: each such image is part of the decode's share.
void TestPack::gifDecodesTakeTurns()
{
    QTemporaryDir dir;
    // Past glibc's largest threshold for memory mapped on its own, so that
    // a worker keeps none of it for later.
    const QSize screen(4096, 2304);
    // A 16 x 16 frame on that screen.
    const QByteArray gif = QByteArray::fromHex("474946383961001000098100") +
                           QByteArray::fromHex("00ff000000ff000000ffffffff2c000000001000100000020e"
                                               "848fa9cbed0fa39cb4da8bb33e05003b");
    constexpr int count = 4;
    QVector<SheetLayout::Placement> placements;
    for (int i = 0; i < count; ++i) {
        const QString path = dir.filePath(QString("%1.gif").arg(i));
        QVERIFY(writeFileBytes(path, gif));
        placements.append({path, screen, QPoint(0, i * screen.height()), 0, i * screen.height()});
    }
    Compose::Limits limits;
    limits.maxBufferBytes = qint64(screen.width()) * screen.height() * 4;
    QImage sheet = SheetRender::newSheet(QSize(screen.width(), count * screen.height()));
    sheet.fill(0); // its pages are no decode's
    QVector<Compose::Failure> failures;
    [[maybe_unused]] const qint64 grown = residentGrowth(
        [&] { failures = Compose::paintPlacements(sheet, placements, limits, count, nullptr); });
    if (grown < 0)
        QSKIP("the peak of resident memory cannot be reset here");
    QVERIFY(failures.isEmpty());
    QCOMPARE(sheet.pixel(screen.width() - 1, count * screen.height() - 1), qRgb(255, 0, 0));
    // The probes, on every core, decode them too to learn their size.
    std::vector<QSize> sizes(static_cast<size_t>(count));
    const qint64 probed = residentGrowth([&] {
        std::vector<std::future<bool>> probes;
        for (int i = 0; i < count; ++i)
            probes.push_back(std::async(std::launch::async, [&, i] {
                Compose::Failure failure;
                return Compose::probeImage(placements[i].path, limits, &sizes[size_t(i)], &failure);
            }));
        for (auto &probe : probes)
            probe.wait();
    });
    QCOMPARE(sizes.back(), screen);
#ifndef __SANITIZE_ADDRESS__ // its allocator keeps freed memory for a while
    QVERIFY2(grown < limits.maxBufferBytes * 3 / 2, QByteArray::number(grown));
    QVERIFY2(probed < limits.maxBufferBytes * 3 / 2, QByteArray::number(probed));
#endif
}

// Each page of a --multipack run is kept encoded until the set is written:
// a file far smaller than its sheet keeps none of the sheet's memory.
void TestPack::encodedPagesKeepNoSheet()
{
    // Past glibc's largest threshold for memory mapped on its own, so that
    // a freed sheet is given back at once.
    const QSize size(4096, 2304);
    constexpr int pages = 4;
    std::vector<std::shared_ptr<const void>> storage(pages);
    QVector<QByteArray> files(pages);
    bool encoded = true;
    [[maybe_unused]] const qint64 grown = residentGrowth([&] {
        for (int i = 0; i < pages; ++i) {
            QImage sheet = SheetRender::newSheet(size);
            sheet.fill(qRgba(i, 2, 3, 255));
            encoded = encoded && SheetRender::encode(std::move(sheet), "png", &files[i], nullptr, 1,
                                                     PngEncoder::Level::Fast, &storage[i]);
        }
    });
    if (grown < 0)
        QSKIP("the peak of resident memory cannot be reset here");
    QVERIFY(encoded);
    QCOMPARE(QImage::fromData(files[pages - 1], "PNG").pixel(9, 9), qRgba(pages - 1, 2, 3, 255));
#ifndef __SANITIZE_ADDRESS__ // its allocator keeps freed memory for a while
    const qint64 sheetBytes = qint64(size.width()) * size.height() * 4;
    QVERIFY2(grown < sheetBytes * 3 / 2, QByteArray::number(grown));
#endif
}

void TestPack::wholeFileReadsCountAgainstTheLimit_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("JPEG") << "jpg";
    QTest::newRow("GIF") << "gif";
}

// A format read whole takes its file's size from the decode limit, however
// little the image: large files are not all read at once.
void TestPack::wholeFileReadsCountAgainstTheLimit()
{
    QFETCH(QString, format);
    QTemporaryDir dir;
    constexpr int padding = 48 << 20;
    QVector<SheetLayout::Placement> placements;
    for (int i = 0; i < 4; ++i) {
        const QString path = dir.filePath(QString("%1.%2").arg(i).arg(format));
        if (format == "gif") // Qt writes no GIF
            QVERIFY(QFile::copy(
                QFINDTESTDATA("../../fuzz/corpus/fuzz_imageload/gif_frame_inside_screen.gif"),
                path));
        else
            QVERIFY(patternImage(16, 16, i).save(path, format.toLatin1()));
        const QSize size = QImageReader(path).size();
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append) && file.write(QByteArray(padding, 0)) == padding);
        placements.append({path, size, QPoint(0, 64 * i), 0, 64 * i});
    }
    Compose::Limits limits;
    limits.maxBufferBytes = padding;
    Compose::Progress progress;
    QImage sheet = SheetRender::newSheet(QSize(64, 256));
    QVector<Compose::Failure> failures;
    [[maybe_unused]] const qint64 grown = residentGrowth(
        [&] { failures = Compose::paintPlacements(sheet, placements, limits, 4, &progress); });
    if (grown < 0)
        QSKIP("the peak of resident memory cannot be reset here");
    QVERIFY(failures.isEmpty());
#ifndef __SANITIZE_ADDRESS__ // its allocator keeps freed memory for a while
    QVERIFY2(grown < qint64(padding) * 2, QByteArray::number(grown));
#endif
}

void TestPack::longTailIsNotRead_data()
{
    QTest::addColumn<QString>("file");     // of the fuzz corpus, or a format Qt writes
    QTest::addColumn<QByteArray>("bytes"); // the file itself, when given
    QTest::newRow("JPEG") << "small.jpg" << QByteArray();
    QTest::newRow("GIF") << "tiny.gif" << QByteArray();
    QTest::newRow("XBM") << "xbm" << QByteArray();
    // 2 x 1 pixels, RLE8: a run of two in colour 1, then the end of the image.
    const QByteArray bmp = QByteArray::fromHex(
        "424d42000000000000003e0000002800000002000000010000000100080001000000040000000000000000"
        "0000000200000000000000000000000000ff0002010001");
    QTest::newRow("RLE8 BMP") << "bmp" << bmp;
}

// An image followed by a long tail of something else loads as Qt's reader
// loads it, which reads only the image: the checks before the decode must
// not read the rest into memory either (and past 2 GiB, Qt 5 could not).
void TestPack::longTailIsNotRead()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    const QString path = dir.filePath("image");
    if (!bytes.isEmpty())
        QVERIFY(writeFileBytes(path, bytes));
    else if (file.contains('.'))
        QVERIFY(QFile::copy(QFINDTESTDATA("../../fuzz/corpus/fuzz_imageload/" + file), path));
    else
        QVERIFY(patternImage(37, 23, 4).save(path, file.toLatin1()));
    {
        QFile tail(path);
        QVERIFY(tail.open(QIODevice::ReadWrite));
        QVERIFY(tail.resize(tail.size() + (qint64(256) << 20)));
    }
    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
    if (qint64(info.st_blocks) * 512 > (qint64(1) << 20))
        QSKIP("the file system here holds no sparse files");
    const QImage qt = QImage(path).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(!qt.isNull());

    QSize size;
    Compose::Failure failure;
    QImage decoded;
    [[maybe_unused]] const qint64 grown = residentGrowth([&] {
        PngDecode::Scratch scratch;
        if (Compose::probeImage(path, Compose::Limits(), &size, &failure))
            failure = Compose::decodeImage(path, size, Compose::Limits(), &decoded, scratch);
    });
    QVERIFY2(failure.status == Compose::ImageStatus::Ok, qPrintable(failure.reason));
    QCOMPARE(decoded, qt);
#ifndef __SANITIZE_ADDRESS__ // its allocator keeps freed memory for a while
    if (grown >= 0)
        QVERIFY2(grown < (qint64(64) << 20), QByteArray::number(grown));
#endif
}

// Trimming keeps of each decode only its region until the sheet is painted:
// large, nearly empty images must not all be held whole at once.
void TestPack::trimmedDecodesKeepOnlyTheirRegions()
{
    QTemporaryDir dir;
    constexpr int side = 2048;
    constexpr int count = 16;
    Compose::SheetJob job;
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(0);
    for (int i = 0; i < count; ++i) {
        image.setPixel(i, i, qRgba(i, 0, 0, 255));
        const QString path = dir.filePath(QString("%1.png").arg(i));
        QVERIFY(savePng(image, path));
        image.setPixel(i, i, 0);
        job.sizes.insert(path, image.size());
    }
    job.sheetPath = dir.filePath("s.png");
    job.layout = [](const QMap<QString, QSize> &sizes) { return SheetLayout::compute(sizes, 0); };
    job.threads = 2;
    Compose::SpriteOptions options;
    options.trim = true;
    Compose::SpriteResult result;
    [[maybe_unused]] const qint64 grown =
        residentGrowth([&] { result = Compose::composeSprites(job, options); });
    if (grown < 0)
        QSKIP("the peak of resident memory cannot be reset here");
    QCOMPARE(result.composed.outcome, Compose::SheetResult::Ok);
    QCOMPARE(result.composed.sheet.size(), QSize(1, count));
#ifndef __SANITIZE_ADDRESS__ // its allocator keeps freed memory for a while
    // Two workers' decodes and their buffers; all sixteen would be 256 MiB.
    QVERIFY2(grown < qint64(6) * side * side * 4, QByteArray::number(grown));
#endif
}

// A byte-order mark starts a valid name; a name that does not decode is
// found and reported by its bytes, as in a folder.
void TestPack::unusualFileNames()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("in");
    const QString bom = QString(QChar(0xfeff)) + "bom.png";
    QVERIFY(savePng(patternImage(4, 3, 1), dir.filePath("in/" + bom)));
    Run run = pack({"-m0", "-o", dir.filePath("s.png"), dir.filePath("in")});
    QCOMPARE(run.code, 0);
    QCOMPARE(placementLines(dir.filePath("s.txt")),
             QStringList{dir.filePath("in/" + bom) + ",4,3,0,0"});
    const QByteArray raw = QFile::encodeName(dir.filePath("in")) + "/\xff.png";
    const auto removeRaw = qScopeGuard([&] { ::unlink(raw.constData()); });
    QVERIFY(QFile::copy(dir.filePath("in/" + bom), dir.filePath("in/c.png")));
    QCOMPARE(::rename(QFile::encodeName(dir.filePath("in/c.png")).constData(), raw.constData()), 0);
    // The name goes to korvane-pack as raw bytes, which QProcess cannot pass.
    const auto packRaw = [&](const QString &option) {
        return pack({"-c", "exec \"$0\" $1 -o \"$2\" \"$3\" \"$(printf '%s/\\377.png' \"$4\")\"",
                     KORVANE_PACK, option, dir.filePath("t.png"), dir.filePath("in/" + bom),
                     dir.filePath("in")},
                    QString(), "/bin/sh");
    };
    run = packRaw("-m0");
    QCOMPARE(run.code, 1);
    QVERIFY2(run.err.contains(dir.path() + "/in/\\xff.png: the file name is not valid"),
             qPrintable(run.err));
    run = packRaw("--skip-unreadable");
    QCOMPARE(run.code, 0);
    QVERIFY2(run.err.contains("skipping " + dir.path() + "/in/\\xff.png: the file name"),
             qPrintable(run.err));
    // One whose name is U+FFFD itself reads as the same text, yet decodes: it
    // is packed, not skipped in the other's place.
    const QString replacement = dir.filePath(QString("in/%1.png").arg(QChar(0xfffd)));
    QVERIFY(savePng(patternImage(2, 5, 1), replacement));
    run = pack({"-c",
                "exec \"$0\" --skip-unreadable -m0 -o \"$1\" \"$2\" \"$(printf '%s/\\377.png' "
                "\"$3\")\"",
                KORVANE_PACK, dir.filePath("t.png"), replacement, dir.filePath("in")},
               QString(), "/bin/sh");
    QVERIFY2(run.code == 0, qPrintable(run.err));
    QCOMPARE(placementLines(dir.filePath("t.txt")), QStringList{replacement + ",2,5,0,0"});
    QVERIFY(QFile::remove(replacement));
    // An output whose name does not decode is refused rather than written
    // under the name it reads as, here the same as a skipped INPUT's.
    run = pack({"-c",
                "cd \"$1\" && exec \"$0\" -o \"$(printf '\\376.png')\" --skip-unreadable "
                "\"$2\" \"$(printf '\\377.png')\"",
                KORVANE_PACK, dir.filePath("in"), bom},
               QString(), "/bin/sh");
    QCOMPARE(run.code, 2);
    QVERIFY2(run.err.contains(".png: the name is not valid"), qPrintable(run.err));
    QVERIFY(!QFileInfo::exists(dir.filePath(QString("in/%1.png").arg(QChar(0xfffd)))));
    // So is a settings file's, before it is looked for by the name it reads as.
    run = pack({"-c", "cd \"$1\" && exec \"$0\" --config \"$(printf '\\377.xml')\" -o s.png \"$2\"",
                KORVANE_PACK, dir.filePath("in"), bom},
               QString(), "/bin/sh");
    QCOMPARE(run.code, 2);
    QVERIFY2(run.err.contains("\\xff.xml: the name is not valid"), qPrintable(run.err));
    // And so is one given in one argument with its option.
    run = pack({"-c",
                "cd \"$1\" && exec \"$0\" \"$(printf %b '--config=\\377.xml')\" -o s.png \"$2\"",
                KORVANE_PACK, dir.filePath("in"), bom},
               QString(), "/bin/sh");
    QCOMPARE(run.code, 2);
    QVERIFY2(run.err.startsWith("korvane-pack: \\xff.xml: the name is not valid"),
             qPrintable(run.err));
    // And under --watch with a broken pack file, before watching it.
    QVERIFY(writeFileBytes(dir.filePath("broken.json"), "{"));
    run = pack({"-c",
                "cd \"$1\" && exec timeout 20 \"$0\" --watch --pack broken.json -o "
                "\"$(printf '\\376.png')\"",
                KORVANE_PACK, dir.path()},
               QString(), "/bin/sh");
    QCOMPARE(run.code, 2);
    QVERIFY2(run.err.contains("\\xfe.png: the name is not valid"), qPrintable(run.err));
    // A sheet name that leaves no room for the manifest's suffix.
    run = pack({"-o", dir.filePath(QString(251, 'n') + ".png"), dir.filePath("in/" + bom)});
    QVERIFY2(run.code == 0, qPrintable(run.err));
    // Gone, it fails the run: --skip-unreadable skips only files that exist.
    QCOMPARE(::unlink(raw.constData()), 0);
    run = packRaw("--skip-unreadable");
    QCOMPARE(run.code, 1);
    QVERIFY2(run.err.contains(dir.path() + "/in/\\xff.png: no such file or folder"),
             qPrintable(run.err));
    // There but not to be reached, as in a folder that may not be searched.
    QCOMPARE(::symlink(raw.constData(), raw.constData()), 0);
    run = packRaw("--skip-unreadable");
    QCOMPARE(run.code, 1);
    QVERIFY2(run.err.contains(dir.path() + "/in/\\xff.png: " + qt_error_string(ELOOP)),
             qPrintable(run.err));
}

void TestPack::folderInputTakesPngFilesOnly()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("in/sub");
    QDir(dir.path()).mkpath("in/folder.png");
    for (const char *name :
         {"in/upper.PNG", "in/mixed.Png", "in/lower.png", "in/sub/deep.png", "in/:colon.png"})
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
    QCOMPARE(paths, (QStringList{in + "/:colon.png", in + "/lower.png", in + "/mixed.Png",
                                 in + "/upper.PNG"}));
    // Given directly, relative to the working folder, too.
    QCOMPARE(pack({"-o", dir.filePath("t.png"), ":colon.png"}, in).code, 0);
    QCOMPARE(placementLines(dir.filePath("t.txt")), QStringList{"./:colon.png,4,3,2,2"});
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
    // Lost on a full disk, it is no success.
    const Run full =
        pack({"-c", "exec \"$0\" \"$1\" >/dev/full", KORVANE_PACK, option}, QString(), "/bin/sh");
    QCOMPARE(full.code, 1);
    QCOMPARE(full.err, QString("korvane-pack: could not write to standard output\n"));
    // So it is with no reader left, reported rather than a death by SIGPIPE.
    const char *const closedPipe = "import os, signal, sys\n"
                                   "r, w = os.pipe()\nos.close(r)\nos.dup2(w, 1)\n"
                                   "signal.signal(signal.SIGPIPE, signal.SIG_DFL)\n"
                                   "os.execv(sys.argv[1], sys.argv[1:])\n";
    const Run closed = pack({"-c", closedPipe, KORVANE_PACK, option}, QString(), "python3");
    QCOMPARE(closed.code, 1);
    QCOMPARE(closed.err, full.err);
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
    QTest::addColumn<QString>("sheet"); // -o, run in the test's folder
    for (const char *layout : {"rows", "compact"}) {
        for (const char *format : {"json-hash", "json-array", "phaser3", "libgdx", "css"}) {
            QTest::addRow("%s, %s", format, layout)
                << QString::fromLatin1(format) << QString::fromLatin1(layout) << "$DIR/s.png";
        }
    }
    // Named from the data file's folder, not as a path into Qt's resources.
    QTest::newRow("json-hash, sheet named ':s.png' in the working folder") << "json-hash"
                                                                           << "rows"
                                                                           << ":s.png";
    // A URL would end the path at "#" or "?" and decode "%41".
    QTest::newRow("phaser3, sheet named with URL syntax") << "phaser3"
                                                          << "rows"
                                                          << "$DIR/s#1?%41.png";
    // A ".." after a link leads to the parent of the folder linked to (in/):
    // the sheet is beside the data file, not in sub/.
    QTest::newRow("json-hash, sheet named with '..' after a link") << "json-hash"
                                                                   << "rows"
                                                                   << "$DIR/sub/link/../s.png";
    // The same with the data file named through a link to its folder ($VIA).
    QTest::newRow("json-hash, '..' after a link, data file named through a link")
        << "json-hash"
        << "rows"
        << "$VIA/sub/link/../s.png";
    // The other way round: the data file named with '..' after a link.
    QTest::newRow("json-hash, sheet named through a link, data file with '..' after a link")
        << "json-hash"
        << "rows"
        << "$DIR/via/s.png";
    // "<" escaped, so that the rules may go into an HTML style element.
    QTest::newRow("css, sheet named with markup") << "css"
                                                  << "rows"
                                                  << "$DIR/s<b>.png";
}

void TestPack::dataFormatsMatchPlacement()
{
    QFETCH(QString, format);
    QFETCH(QString, layout);
    QFETCH(QString, sheet);
    QTemporaryDir dir;
    QVERIFY(saveNamingImages(dir));
    const QString direct = dir.filePath("direct.png");
    const QString data = dir.filePath(sheet.startsWith("$VIA/")       ? "via/s.data"
                                      : sheet.startsWith("$DIR/via/") ? "sub/link/../s.data"
                                                                      : "s.data");
    sheet.replace("$DIR", dir.path()).replace("$VIA", dir.filePath("via"));
    QVERIFY(QDir(dir.path()).mkpath("sub") && QFile::link("../in", dir.filePath("sub/link")));
    QVERIFY(QFile::link(".", dir.filePath("via")));
    const Run run = pack({"--layout", layout, "--data", data, "--format", format, "-o", sheet,
                          dir.filePath("in"), direct},
                         dir.path());
    QCOMPARE(run.code, 0);

    // What the placement file and the sheet say, with frame names as in JSON.
    const QString sheetName = sheet.section('/', -1);
    const QString sheetPath = dir.path() + '/' + sheetName; // filePath() keeps ":s.png"
    const QSize size = QImage(sheetPath).size();
    QStringList expected{QString("%1\t%2\t%3").arg(sheetName).arg(size.width()).arg(size.height())};
    for (const QString &line : placementLines(sheetPath.chopped(3) + QLatin1String("txt"))) {
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
        QVERIFY(!readFileBytes(data).contains('<'));
        for (QString &line : read) {
            QString url = line.section('\t', 0, 0);
            const QRegularExpression escape("\\\\([0-9a-f]{1,6}) ?");
            QRegularExpressionMatch m;
            for (int at = 0; (m = escape.match(url, at)).hasMatch(); at = m.capturedStart() + 1)
                url.replace(m.capturedStart(), m.capturedLength(),
                            QChar(m.captured(1).toUInt(nullptr, 16)));
            QCOMPARE(QUrl::fromPercentEncoding(url.toUtf8()), sheetName);
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
    QTest::newRow("colours made grey in PGM") << QStringList{} << "s.pgm";
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
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<int>("sheets");
    for (const char *format : {"json-hash", "json-array", "phaser3", "libgdx", "css"}) {
        QTest::addRow("%s, numbered by suffix", format)
            << QString::fromLatin1(format) << "s" << QStringList() << multipackSheets;
        QTest::addRow("%s, {n}", format)
            << QString::fromLatin1(format) << "s_{n}" << QStringList() << multipackSheets;
    }
    // Each page in a folder of its own: the data files name the other pages
    // and the sheets by their paths from the data file's folder.
    for (const char *format : {"json-hash", "phaser3"}) {
        QTest::addRow("%s, {n} in a folder", format)
            << QString::fromLatin1(format) << "d{n}/s" << QStringList() << multipackSheets;
    }
    // The split makes room for the extrusion: boxes of 36 and 18 pixels
    // leave room for one image a sheet.
    QTest::newRow("libgdx, extruded") << "libgdx"
                                      << "s" << QStringList{"--extrude", "3"} << 6;
}

void TestPack::multipackSplitsAndNames()
{
    QFETCH(QString, format);
    QFETCH(QString, output);
    QFETCH(QStringList, extra);
    QFETCH(int, sheets);
    QTemporaryDir dir;
    QVERIFY(saveMultipackImages(dir));
    for (int n = 0; n < sheets && output.contains('/'); ++n)
        QVERIFY(
            QDir(dir.path()).mkpath(QFileInfo(output).path().replace("{n}", QString::number(n))));
    // A single data file's folder; the manifest goes beside the first sheet.
    QVERIFY(QDir(dir.path()).mkpath(QFileInfo(output).path()));
    const Run run = pack(extra + QStringList{"--multipack", "--max-size", "40x40", "--format",
                                             format, "--data", dir.filePath(output + ".data"), "-o",
                                             dir.filePath(output + ".png"), dir.filePath("in")});
    QVERIFY2(run.code == 0, qPrintable(run.err));
    if (output.startsWith("d{n}/"))
        QVERIFY(QFile::exists(dir.filePath("d0/s.korvane-manifest")));
    const bool onePerSheet = format != "phaser3" && format != "libgdx";
    const auto named = [&](int n, const QString &suffix) {
        if (output.contains("{n}"))
            return dir.filePath(QString(output).replace("{n}", QString::number(n)) + suffix);
        return dir.filePath(n == 0 ? output + suffix : QString("s-%1%2").arg(n).arg(suffix));
    };
    const QString single = dir.filePath(output + ".data");
    const auto seenFrom = [](const QString &data, const QString &path) {
        return QFileInfo(data).dir().relativeFilePath(path);
    };

    QStringList expected;
    QStringList read;
    QSet<QString> placed;
    for (int n = 0; n < sheets; ++n) {
        const QImage sheet = QImage(named(n, ".png")).convertToFormat(QImage::Format_ARGB32);
        QVERIFY2(sheet.width() <= 40 && sheet.height() <= 40, qPrintable(named(n, ".png")));
        if (onePerSheet || n == 0)
            expected.clear();
        expected << QString("%1\t%2\t%3")
                        .arg(seenFrom(onePerSheet ? named(n, ".data") : single, named(n, ".png")))
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
        if (!onePerSheet && n < sheets - 1)
            continue;
        const QString data = onePerSheet ? named(n, ".data") : single;
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
                for (int m = 0; m < sheets; ++m) {
                    if (m != n)
                        others << seenFrom(data, named(m, ".data"));
                }
                const QJsonObject meta =
                    QJsonDocument::fromJson(readFileBytes(data)).object().value("meta").toObject();
                QCOMPARE(meta.value("related_multi_packs").toVariant().toStringList(), others);
            }
        }
        QCOMPARE(read, expected);
    }
    QCOMPARE(placed.size(), 6);
    QVERIFY(!QFile::exists(named(sheets, ".png")));
}

// An animation spread over sheets is named: PixiJS plays each sheet's JSON
// file on its own, so its frames on the other sheets go missing there.
void TestPack::multipackNamesSplitAnimations()
{
    QTemporaryDir dir;
    for (const char *name : {"walk_1.png", "walk_2.png", "jump_1.png"})
        QVERIFY(savePng(patternImage(12, 12, 1), dir.filePath(QString::fromLatin1(name))));
    const Run run =
        pack({"--multipack", "--max-size", "16x16", "--animations", "--data",
              dir.filePath("s.json"), "--format", "json-hash", "-o", dir.filePath("s.png"),
              dir.filePath("walk_1.png"), dir.filePath("walk_2.png"), dir.filePath("jump_1.png")});
    QCOMPARE(run.code, 0);
    QVERIFY2(run.err.contains("animation \"" + dir.filePath("walk") + "\" has frames on sheets ") &&
                 !run.err.contains("jump"),
             qPrintable(run.err));
    // A data file that cannot be made fails the run, which then warns of nothing else.
    QVERIFY(savePng(patternImage(12, 12, 1), dir.filePath("a:b.png")));
    const Run failed =
        pack({"--multipack", "--max-size", "16x16", "--animations", "--data",
              dir.filePath("s.json"), "--format", "json-hash", "--data", dir.filePath("s.atlas"),
              "--format", "libgdx", "-o", dir.filePath("s.png"), dir.filePath("walk_1.png"),
              dir.filePath("walk_2.png"), dir.filePath("a:b.png")});
    QCOMPARE(failed.code, 1);
    QVERIFY2(failed.err.count('\n') == 1 && failed.err.contains("libGDX"), qPrintable(failed.err));
}

// Two pairs of duplicates too large to share a sheet: each sheet's report
// counts its own pair.
void TestPack::multipackCountsSharedRegionsPerSheet()
{
    QTemporaryDir dir;
    QStringList inputs;
    for (const int side : {30, 30, 12, 12}) {
        inputs << dir.filePath(QString("%1-%2.png").arg(side).arg(inputs.size()));
        QVERIFY(savePng(patternImage(side, side, side), inputs.last()));
    }
    const Run run = pack(QStringList{"--multipack", "--max-size", "40x40", "--alias", "--verbose",
                                     "-o", dir.filePath("s.png")} +
                         inputs);
    QVERIFY2(run.code == 0, qPrintable(run.err));
    QCOMPARE(run.out.count("2 images share 1 regions\nsheet "), 2);
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
    // An old page packed as an image is an input now, not a page to remove.
    QCOMPARE(pack(arguments + QStringList{dir.filePath("s-3.png")}).code, 0);
    QVERIFY(QFile::exists(dir.filePath("s-3.png")));
    QVERIFY(!QFile::exists(dir.filePath("s-3.json")));
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

    // A data file named like a page of a run that made no such page.
    const QStringList single{"-o", dir.filePath("t.png"), dir.filePath("in")};
    QCOMPARE(pack(single + QStringList{"--json", dir.filePath("t-1.json")}).code, 0);
    QCOMPARE(pack(single + QStringList{"--json", dir.filePath("t.json")}).code, 0);
    QVERIFY(QFile::exists(dir.filePath("t-1.json")));

    // Pages named otherwise than the run that wrote them named them.
    QTemporaryDir spelled;
    QVERIFY(saveMultipackImages(spelled));
    const QStringList split{"--multipack", "--max-size", "40x40", "--json"};
    QCOMPARE(pack(split + QStringList{"s.json", "-o", "s.png", "in"}, spelled.path()).code, 0);
    QVERIFY(QFile::exists(spelled.filePath("s-3.json")));
    QVERIFY(QFile::remove(spelled.filePath("in/0.png")) &&
            QFile::remove(spelled.filePath("in/1.png")));
    QCOMPARE(
        pack(split + QStringList{"./s.json", "-o", spelled.filePath("s.png"), "in"}, spelled.path())
            .code,
        0);
    QCOMPARE(entriesIn(spelled.path()).filter(QRegularExpression("^s-[23]\\.")), QStringList());
}

// A page written again, byte for byte, as a sheet of its own (by another
// run, or by another sheet of a pack file) is that sheet's now.
void TestPack::pageThatBecameASheetIsKept()
{
    QTemporaryDir dir;
    QVERIFY(saveMultipackImages(dir));
    const QStringList arguments{"--multipack", "--max-size", "40x40", "-o", dir.filePath("s.png")};
    QCOMPARE(pack(arguments + QStringList{dir.filePath("in")}).code, 0);
    QStringList pageInputs{"-o", dir.filePath("s-2.png")};
    for (const QString &line : placementLines(dir.filePath("s-2.txt")))
        pageInputs << line.section(',', 0, 0);
    const QByteArray page = readFileBytes(dir.filePath("s-2.png"));
    QCOMPARE(pack(pageInputs).code, 0);
    QCOMPARE(readFileBytes(dir.filePath("s-2.png")), page);
    QCOMPARE(pack(arguments + QStringList{dir.filePath("in/0.png")}).code, 0);
    QCOMPARE(readFileBytes(dir.filePath("s-2.png")), page);
    QVERIFY(QFile::exists(dir.filePath("s-2.txt")));
}

// What is stale is decided with the lock held: a page edited while the run
// waits for another run's lock is no longer the one Korvane wrote.
void TestPack::stalePageEditedWhileWaitingIsKept()
{
    QTemporaryDir dir;
    QVERIFY(saveMultipackImages(dir));
    const QStringList arguments{"--multipack", "--max-size",          "40x40",
                                "-o",          dir.filePath("s.png"), dir.filePath("in")};
    QCOMPARE(pack(arguments).code, 0);
    for (const char *image : {"in/1.png", "in/2.png", "in/3.png"})
        QVERIFY(QFile::remove(dir.filePath(image)));
    const int lock = ::open(QFile::encodeName(dir.filePath("s.png.lock")).constData(),
                            O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    QVERIFY(lock >= 0 && ::flock(lock, LOCK_EX) == 0);
    auto run = std::async(std::launch::async, [&] { return pack(arguments); });
    QThread::msleep(1500); // staged by now, waiting for the lock
    QVERIFY(writeFileBytes(dir.filePath("s-3.txt"), "edited"));
    ::close(lock);
    QCOMPARE(run.get().code, 0);
    QCOMPARE(readFileBytes(dir.filePath("s-3.txt")), QByteArray("edited"));
    QVERIFY(!QFile::exists(dir.filePath("s-3.png")));
}

void TestPack::updateSkipsOnlyUnchanged_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("upToDate");
    QTest::newRow("nothing changed") << "" << true;
    QTest::newRow("one pixel changed") << "pixel" << false;
    QTest::newRow("one pixel changed past the probe's first read") << "far pixel" << false;
    QTest::newRow("a JPEG changed") << "jpeg" << false;
    QTest::newRow("input renamed") << "rename" << false;
    QTest::newRow("option changed") << "margin" << false;
    QTest::newRow("output edited") << "output" << false;
    // The first and the last output the manifest lists.
    QTest::newRow("placement file edited") << "edited s.txt" << false;
    QTest::newRow("sheet edited") << "edited s.png" << false;
    // The same files, shown by another path in the placement file.
    QTest::newRow("input folder named by a relative path") << "relative" << false;
    QTest::newRow("JSON file written in another format") << "format" << false;
    QTest::newRow("manifest foreign") << "manifest" << false;
    QTest::newRow("manifest of another version") << "version" << false;
    // Anyone who may write the folder could have made it, listing their files.
    QTest::newRow("manifest of another user") << "owner" << false;
    // Who owns the folder may replace any file in it anyway (root's run in a user's project).
    QTest::newRow("manifest of the folder's owner") << "folder owner" << true;
    QTest::newRow("trim threshold changed") << "threshold" << false;
    QTest::newRow("PNG level changed") << "png level" << false;
    QTest::newRow("manifest missing") << "no manifest" << false;
    QTest::newRow("manifest leaves out the JSON file, which is gone") << "unlisted" << false;
    QTest::newRow("manifest leaves out the last page, which is gone") << "unlisted page" << false;
    // Without its count of pages, a manifest cannot tell whether it lists them all.
    QTest::newRow("manifest leaves out the last page and the page count")
        << "uncounted page" << false;
    QTest::newRow("manifest with a negative page count leaves out the last page")
        << "negative page" << false;
    QTest::newRow("manifest lists the JSON file, which is gone, with no hash")
        << "unhashed" << false;
    // Killed putting its set in place: every listed output may be new, its
    // files to remove not yet gone.
    QTest::newRow("journal of a run killed in its commit") << "journal" << false;
    QTest::newRow("nothing changed, a name starting with U+FEFF") << "bom" << true;
    QTest::newRow("nothing changed, a dangling link skipped") << "dangling" << true;
    // In the run's folder: no path into Qt's resources.
    QTest::newRow("nothing changed, outputs named with a leading ':'") << "colon" << true;
    // Its manifest is its own, not that of "s.png" packed in between.
    QTest::newRow("nothing changed, a sheet named with a leading U+FEFF") << "bom sheet" << true;
    // The same name of the JSON file from another folder, beside the same
    // sheet: its path to the sheet is not the same.
    QTest::newRow("JSON file named from another working folder") << "cwd" << false;
    QTest::newRow("nothing changed, the sheet and JSON file named otherwise") << "spelled" << true;
    QTest::newRow("nothing changed, the sheet named without its suffix") << "no suffix" << true;
    // Read-only, as a version control system leaves files not opened for
    // editing: nothing to write, so no refusal.
    QTest::newRow("nothing changed, outputs read-only") << "read-only" << true;
    QTest::newRow("input added") << "add" << false;
    // The same paths, named in the data files as given rather than from their folder.
    QTest::newRow("inputs named one by one instead of by their folder") << "files" << false;
    // "A>B": the first run takes option A, the next B instead.
    QTest::newRow("extrude changed") << "--extrude=1>--extrude=2" << false;
    QTest::newRow("pivot changed") << "--pivot=0,0>--pivot=1,1" << false;
    QTest::newRow("layout changed") << "--layout=rows>--layout=compact" << false;
    QTest::newRow("premultiply added") << "--verbose>--premultiply" << false;
    QTest::newRow("animations added") << "--verbose>--animations" << false;
    QTest::newRow("power of two added") << "--verbose>--power-of-two" << false;
    QTest::newRow("alias added") << "--verbose>--alias" << false;
    QTest::newRow("trim added") << "--verbose>--trim" << false;
    // A trailing '!': the options the inputs no longer meet fail the run.
    QTest::newRow("size limit the sheet outgrows") << "--max-size=64x64>--max-size=8x8!" << false;
    QTest::newRow("pixel limit the sheet outgrows")
        << "--max-sheet-pixels=4096>--max-sheet-pixels=64!" << false;
    // Under --skip-unreadable, an image beyond it is left out.
    QTest::newRow("image pixel limit added") << "image limit" << false;
}

void TestPack::updateSkipsOnlyUnchanged()
{
    QFETCH(QString, change);
    QFETCH(bool, upToDate);
    QTemporaryDir dir;
    QVERIFY(saveNamingImages(dir));
    // Noise, so that the file is far longer than what the probe reads first.
    QImage noise(128, 128, QImage::Format_ARGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < noise.height(); ++y)
        random.fillRange(reinterpret_cast<quint32 *>(noise.scanLine(y)), noise.width());
    if (change == "far pixel")
        QVERIFY(savePng(noise, dir.filePath("in/a.png")) &&
                QFileInfo(dir.filePath("in/a.png")).size() > 4 * 16384);
    if (change == "jpeg")
        QVERIFY(patternImage(8, 8, 1).save(dir.filePath("in/c.jpg"), "JPEG"));
    if (change == "bom")
        QVERIFY(
            savePng(patternImage(3, 3, 5), dir.filePath("in/" + QString(QChar(0xfeff)) + "b.png")));
    QStringList arguments{
        "--update",        "--json", dir.filePath("s.json"), "-o", dir.filePath("s.png"),
        dir.filePath("in")};
    const QString stem = change == "colon"       ? ":s"
                         : change == "bom sheet" ? QChar(0xfeff) + QString("s")
                                                 : "s";
    if (change == "colon" || change == "bom sheet" || change == "cwd")
        arguments = QStringList{"--update", "--json",      stem + ".json",
                                "-o",       stem + ".png", dir.filePath("in")};
    if (change == "cwd")
        arguments[4] = dir.filePath("s.png");
    if (change == "jpeg")
        arguments << dir.filePath("in/c.jpg"); // folders give only their PNGs
    if (change == "threshold" || change == "image limit")
        arguments.prepend(change == "threshold" ? "--trim" : "--skip-unreadable");
    const bool fails = change.endsWith('!');
    const QStringList swap =
        change.startsWith("--") ? change.chopped(fails ? 1 : 0).split('>') : QStringList();
    if (swap.size() == 2)
        arguments.prepend(swap[0]);
    if (change.endsWith(" page")) // a.png and b.png, then the third on a page of its own
        arguments = QStringList{"--multipack", "--max-size", "34x20"} + arguments;
    if (change == "dangling") {
        QVERIFY(QFile::link(dir.filePath("nowhere.png"), dir.filePath("in/d.png")));
        arguments.prepend("--skip-unreadable");
    }
    QCOMPARE(pack(arguments, dir.path()).code, 0);
    // filePath() would keep ":s.png" as it is.
    QStringList outputs{dir.path() + '/' + stem + ".png", dir.path() + '/' + stem + ".txt",
                        dir.path() + '/' + stem + ".json"};
    QString folder = dir.path(); // where the runs after the first are made
    if (change == "cwd") {
        folder = dir.filePath("sub");
        QVERIFY(QDir().mkdir(folder) && QFile::copy(outputs[2], folder + "/s.json"));
        outputs[2] = folder + "/s.json";
    }
    const QDateTime past = QDateTime::currentDateTime().addDays(-1);
    for (const QString &name : outputs) {
        QFile file(name);
        QVERIFY(file.open(QIODevice::ReadWrite) &&
                file.setFileTime(past, QFileDevice::FileModificationTime));
    }
    QImage changed = patternImage(10, 4, 0);
    if (change == "pixel") {
        changed.setPixel(3, 2, changed.pixel(3, 2) ^ 0x00010000);
        QVERIFY(savePng(changed, dir.filePath("in/a.png")));
    } else if (change == "far pixel") {
        noise.setPixel(127, 127, noise.pixel(127, 127) ^ 1);
        QVERIFY(savePng(noise, dir.filePath("in/a.png")));
    } else if (change == "jpeg") {
        QVERIFY(patternImage(8, 8, 2).save(dir.filePath("in/c.jpg"), "JPEG"));
    } else if (change == "rename") {
        QVERIFY(QFile::rename(dir.filePath("in/a.png"), dir.filePath("in/z.png")));
    } else if (change == "spelled") { // from the folder the runs are made in
        arguments[2] = "./s.json";
        arguments[4] = "s.png";
    } else if (change == "no suffix") {
        arguments[4].chop(4);
    } else if (change == "margin") {
        arguments.prepend("--margin=3");
    } else if (change == "output") {
        QVERIFY(writeFileBytes(dir.filePath("s.json"), "{}"));
    } else if (change.startsWith("edited ")) {
        QVERIFY(writeFileBytes(dir.filePath(change.mid(7)), "x"));
    } else if (change == "relative") {
        arguments.last() = "in";
    } else if (change == "format") {
        arguments[1] = "--data";
        arguments << "--format=json-array";
    } else if (change == "manifest") {
        QVERIFY(writeFileBytes(dir.filePath("s.korvane-manifest"), "{\"options\": \"x\"}"));
    } else if (change == "owner" || change == "folder owner") {
        if (chown(QFile::encodeName(dir.filePath("s.korvane-manifest")).constData(), 65534,
                  65534) != 0 ||
            (change == "folder owner" &&
             chown(QFile::encodeName(dir.path()).constData(), 65534, 65534) != 0))
            QSKIP("Giving a file to another user needs root.");
    } else if (change == "threshold") {
        arguments.prepend("--trim-threshold=9");
    } else if (change == "image limit") { // 10x4 a.png within it, 30x6 b.png beyond
        arguments.prepend("--max-image-pixels=100");
    } else if (change == "png level") {
        arguments.prepend("--png-level=fast");
    } else if (swap.size() == 2) {
        arguments.replace(0, swap[1]);
    } else if (change == "add") { // last in path order
        QVERIFY(savePng(patternImage(3, 3, 4), dir.filePath("z.png")));
        arguments << dir.filePath("z.png");
    } else if (change == "files") {
        arguments.removeLast();
        for (const QString &name : QDir(dir.filePath("in")).entryList({"*.png"}))
            arguments << dir.filePath("in/" + name);
    } else if (change == "version") {
        QJsonObject manifest =
            QJsonDocument::fromJson(readFileBytes(dir.filePath("s.korvane-manifest"))).object();
        manifest.insert("korvane-manifest", 2);
        QVERIFY(
            writeFileBytes(dir.filePath("s.korvane-manifest"), QJsonDocument(manifest).toJson()));
    } else if (change == "bom sheet") {
        QCOMPARE(pack({"-o", "s.png", dir.filePath("in")}, dir.path()).code, 0);
    } else if (change == "no manifest") {
        QVERIFY(QFile::remove(dir.filePath("s.korvane-manifest")));
    } else if (change == "journal") {
        QVERIFY(writeFileBytes(dir.filePath("s.png.korvane-journal"), "korvane-journal 1\n"));
    } else if (change == "unlisted" || change.endsWith(" page") || change == "unhashed") {
        const QStringList gone = !change.endsWith(" page")
                                     ? QStringList{"s.json"}
                                     : QStringList{"s-1.png", "s-1.txt", "s-1.json"};
        QJsonObject manifest =
            QJsonDocument::fromJson(readFileBytes(dir.filePath("s.korvane-manifest"))).object();
        QJsonArray listed;
        for (const QJsonValue &output : manifest.value("outputs").toArray()) {
            if (!gone.contains(QFileInfo(output.toArray().first().toString()).fileName()))
                listed.append(output);
        }
        QCOMPARE(listed.size(), manifest.value("outputs").toArray().size() - gone.size());
        if (change == "unhashed") // as a missing file hashes
            listed.append(QJsonArray{dir.filePath("s.json"), ""});
        if (change == "uncounted page")
            manifest.remove("sheets");
        if (change == "negative page")
            manifest.insert("sheets", -1);
        manifest.insert("outputs", listed);
        QVERIFY(
            writeFileBytes(dir.filePath("s.korvane-manifest"), QJsonDocument(manifest).toJson()));
        for (const QString &name : gone)
            QVERIFY(QFile::remove(dir.filePath(name)));
    }

    if (change == "read-only") {
        for (const QString &name : outputs + QStringList{dir.filePath("s.korvane-manifest")})
            QVERIFY(QFile::setPermissions(name, QFileDevice::ReadOwner | QFileDevice::ReadOther));
    }
    const Run run =
        change == "read-only" ? packAsUser(arguments, dir, folder) : pack(arguments, folder);
    if (run.code == -1 && run.err.isEmpty() && change == "read-only")
        QSKIP("user 65534 cannot run the program from the temporary folder");
    if (fails) {
        QVERIFY2(run.code == 1 && !run.out.contains("is up to date"), qPrintable(run.out));
        for (const QString &name : outputs)
            QVERIFY2(qAbs(QFileInfo(name).lastModified().secsTo(past)) < 2, qPrintable(name));
        return;
    }
    QVERIFY2(run.code == 0, qPrintable(run.err));
    QCOMPARE(run.out.contains("is up to date"), upToDate);
    for (const QString &name : outputs) {
        const QDateTime modified = QFileInfo(name).lastModified();
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
    if (change == "cwd")
        QVERIFY(readFileBytes(outputs[2]).contains("\"image\": \"../s.png\""));
    // The run after this one has nothing to do either way, but where the
    // manifest is still that user's, as root gives a file back to its owner.
    QCOMPARE(pack(arguments, folder).out.contains("is up to date"), change != "owner");
}

void TestPack::packFileErrorsHavePositions_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message"); // after "FILE:"
    const QByteArray head = "{\"sheets\": [\n  {\"output\": \"s.png\", \"inputs\": [\"a.png\"],\n";
    QTest::newRow("syntax error") << QByteArray("{\"sheets\": [\n  {\"output\": \"s.png\",, }]}")
                                  << "2:23: ";
    QTest::newRow("only a byte order mark") << QByteArray("\xef\xbb\xbf") << "1:1: ";
    QTest::newRow("empty file") << QByteArray() << "1:1: ";
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
    QTest::newRow("extrude beyond its range")
        << head + "   \"extrude\": 33}]}"
        << "3:4: \"extrude\": must be a whole number from 0 to 32";
    QTest::newRow("column counts characters")
        << head + "   \"\xc3\xa4\": 1, \"max-size\": \"4096\"}]}"
        << "3:12: \"max-size\": must be \"WIDTHxHEIGHT\"";
    QTest::newRow("column counts a character beyond U+FFFF once")
        << head + "   \"\xf0\x9f\x98\x80\": 1, \"max-size\": \"4096\"}]}"
        << "3:12: \"max-size\": must be \"WIDTHxHEIGHT\"";
    QTest::newRow("unknown format")
        << head + "   \"data\": [{\"file\": \"d\", \"format\": \"yaml\"}]}]}"
        << "3:4: \"data\": unknown format \"yaml\"";
    QTest::newRow("glob matches nothing") << QByteArray("{\"sheets\": [{\"output\": \"s.png\",\n"
                                                        " \"inputs\": [\"art/**/*.gif\"]}]}")
                                          << "2:2: \"inputs\": \"art/**/*.gif\" matches no file";
    // Cleaned, "*/.." would drop the wildcard and match s.png, which the
    // first sheet writes; no folder walk ever reaches a "..".
    QTest::newRow("glob through \"..\" no earlier sheet can satisfy")
        << head + "   \"margin\": 1}, {\"output\": \"t.png\", \"inputs\": [\"*/../s*.png\"]}]}"
        << "3:38: \"inputs\": \"*/../s*.png\" matches no file";
    // An earlier sheet's output that the walk would never match is not waited for.
    QTest::newRow("\"*\" waits for no earlier output in a folder below")
        << QByteArray("{\"sheets\": [{\"output\": \"art/sub/s.png\", \"inputs\": [\"a.png\"]},\n"
                      " {\"output\": \"t.png\", \"inputs\": [\"art/*.png\"]}]}")
        << "2:22: \"inputs\": \"art/*.png\" matches no file";
    QTest::newRow("\"?\" waits for no earlier output across a \"/\"")
        << QByteArray("{\"sheets\": [{\"output\": \"art/s.png\", \"inputs\": [\"a.png\"]},\n"
                      " {\"output\": \"t.png\", \"inputs\": [\"art?s.png\"]}]}")
        << "2:22: \"inputs\": \"art?s.png\" matches no file";
    QTest::newRow("two sheets, one output")
        << head + "   \"margin\": 1}, {\"output\": \"s.png\", \"inputs\": [\"a.png\"]}]}"
        << " sheets \"s\" and \"s\" would both write";
    QTest::newRow("two sheets, one output in another case on FAT")
        << QByteArray("{\"sheets\": [{\"output\": \"fat/s.png\", \"inputs\": [\"a.png\"]},\n"
                      " {\"output\": \"fat/S.png\", \"inputs\": [\"a.png\"]}]}")
        << " sheets \"s\" and \"S\" would both write";
    QTest::newRow("json ends in a slash") << head + "   \"json\": \"meta/\"}]}"
                                          << "3:4: \"json\": \"meta/\" names no file";
    QTest::newRow("json ends in a dot") << head + "   \"json\": \"meta/.\"}]}"
                                        << "3:4: \"json\": \"meta/.\" names no file";
    QTest::newRow("json ends in two dots") << head + "   \"json\": \"meta/..\"}]}"
                                           << "3:4: \"json\": \"meta/..\" names no file";
    QTest::newRow("empty json path") << head + "   \"json\": \"\"}]}"
                                     << "3:4: \"json\": must be a path";
    QTest::newRow("trim threshold beyond its range")
        << head + "   \"trim-threshold\": 255}]}"
        << "3:4: \"trim-threshold\": must be a whole number from 0 to 254";
    QTest::newRow("pivot out of range")
        << head + "   \"pivot\": \"0.5,1.5\"}]}"
        << "3:4: \"pivot\": must be \"X,Y\" with each a number from 0 to 1";
    QTest::newRow("name not a string") << head + "   \"name\": 5}]}"
                                       << "3:4: \"name\": must be a string";
    QTest::newRow("layout not in the list") << head + "   \"layout\": \"grid\"}]}"
                                            << "3:4: \"layout\": must be \"rows\" or \"compact\"";
    QTest::newRow("empty input")
        << QByteArray("{\"sheets\": [{\"output\": \"s.png\", \"inputs\": [\"\"]}]}")
        << "1:33: \"inputs\": must be a list of paths";
    QTest::newRow("input with a lone surrogate")
        << QByteArray("{\"sheets\": [{\"output\": \"s.png\", \"inputs\": [\"a\\ud800.png\"]}]}")
        << "1:33: \"inputs\": a path holds a character that is not valid Unicode";
    QTest::newRow("output with a lone surrogate")
        << QByteArray("{\"sheets\": [{\"output\": \"o\\ud800.png\", \"inputs\": [\"a.png\"]}]}")
        << "1:14: \"output\": a path holds a character that is not valid Unicode";
    QTest::newRow("input with a NUL, which would name another file")
        << QByteArray("{\"sheets\": [{\"output\": \"s.png\", \"inputs\": [\"a.png\\u0000.png\"]}]}")
        << "1:33: \"inputs\": a path holds a NUL character";
    QTest::newRow("data file ends in a slash")
        << head + "   \"data\": [{\"file\": \"css/\", \"format\": \"css\"}]}]}"
        << "3:4: \"data\": \"css/\" names no file";
    QTest::newRow("data entry with a third key")
        << head + "   \"data\": [{\"file\": \"d.css\", \"format\": \"css\", \"x\": 1}]}]}"
        << "3:4: \"data\": must be a list of";
    QTest::newRow("key given twice") << head + "   \"margin\": -4, \"margin\": 1}]}"
                                     << "3:18: \"margin\": given more than once";
    QTest::newRow("key given twice after a byte order mark")
        << "\xef\xbb\xbf" + head + "   \"margin\": -4, \"margin\": 1}]}"
        << "3:18: \"margin\": given more than once";
    QTest::newRow("key given twice in a data entry")
        << head +
               "   \"data\": [{\"file\": \"a.css\", \"file\": \"b.css\", \"format\": \"css\"}]}]}"
        << "3:31: \"file\": given more than once";
    // "\/" is JSON's own escape, which some writers always use.
    QTest::newRow("escaped slash is no bad escape")
        << head + "   \"json\": \"meta\\/d.json\", \"zz\": 1}]}"
        << "3:28: \"zz\": unknown key";
    QTest::newRow("backslash that is no escape, as in a Windows path")
        << head + "   \"json\": \"meta\\data.json\"}]}"
        << "3:17: invalid escape sequence \"\\d\"";
    // Refused once past the bound, so that a device without end is not
    // read until memory runs out.
    QTest::newRow("larger than 64 MiB")
        << head + QByteArray((64 << 20) - head.size(), ' ') + "\"margin\": 1}]}"
        << " larger than 64 MiB";
    // Keys are read in name order: "zz" fails only once every bound before it is taken.
    QTest::newRow("every bound taken")
        << head + "   \"extrude\": 32, \"margin\": 0, \"threads\": 256, \"trim-threshold\": 254, "
                  "\"zz\": 1}]}"
        << "3:71: \"zz\": unknown key";
#ifndef __SANITIZE_ADDRESS__ // which takes minutes over this list
    // Read under a bound on memory (below): an offset kept for each of its
    // items took 550 MB.
    QTest::newRow("a list of 4 million items under a key")
        << head + "   \"long\": [" + QByteArray("1,").repeated(4000000) + "1]}]}"
        << "3:4: \"long\": unknown key";
#endif
    QTest::newRow("max-image-pixels below its range")
        << head + "   \"max-image-pixels\": 0}]}"
        << "3:4: \"max-image-pixels\": must be a whole number from 1";
    QTest::newRow("max-sheet-pixels below its range")
        << head + "   \"max-sheet-pixels\": 0}]}"
        << "3:4: \"max-sheet-pixels\": must be a whole number from 1";
    QTest::newRow("margin beyond int")
        << head + "   \"margin\": 2147483648}]}"
        << "3:4: \"margin\": must be a whole number from 0 to 2147483647";
    QTest::newRow("no inputs") << QByteArray(
                                      "{\"sheets\": [{\"output\": \"s.png\", \"inputs\": []}]}")
                               << "1:33: \"inputs\": must be a list of paths";
    QTest::newRow("data not a list")
        << head + "   \"data\": {\"file\": \"d.css\", \"format\": \"css\"}}]}"
        << "3:4: \"data\": must be a list of";
    QTest::newRow("brackets in a pattern are no class")
        << QByteArray("{\"sheets\": [{\"output\": \"s.png\", \"inputs\": [\"[a]*.png\"]}]}")
        << "1:33: \"inputs\": \"[a]*.png\" matches no file";
    QTest::newRow("a key besides sheets")
        << QByteArray("{\"sheets\": [{\"output\": \"s.png\", \"inputs\": [\"a.png\"]}], \"x\": 1}")
        << "1:1: a pack file is";
    QTest::newRow("no sheet") << QByteArray("{\"sheets\": []}") << "1:1: a pack file is";
    QTest::newRow("sheet not an object")
        << QByteArray("{\"sheets\": [\n 1]}") << "2:2: sheet 0 is not an object";
#ifndef __SANITIZE_ADDRESS__ // which takes minutes to read 64 MiB
    QTest::newRow("exactly 64 MiB is read")
        << head + QByteArray((64 << 20) - head.size() - 10, ' ') + "\"zz\": 1}]}"
        << "3:67108799: \"zz\": unknown key";
#endif
    QTest::newRow("empty key") << head + "   \"\": 1}]}"
                               << "3:4: \"\": unknown key";
    QTest::newRow("key holding a quote") << head + "   \"x\\\"y\": 1}]}"
                                         << "3:4: \"x\"y\": unknown key";
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
    // A "%1" in the file's name is text in every message, not a place for a number.
    QVERIFY(writeFileBytes(dir.filePath("p%1.json"), text));
    QTemporaryDir elsewhere; // the FAT image changes with every file made
    std::optional<FatMount> fat;
    if (text.contains("\"fat/") &&
        (!QDir(dir.path()).mkpath("fat") ||
         !fat.emplace(elsewhere.filePath("fat.img"), dir.filePath("fat")).mounted))
        QSKIP("No FAT file system through FUSE here (mkfs.vfat, fusefat, /dev/fuse).");
    const QMap<QString, QByteArray> before = snapshot(dir.path());
    QStringList command{"--pack", dir.filePath("p%1.json")};
    if (text.contains("\"long\": ["))
        command = QStringList{"--as=" + QString::number(400 << 20), KORVANE_PACK} + command;
    const Run run = command.first() == "--pack" ? pack(command) : pack(command, {}, "prlimit");
    QCOMPARE(run.code, 2);
    QVERIFY2(run.err.startsWith("korvane-pack: " + dir.filePath("p%1.json:") + message),
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
    // Another sheet's pattern that matches nothing does not stop this one.
    QVERIFY(writeFileBytes(dir.filePath("project/u.json"), R"({"sheets": [
        {"output": "out/u.png", "inputs": ["art/b.png"]}, {"output": "v.png", "inputs": ["*.gif"]}]})"));
    QCOMPARE(pack({"--pack", "project/u.json", "--sheet", "u"}, dir.path()).code, 0);
    QCOMPARE(pack({"--pack", "p.json"}, dir.filePath("project")).code, 0);
    // No output may replace the pack file it comes from.
    const QByteArray packFile = readFileBytes(dir.filePath("project/p.json"));
    QCOMPARE(
        pack({"--pack", "p.json", "--sheet", "one", "--json", "p.json"}, dir.filePath("project"))
            .code,
        2);
    QCOMPARE(readFileBytes(dir.filePath("project/p.json")), packFile);
    // -o stands in for a sheet's "output".
    QVERIFY(writeFileBytes(dir.filePath("project/o.json"),
                           R"({"sheets": [{"inputs": ["art/b.png"]}]})"));
    QCOMPARE(pack({"--pack", "o.json", "-o", "out/o.png"}, dir.filePath("project")).code, 0);
    // A "--" that ends the command line leaves the file's INPUTs as they are.
    QCOMPARE(pack({"--pack", "p.json", "--sheet", "one", "--"}, dir.filePath("project")).code, 0);
    QCOMPARE(placementLines(dir.filePath("project/out/two.txt")), QStringList{"art/b.png,7,3,1,1"});
    // A pattern takes in what an earlier sheet of the same run wrote.
    QDir(dir.path()).mkpath("project/gen");
    QVERIFY(savePng(patternImage(2, 2, 3), dir.filePath("project/gen/s.png")));
    QVERIFY(writeFileBytes(dir.filePath("project/chain.json"), R"({"sheets": [
        {"output": "gen/g.png", "inputs": ["art/b.png"]},
        {"output": "out/chain.png", "inputs": ["gen/*.png"]}]})"));
    QCOMPARE(pack({"--pack", "chain.json"}, dir.filePath("project")).code, 0);
    QCOMPARE(placementLines(dir.filePath("project/out/chain.txt")).filter("gen/g.png,").size(), 1);
    // Also when the pattern matches nothing until that sheet is built.
    QDir(dir.path()).mkpath("project/fresh");
    QVERIFY(writeFileBytes(dir.filePath("project/fresh.json"), R"({"sheets": [
        {"output": "fresh/g.png", "inputs": ["art/b.png"]},
        {"output": "out/fresh.png", "inputs": ["fresh/*.png"]}]})"));
    QCOMPARE(pack({"--pack", "fresh.json"}, dir.filePath("project")).code, 0);
    QCOMPARE(placementLines(dir.filePath("project/out/fresh.txt")).size(), 1);
    // Under --skip-unreadable, also when it would take in that sheet's text
    // files, which are then skipped.
    QDir(dir.path()).mkpath("project/skip");
    QVERIFY(writeFileBytes(dir.filePath("project/skip.json"), R"({"sheets": [
        {"output": "skip/g.png", "inputs": ["art/b.png"]},
        {"output": "out/skip.png", "inputs": ["skip/*"], "skip-unreadable": true}]})"));
    QCOMPARE(pack({"--pack", "skip.json"}, dir.filePath("project")).code, 0);
    QCOMPARE(placementLines(dir.filePath("project/out/skip.txt")).size(), 1);
    // A pattern that cannot take in the first sheet's file (nor through a link
    // to a folder, which the search does not enter, nor through a "*" in the
    // pack file's folder name), or would take in its placement file, also
    // when it matches an image already, fails the run before that file is
    // written.
    for (const char *path : {"never", "links", "s*t", "sat/gen", "pre"})
        QVERIFY(QDir(dir.path()).mkpath(QString("project/") + path));
    QVERIFY(QFile::link("../never", dir.filePath("project/links/to")));
    QVERIFY(QFile::link("pre", dir.filePath("project/to-pre")));
    QVERIFY(savePng(patternImage(2, 2, 1), dir.filePath("project/pre/a.png")));
    for (const char *row :
         {"never.json never/g.png never/*.jpg never/g.png",
          "linked.json links/to/g.png links/*/g.png never/g.png",
          "s*t/p.json ../sat/gen/g.png gen/*.png sat/gen/g.png",
          "txt.json never/t.png never/*.txt never/t.png", "pre.json pre/t.png pre/* pre/t.png",
          "up.json links/to/../g.png links/to/?\?/g.png g.png",
          "man.json never/m.png never/*manifest never/m.png",
          "via.json to-pre/t.png pre/* pre/t.png"}) {
        const QStringList f = QString(row).split(' ');
        QVERIFY(writeFileBytes(dir.filePath("project/" + f[0]),
                               QString(R"({"sheets": [{"output": "%1", "inputs": ["%2"]},
                                   {"output": "c.png", "inputs": ["%3"]}]})")
                                   .arg(f[1], dir.filePath("project/art/b.png"), f[2])
                                   .toUtf8()));
        QCOMPARE(pack({"--pack", f[0]}, dir.filePath("project")).code, 2);
        QVERIFY2(!QFile::exists(dir.filePath("project/" + f[3])), row);
    }
    // So does one that would take in a later sheet's placement file, which
    // is there from the second run on.
    QVERIFY(writeFileBytes(dir.filePath("project/later.json"), R"({"sheets": [
        {"output": "out/later.png", "inputs": ["pre/*"]},
        {"output": "pre/t.png", "inputs": ["art/b.png"]}]})"));
    QCOMPARE(pack({"--pack", "later.json"}, dir.filePath("project")).code, 2);
    QVERIFY(!QFile::exists(dir.filePath("project/out/later.png")));
    QVERIFY(writeFileBytes(dir.filePath("project/later.json"), R"({"sheets": [
        {"output": "out/later.png", "inputs": ["pre/*"]},
        {"output": "to-pre/t.png", "inputs": ["art/b.png"]}]})"));
    QCOMPARE(pack({"--pack", "later.json"}, dir.filePath("project")).code, 2);
    QVERIFY(!QFile::exists(dir.filePath("project/out/later.png")));
    // A page that only the split makes may be another sheet's output.
    QVERIFY(writeFileBytes(dir.filePath("project/r.json"), R"({"sheets": [
        {"output": "out/m.png", "inputs": ["art/**/*.png"], "max-size": "7x5", "multipack": true,
         "margin": 0},
        {"output": "out/m-1.png", "inputs": ["art/b.png"], "margin": 1}]})"));
    QCOMPARE(pack({"--pack", "r.json"}, dir.filePath("project")).code, 2);
    // Also when that sheet is left up to date: its pages are still its own.
    QCOMPARE(pack({"--pack", "r.json", "--update"}, dir.filePath("project")).code, 2);
    QCOMPARE(placementLines(dir.filePath("project/out/m-1.txt")), QStringList{"art/b.png,7,3,0,0"});
    // And the other way round: a later sheet's page is an earlier sheet's output.
    QVERIFY(writeFileBytes(dir.filePath("project/r2.json"), R"({"sheets": [
        {"output": "out/n-1.png", "inputs": ["art/b.png"], "margin": 1},
        {"output": "out/n.png", "inputs": ["art/**/*.png"], "max-size": "7x5", "multipack": true,
         "margin": 0}]})"));
    QCOMPARE(pack({"--pack", "r2.json"}, dir.filePath("project")).code, 2);
    QCOMPARE(placementLines(dir.filePath("project/out/n-1.txt")), QStringList{"art/b.png,7,3,1,1"});

    // "[" is no wildcard; a name keeps its inner dots; every option and
    // INPUT given on the command line replaces the file's.
    QDir(dir.path()).mkpath("project/set[v2]");
    QVERIFY(savePng(patternImage(6, 5, 1), dir.filePath("project/set[v2]/a.png")));
    QVERIFY(
        writeFileBytes(dir.filePath("project/q.json"), R"({"sheets": [{"output": "out/ui.hi.png",
        "inputs": ["set[v2]"], "margin": 1, "extrude": 1, "trim": true, "trim-threshold": 3,
        "pivot": "0.5,0.5", "max-sheet-pixels": 100}]})"));
    QCOMPARE(pack({"--pack", "project/q.json", "--sheet", "ui.hi", "--max-sheet-pixels", "999"},
                  dir.path())
                 .code,
             0);
    QCOMPARE(placementLines(dir.filePath("project/out/ui.hi.txt")).size(), 1);
    const Run over = pack({"--pack", "project/q.json", "--extrude", "0", "--trim-threshold", "0",
                           "--pivot", "0,0", "--max-sheet-pixels", "999", "project/art/b.png"},
                          dir.path());
    QVERIFY2(over.code == 0, qPrintable(over.err));
    QCOMPARE(placementLines(dir.filePath("project/out/ui.hi.txt")),
             QStringList{"project/art/b.png,7,3,1,1"});

    // A ".." after a link to a folder leads where the system takes it: to
    // the parent of the folder linked to, for a path and a pattern alike.
    QVERIFY(QFile::link(dir.filePath("project/art/deep"), dir.filePath("lnk")));
    QVERIFY(writeFileBytes(dir.filePath("project/art/deep/up.json"),
                           R"({"sheets": [{"output": "up.png", "margin": 0,
                                           "inputs": ["../b.png", "../**/a.png"]}]})"));
    const Run up = pack({"--pack", "lnk/up.json"}, dir.path());
    QVERIFY2(up.code == 0, qPrintable(up.err));
    QCOMPARE(placementLines(dir.filePath("project/art/deep/up.txt")),
             QStringList({"lnk/../b.png,7,3,0,0", "lnk/../deep/er/a.png,6,5,0,3"}));

    // An absolute pattern with a wildcard in its first level starts at the
    // root, not in the pack file's folder.
    const QString rooted = "/?" + dir.filePath("project/art/*.png").mid(2);
    QVERIFY(writeFileBytes(dir.filePath("project/root.json"),
                           R"({"sheets": [{"output": "root.png", "margin": 0, "inputs": [")" +
                               rooted.toUtf8() + "\"]}]}"));
    const Run root = pack({"--pack", "project/root.json"}, dir.path());
    QVERIFY2(root.code == 0, qPrintable(root.err));
    QCOMPARE(placementLines(dir.filePath("project/root.txt")),
             QStringList{dir.filePath("project/art/b.png") + ",7,3,0,0"});
}

// Reads `process`'s output into `lines` until it holds `count` lines.
static bool readLines(QProcess &process, QString *lines, int count, int milliseconds = 30000)
{
    QDeadlineTimer deadline(milliseconds);
    while (lines->count('\n') < count && !deadline.hasExpired()) {
        process.waitForReadyRead(100);
        *lines += QString::fromUtf8(process.readAllStandardOutput());
    }
    return lines->count('\n') == count;
}

void TestPack::watchRepacksUntilInterrupted()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("in");
    QVERIFY(savePng(patternImage(10, 4, 1), dir.filePath("in/a.png")));
    QProcess watch;
    // Its lines have ASCII digits, also where the locale has others.
    QProcessEnvironment arabic = QProcessEnvironment::systemEnvironment();
    arabic.insert("LC_ALL", "ar_EG.UTF-8");
    watch.setProcessEnvironment(arabic);
    // The JSON file comes and goes in a watched folder with every pack.
    watch.start(KORVANE_PACK, {"--watch", "--json", dir.filePath("in/s.json"), "-o",
                               dir.filePath("s.png"), dir.filePath("in")});
    QString lines;
    const auto waitForLines = [&](int count, int milliseconds = 30000) {
        return readLines(watch, &lines, count, milliseconds);
    };
    QVERIFY2(
        waitForLines(1) &&
            QRegularExpression("^[0-9]{2}:[0-9]{2}:[0-9]{2} packed\n$").match(lines).hasMatch(),
        qPrintable(lines));
    QVERIFY(savePng(patternImage(7, 3, 2), dir.filePath("in/b.png")));
    QVERIFY2(waitForLines(2) && lines.endsWith(" packed\n"), qPrintable(lines));
    QVERIFY2(!waitForLines(3, 1500), qPrintable(lines)); // its own files start no pack
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
    // A line nobody can read ends the watch once its pack is done.
    const Run full = pack({"-c", "exec \"$0\" \"$@\" >/dev/full", KORVANE_PACK, "--watch", "-o",
                           dir.filePath("s.png"), dir.filePath("in")},
                          QString(), "/bin/sh");
    QCOMPARE(full.code, 1);
}

// As a user who may not read an image, skipped: no warning of Qt's own
// after each pack, and the image packed once it is made readable.
void TestPack::watchSeesAnUnreadableImageMadeReadable()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("in"));
    QVERIFY(savePng(patternImage(10, 4, 1), dir.filePath("in/a.png")));
    QVERIFY(savePng(patternImage(7, 3, 2), dir.filePath("in/b.png")));
    const QByteArray unreadable = QFile::encodeName(dir.filePath("in/b.png"));
    QCOMPARE(::chmod(unreadable.constData(), 0), 0);
    QStringList command{KORVANE_PACK};
    if (geteuid() == 0) {
        if (packAsUser({"--version"}, dir, dir.path()).code != 0)
            QSKIP("User 65534 cannot run korvane-pack from the temporary folder here.");
        command = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                              dir.filePath("korvane-pack")};
    }
    QProcess watch;
    watch.start(command.takeFirst(),
                command + QStringList{"--watch", "--skip-unreadable", "-o", dir.filePath("s.png"),
                                      dir.filePath("in")});
    QString lines;
    QVERIFY2(readLines(watch, &lines, 1) && lines.endsWith(" packed\n"), qPrintable(lines));
    QCOMPARE(::chmod(unreadable.constData(), 0644), 0);
    QVERIFY2(readLines(watch, &lines, 2) && lines.endsWith(" packed\n"), qPrintable(lines));
    QCOMPARE(placementLines(dir.filePath("s.txt")).filter(dir.filePath("in/b.png")).size(), 1);
    QCOMPARE(::kill(pid_t(watch.processId()), SIGINT), 0);
    QVERIFY(watch.waitForFinished(30000));
    const QString errors = QString::fromUtf8(watch.readAllStandardError());
    QVERIFY2(errors.startsWith("korvane-pack: skipping") && !errors.contains("inotify"),
             qPrintable(errors));
}

void TestPack::watchSeesWhatAPackMissed()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("in");
    QVERIFY(savePng(patternImage(10, 4, 1), dir.filePath("in/a.png")));
    // The first pack has read in/a.png and waits for the lock when it changes.
    const int lock = ::open(QFile::encodeName(dir.filePath("s.png.lock")).constData(),
                            O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    QVERIFY(lock >= 0 && ::flock(lock, LOCK_EX) == 0);
    QProcess watch;
    watch.start(KORVANE_PACK, {"--watch", "-o", dir.filePath("s.png"), dir.filePath("in")});
    QDeadlineTimer staged(30000);
    while (entriesIn(dir.path()).filter(".korvane-new").isEmpty() && !staged.hasExpired())
        QThread::msleep(20);
    QVERIFY(savePng(patternImage(7, 3, 2), dir.filePath("in/a.png")));
    ::close(lock);
    QString lines;
    QVERIFY2(readLines(watch, &lines, 2) && lines.count(" packed\n") == 2, qPrintable(lines));
    // An image named like a temporary file is packed, so it is watched too.
    QVERIFY(savePng(patternImage(5, 5, 3), dir.filePath("in/b.korvane-idle.png")));
    QVERIFY2(readLines(watch, &lines, 3) && lines.endsWith(" packed\n"), qPrintable(lines));
    QCOMPARE(placementLines(dir.filePath("s.txt")),
             QStringList({dir.filePath("in/a.png") + ",7,3,2,2",
                          dir.filePath("in/b.korvane-idle.png") + ",5,5,2,7"}));
    QCOMPARE(::kill(pid_t(watch.processId()), SIGINT), 0);
    QVERIFY(watch.waitForFinished(30000));

    // A folder missing at the start, made later and then filled.
    watch.start(KORVANE_PACK, {"--watch", "-o", dir.filePath("t.png"), dir.filePath("gen")});
    lines.clear();
    QVERIFY2(readLines(watch, &lines, 1) && lines.contains("pack failed"), qPrintable(lines));
    QVERIFY(QDir(dir.path()).mkpath("gen"));
    QThread::msleep(500);
    QVERIFY(savePng(patternImage(5, 5, 3), dir.filePath("gen/c.png")));
    QDeadlineTimer packed(30000);
    while (!lines.endsWith(" packed\n") && !packed.hasExpired())
        readLines(watch, &lines, lines.count('\n') + 1, 500);
    // Renamed away and made again at once: missing for that pack, then
    // the new folder's images are watched, not the old one's.
    QVERIFY(QDir(dir.path()).rename("gen", "gone"));
    QVERIFY(QDir(dir.path()).mkpath("gen"));
    QVERIFY2(readLines(watch, &lines, lines.count('\n') + 1) && lines.endsWith("for changes\n"),
             qPrintable(lines));
    QVERIFY(savePng(patternImage(5, 5, 3), dir.filePath("gen/d.png")));
    QVERIFY2(readLines(watch, &lines, lines.count('\n') + 1) && lines.endsWith(" packed\n"),
             qPrintable(lines));
    // SIGTERM ends the watch as SIGINT does.
    QCOMPARE(::kill(pid_t(watch.processId()), SIGTERM), 0);
    QVERIFY(watch.waitForFinished(30000));
    lines += QString::fromUtf8(watch.readAllStandardOutput());
    QVERIFY2(lines.endsWith(" packed\nstopped watching\n"), qPrintable(lines));
}

void TestPack::watchFollowsFilesAndOwnOutputs()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("in");
    QDir(dir.path()).mkpath("ok");
    QDir(dir.path()).mkpath("out");
    QVERIFY(savePng(patternImage(10, 4, 1), dir.filePath("in/a.png")));
    const auto raw = [&](const char *name) { return QFile::encodeName(dir.filePath(name)); };
    QCOMPARE(::link(raw("in/a.png"), raw("old.png")), 0); // the old copy lives on
    QVERIFY(savePng(patternImage(6, 6, 2), dir.filePath("ok/b.png")));
    const auto removeUnnamable = qScopeGuard([&] { ::unlink(raw("in") + "/x\xff.png"); });
    const int unnamable = ::open(raw("in") + "/x\xff.png", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    QVERIFY(unnamable >= 0);
    ::close(unnamable);
    QProcess watch;
    QVERIFY(QFile::link(dir.filePath("old.png"), dir.filePath("link.png")));
    watch.start(KORVANE_PACK, {"--watch", "--skip-unreadable", "-o", dir.filePath("s.png"),
                               dir.filePath("in"), dir.filePath("ok"), dir.filePath("link.png")});
    QString lines;
    QVERIFY2(readLines(watch, &lines, 1) && lines.endsWith(" packed\n"), qPrintable(lines));
    // Renamed over a file whose old copy lives on, then changed in place.
    QVERIFY(savePng(patternImage(7, 3, 3), dir.filePath("new.png")));
    QCOMPARE(::rename(raw("new.png"), raw("in/a.png")), 0);
    QVERIFY2(readLines(watch, &lines, 2) && lines.endsWith(" packed\n"), qPrintable(lines));
    QVERIFY2(!readLines(watch, &lines, 3, 1000), qPrintable(lines));
    QVERIFY(savePng(patternImage(5, 8, 4), dir.filePath("in/a.png")));
    QVERIFY2(readLines(watch, &lines, 3) && lines.endsWith(" packed\n"), qPrintable(lines));
    QCOMPARE(
        placementLines(dir.filePath("s.txt")).filter(dir.filePath("in/a.png") + ",5,8,").size(), 1);
    // After an INPUT with a name that does not decode, the next one's images.
    QVERIFY(savePng(patternImage(9, 2, 5), dir.filePath("ok/b.png")));
    QVERIFY2(readLines(watch, &lines, 4) && lines.endsWith(" packed\n"), qPrintable(lines));
    // A link given as INPUT, pointed at another file.
    QVERIFY(QFile::link(dir.filePath("ok/b.png"), dir.filePath("new.png")));
    QCOMPARE(::rename(raw("new.png"), raw("link.png")), 0);
    QVERIFY2(readLines(watch, &lines, 5) && lines.endsWith(" packed\n"), qPrintable(lines));
    QCOMPARE(
        placementLines(dir.filePath("s.txt")).filter(dir.filePath("link.png") + ",9,2,").size(), 1);
    QCOMPARE(
        placementLines(dir.filePath("s.txt")).filter(dir.filePath("ok/b.png") + ",9,2,").size(), 1);
    QCOMPARE(::kill(pid_t(watch.processId()), SIGINT), 0);
    QVERIFY(watch.waitForFinished(30000));

    // One sheet reads the other's output: the packs stop once it is read as written.
    const QByteArray sheets = R"({"sheets": [
        {"name": "ui", "output": "out/ui.png", "inputs": ["ok"]},
        {"name": "icons", "output": "ok/icons.png", "inputs": ["in/a.png"]}]})";
    QVERIFY(writeFileBytes(dir.filePath("p.json"), sheets));
    watch.start(KORVANE_PACK, {"--watch", "--pack", dir.filePath("p.json")});
    lines.clear();
    QVERIFY2(readLines(watch, &lines, 2) && lines.endsWith(" packed\n"), qPrintable(lines));
    QVERIFY2(!readLines(watch, &lines, 3, 2000), qPrintable(lines));
    QCOMPARE(placementLines(dir.filePath("out/ui.txt")).size(), 2);
    // The pack file broken, then mended in place: watched all along.
    QVERIFY(writeFileBytes(dir.filePath("p.json"), "{\"sheets\": ["));
    QVERIFY2(readLines(watch, &lines, 3) && lines.contains("pack failed"), qPrintable(lines));
    QVERIFY(writeFileBytes(dir.filePath("p.json"), sheets));
    QVERIFY2(readLines(watch, &lines, 4) && lines.endsWith(" packed\n"), qPrintable(lines));
    QCOMPARE(::kill(pid_t(watch.processId()), SIGINT), 0);
    QVERIFY(watch.waitForFinished(30000));

    // The sheet that writes comes first: the other reads it as written, in one pack.
    QVERIFY(writeFileBytes(dir.filePath("q.json"), R"({"sheets": [
        {"name": "icons", "output": "ok/icons.png", "inputs": ["in/a.png"]},
        {"name": "ui", "output": "out/ui.png", "inputs": ["ok"]}]})"));
    watch.start(KORVANE_PACK, {"--watch", "--pack", dir.filePath("q.json")});
    lines.clear();
    QVERIFY2(readLines(watch, &lines, 1) && !readLines(watch, &lines, 2, 2000), qPrintable(lines));
    // So again after a change: the output it wrote anew is no change made meanwhile.
    QVERIFY(savePng(patternImage(4, 4, 6), dir.filePath("in/a.png")));
    QVERIFY2(readLines(watch, &lines, 2) && !readLines(watch, &lines, 3, 2000), qPrintable(lines));
    QCOMPARE(::kill(pid_t(watch.processId()), SIGINT), 0);
    QVERIFY(watch.waitForFinished(30000));

    // Each sheet reads the other's: every pack would change them again.
    QVERIFY(QDir(dir.path()).mkpath("c1") && QDir(dir.path()).mkpath("c2"));
    QVERIFY(savePng(patternImage(3, 3, 7), dir.filePath("c1/a.png")));
    QVERIFY(savePng(patternImage(4, 2, 8), dir.filePath("c2/b.png")));
    QVERIFY(writeFileBytes(dir.filePath("r.json"), R"({"sheets": [
        {"name": "one", "output": "c1/one.png", "inputs": ["c2"]},
        {"name": "two", "output": "c2/two.png", "inputs": ["c1"]}]})"));
    watch.start(KORVANE_PACK, {"--watch", "--pack", dir.filePath("r.json")});
    lines.clear();
    QVERIFY2(readLines(watch, &lines, 2) && !readLines(watch, &lines, 3, 2000), qPrintable(lines));
    QVERIFY(watch.readAllStandardError().contains("read each other's files"));
    QCOMPARE(::kill(pid_t(watch.processId()), SIGINT), 0);
    QVERIFY(watch.waitForFinished(30000));
    // Beside two such cycles, which both settle, as does a sheet that reads
    // one of them and is read before it, a sheet that read another's file
    // before it changed is packed again.
    QVERIFY(QDir(dir.path()).mkpath("z") &&
            savePng(patternImage(2, 3, 6), dir.filePath("z/x.png")));
    QVERIFY(QDir(dir.path()).mkpath("m") &&
            savePng(patternImage(2, 2, 9), dir.filePath("m/x.png")));
    QVERIFY(QDir(dir.path()).mkpath("c3") &&
            savePng(patternImage(3, 3, 7), dir.filePath("c3/a.png")));
    QVERIFY(QDir(dir.path()).mkpath("c4") &&
            savePng(patternImage(4, 2, 8), dir.filePath("c4/b.png")));
    QVERIFY(writeFileBytes(dir.filePath("r.json"), R"({"sheets": [
        {"name": "a", "output": "out/a.png", "inputs": ["m"]},
        {"name": "b", "output": "m/b.png", "inputs": ["in/a.png"]},
        {"name": "one", "output": "c1/one.png", "inputs": ["c2"]},
        {"name": "two", "output": "c2/two.png", "inputs": ["c1"]},
        {"name": "three", "output": "c3/three.png", "inputs": ["c4"]},
        {"name": "four", "output": "c4/four.png", "inputs": ["c3"]},
        {"name": "w", "output": "out/w.png", "inputs": ["z"]},
        {"name": "z", "output": "z/z.png", "inputs": ["c1"]}]})"));
    watch.start(KORVANE_PACK, {"--watch", "--pack", dir.filePath("r.json")});
    lines.clear();
    QVERIFY2(readLines(watch, &lines, 2), qPrintable(lines));
    QDeadlineTimer settled(30000);
    while (readLines(watch, &lines, lines.count('\n') + 1, 2000) && !settled.hasExpired()) {
    }
    QVERIFY2(!settled.hasExpired(), qPrintable(lines));
    QVERIFY(savePng(patternImage(3, 9, 5), dir.filePath("in/a.png")));
    QDeadlineTimer repacked(30000);
    while (placementLines(dir.filePath("out/a.txt")).filter("b.png,7,13,").isEmpty() &&
           !repacked.hasExpired())
        readLines(watch, &lines, lines.count('\n') + 1, 500);
    QVERIFY2(!placementLines(dir.filePath("out/a.txt")).filter("b.png,7,13,").isEmpty(),
             qPrintable(lines));
    QCOMPARE(::kill(pid_t(watch.processId()), SIGINT), 0);
    QVERIFY(watch.waitForFinished(30000));
}

// A PNG file deflated at level 0: its size follows from its pixels' count.
static QByteArray storedPng(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    QImageWriter writer(&buffer, "PNG");
    writer.setQuality(100);
    return buffer.open(QIODevice::WriteOnly) && writer.write(image) ? bytes : QByteArray();
}

void TestPack::watchFollowsWhatItParses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("packFile"); // $ROOT/p.json, when given
    QTest::addColumn<bool>("firstPacks");
    QTest::addColumn<QString>("changed"); // under $ROOT: an image made there, or `bytes`
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("placed"); // a line of $ROOT/s.txt once the change is packed
    // Under $ROOT, renamed away after the first pack, which packs `changed`
    // as a 3x3 image; "busy": a file made in $ROOT again and again until
    // the change is packed; "link L": L under $ROOT made a link to the
    // missing `changed` first; "folder link L>T": L made a link to the folder
    // T, and `changed` made first; empty for none.
    QTest::addColumn<QString>("movedAway");
    const QByteArray margin5 = R"(<config><parameters marginPixel="5"/></config>)";
    const QString a5 = "$ROOT/in/a.png,10,4,5,5";
    QTest::newRow("settings file of the command line edited")
        << QStringList{"--watch", "--config", "$ROOT/cfg.xml", "-o", "$ROOT/s.png", "$ROOT/in"}
        << QByteArray() << true << "cfg.xml" << margin5 << a5 << QString();
    QTest::newRow("settings file of a pack file's sheet edited")
        << QStringList{"--watch", "--pack", "$ROOT/p.json"}
        << QByteArray(R"({"sheets": [{"output": "s.png", "config": "cfg.xml", "inputs": ["in"]}]})")
        << true << "cfg.xml" << margin5 << a5 << QString();
    QTest::newRow("pattern that matched nothing matches in a new folder")
        << QStringList{"--watch", "--pack", "$ROOT/p.json"}
        << QByteArray(R"({"sheets": [{"output": "s.png", "inputs": ["art/**/*.png"]}]})") << false
        << "art/new/deep/c.png" << QByteArray() << "$ROOT/art/new/deep/c.png,5,5,2,2" << QString();
    QTest::newRow("pattern's missing folder made with a match")
        << QStringList{"--watch", "--pack", "$ROOT/p.json"}
        << QByteArray(R"({"sheets": [{"output": "s.png", "inputs": ["in", "gen/*.png"]}]})")
        << false << "gen/c.png" << QByteArray() << "$ROOT/gen/c.png,5,5,2,8" << QString();
    // The walk decides what matches, not the ".png" of a folder INPUT.
    QTest::newRow("pattern for another suffix gets a match")
        << QStringList{"--watch", "--pack", "$ROOT/p.json"}
        << QByteArray(R"({"sheets": [{"output": "s.png", "inputs": ["in", "art/*.bmp"]}]})")
        << false << "art/c.bmp" << QByteArray() << "$ROOT/art/c.bmp,5,5,2,8" << QString();
    QTest::newRow("two sheets writing one file at the start, then mended")
        << QStringList{"--watch", "--pack", "$ROOT/p.json"}
        << QByteArray(R"({"sheets": [{"output": "s.png", "inputs": ["in"]},
                                      {"output": "s.png", "inputs": ["in"]}]})")
        << false << "p.json" << QByteArray(R"({"sheets": [{"output": "s.png", "inputs": ["in"]}]})")
        << "$ROOT/in/a.png,10,4,2,2" << QString();
    QTest::newRow("pack file broken at the start, then mended")
        << QStringList{"--watch", "--pack", "$ROOT/p.json"} << QByteArray("{\"sheets\": [") << false
        << "p.json" << QByteArray(R"({"sheets": [{"output": "s.png", "inputs": ["in"]}]})")
        << "$ROOT/in/a.png,10,4,2,2" << QString();
    QTest::newRow("pack file broken at the start gives --multipack its --max-size")
        << QStringList{"--watch", "--multipack", "--pack", "$ROOT/p.json"}
        << QByteArray(R"({"sheets": [{"max-size": "64x64"}, )") << false << "p.json"
        << QByteArray(R"({"sheets": [{"output": "s.png", "max-size": "64x64", "inputs": ["in"]}]})")
        << "$ROOT/in/a.png,10,4,2,2" << QString();
    QTest::newRow("pack file broken at the start gives --trim-threshold its --trim")
        << QStringList{"--watch", "--trim-threshold", "3", "--pack", "$ROOT/p.json"}
        << QByteArray(R"({"sheets": [{"trim": true}, )") << false << "p.json"
        << QByteArray(R"({"sheets": [{"output": "s.png", "trim": true, "inputs": ["in"]}]})")
        << "$ROOT/in/a.png,10,4,2,2" << QString();
    QTest::newRow("pack file's sheet with \"multipack\" alone at the start, then mended")
        << QStringList{"--watch", "--pack", "$ROOT/p.json"}
        << QByteArray(R"({"sheets": [{"output": "s.png", "multipack": true, "inputs": ["in"]}]})")
        << false << "p.json"
        << QByteArray(R"({"sheets": [{"output": "s.png", "multipack": true, "max-size": "64x64",
                                      "inputs": ["in"]}]})")
        << "$ROOT/in/a.png,10,4,2,2" << QString();
    // FAT through FUSE keeps the file's number, size and times: a 2x9 image
    // made 20x1, stored uncompressed at the same size, differs in its bytes.
    QTest::newRow("image on FAT rewritten in place at its size")
        << QStringList{"--watch", "-o", "$ROOT/s.png", "$ROOT/fat"} << QByteArray() << true
        << "fat/a.png" << storedPng(patternImage(20, 1, 3)) << "$ROOT/fat/a.png,20,1,2,2"
        << QString();
    // Only the folder holding the one renamed sees it go.
    QTest::newRow("folder holding an image's folder renamed away, then made again")
        << QStringList{"--watch", "-o", "$ROOT/s.png", "$ROOT/in", "$ROOT/art/x/deep/c.png"}
        << QByteArray() << true << "art/x/deep/c.png" << QByteArray()
        << "$ROOT/art/x/deep/c.png,5,5,2,8"
        << "art/x";
    // Each change there restarts the wait for quiet, but not for ever.
    QTest::newRow("image changed while a folder on its way never quiets down")
        << QStringList{"--watch", "-o", "$ROOT/s.png", "$ROOT/in", "$ROOT/art/x/c.png"}
        << QByteArray() << true << "art/x/c.png" << storedPng(patternImage(5, 5, 7))
        << "$ROOT/art/x/c.png,5,5,2,8"
        << "busy";
    // Made in a folder that no path given leads through: only where the
    // link leads sees it come.
    QTest::newRow("link in a folder given to a missing image, which is made")
        << QStringList{"--watch", "--skip-unreadable", "-o", "$ROOT/s.png", "$ROOT/in"}
        << QByteArray() << true << "art/far/c.png" << QByteArray() << "$ROOT/in/l.png,5,5,2,8"
        << "link in/l.png";
    // A ".." after a link leads to the parent of the folder it points to.
    QTest::newRow("image named through a link to a folder and \"..\", changed in place")
        << QStringList{"--watch", "-o", "$ROOT/s.png", "$ROOT/in", "$ROOT/lnk/../c.png"}
        << QByteArray() << true << "art/c.png" << storedPng(patternImage(5, 5, 7))
        << "$ROOT/lnk/../c.png,5,5,2,8"
        << "folder link lnk>art/x";
    // The link's own folder is watched too, for the link pointed elsewhere.
    QTest::newRow("image named through a link in a folder of its own and \"..\"")
        << QStringList{"--watch", "-o", "$ROOT/s.png", "$ROOT/in", "$ROOT/lk/l/../c.png"}
        << QByteArray() << true << "art/c.png" << storedPng(patternImage(5, 5, 7))
        << "$ROOT/lk/l/../c.png,5,5,2,8"
        << "folder link lk/l>art/x";
    // Run in $ROOT: a folder starting with ':' is no path into Qt's resources.
    QTest::newRow("pattern's folder starting with ':' gets a match")
        << QStringList{"--watch", "--pack", "p.json"}
        << QByteArray(R"({"sheets": [{"output": "s.png", "json": ":art/s.json",
                                       "inputs": ["in", ":art/*.png"]}]})")
        << false << "./:art/c.png" << QByteArray() << "./:art/c.png,5,5,2,8" << QString();
}

void TestPack::watchFollowsWhatItParses()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, packFile);
    QFETCH(bool, firstPacks);
    QFETCH(QString, changed);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, placed);
    QFETCH(QString, movedAway);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("in") && QDir(dir.path()).mkpath("art") &&
            QDir(dir.path()).mkpath("./:art"));
    QVERIFY(savePng(patternImage(10, 4, 1), dir.filePath("in/a.png")));
    QVERIFY(writeFileBytes(dir.filePath("cfg.xml"),
                           R"(<config><parameters marginPixel="2"/></config>)"));
    if (!packFile.isEmpty())
        QVERIFY(writeFileBytes(dir.filePath("p.json"), packFile));
    QTemporaryDir elsewhere;
    std::optional<FatMount> fat;
    if (changed.startsWith("fat/")) {
        if (!QDir(dir.path()).mkpath("fat") ||
            !fat.emplace(elsewhere.filePath("fat.img"), dir.filePath("fat")).mounted)
            QSKIP("No FAT file system through FUSE here (mkfs.vfat, fusefat, /dev/fuse).");
        const QByteArray before = storedPng(patternImage(2, 9, 3));
        QCOMPARE(before.size(), bytes.size());
        QVERIFY(writeFileBytes(dir.filePath(changed), before));
    }
    const bool busy = movedAway == "busy";
    const bool link = movedAway.startsWith("link ");
    const bool folderLink = movedAway.startsWith("folder link ");
    const QStringList linkEnds = movedAway.mid(12).split('>');
    if (link)
        QVERIFY(QFile::link(dir.filePath(changed), dir.filePath(movedAway.mid(5))));
    else if (folderLink)
        QVERIFY(QDir(dir.path()).mkpath(linkEnds.value(1)) &&
                QDir(dir.path()).mkpath(QFileInfo(linkEnds.value(0)).path()) &&
                QFile::link(dir.filePath(linkEnds.value(1)), dir.filePath(linkEnds.value(0))));
    if (!link && !movedAway.isEmpty())
        QVERIFY(QDir(dir.path()).mkpath(QFileInfo(changed).path()) &&
                savePng(patternImage(3, 3, 7), dir.filePath(changed)));
    QProcess watch;
    watch.setWorkingDirectory(dir.path());
    watch.start(KORVANE_PACK, withPaths(arguments, dir.path()));
    QString lines;
    const bool started = readLines(watch, &lines, 1);
    QString errors;
    QDeadlineTimer reported(firstPacks ? 0 : 30000);
    do {
        watch.waitForReadyRead(300);
        errors += QString::fromUtf8(watch.readAllStandardError());
    } while (!errors.contains("--help") && !reported.hasExpired());
    QVERIFY2(started && lines.endsWith(firstPacks ? " packed\n" : " watching for changes\n"),
             qPrintable(lines + errors));
    QCOMPARE(errors.count("--help"), firstPacks ? 0 : 1); // reported once
    if (!movedAway.isEmpty() && !busy && !link && !folderLink)
        QVERIFY(QDir(dir.path()).rename(movedAway, movedAway + ".old"));
    // The first pack's own files in $ROOT wake the watch once more: that
    // look must be over, or it would find the target by chance.
    if (link || folderLink)
        QThread::msleep(1500);
    // Watched where the system takes "..": any change in a folder above
    // (another program's file in /tmp) would wake the watch anyway.
    if (folderLink) {
        QByteArray watches;
        const QString fdinfo = QString("/proc/%1/fdinfo/").arg(watch.processId());
        for (const QString &fd : QDir(fdinfo).entryList(QDir::Files))
            watches += readFileBytes(fdinfo + fd);
        for (const QString &path : {changed, QFileInfo(linkEnds.value(0)).path()}) {
            struct stat st;
            QCOMPARE(stat(QFile::encodeName(dir.filePath(path)).constData(), &st), 0);
            QVERIFY2(watches.contains(" ino:" + QByteArray::number(quint64(st.st_ino), 16) + ' '),
                     qPrintable(path));
        }
    }
    // Put in place whole, so that no pack reads half an image; from its own
    // folder, so that only that folder's watch sees it.
    if (bytes.isEmpty()) {
        const QString folder = QFileInfo(dir.filePath(changed)).path();
        QVERIFY(QDir(dir.path()).mkpath(folder) &&
                savePng(patternImage(5, 5, 7), folder + "/new.tmp"));
        QVERIFY(QFile::rename(folder + "/new.tmp", dir.filePath(changed)));
    } else {
        QVERIFY(writeFileBytes(dir.filePath(changed), bytes));
    }
    const QString line = placed.replace("$ROOT", dir.path());
    QDeadlineTimer deadline(60000);
    for (int i = 0; !placementLines(dir.filePath("s.txt")).contains(line) && !deadline.hasExpired();
         ++i) {
        if (busy) // a file made and one removed: the folder's watch sees both
            QVERIFY(writeFileBytes(dir.filePath(QString("busy%1").arg(i % 2)), "x") &&
                    (i == 0 || QFile::remove(dir.filePath(QString("busy%1").arg(1 - i % 2)))));
        readLines(watch, &lines, lines.count('\n') + 1, busy ? 50 : 200);
    }
    QVERIFY2(placementLines(dir.filePath("s.txt")).contains(line),
             qPrintable(lines + readFileBytes(dir.filePath("s.txt"))));
    // Its own outputs start no packs, one after another. The line that
    // wrote `placed` may not have been read yet, and a new folder below a
    // "**" costs one more pack.
    const int packs = lines.count('\n');
    readLines(watch, &lines, packs + 4, 3000);
    QVERIFY2(lines.count('\n') <= packs + 2, qPrintable(lines));
    QCOMPARE(::kill(pid_t(watch.processId()), SIGINT), 0);
    QVERIFY(watch.waitForFinished(30000));
    QCOMPARE(watch.exitCode(), 0);
}

// Standard error on a pseudo-terminal, through Python's pty module.
const char *const runOnTerminal = R"(
import fcntl, os, pty, struct, sys, termios
pid, fd = pty.fork()
if pid == 0:
    columns = int(os.environ.get('PTY_COLUMNS', '0'))
    if columns:
        fcntl.ioctl(2, termios.TIOCSWINSZ, struct.pack('HHHH', 24, columns, 0, 0))
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

void TestPack::progressOnlyOnATerminal_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("skipped"); // an INPUT that does not decode, from the fuzz corpus
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("columns"); // the terminal's width; 0 leaves it unset
    QTest::newRow("every image packed") << QStringList() << QString() << 0 << 0;
    // Every stage's line is wider: cut, or its wrapped start is never cleared.
    QTest::newRow("a terminal 8 columns wide") << QStringList() << QString() << 0 << 8;
    // A message comes once the line is shown: it starts a line of its own.
    // (No decoder's own message comes before it, which would end the line.)
    QTest::newRow("an image skipped as it decodes")
        << QStringList{"--skip-unreadable"} << QString("gif_cut_to_a_third.gif") << 0 << 0;
    QTest::newRow("an image that does not decode")
        << QStringList() << QString("gif_cut_to_a_third.gif") << 1 << 0;
}

void TestPack::progressOnlyOnATerminal()
{
    QFETCH(QStringList, options);
    QFETCH(QString, skipped);
    QFETCH(int, code);
    QFETCH(int, columns);
    QTemporaryDir dir;
    QVERIFY(saveNamingImages(dir));
    QStringList arguments = options + QStringList{"-o", dir.filePath("s.png"), dir.filePath("in")};
    if (!skipped.isEmpty()) {
        QVERIFY(QFile::copy(QFINDTESTDATA("../../fuzz/corpus/fuzz_imageload/" + skipped),
                            dir.filePath(skipped)));
        arguments << dir.filePath(skipped);
    }
    qputenv("KORVANE_PROGRESS_DELAY_MS", "0");
    const Run piped = pack(arguments);
    QProcess python;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PTY_COLUMNS", QString::number(columns));
    python.setProcessEnvironment(environment);
    python.start("python3", QStringList{"-c", runOnTerminal, KORVANE_PACK} + arguments);
    const bool finished = python.waitForFinished(60000);
    qunsetenv("KORVANE_PROGRESS_DELAY_MS");
    QCOMPARE(piped.code, code);
    QCOMPARE(piped.err.isEmpty(), skipped.isEmpty());
    QVERIFY(finished);
    QCOMPARE(python.exitCode(), code);
    const QByteArray terminal = python.readAllStandardOutput();
    // Which stage the first line shows depends on when its thread runs (its
    // first 7 characters, as many as the narrow terminal shows).
    QVERIFY2(terminal.contains("\r\033[Kreading") || terminal.contains("\r\033[Kdecoded") ||
                 terminal.contains("\r\033[Kencodin"),
             terminal.constData());
    if (columns > 0) {
        for (const QByteArray &line : terminal.split('\r'))
            QVERIFY2(line.size() - 3 < columns, terminal.constData()); // "\033[K" before it
    }
    // Cleared at the end, or by the last message.
    QVERIFY2(terminal.endsWith("\r\033[K") || (!skipped.isEmpty() && terminal.endsWith('\n')),
             terminal.constData());
    if (!skipped.isEmpty()) {
        const int at = terminal.indexOf("korvane-pack: ");
        QVERIFY2(at >= 0, terminal.constData());
        const QByteArray before = terminal.left(at);
        QVERIFY2(before.isEmpty() || before.endsWith("\r\033[K") || before.endsWith('\n'),
                 terminal.constData());
    }
}

QTEST_MAIN(TestPack)
#include "tst_pack.moc"

void TestPack::spriteOptions_data()
{
    QTest::addColumn<QStringList>("options");
    const QStringList all{"--trim",  "--trim-threshold", "10",    "--extrude",    "2",
                          "--alias", "--pivot",          "0.5,1", "--animations", "--premultiply"};
    QTest::newRow("trim, rows") << QStringList{"--trim"};
    QTest::newRow("trim threshold 10, compact")
        << QStringList{"--trim", "--trim-threshold", "10", "--layout", "compact"};
    QTest::newRow("extrude 3, margin 0, premultiply")
        << QStringList{"--extrude", "3", "-m", "0", "--premultiply"};
    QTest::newRow("extrude 32, compact") << QStringList{"--extrude", "32", "--layout", "compact"};
    QTest::newRow("alias untrimmed, compact") << QStringList{"--alias", "--layout", "compact"};
    QTest::newRow("trim and alias, power of two")
        << QStringList{"--trim", "--alias", "--power-of-two"};
    QTest::newRow("pivot and animations") << QStringList{"--pivot", "0,0.25", "--animations"};
    // walk-10.png's whole box is 18 wide; trimmed, every image fits one sheet.
    QTest::newRow("trim, multipack, an image that fits only trimmed")
        << QStringList{"--trim", "--multipack", "--max-size", "16x64"};
    QTest::newRow("everything, rows") << all;
    QTest::newRow("everything, compact, max size")
        << all + QStringList{"--layout", "compact", "--max-size", "64x64", "--power-of-two"};
}

// Each frame, through every format's reader, shows its source's kept pixels
// (premultiplied when asked) with its offsets, extruded edges around it, a
// region shared exactly with its duplicates, and the same files whatever the
// input order and thread count.
void TestPack::spriteOptions()
{
    QFETCH(QStringList, options);
    const auto value = [&](const char *option, const QString &otherwise) {
        const int at = options.indexOf(option);
        return at < 0 ? otherwise : options[at + 1];
    };
    const bool trim = options.contains("--trim");
    const bool alias = options.contains("--alias");
    const int threshold = value("--trim-threshold", "0").toInt();
    const int extrude = value("--extrude", "0").toInt();
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("a");
    QDir(dir.path()).mkpath("b");
    QStringList files;
    for (const Sprite &sprite : sprites) {
        QVERIFY(savePng(sprite.image(), dir.filePath(sprite.name)));
        files << sprite.name;
    }
    const QStringList formats{"json-hash", "json-array", "phaser3", "libgdx"};
    const auto outputs = [&formats](const QString &folder) {
        QStringList result{"-o", folder + "/s.png"};
        for (const QString &format : formats)
            result << "--data" << folder + '/' + format << "--format" << format;
        return result;
    };
    QStringList reversed = files;
    std::reverse(reversed.begin(), reversed.end());
    const Run run = pack(
        options + outputs("a") + QStringList{"--verbose", "--threads", "1"} + files, dir.path());
    QCOMPARE(run.code, 0);
    QCOMPARE(pack(options + outputs("b") + reversed, dir.path()).code, 0);
    for (const QString &name : QStringList{"s.png", "s.txt"} + formats)
        QVERIFY2(readFileBytes(dir.filePath("a/" + name)) ==
                     readFileBytes(dir.filePath("b/" + name)),
                 qPrintable(name));

    const QImage sheet(dir.filePath("a/s.png"));
    QStringList placement = placementLines(dir.filePath("a/s.txt"));
    QCOMPARE(placement.size(), sprites.size());
    const QStringList read = runPython(readSpriteFrames, QStringList{dir.filePath("a")} + formats);
    for (const QString &format : formats) {
        QStringList lines;
        for (const QString &line : read.filter(QRegularExpression('^' + format + ' ')))
            lines << line.section(' ', 1);
        QMap<QString, QStringList> frames;
        for (const QString &line : std::as_const(lines))
            frames.insert(line.section(' ', 0, 0), line.split(' ').mid(1));
        QVector<QPair<QPoint, QImage>> regions; // what each region holds
        for (const Sprite &sprite : sprites) {
            const bool indexed =
                format == "libgdx" && options.contains("--animations") && sprite.frame >= 0;
            const QString key = indexed ? "walk#" + QString::number(sprite.frame) : sprite.name;
            const QStringList f = frames.value(key);
            QVERIFY2(f.size() == 12, qPrintable(format + ": " + key + " in " + lines.join('\n')));
            const QRect region(f[0].toInt(), f[1].toInt(), f[2].toInt(), f[3].toInt());
            const QRect kept = sprite.kept(trim, threshold);
            QCOMPARE(QRect(f[4].toInt(), f[5].toInt(), f[6].toInt(), f[7].toInt()), kept);
            QCOMPARE(region.size(), kept.size());
            QCOMPARE(QSize(f[8].toInt(), f[9].toInt()), sprite.size);
            if (format != "libgdx") {
                QCOMPARE(f[10], kept.size() == sprite.size ? "False" : "True");
                QCOMPARE(f[11], value("--pivot", "-"));
            }
            QVERIFY(placement.contains(QStringLiteral("%1,%2,%3,%4,%5")
                                           .arg(sprite.name)
                                           .arg(region.width())
                                           .arg(region.height())
                                           .arg(region.x())
                                           .arg(region.y())));
            QImage expected = sprite.image().copy(kept);
            if (options.contains("--premultiply"))
                expected = premultiplied(expected);
            QCOMPARE(sheet.copy(region), expected);
            for (int y = -extrude; y < region.height() + extrude; ++y) {
                for (int x = -extrude; x < region.width() + extrude; ++x) {
                    const QPoint edge(qBound(0, x, region.width() - 1),
                                      qBound(0, y, region.height() - 1));
                    QCOMPARE(sheet.pixel(region.topLeft() + QPoint(x, y)), expected.pixel(edge));
                }
            }
            // Regions are shared exactly by images whose kept pixels match.
            for (const auto &other : std::as_const(regions))
                QCOMPARE(other.first == region.topLeft(), alias && other.second == expected);
            regions.append({region.topLeft(), expected});
        }
        if (options.contains("--animations") && format.startsWith("json"))
            QVERIFY(lines.contains("@walk walk_01.png walk_2.png walk-10.png"));
        else
            QVERIFY(lines.filter("@walk").isEmpty());
        if (format == "libgdx")
            QVERIFY(lines.contains(options.contains("--premultiply") ? "@pma true" : "@pma false"));
    }
    // Both pairs of duplicates share a region once trimmed at 10, one pair otherwise.
    const int pairs = !alias ? 0 : trim && threshold >= 10 ? 2 : 1;
    QCOMPARE(run.out.contains(QString("%1 images share %2 regions\n").arg(2 * pairs).arg(pairs)),
             alias);
}
