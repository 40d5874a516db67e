// Layout invariants for arbitrary image sizes and margins: every image is
// placed exactly once, widest first, inside the sheet and a margin from its
// left and top edges, without overlapping another and a margin from the one
// beside it, and the sheet is exactly as wide as the widest image plus a
// margin on each side.

#include "core/layout/sheetlayout.h"

#include <QSet>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

class Bytes
{
public:
    Bytes(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool atEnd() const { return m_pos >= m_size; }
    unsigned take16()
    {
        unsigned value = 0;
        for (int i = 0; i < 2; ++i)
            value = (value << 8) | (m_pos < m_size ? m_data[m_pos++] : 0);
        return value;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// Mostly small values, but zero, large and near-INT_MAX ones stay reachable.
int dimension(unsigned v)
{
    const int low = int(v & 0x3fff);
    switch (v >> 14) {
    case 0:
        return low & 63;
    case 1:
        return low;
    case 2:
        return INT_MAX - low;
    default:
        return low << 17;
    }
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "layout invariant broken: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Bytes bytes(data, size);
    const int margin = dimension(bytes.take16());
    QMap<QString, QSize> sizes;
    for (int i = 0; i < 64 && !bytes.atEnd(); ++i) {
        const int width = dimension(bytes.take16());
        const int height = dimension(bytes.take16());
        sizes.insert(QStringLiteral("image%1.png").arg(i), QSize(width, height));
    }

    const SheetLayout::Plan plan = SheetLayout::compute(sizes, margin);
    if (sizes.isEmpty()) {
        if (!plan.isEmpty() || plan.fitsInt() || plan.sheetSize() != QSize(-1, -1))
            fail("an empty input gives a sheet");
        return 0;
    }

    if (plan.placements.size() != sizes.size())
        fail("placement count differs from image count");
    QSet<QString> seen;
    qint64 widest = 0;
    for (const SheetLayout::Placement &p : plan.placements) {
        if (!sizes.contains(p.path) || seen.contains(p.path))
            fail("an image is placed twice or an unknown path is placed");
        seen.insert(p.path);
        if (p.size != sizes.value(p.path))
            fail("a placement changed the image size");
        widest = qMax<qint64>(widest, p.size.width());
    }
    if (plan.width != widest + 2 * qint64(margin))
        fail("sheet width is not widest + 2 * margin");

    const int n = plan.placements.size();
    for (int i = 0; i < n; ++i) {
        const SheetLayout::Placement &a = plan.placements.at(i);
        // Widest first, one margin from the left and top edges, and one
        // between images side by side in a row.
        if (a.x < margin || a.y < margin)
            fail("an image is closer than a margin to the left or top edge");
        if (i > 0) {
            const SheetLayout::Placement &before = plan.placements.at(i - 1);
            if (before.size.width() < a.size.width())
                fail("a wider image follows a narrower one");
            if (!before.size.isEmpty() && !a.size.isEmpty() && before.y == a.y &&
                a.x < before.x + before.size.width() + qint64(margin))
                fail("images side by side are closer than a margin");
        }
        if (a.x < 0 || a.y < 0 || a.x + a.size.width() > plan.width ||
            a.y + a.size.height() > plan.height)
            fail("a rectangle lies outside the sheet");
        if (a.size.isEmpty())
            continue;
        for (int j = i + 1; j < n; ++j) {
            const SheetLayout::Placement &b = plan.placements.at(j);
            if (b.size.isEmpty())
                continue;
            if (a.x < b.x + b.size.width() && b.x < a.x + a.size.width() &&
                a.y < b.y + b.size.height() && b.y < a.y + a.size.height())
                fail("two rectangles overlap");
        }
    }

    if (plan.fitsInt()) {
        if (plan.sheetSize() != QSize(int(plan.width), int(plan.height)))
            fail("sheetSize() differs from the plan");
        const QMap<QString, QPoint> positions = plan.positions();
        if (positions.size() != n)
            fail("positions() lost an image");
        for (const SheetLayout::Placement &p : plan.placements) {
            if (p.position != QPoint(int(p.x), int(p.y)) || positions.value(p.path) != p.position)
                fail("int position differs from the exact one");
        }
    } else if (plan.sheetSize() != QSize(-1, -1) || !plan.positions().isEmpty()) {
        fail("a plan that does not fit in int still gives a sheet");
    }
    return 0;
}
