#include "core/sprites/alias.h"

#include <QtTest>

class TestSprites : public QObject
{
    Q_OBJECT

private slots:
    void aliasesNeedEqualPixels();
};

// A hash shared by different pixels must not merge them: each distinct
// content keeps its own region, whatever the order of the collisions.
void TestSprites::aliasesNeedEqualPixels()
{
    QImage a(2, 2, QImage::Format_ARGB32);
    a.fill(qRgba(1, 2, 3, 4));
    QImage b = a.copy();
    b.setPixel(1, 1, qRgba(1, 2, 3, 5));
    const QVector<Sprites::Cut> cuts{{a, a.rect()}, {b, b.rect()}, {a, a.rect()}, {b, b.rect()}};
    QCOMPARE(Sprites::aliasTargets(cuts, {7, 7, 7, 7}), (QVector<int>{0, 1, 0, 1}));
    QCOMPARE(Sprites::pixelHash(cuts[0]) == Sprites::pixelHash(cuts[1]), false);
}

QTEST_GUILESS_MAIN(TestSprites)
#include "tst_sprites.moc"
