#include "core/layout/compactlayout.h"
#include "core/layout/sheetlayout.h"
#include "core/output/atomicfile.h"
#include "core/output/dataformats.h"

#include "support/formatreaders.h"
#include "support/testsupport.h"
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <QtTest>

#include <climits>
#include <utility>

using namespace SheetLayout;

Q_DECLARE_METATYPE(SheetLayout::Placement)

using SizeMap = QMap<QString, QSize>;
using Coords = QVector<QPair<qint64, qint64>>;

namespace {

SizeMap workedExample()
{
    return {{"a.png", {100, 10}}, {"b.png", {60, 20}}, {"c.png", {40, 22}}, {"d.png", {30, 5}}};
}

// The order compute() must keep: the exchange sort it used to run, which is
// not stable.
QStringList exchangeSorted(const SizeMap &sizes)
{
    QVector<QPair<int, QString>> list;
    for (auto it = sizes.constBegin(); it != sizes.constEnd(); ++it)
        list.append(qMakePair(it.value().width(), it.key()));
    for (int i = 0; i < list.size(); ++i) {
        for (int j = i + 1; j < list.size(); ++j) {
            if (list[i].first < list[j].first)
                std::swap(list[i], list[j]);
        }
    }
    QStringList paths;
    for (const auto &entry : list)
        paths << entry.second;
    return paths;
}

// `count` images with sides from `smallest` to `largest`, the same for a seed.
SizeMap randomSizes(int count, int smallest, int largest, quint32 seed)
{
    QRandomGenerator random(seed);
    SizeMap sizes;
    for (int i = 0; i < count; ++i) {
        sizes.insert(
            QString("s%1-%2.png").arg(seed).arg(i, 4, 10, QLatin1Char('0')),
            QSize(random.bounded(smallest, largest + 1), random.bounded(smallest, largest + 1)));
    }
    return sizes;
}

SizeMap equalSquares(int count, int side)
{
    SizeMap sizes;
    for (int i = 0; i < count; ++i)
        sizes.insert(QString("q%1.png").arg(i), QSize(side, side));
    return sizes;
}

// Every image once, with its size, a margin inside the sheet's edge and a
// margin from every other image. Returns the first fault found.
QString compactFault(const Plan &plan, const SizeMap &sizes, int margin)
{
    if (plan.placements.size() != sizes.size() || !plan.fitsInt())
        return QString("%1 of %2 placed, fits int: %3")
            .arg(plan.placements.size())
            .arg(sizes.size())
            .arg(plan.fitsInt());
    QSet<QString> seen;
    const qint64 m = margin;
    for (int i = 0; i < plan.placements.size(); ++i) {
        const Placement &a = plan.placements[i];
        if (seen.contains(a.path) || sizes.value(a.path) != a.size ||
            a.position != QPoint(int(a.x), int(a.y)))
            return a.path + " twice, resized or moved";
        seen.insert(a.path);
        if (a.x < m || a.y < m || a.x + a.size.width() + m > plan.width ||
            a.y + a.size.height() + m > plan.height)
            return a.path + " not inside";
        for (int j = i + 1; j < plan.placements.size(); ++j) {
            const Placement &b = plan.placements[j];
            if (a.x < b.x + b.size.width() + m && b.x < a.x + a.size.width() + m &&
                a.y < b.y + b.size.height() + m && b.y < a.y + a.size.height() + m)
                return a.path + " too close to " + b.path;
        }
    }
    return QString();
}

SizeMap merged(SizeMap a, const SizeMap &b)
{
    for (auto it = b.constBegin(); it != b.constEnd(); ++it)
        a.insert(it.key(), it.value());
    return a;
}

bool isPowerOfTwo(qint64 value)
{
    return value > 0 && (value & (value - 1)) == 0;
}

} // namespace

class TestSheetLayout : public QObject
{
    Q_OBJECT

private slots:
    void compute_data();
    void compute();
    void orderMatchesExchangeSort_data();
    void orderMatchesExchangeSort();
    void compact_data();
    void compact();
    void compactExact_data();
    void compactExact();
    void compactMaxSize_data();
    void compactMaxSize();
    void planForRows_data();
    void planForRows();
    void parseSize_data();
    void parseSize();
    void cssClassNames_data();
    void cssClassNames();
    void namesThroughReaders_data();
    void namesThroughReaders();
    void placementText_data();
    void placementText();
    void derivedPaths_data();
    void derivedPaths();
};

void TestSheetLayout::compute_data()
{
    QTest::addColumn<SizeMap>("sizes");
    QTest::addColumn<int>("margin");
    QTest::addColumn<QStringList>("order");
    QTest::addColumn<Coords>("coords");
    QTest::addColumn<qint64>("width");
    QTest::addColumn<qint64>("height");
    QTest::addColumn<bool>("fits");

    QTest::newRow("worked example")
        << workedExample() << 2 << QStringList{"a.png", "b.png", "c.png", "d.png"}
        << Coords{{2, 2}, {2, 14}, {64, 14}, {2, 36}} << qint64(104) << qint64(43) << true;
    QTest::newRow("single image framed by margin")
        << SizeMap{{"x.png", {7, 3}}} << 4 << QStringList{"x.png"} << Coords{{4, 4}} << qint64(15)
        << qint64(11) << true;
    QTest::newRow("equal widths stack in path order")
        << SizeMap{{"a", {4, 2}}, {"b", {4, 3}}, {"c", {4, 1}}} << 0 << QStringList{"a", "b", "c"}
        << Coords{{0, 0}, {0, 2}, {0, 5}} << qint64(4) << qint64(6) << true;
    QTest::newRow("exchange sort is not stable")
        << SizeMap{{"a", {5, 1}}, {"b", {5, 1}}, {"c", {7, 1}}} << 0 << QStringList{"c", "b", "a"}
        << Coords{{0, 0}, {0, 1}, {0, 2}} << qint64(7) << qint64(3) << true;
    QTest::newRow("narrow images share a row")
        << SizeMap{{"a", {10, 5}}, {"b", {5, 3}}, {"c", {5, 2}}} << 2 << QStringList{"a", "b", "c"}
        << Coords{{2, 2}, {2, 9}, {9, 9}} << qint64(14) << qint64(14) << true;
    QTest::newRow("taller image later in a row grows it")
        << SizeMap{{"a", {10, 1}}, {"b", {5, 2}}, {"c", {5, 6}}, {"d", {3, 1}}} << 0
        << QStringList{"a", "b", "c", "d"} << Coords{{0, 0}, {0, 1}, {5, 1}, {0, 7}} << qint64(10)
        << qint64(8) << true;
    // d is 5 taller than the row's first, but ends on the end c gave the row.
    QTest::newRow("image within the margin of a grown row gets no gap")
        << SizeMap{{"a", {20, 1}}, {"b", {6, 2}}, {"c", {6, 5}}, {"d", {6, 7}}} << 2
        << QStringList{"a", "b", "c", "d"} << Coords{{2, 2}, {2, 5}, {10, 5}, {18, 5}} << qint64(24)
        << qint64(12) << true;
    QTest::newRow("empty") << SizeMap{} << 3 << QStringList{} << Coords{} << qint64(-1)
                           << qint64(-1) << false;
    QTest::newRow("zero width is no sheet") << SizeMap{{"a", {0, 3}}} << 0 << QStringList{"a"}
                                            << Coords{{0, 0}} << qint64(0) << qint64(3) << false;
    QTest::newRow("negative margin follows the rules")
        << SizeMap{{"a", {4, 1}}, {"b", {2, 1}}} << -1 << QStringList{"a", "b"}
        << Coords{{-1, -1}, {-1, -1}} << qint64(2) << qint64(-1) << false;

    // Sizes beyond int must be exact and reported as not fitting.
    const qint64 big = INT_MAX;
    const qint64 half = INT_MAX / 2;
    QTest::newRow("half INT_MAX margin")
        << SizeMap{{"a", {10, 10}}} << INT_MAX / 2 << QStringList{"a"} << Coords{{half, half}}
        << 10 + 2 * half << 10 + 2 * half << false;
    QTest::newRow("INT_MAX margin, two rows")
        << SizeMap{{"a", {1, 1}}, {"b", {1, 1}}} << INT_MAX << QStringList{"a", "b"}
        << Coords{{big, big}, {big, 2 * big + 1}} << 1 + 2 * big << 3 * big + 2 << false;
    QTest::newRow("INT_MAX sized images stacked")
        << SizeMap{{"a", {INT_MAX, INT_MAX}}, {"b", {INT_MAX, INT_MAX}}} << 0
        << QStringList{"a", "b"} << Coords{{0, 0}, {0, big}} << big << 2 * big << false;
    QTest::newRow("exactly INT_MAX fits")
        << SizeMap{{"a", {INT_MAX, 1}}, {"b", {1, INT_MAX - 1}}} << 0 << QStringList{"a", "b"}
        << Coords{{0, 0}, {0, 1}} << big << big << true;
    QTest::newRow("one past INT_MAX") << SizeMap{{"a", {INT_MAX, 1}}} << 1 << QStringList{"a"}
                                      << Coords{{1, 1}} << big + 2 << qint64(3) << false;
}

void TestSheetLayout::compute()
{
    QFETCH(SizeMap, sizes);
    QFETCH(int, margin);
    QFETCH(QStringList, order);
    QFETCH(Coords, coords);
    QFETCH(qint64, width);
    QFETCH(qint64, height);
    QFETCH(bool, fits);

    const Plan plan = SheetLayout::compute(sizes, margin);
    QCOMPARE(plan.width, width);
    QCOMPARE(plan.height, height);
    QCOMPARE(plan.fitsInt(), fits);
    QStringList paths;
    Coords placed;
    for (const Placement &p : plan.placements) {
        paths << p.path;
        placed << qMakePair(p.x, p.y);
        QCOMPARE(p.size, sizes.value(p.path));
    }
    QCOMPARE(paths, order);
    QCOMPARE(placed, coords);

    if (fits) {
        QCOMPARE(plan.sheetSize(), QSize(int(width), int(height)));
        const QMap<QString, QPoint> positions = plan.positions();
        QCOMPARE(positions.size(), order.size());
        for (int i = 0; i < order.size(); ++i) {
            const QPoint expected(int(coords[i].first), int(coords[i].second));
            QCOMPARE(plan.placements[i].position, expected);
            QCOMPARE(positions.value(order[i]), expected);
        }
    } else {
        QCOMPARE(plan.sheetSize(), QSize(-1, -1));
        QVERIFY(plan.positions().isEmpty());
    }
}

void TestSheetLayout::orderMatchesExchangeSort_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("maxWidth");
    QTest::addColumn<quint32>("seed");

    QTest::newRow("one width") << 50 << 1 << 1u;
    for (quint32 seed = 1; seed <= 4; ++seed) {
        QTest::addRow("widths 1..2, seed %u", seed) << 40 << 2 << seed;
        QTest::addRow("widths 1..3, seed %u", seed) << 200 << 3 << seed;
        QTest::addRow("widths 1..10, seed %u", seed) << 300 << 10 << seed;
        QTest::addRow("widths 1..1000, seed %u", seed) << 500 << 1000 << seed;
    }
    QTest::newRow("few images") << 5 << 3 << 7u;
    QTest::newRow("3000 images, widths 1..3") << 3000 << 3 << 11u;
    QTest::newRow("3000 images, widths 1..50") << 3000 << 50 << 12u;
}

void TestSheetLayout::orderMatchesExchangeSort()
{
    QFETCH(int, count);
    QFETCH(int, maxWidth);
    QFETCH(quint32, seed);

    QRandomGenerator random(seed);
    SizeMap sizes;
    for (int i = 0; i < count; ++i)
        sizes.insert(QString::asprintf("%05d.png", i),
                     QSize(random.bounded(1, maxWidth + 1), random.bounded(1, 20)));
    QStringList paths;
    for (const Placement &p : SheetLayout::compute(sizes, 1).placements)
        paths << p.path;
    QCOMPARE(paths, exchangeSorted(sizes));
}

void TestSheetLayout::compact_data()
{
    QTest::addColumn<SizeMap>("sizes");
    QTest::addColumn<int>("margin");
    QTest::addColumn<QSize>("maxSize");
    QTest::addColumn<bool>("powerOfTwo");
    QTest::addColumn<bool>("goal"); // little waste, neither side over twice the other

    // Sets like the bench corpora: sprites up to 255, up to 1023, and many small ones.
    QTest::newRow("99 small sprites")
        << randomSizes(99, 8, 255, 1) << 2 << QSize() << false << true;
    QTest::newRow("99 large sprites")
        << randomSizes(99, 8, 1023, 2) << 2 << QSize() << false << true;
    QTest::newRow("2000 tiny sprites")
        << randomSizes(2000, 8, 64, 3) << 2 << QSize() << false << true;
    QTest::newRow("margin 0") << randomSizes(300, 1, 40, 4) << 0 << QSize() << false << true;
    QTest::newRow("margin 16") << randomSizes(99, 8, 255, 5) << 16 << QSize() << false << true;
    QTest::newRow("thin strips") << merged(randomSizes(200, 1, 3, 6), randomSizes(5, 100, 300, 7))
                                 << 1 << QSize() << false << true;
    QTest::newRow("power of two") << randomSizes(99, 8, 255, 1) << 2 << QSize() << true << false;
    QTest::newRow("wide limit") << randomSizes(99, 8, 255, 1) << 2 << QSize(2600, 800) << false
                                << false;
    QTest::newRow("limit forces one row, margin 2")
        << equalSquares(8, 50) << 2 << QSize(418, 54) << false << false;
    QTest::newRow("one wide image")
        << merged(equalSquares(20, 10), SizeMap{{"wide.png", {1000, 10}}}) << 2 << QSize() << false
        << false;
    // 126 of 144 pixels, which only shelves of decreasing height fit.
    QTest::newRow("a limit only shelves fit")
        << SizeMap{{"0", {2, 6}}, {"1", {5, 5}}, {"2", {4, 3}}, {"3", {10, 3}},
                   {"4", {8, 2}}, {"5", {2, 3}}, {"6", {5, 5}}}
        << 0 << QSize(12, 12) << false << false;
}

void TestSheetLayout::compact()
{
    QFETCH(SizeMap, sizes);
    QFETCH(int, margin);
    QFETCH(QSize, maxSize);
    QFETCH(bool, powerOfTwo);
    QFETCH(bool, goal);

    // Searching harder, as korvane-pack does before a run would fail.
    const Plan plan = computeCompact(sizes, margin, maxSize, powerOfTwo, 0, true);
    const QString fault = compactFault(plan, sizes, margin);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    QVERIFY(fitsMaxSize(plan, maxSize));
    if (powerOfTwo)
        QVERIFY(isPowerOfTwo(plan.width) && isPowerOfTwo(plan.height));

    // The same sizes under other names in another key order, searched on
    // one thread: the same sheet.
    SizeMap renamed;
    for (auto it = sizes.constBegin(); it != sizes.constEnd(); ++it)
        renamed.insert("z" + QString::number(sizes.size() - renamed.size()), it.value());
    const Plan again = computeCompact(renamed, margin, maxSize, powerOfTwo, 1, true);
    QCOMPARE(QSize(int(again.width), int(again.height)), plan.sheetSize());

    if (goal) {
        double padded = 0;
        for (const QSize &s : sizes)
            padded += double(s.width() + margin) * (s.height() + margin);
        const double ratio = double(plan.width) * double(plan.height) / padded;
        QVERIFY2(ratio <= 1.2, qPrintable(QString::number(ratio)));
        QVERIFY2(qMax(plan.width, plan.height) <= 2 * qMin(plan.width, plan.height),
                 qPrintable(QString("%1 x %2").arg(plan.width).arg(plan.height)));
    }
}

void TestSheetLayout::compactExact_data()
{
    QTest::addColumn<SizeMap>("sizes");
    QTest::addColumn<int>("margin");
    QTest::addColumn<bool>("powerOfTwo");
    QTest::addColumn<QSize>("sheet");

    QTest::newRow("single image framed by margin")
        << SizeMap{{"x.png", {7, 3}}} << 4 << false << QSize(15, 11);
    QTest::newRow("sixteen squares fill a square")
        << equalSquares(16, 16) << 0 << false << QSize(64, 64);
    QTest::newRow("four squares with margins")
        << equalSquares(4, 10) << 2 << false << QSize(26, 26);
    QTest::newRow("power of two rounds up")
        << SizeMap{{"x.png", {7, 3}}} << 4 << true << QSize(16, 16);
    QTest::newRow("exact power of two stays") << equalSquares(16, 16) << 0 << true << QSize(64, 64);
    QTest::newRow("empty") << SizeMap{} << 2 << false << QSize(-1, -1);
    QTest::newRow("negative margin") << equalSquares(2, 3) << -1 << false << QSize(-1, -1);
    // The sheets of the bench-like sets as the search finds them: work on
    // its speed must not change them.
    QTest::newRow("99 small sprites, the sheet found")
        << randomSizes(99, 8, 255, 1) << 2 << false << QSize(1287, 1389);
    QTest::newRow("2000 tiny sprites, the sheet found")
        << randomSizes(2000, 8, 64, 3) << 2 << false << QSize(1708, 1767);
    // Sets whose best sheet comes from a width searched after the first:
    // the bound that dismisses widths must not dismiss it.
    QTest::newRow("99 sprites, a later width wins")
        << randomSizes(99, 8, 255, 6) << 2 << false << QSize(1462, 1339);
    QTest::newRow("power of two, a later width wins")
        << randomSizes(99, 8, 255, 12) << 2 << true << QSize(1024, 2048);
    // Only a bin of the stacked height, 2^31, takes them: past 32 bits.
    QTest::newRow("stacked past 32 bits, too large for int")
        << SizeMap{{"a.png", {1 << 30, 1 << 30}}, {"b.png", {1 << 30, 1 << 30}}} << 0 << false
        << QSize(-1, -1);
    QTest::newRow("area past double precision") << SizeMap{{"x.png", {670498816, 1056964608}}}
                                                << 223 << false << QSize(670499262, 1056965054);
}

void TestSheetLayout::compactExact()
{
    QFETCH(SizeMap, sizes);
    QFETCH(int, margin);
    QFETCH(bool, powerOfTwo);
    QFETCH(QSize, sheet);

    const Plan plan = computeCompact(sizes, margin, QSize(), powerOfTwo);
    QCOMPARE(plan.sheetSize(), sheet);
    if (sheet.isValid()) {
        const QString fault = compactFault(plan, sizes, margin);
        QVERIFY2(fault.isEmpty(), qPrintable(fault));
    } else {
        // Nothing to pack, or a sheet too large for int.
        QCOMPARE(plan.isEmpty(), sizes.isEmpty() || margin < 0);
        QVERIFY(!plan.fitsInt());
    }
}

void TestSheetLayout::compactMaxSize_data()
{
    QTest::addColumn<SizeMap>("sizes");
    QTest::addColumn<QSize>("maxSize");
    QTest::addColumn<bool>("powerOfTwo");
    QTest::addColumn<QSize>("sheet"); // invalid: does not fit, the size needed is reported

    QTest::newRow("limit forces one row")
        << equalSquares(8, 50) << QSize(400, 50) << false << QSize(400, 50);
    QTest::newRow("limit forces one column")
        << equalSquares(8, 50) << QSize(50, 400) << false << QSize(50, 400);
    QTest::newRow("power of two within limit")
        << equalSquares(8, 50) << QSize(512, 64) << true << QSize(512, 64);
    QTest::newRow("too small") << equalSquares(8, 50) << QSize(100, 100) << false << QSize();
    QTest::newRow("power of two too small")
        << equalSquares(8, 50) << QSize(500, 64) << true << QSize();
}

void TestSheetLayout::compactMaxSize()
{
    QFETCH(SizeMap, sizes);
    QFETCH(QSize, maxSize);
    QFETCH(bool, powerOfTwo);
    QFETCH(QSize, sheet);

    const Plan plan = computeCompact(sizes, 0, maxSize, powerOfTwo);
    const QString fault = compactFault(plan, sizes, 0);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    QCOMPARE(fitsMaxSize(plan, maxSize), sheet.isValid());
    if (sheet.isValid())
        QCOMPARE(plan.sheetSize(), sheet);
    else
        QCOMPARE(plan.sheetSize(), computeCompact(sizes, 0, QSize(), powerOfTwo).sheetSize());
}

void TestSheetLayout::planForRows_data()
{
    QTest::addColumn<bool>("powerOfTwo");
    QTest::addColumn<QSize>("maxSize");
    QTest::addColumn<QSize>("sheet");
    QTest::addColumn<bool>("fits");

    QTest::newRow("plain") << false << QSize() << QSize(104, 43) << true;
    QTest::newRow("power of two") << true << QSize() << QSize(128, 64) << true;
    QTest::newRow("at the limit") << false << QSize(104, 43) << QSize(104, 43) << true;
    QTest::newRow("one pixel too narrow") << false << QSize(103, 500) << QSize(104, 43) << false;
    QTest::newRow("rounded past the limit") << true << QSize(128, 63) << QSize(128, 64) << false;
}

void TestSheetLayout::planForRows()
{
    QFETCH(bool, powerOfTwo);
    QFETCH(QSize, maxSize);
    QFETCH(QSize, sheet);
    QFETCH(bool, fits);

    LayoutOptions options;
    options.margin = 2;
    options.maxSize = maxSize;
    options.powerOfTwo = powerOfTwo;
    const Plan plan = planFor(workedExample(), options);
    const Plan rows = SheetLayout::compute(workedExample(), 2);
    QCOMPARE(plan.sheetSize(), sheet);
    QCOMPARE(fitsMaxSize(plan, maxSize), fits);
    QCOMPARE(SheetLayout::placementText(plan.placements),
             SheetLayout::placementText(rows.placements));
}

void TestSheetLayout::parseSize_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QSize>("size"); // invalid: rejected

    QTest::newRow("lower-case x") << "4096x2048" << QSize(4096, 2048);
    QTest::newRow("upper-case X") << "16X8" << QSize(16, 8);
    QTest::newRow("leading zeros") << "0064x01" << QSize(64, 1);
    QTest::newRow("zero side") << "0x5" << QSize();
    QTest::newRow("no height") << "5x" << QSize();
    QTest::newRow("no width") << "x5" << QSize();
    QTest::newRow("one number") << "4096" << QSize();
    QTest::newRow("sign") << "+5x5" << QSize();
    QTest::newRow("space") << "5x 5" << QSize();
    QTest::newRow("three sides") << "5x5x5" << QSize();
    QTest::newRow("beyond int") << "99999999999x1" << QSize();
}

void TestSheetLayout::parseSize()
{
    QFETCH(QString, text);
    QFETCH(QSize, size);
    QSize parsed(-7, -7);
    QCOMPARE(SheetLayout::parseSize(text, &parsed), size.isValid());
    QCOMPARE(parsed, size.isValid() ? size : QSize(-7, -7));
}

void TestSheetLayout::cssClassNames_data()
{
    QTest::addColumn<QStringList>("frames"); // in placement order
    QTest::addColumn<QStringList>("taken");  // by the run's other sheets
    QTest::addColumn<QStringList>("classes");

    QTest::newRow("suffix dropped") << QStringList{"banner.png", "noext"} << QStringList()
                                    << QStringList{"sprite-banner", "sprite-noext"};
    QTest::newRow("unsafe characters")
        << QStringList{"dir/x.y.png", QString::fromUtf8("\xc3\xa4 \"q.png"), ".png"}
        << QStringList() << QStringList{"sprite-dir_x_y", "sprite-___q", "sprite-"};
    QTest::newRow("character beyond U+FFFF")
        << QStringList{QString::fromUtf8("\xf0\x9f\x98\x80_3.png")} << QStringList()
        << QStringList{"sprite-__3"};
    QTest::newRow("first and last kept characters, their neighbours not")
        << QStringList{"azAZ09@[`{/:.png", "v.2/noext"} << QStringList()
        << QStringList{"sprite-azAZ09______", "sprite-v_2_noext"};
    QTest::newRow("clashes numbered")
        << QStringList{"a b.png", "a_b.png", "a_b.PNG", "a_b-2.png"} << QStringList()
        << QStringList{"sprite-a_b", "sprite-a_b-2", "sprite-a_b-3", "sprite-a_b-2-2"};
    QTest::newRow("clash with another sheet's class")
        << QStringList{"a_b.png", "c.png"} << QStringList{"sprite-a_b", "sprite-a_b-2"}
        << QStringList{"sprite-a_b-3", "sprite-c"};
}

void TestSheetLayout::cssClassNames()
{
    QFETCH(QStringList, frames);
    QFETCH(QStringList, taken);
    QFETCH(QStringList, classes);
    DataFormats::Sheet sheet;
    for (int i = 0; i < frames.size(); ++i) {
        const QString path = QString("/in/%1").arg(i);
        sheet.placements.append(Placement{path, {1, 1}, {i, 0}});
        sheet.names.insert(path, frames[i]);
    }
    sheet.cssClassesTaken = QSet<QString>(taken.begin(), taken.end());
    QCOMPARE(DataFormats::cssClassNames(sheet), classes);
}

void TestSheetLayout::namesThroughReaders_data()
{
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QStringList>("refusing"); // the formats that must refuse the run
    QTest::addColumn<QString>("shown");        // the refused name as the message shows it

    const QStringList libgdx{"libgdx"};
    QTest::newRow("plain") << "s.png"
                           << "a.png" << QStringList() << "";
    QTest::newRow("inner spaces and non-ASCII")
        << "my sheet.png" << QString::fromUtf8("\xc3\xa4 b.png") << QStringList() << "";
    QTest::newRow("colon in frame") << "s.png"
                                    << "a:b.png" << libgdx << "a:b.png";
    QTest::newRow("line break in frame") << "s.png"
                                         << "a\nb.png" << libgdx << "a\\x0ab.png";
    QTest::newRow("leading space in frame") << "s.png"
                                            << " a.png" << libgdx << " a.png";
    QTest::newRow("colon in image") << "s:1.png"
                                    << "a.png" << libgdx << "s:1.png";
    QTest::newRow("CR in frame") << "s.png"
                                 << "a\rb.png" << libgdx << "a\\x0db.png";
    QTest::newRow("control character before frame") << "s.png"
                                                    << "\x01lead.png" << libgdx << "\\x01lead.png";
    QTest::newRow("control character after frame") << "s.png"
                                                   << "a.png\x1f" << libgdx << "a.png\\x1f";
    QTest::newRow("image named by a control character") << "\x01"
                                                        << "a.png" << libgdx << "\\x01";
    // An empty line ends an atlas page; U+001F, the last C0 control, is
    // trimmed from a URL's end like a space.
    QTest::newRow("empty frame name") << "s.png"
                                      << "" << libgdx << "";
    QTest::newRow("image ending in U+001F") << "s.png\x1f"
                                            << "a.png" << libgdx << "s.png\\x1f";
    QTest::newRow("unpaired surrogate in frame")
        << "s.png" << QString(QChar(0xd800)) + "x.png" << libgdx << "\\ud800x.png";
    // Phaser fetches the image by a URL, where it would become U+FFFD.
    QTest::newRow("unpaired surrogate in image")
        << QString(QChar(0xdc00)) + "s.png"
        << "a.png" << QStringList{"phaser3", "libgdx", "css"} << "\\udc00s.png";
    QTest::newRow("colon, DEL and C1 CSI in frame")
        << "s.png" << QString("a:\x7f") + QChar(0x9b) + ".png" << libgdx << "a:\\x7f\\x9b.png";
    QTest::newRow("NUL in image") << QString("s") + QChar(0) + ".png"
                                  << "a.png" << QStringList{"css"} << "s\\x00.png";
    QTest::newRow("quote, backslash and </style> in image") << "q\"\\</style>.png"
                                                            << "a.png" << QStringList() << "";
    QTest::newRow("%5 and %6 in image") << "s%5%6.png"
                                        << "a.png" << QStringList() << "";
    // CSS's url() is a URL: a browser reads these as a drive letter, a
    // fragment, a query, an escape or nothing.
    QTest::newRow("URL syntax in image") << "c|#1?2%41\t3.png"
                                         << "a.png" << QStringList() << "";
    // A hex escape ends in a space, or the digit after it would join it.
    QTest::newRow("escaped character before a hex digit in image")
        << QString(QChar(0xe4)) + "1.png"
        << "a.png" << QStringList() << "";
    // Java keeps U+00A0 at a line's end; other readers trim it.
    QTest::newRow("no-break space after frame")
        << "s.png" << QString("a.png") + QChar(0xa0) << libgdx << QString("a.png") + QChar(0xa0);
    // A browser trims white space at either end of a URL.
    QTest::newRow("spaces at both ends of image") << " s.png "
                                                  << "a.png" << QStringList{"libgdx"} << " s.png ";
    // Some JSON readers drop U+FEFF at the start of a string as a byte-order mark.
    QTest::newRow("image and frame starting with U+FEFF")
        << QString(QChar(0xfeff)) + "s.png" << QString(QChar(0xfeff)) + "a.png"
        << QStringList{"libgdx", "css"} << QString(QChar(0xfeff)) + "s.png";
    QTest::newRow("image starting with two U+FEFF")
        << QString(2, QChar(0xfeff)) + "s.png"
        << "a.png" << QStringList{"libgdx", "css"} << QString(2, QChar(0xfeff)) + "s.png";
    QTest::newRow("dot in folder, comma and control characters inside")
        << QString::fromUtf8("\xc3\xa9\x7f.png")
        << QString::fromUtf8("dir.v2/a,b\x01\t\xf0\x9f\x98\x80.png") << QStringList() << "";
}

// Each format is read back with a reader that follows its own rules, not the
// writer's: every name comes back exactly, or the format refuses the run.
void TestSheetLayout::namesThroughReaders()
{
    QFETCH(QString, image);
    QFETCH(QString, frame);
    QFETCH(QStringList, refusing);
    QFETCH(QString, shown);
    const DataFormats::Sheet sheet{
        {Placement{"/in/a", {3, 4}, {1, 2}}}, {{"/in/a", frame}}, image, QSize(10, 10)};
    for (const QString &name : DataFormats::formatNames()) {
        DataFormats::Format format;
        QVERIFY(DataFormats::formatFromName(name, &format));
        QByteArray data;
        QString error;
        const bool written = DataFormats::text(format, sheet, &data, &error);
        QVERIFY2(written != refusing.contains(name), qPrintable(name + ": " + error));
        if (!written) {
            QVERIFY2(error.contains('"' + shown + '"'), qPrintable(error));
            continue;
        }
        // Some readers drop U+FEFF at a string's start; CSS is ASCII whatever the page's encoding.
        QVERIFY2(!data.contains("\xef\xbb\xbf"), qPrintable(name));
        QVERIFY2(format != DataFormats::Format::Css ||
                     !QString::fromLatin1(data).contains(QRegularExpression("[^\\n\\x20-\\x7e]")),
                 data.constData());
        FormatReaders::Read read;
        QVERIFY2(FormatReaders::read(format, data, &read, &error), qPrintable(name + ": " + error));
        QCOMPARE(read.image, image);
        QCOMPARE(read.frames.size(), 1);
        QCOMPARE(read.frames[0].name, format == DataFormats::Format::Css
                                          ? DataFormats::cssClassNames(sheet).value(0)
                                          : frame);
        QCOMPARE(read.frames[0].rect, QRect(1, 2, 3, 4));
    }
}

void TestSheetLayout::placementText_data()
{
    QTest::addColumn<QVector<Placement>>("placements");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("worked example")
        << SheetLayout::compute(workedExample(), 2).placements
        << QByteArray("a.png,100,10,2,2\r\nb.png,60,20,2,14\r\nc.png,40,22,64,14\r\n"
                      "d.png,30,5,2,36\r\n");
    QTest::newRow("comma and non-ASCII path unchanged")
        << QVector<Placement>{{QString::fromUtf8("/in/a,b \xc3\xbc.png"), {3, 4}, {5, 6}}}
        << QByteArray("/in/a,b \xc3\xbc.png,3,4,5,6\r\n");
    QTest::newRow("negative position")
        << QVector<Placement>{{"n.png", {1, 2}, {-3, -40}}} << QByteArray("n.png,1,2,-3,-40\r\n");
    QTest::newRow("empty") << QVector<Placement>{} << QByteArray();
    // Readers drop U+FEFF at the start of a file as a byte-order mark.
    QTest::newRow("first path starting with U+FEFF")
        << QVector<Placement>{{QString(QChar(0xfeff)) + "a.png", {1, 2}, {3, 4}},
                              {QString(QChar(0xfeff)) + "b.png", {5, 6}, {7, 8}}}
        << QByteArray("./\xef\xbb\xbf"
                      "a.png,1,2,3,4\r\n\xef\xbb\xbf"
                      "b.png,5,6,7,8\r\n");
}

void TestSheetLayout::placementText()
{
    QFETCH(QVector<Placement>, placements);
    QFETCH(QByteArray, expected);
    QCOMPARE(SheetLayout::placementText(placements), expected);
}

void TestSheetLayout::derivedPaths_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("sheet");
    QTest::addColumn<QString>("placement");

    QTest::newRow("png") << "/data/sheet.png"
                         << "/data/sheet.png"
                         << "/data/sheet.txt";
    QTest::newRow("jpeg") << "/data/sheet.jpeg"
                          << "/data/sheet.jpeg"
                          << "/data/sheet.txt";
    QTest::newRow("upper-case suffix") << "/data/S.PNG"
                                       << "/data/S.PNG"
                                       << "/data/S.txt";
    QTest::newRow("only the last suffix") << "/d/a.tar.gz"
                                          << "/d/a.tar.gz"
                                          << "/d/a.tar.txt";
    QTest::newRow("no suffix") << "/data/sheet"
                               << "/data/sheet.png"
                               << "/data/sheet.txt";
    QTest::newRow("dot in folder only") << "/data.d/sheet"
                                        << "/data.d/sheet.png"
                                        << "/data.d/sheet.txt";
    QTest::newRow("trailing dot") << "/data/sheet."
                                  << "/data/sheet.png"
                                  << "/data/sheet.txt";
    QTest::newRow("relative, not cleaned") << "out/../x/sheet"
                                           << "out/../x/sheet.png"
                                           << "out/../x/sheet.txt";
}

void TestSheetLayout::derivedPaths()
{
    QFETCH(QString, chosen);
    QFETCH(QString, sheet);
    QFETCH(QString, placement);
    QCOMPARE(SheetLayout::sheetPathFor(chosen), sheet);
    QCOMPARE(SheetLayout::placementPathFor(chosen), placement);
}

QTEST_GUILESS_MAIN(TestSheetLayout)
#include "tst_sheetlayout.moc"
