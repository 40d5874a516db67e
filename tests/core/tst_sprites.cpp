#include "core/layout/sheetlayout.h"
#include "core/pipeline.h"
#include "core/sprites/alias.h"
#include "core/sprites/animations.h"
#include "core/sprites/sheetpixels.h"
#include "core/sprites/spritepipeline.h"
#include "support/testsupport.h"

#include <QTemporaryDir>
#include <QtTest>
#include <optional>

class TestSprites : public QObject
{
    Q_OBJECT

private slots:
    void aliasesNeedEqualPixels();
    void premultiplyRounds_data();
    void premultiplyRounds();
    void animationFrameNames_data();
    void animationFrameNames();
    void runsStopOrFail_data();
    void runsStopOrFail();
};

// A hash shared by different pixels must not merge them: each distinct
// content keeps its own region, whatever the order of the collisions.
void TestSprites::aliasesNeedEqualPixels()
{
    QImage a(2, 2, QImage::Format_ARGB32);
    a.fill(qRgba(1, 2, 3, 4));
    QImage b = a.copy();
    b.setPixel(1, 1, qRgba(1, 2, 3, 5));
    // c and d differ only in a colour under alpha 0, which an unpremultiplied
    // sheet keeps.
    QImage c = a.copy();
    c.setPixel(0, 0, qRgba(9, 9, 9, 0));
    QImage d = a.copy();
    d.setPixel(0, 0, qRgba(8, 8, 8, 0));
    // The fifth is a's first row alone: as wide, and equal as far as it goes.
    const QVector<Sprites::Cut> cuts{{a, a.rect()}, {b, b.rect()},          {a, a.rect()},
                                     {b, b.rect()}, {a, QRect(0, 0, 2, 1)}, {c, c.rect()},
                                     {d, d.rect()}};
    QCOMPARE(Sprites::aliasTargets(cuts, {7, 7, 7, 7, 7, 7, 7}),
             (QVector<int>{0, 1, 0, 1, 4, 5, 6}));
    QCOMPARE(Sprites::pixelHash(cuts[0]) == Sprites::pixelHash(cuts[1]), false);
}

void TestSprites::premultiplyRounds_data()
{
    QTest::addColumn<uint>("pixel");
    QTest::addColumn<uint>("expected");
    // At alpha 254 a colour of 128 or more drops by one, one below stays.
    QTest::newRow("alpha 254, colours on both sides of 128")
        << uint(qRgba(255, 128, 127, 254)) << uint(qRgba(254, 127, 127, 254));
    // At alpha 1 a colour of 128 rounds up to 1, one of 127 down to 0.
    QTest::newRow("alpha 1, colours on both sides of 127.5")
        << uint(qRgba(255, 128, 127, 1)) << uint(qRgba(1, 1, 0, 1));
}

void TestSprites::premultiplyRounds()
{
    QFETCH(uint, pixel);
    QFETCH(uint, expected);
    QImage sheet(1, 1, QImage::Format_ARGB32);
    sheet.setPixel(0, 0, pixel);
    Sprites::premultiplyRows({sheet.bits(), sheet.bytesPerLine()}, 1, 0, 1);
    QCOMPARE(uint(sheet.pixel(0, 0)), expected);
}

void TestSprites::animationFrameNames_data()
{
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("animation"); // empty: in none
    QTest::addColumn<int>("index");
    QTest::newRow("number ends a folder's name") << "walk/5.png" << QString() << -1;
    QTest::newRow("dot in a folder's name is no suffix") << "v1.2/w5"
                                                         << "v1.2/w" << 5;
    QTest::newRow("number beyond int") << "w2147483648.png" << QString() << -1;
    QTest::newRow("int's largest") << "w-2147483647.png"
                                   << "w" << 2147483647;
}

void TestSprites::animationFrameNames()
{
    QFETCH(QString, frame);
    QFETCH(QString, animation);
    QFETCH(int, index);
    const Sprites::AnimationFrame found = Sprites::animationFrame(frame);
    QCOMPARE(found.animation, animation);
    QCOMPARE(found.index, animation.isEmpty() ? -1 : index);
}

void TestSprites::runsStopOrFail_data()
{
    QTest::addColumn<bool>("sprites"); // with sprite options, or a plain sheet
    QTest::addColumn<QSize>("probed"); // the file is 4 x 4
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("error"); // empty: cancelled
    QTest::addColumn<bool>("leftOut");  // the layout leaves the image out
    QTest::newRow("cancelled before decoding")
        << false << QSize(4, 4) << true << QString() << false;
    QTest::newRow("cancelled before decoding sprites")
        << true << QSize(4, 4) << true << QString() << false;
    // Only images whose data does not decode are left out.
    QTest::newRow("changed size, sprites, skipping undecodable")
        << true << QSize(4, 5) << false << "changed while packing" << false;
    // 8000 x 8000: more than the memory left. A build's sheet fails rather
    // than lack an image another run would decode.
    QTest::newRow("no memory to decode, sprites, skipping undecodable but not that")
        << true << QSize(8000, 8000) << false << "not enough memory to decode" << false;
    // --multipack's fallback layout only places the regions it has boxes for.
    QTest::newRow("region left out by the layout")
        << true << QSize(4, 4) << false << "has no place in the sheet's layout" << true;
}

void TestSprites::runsStopOrFail()
{
    QFETCH(bool, sprites);
    QFETCH(QSize, probed);
    QFETCH(bool, cancel);
    QFETCH(QString, error);
    QFETCH(bool, leftOut);
    QTemporaryDir dir;
    QImage image(4, 4, QImage::Format_ARGB32);
    image.fill(qRgba(10, 20, 30, 255));
    QVERIFY(image.save(dir.filePath("a.png")));
    Compose::Progress progress;
    progress.cancelRequested = cancel;
    Compose::SheetJob job;
    job.sizes.insert(dir.filePath("a.png"), probed);
    job.sheetPath = dir.filePath("s.png");
    if (leftOut) {
        QVERIFY(image.save(dir.filePath("b.png")));
        job.sizes.insert(dir.filePath("b.png"), image.size());
    }
    job.layout = [&](QMap<QString, QSize> sizes) {
        if (leftOut)
            sizes.remove(dir.filePath("b.png"));
        return SheetLayout::compute(sizes, 0);
    };
    job.threads = 1;
    job.progress = &progress;
    Compose::SpriteOptions options;
    options.trim = true;
    std::optional<AddressSpaceLimit> memory;
    if (probed.width() > 1000) {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("the sanitizer's shadow memory needs the address space this takes away");
#endif
        job.skipOutOfMemory = false;
        QVERIFY(memory.emplace(rlim_t(64) << 20).isActive());
    }
    const Compose::SheetResult result =
        sprites ? Compose::composeSprites(job, options).composed : Compose::composeSheet(job);
    memory.reset();
    QCOMPARE(progress.done.load(), cancel ? 0 : int(job.sizes.size()));
    QCOMPARE(result.outcome,
             error.isEmpty() ? Compose::SheetResult::Cancelled : Compose::SheetResult::Failed);
    QVERIFY2(result.error.contains(error), qPrintable(result.error));
}

QTEST_GUILESS_MAIN(TestSprites)
#include "tst_sprites.moc"
