#include "compose/sheetlayout.h"

#include <QRandomGenerator>
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

} // namespace

class TestSheetLayout : public QObject
{
    Q_OBJECT

private slots:
    void compute_data();
    void compute();
    void orderMatchesExchangeSort_data();
    void orderMatchesExchangeSort();
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
    QTest::newRow("empty") << SizeMap{} << 3 << QStringList{} << Coords{} << qint64(-1)
                           << qint64(-1) << false;
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
