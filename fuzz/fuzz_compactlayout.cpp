// The compact layout for arbitrary sizes, margins and options: every image is
// placed once with its size, a margin inside the sheet's edge and from every
// other image, the sides are powers of two when asked, and a limit that a
// sheet can meet (the layout's own unlimited one, say) is met.

#include "core/layout/compactlayout.h"
#include "fuzzinput.h"

#include <QSet>

namespace {

// Mostly small sides, but zero and very large ones stay reachable.
int side(unsigned v)
{
    switch (v >> 14) {
    case 0:
        return int(v & 63);
    case 1:
        return int(v & 0x3fff);
    case 2:
        return int(v & 3);
    default:
        return int(v & 0x3fff) << 16;
    }
}

void checkPlan(const QMap<QString, QSize> &sizes, const SheetLayout::Plan &plan, qint64 m)
{
    if (plan.placements.size() != sizes.size())
        fuzzFail("placement count differs from image count");
    QSet<QString> seen;
    for (int i = 0; i < plan.placements.size(); ++i) {
        const SheetLayout::Placement &a = plan.placements[i];
        if (!sizes.contains(a.path) || seen.contains(a.path) || sizes.value(a.path) != a.size)
            fuzzFail("an image placed twice, unknown or resized", a.path.toUtf8());
        seen.insert(a.path);
        if (a.x < m || a.y < m || a.x + a.size.width() + m > plan.width ||
            a.y + a.size.height() + m > plan.height)
            fuzzFail("an image not a margin inside the sheet", a.path.toUtf8());
        for (int j = i + 1; j < plan.placements.size(); ++j) {
            const SheetLayout::Placement &b = plan.placements[j];
            if (a.x < b.x + b.size.width() + m && b.x < a.x + a.size.width() + m &&
                a.y < b.y + b.size.height() + m && b.y < a.y + a.size.height() + m)
                fuzzFail("two images closer than the margin", (a.path + b.path).toUtf8());
        }
        if (plan.fitsInt() && a.position != QPoint(int(a.x), int(a.y)))
            fuzzFail("int position differs from the exact one");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const unsigned flags = input.take8();
    const bool powerOfTwo = flags & 1;
    const bool thorough = flags & 8; // the search before a run would fail, shelves included
    const int margin = flags & 2 ? int(input.take8()) - 8 : int(input.take8() & 3);
    QSize maxSize;
    if (flags & 4)
        maxSize = QSize(int(input.take16()), int(input.take16()));
    QMap<QString, QSize> sizes;
    for (int i = 0; i < 40 && !input.atEnd(); ++i)
        sizes.insert(QStringLiteral("i%1.png").arg(i),
                     QSize(side(input.take16()), side(input.take16())));

    const SheetLayout::Plan plan =
        SheetLayout::computeCompact(sizes, margin, maxSize, powerOfTwo, 0, thorough);
    if (sizes.isEmpty() || margin < 0) {
        if (!plan.isEmpty())
            fuzzFail("no images or a negative margin still gives a sheet");
        return 0;
    }
    checkPlan(sizes, plan, margin);
    const auto isPowerOfTwo = [](qint64 v) { return v > 0 && (v & (v - 1)) == 0; };
    if (powerOfTwo && (!isPowerOfTwo(plan.width) || !isPowerOfTwo(plan.height)))
        fuzzFail("a side is not a power of two");
    if (!maxSize.isValid())
        return 0;
    // A limit the unlimited layout meets must be met with the limit too.
    const SheetLayout::Plan free = SheetLayout::computeCompact(sizes, margin, QSize(), powerOfTwo);
    if (SheetLayout::fitsMaxSize(free, maxSize) && !SheetLayout::fitsMaxSize(plan, maxSize))
        fuzzFail("a limit the unlimited sheet meets is missed");
    return 0;
}
