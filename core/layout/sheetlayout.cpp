#include "core/layout/sheetlayout.h"

#include <QFileInfo>

#include <algorithm>
#include <limits>
#include <numeric>
#include <utility>

namespace SheetLayout {

namespace {

bool inIntRange(qint64 value)
{
    return value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();
}

// Fenwick tree counting marked indices in 0..size-1.
class CountTree
{
public:
    explicit CountTree(int size, bool allMarked = false) : m_tree(size + 1, 0)
    {
        if (allMarked) {
            for (int i = 1; i <= size; ++i)
                m_tree[i] = i & -i;
        }
    }

    void add(int index, int delta)
    {
        for (int i = index + 1; i < m_tree.size(); i += i & -i)
            m_tree[i] += delta;
    }

    // Marks in [0, index).
    int countBefore(int index) const
    {
        int count = 0;
        for (int i = index; i > 0; i -= i & -i)
            count += m_tree[i];
        return count;
    }

    // The index of the mark with `rank` marks before it; rank < total marks.
    int findMarked(int rank) const
    {
        int pos = 0;
        int step = 1;
        while (step * 2 < m_tree.size())
            step *= 2;
        for (; step > 0; step /= 2) {
            if (pos + step < m_tree.size() && m_tree[pos + step] <= rank) {
                pos += step;
                rank -= m_tree[pos];
            }
        }
        return pos;
    }

private:
    QVector<int> m_tree;
};

// The indices of `widths` in the order that this exchange sort leaves them:
//     for i < j: if (w[i] < w[j]) swap(list[i], list[j])
// in O(n log n) instead of O(n^2).
//
// Pass i carries list[i] along and swaps it for every strictly wider element,
// so it leaves the first widest element of list[i..] at i. Passes starting at
// a narrower element shift the elements of width >= W among themselves just as
// a pass starting at the first of them would, so those elements end in the
// order the exchange sort gives them alone. Among them, one of the narrowest
// width W moves only when it leads, into the place of the first wider element,
// while the leading place is fixed with a wider one. So the group of width W seen
// so far in input order is one run ahead of all remaining wider elements: each
// wider element taken rotates the run by one (first to last), and each further
// group element joins its end. The run is kept as a cyclic list with a head;
// its insertions are replayed backwards to find each element's place.
QVector<int> widestFirstOrder(const QVector<int> &widths)
{
    const int n = widths.size();
    QVector<int> byWidth(n);
    std::iota(byWidth.begin(), byWidth.end(), 0);
    std::stable_sort(byWidth.begin(), byWidth.end(),
                     [&widths](int a, int b) { return widths[a] > widths[b]; });

    QVector<int> order;
    order.reserve(n);
    CountTree wider(n);
    int widerCount = 0;
    for (int first = 0; first < n;) {
        int end = first + 1;
        while (end < n && widths[byWidth[end]] == widths[byWidth[first]])
            ++end;
        const int count = end - first;

        // slot[k]: where element k was inserted into the cyclic list of k elements.
        QVector<int> slot(count);
        int head = 0;
        for (int k = 0; k < count; ++k) {
            if (k > 0) {
                const int taken = wider.countBefore(byWidth[first + k]) -
                                  wider.countBefore(byWidth[first + k - 1]);
                head = (head + taken) % k;
            }
            slot[k] = head;
            head = (head + 1) % (k + 1);
        }
        head = (head + widerCount - wider.countBefore(byWidth[end - 1])) % count;

        CountTree free(count, true);
        QVector<int> cycle(count);
        for (int k = count - 1; k >= 0; --k) {
            const int place = free.findMarked(slot[k]);
            cycle[place] = byWidth[first + k];
            free.add(place, -1);
        }
        for (int k = 0; k < count; ++k)
            order.append(cycle[(head + k) % count]);

        for (int k = first; k < end; ++k)
            wider.add(byWidth[k], 1);
        widerCount += count;
        first = end;
    }
    return order;
}

} // namespace

bool Plan::fitsInt() const
{
    if (width <= 0 || height <= 0 || !inIntRange(width) || !inIntRange(height))
        return false;
    for (const Placement &p : placements) {
        if (!inIntRange(p.x) || !inIntRange(p.y) || !inIntRange(p.x + p.size.width()) ||
            !inIntRange(p.y + p.size.height()))
            return false;
    }
    return true;
}

QSize Plan::sheetSize() const
{
    if (isEmpty() || !fitsInt())
        return QSize(-1, -1);
    return QSize(int(width), int(height));
}

QMap<QString, QPoint> Plan::positions() const
{
    QMap<QString, QPoint> result;
    if (!fitsInt())
        return result;
    for (const Placement &p : placements)
        result.insert(p.path, p.position);
    return result;
}

Plan compute(const QMap<QString, QSize> &sizes, int margin)
{
    Plan plan;
    QVector<Placement> &list = plan.placements;
    QVector<Placement> input;
    QVector<int> widths;
    input.reserve(sizes.size());
    widths.reserve(sizes.size());
    for (auto it = sizes.constBegin(); it != sizes.constEnd(); ++it) {
        input.append(Placement{it.key(), it.value(), QPoint(), 0, 0});
        widths.append(it.value().width());
    }

    // The order of equal widths that the original exchange sort left is part
    // of the layout users get, so it is kept exactly.
    list.reserve(input.size());
    for (int index : widestFirstOrder(widths))
        list.append(std::move(input[index]));
    if (list.isEmpty())
        return plan;

    const qint64 m = margin;
    plan.width = list.first().size.width() + 2 * m;
    qint64 cursor = m;
    qint64 rowTop = m;
    qint64 nextRowTop = m;
    for (Placement &p : list) {
        const qint64 w = p.size.width();
        const qint64 h = p.size.height();
        if (cursor + w <= plan.width) {
            p.x = cursor;
            p.y = rowTop;
            if (rowTop + h > nextRowTop)
                nextRowTop = rowTop + h + m;
            cursor += w + m;
        } else {
            p.x = m;
            p.y = nextRowTop;
            cursor = m + w + m;
            rowTop = nextRowTop;
            nextRowTop += h + m;
        }
        plan.height = nextRowTop;
    }

    if (plan.fitsInt()) {
        for (Placement &p : list)
            p.position = QPoint(int(p.x), int(p.y));
    }
    return plan;
}

QByteArray placementText(const QVector<Placement> &placements)
{
    QString text;
    for (const Placement &p : placements) {
        // A first path starting with U+FEFF would start the file with the
        // bytes of a byte-order mark, which readers drop; such a path is
        // relative, and "./" in front names the same file.
        if (text.isEmpty() && p.path.startsWith(QChar(0xfeff)))
            text += QLatin1String("./");
        text += p.path + QLatin1Char(',') + QString::number(p.size.width()) + QLatin1Char(',') +
                QString::number(p.size.height()) + QLatin1Char(',') +
                QString::number(p.position.x()) + QLatin1Char(',') +
                QString::number(p.position.y()) + QLatin1String("\r\n");
    }
    return text.toUtf8();
}

// A file name ending in "." has an empty suffix: it is filled in ("sheet." ->
// "sheet.png" / "sheet.txt") rather than doubling the dot.
QString sheetPathFor(const QString &chosenPath)
{
    if (chosenPath.endsWith(QLatin1Char('.')))
        return chosenPath + QLatin1String("png");
    if (QFileInfo(chosenPath).suffix().isEmpty())
        return chosenPath + QLatin1String(".png");
    return chosenPath;
}

QString placementPathFor(const QString &chosenPath)
{
    if (chosenPath.endsWith(QLatin1Char('.')))
        return chosenPath + QLatin1String("txt");
    const QString suffix = QFileInfo(chosenPath).suffix();
    if (suffix.isEmpty())
        return chosenPath + QLatin1String(".txt");
    return chosenPath.left(chosenPath.size() - suffix.size()) + QLatin1String("txt");
}

} // namespace SheetLayout
