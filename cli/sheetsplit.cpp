#include "cli/sheetsplit.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <vector>

namespace PackCommand {

namespace {

struct Image
{
    QString path;
    QSize size;
};

class Splitter
{
public:
    explicit Splitter(const SheetLayout::LayoutOptions &options) : m_options(options) {}

    bool fits(const QMap<QString, QSize> &sizes) const
    {
        const SheetLayout::Plan plan = SheetLayout::planFor(sizes, m_options);
        return !plan.isEmpty() && plan.fitsInt() &&
               SheetLayout::fitsMaxSize(plan, m_options.maxSize);
    }

    // The area an image takes on a sheet with its margin: the order of the
    // split.
    qint64 area(const QSize &size) const
    {
        return qint64(size.width() + m_options.margin) * (size.height() + m_options.margin);
    }

    // Fills one sheet from `remaining`, leaving what does not fit there.
    QMap<QString, QSize> fill(QVector<Image> *remaining) const
    {
        const int run = longestRun(*remaining);
        QMap<QString, QSize> sheet = mapOf(*remaining, 0, run);
        qint64 free = capacity();
        for (auto it = sheet.constBegin(); it != sheet.constEnd(); ++it)
            free -= leastArea(it.value());
        QVector<Image> left;
        // The compact layout places images by size, the path only ordering
        // those of one size: an image the size of one that did not fit on
        // this sheet as it is does not fit either. In rows the paths order
        // images of one width, so only the shortcut, which goes by sizes
        // alone, refuses a size for the sheet as it is.
        QSet<quint64> refused;
        const bool bySize = m_options.layout == SheetLayout::Layout::Compact;
        for (int i = run; i < remaining->size(); ++i) {
            const Image &image = remaining->at(i);
            const quint64 key = sizeKey(image.size);
            if (leastArea(image.size) <= free && !refused.contains(key)) {
                if (bySize || mayFitInRows(sheet, image.size)) {
                    sheet.insert(image.path, image.size);
                    if (fits(sheet)) {
                        free -= leastArea(image.size);
                        refused.clear();
                        continue;
                    }
                    sheet.remove(image.path);
                    if (bySize)
                        refused.insert(key);
                } else {
                    refused.insert(key);
                }
            }
            left.append(image);
        }
        *remaining = left;
        return sheet;
    }

private:
    // False when `sheet` with an image of `extra` cannot fit in rows: its
    // least height is over the limit, or its width is. What the paths decide
    // (the order of images of one width) is left out: the rows break where
    // the widths alone say. A row of one image is as tall as that image plus
    // the margin, and the rows of one image each of one width hold as many
    // of that width's images, so at least its lowest ones; any other row is
    // at least as tall as the lowest image that can lead it plus the margin,
    // and as the lowest that can be in it. Only a shortcut: the layout
    // decides what does fit.
    bool mayFitInRows(const QMap<QString, QSize> &sheet, const QSize &extra) const
    {
        m_sizes.clear();
        for (const QSize &size : sheet)
            m_sizes.push_back(size);
        m_sizes.push_back(extra);
        return sizesMayFitInRows();
    }

    // The same for the sizes in m_sizes, which it reorders.
    bool sizesMayFitInRows() const
    {
        if (!m_options.maxSize.isValid())
            return true;
        // Widest first, each width's lowest first.
        std::sort(m_sizes.begin(), m_sizes.end(), [](const QSize &a, const QSize &b) {
            return a.width() != b.width() ? a.width() > b.width() : a.height() < b.height();
        });
        const qint64 m = m_options.margin;
        const qint64 width = m_sizes.front().width() + 2 * m;
        if (rounded(width) > m_options.maxSize.width())
            return false;
        const size_t n = m_sizes.size();
        qint64 height = m;
        size_t widthStart = 0; // where the current width's images begin
        size_t alone = 0;      // rows of one image of the current width so far
        for (size_t first = 0; first < n;) {
            size_t end = first + 1;
            qint64 cursor = m + m_sizes[first].width() + m;
            while (end < n && cursor + m_sizes[end].width() <= width)
                cursor += m_sizes[end++].width() + m;
            // Visited in order: the first of each width starts its images.
            const auto lowest = [&](size_t i) {
                if (m_sizes[widthStart].width() != m_sizes[i].width()) {
                    widthStart = i;
                    alone = 0;
                }
                return qint64(m_sizes[widthStart].height());
            };
            qint64 lead = lowest(first);
            if (end - first == 1)
                lead = m_sizes[widthStart + alone++].height();
            // The first row is only as tall as its images once one has height.
            qint64 row = first == 0 && lead == 0 ? 0 : lead + m;
            for (size_t i = first + 1; i < end; ++i)
                row = std::max(row, lowest(i));
            height += row;
            first = end;
        }
        return rounded(height) <= m_options.maxSize.height();
    }

    qint64 rounded(qint64 side) const
    {
        return m_options.powerOfTwo ? SheetLayout::nextPowerOfTwo(side) : side;
    }

    qint64 capacity() const
    {
        return qint64(m_options.maxSize.width()) * m_options.maxSize.height();
    }

    // The length of the longest run from the start of `images` that fits,
    // without a layout for every length. A run's rows are as wide as its
    // widest image, so a run can fit where a shorter one does not only by
    // taking in an image wider than any before it. The runs are cut into
    // stretches that start with each such image; within one a longer run is
    // taken to fit no better than a shorter one. From the longest run the
    // sheet's area allows down, the first stretch whose shortest run fits is
    // searched by halving. Every image fits on its own, and so within the
    // sheet's area: the result is at least 1.
    int longestRun(const QVector<Image> &images) const
    {
        int bound = 0;
        for (qint64 used = 0; bound < images.size(); ++bound) {
            used += leastArea(images[bound].size);
            if (used > capacity())
                break;
        }
        // The longest run the area allows, whole: images that fit on one
        // sheet are never split.
        if (runFits(images, bound))
            return bound;
        QVector<int> starts{1}; // every image fits on its own
        for (int i = 1, widest = images[0].size.width(); i < bound; ++i) {
            if (images[i].size.width() > widest) {
                widest = images[i].size.width();
                starts << i + 1;
            }
        }
        for (int k = starts.size() - 1;; --k) {
            int low = starts[k];
            int high = k + 1 < starts.size() ? starts[k + 1] - 1 : bound;
            if (k > 0 && !runFits(images, low))
                continue;
            while (low < high) {
                const int middle = (low + high + 1) / 2;
                if (runFits(images, middle))
                    low = middle;
                else
                    high = middle - 1;
            }
            return low;
        }
    }

    // The part of the sheet an image takes that no other image's part
    // overlaps, so that images whose parts add up to more than the sheet
    // never fit together. In compact it is the image with the margin to its
    // right and below it; in rows only the margin to its right counts, as a
    // later image of a row may be taller than the row's first by up to the
    // margin and reach into the margin below the row.
    qint64 leastArea(const QSize &size) const
    {
        const qint64 m = m_options.margin;
        const qint64 height =
            m_options.layout == SheetLayout::Layout::Compact ? size.height() + m : size.height();
        return (size.width() + m) * height;
    }

    static quint64 sizeKey(const QSize &size)
    {
        return quint64(quint32(size.width())) << 32 | quint32(size.height());
    }

    // Whether the first `count` of `images` fit on one sheet; in rows the
    // shortcut first, which spares most layouts of runs too long.
    bool runFits(const QVector<Image> &images, int count) const
    {
        if (m_options.layout != SheetLayout::Layout::Compact) {
            m_sizes.clear();
            for (int i = 0; i < count; ++i)
                m_sizes.push_back(images[i].size);
            if (!sizesMayFitInRows())
                return false;
        }
        return fits(mapOf(images, 0, count));
    }

    static QMap<QString, QSize> mapOf(const QVector<Image> &images, int from, int to)
    {
        QMap<QString, QSize> result;
        for (int i = from; i < to; ++i)
            result.insert(images[i].path, images[i].size);
        return result;
    }

    const SheetLayout::LayoutOptions &m_options;
    mutable std::vector<QSize> m_sizes; // mayFitInRows()'s, kept for its capacity
};

} // namespace

QString numberedPath(const QString &path, int n)
{
    QString result = path;
    if (result.contains(QLatin1String("{n}")))
        return result.replace(QLatin1String("{n}"), QString::number(n));
    if (n == 0)
        return result;
    const QString fileName = QFileInfo(path).fileName();
    const int dot = fileName.lastIndexOf(QLatin1Char('.'));
    const int at = dot > 0 ? path.size() - fileName.size() + dot : path.size();
    return result.insert(at, QLatin1Char('-') + QString::number(n));
}

bool splitIntoSheets(const QMap<QString, QSize> &sizes, const SheetLayout::LayoutOptions &options,
                     QVector<QMap<QString, QSize>> *groups, QString *error, int extrude,
                     const QMap<QString, QSize> &trimmedFrom)
{
    const Splitter splitter(options);
    QVector<Image> remaining;
    for (auto it = sizes.constBegin(); it != sizes.constEnd(); ++it) {
        if (!splitter.fits({{it.key(), it.value()}})) {
            // The image's own size, what it keeps once trimmed, then the box
            // its extruded edges need.
            const QSize own = it.value() - QSize(2 * extrude, 2 * extrude);
            QString size = QStringLiteral("%1 x %2").arg(own.width()).arg(own.height());
            const auto untrimmed = trimmedFrom.constFind(it.key());
            if (untrimmed != trimmedFrom.constEnd()) {
                size = QStringLiteral("%1 x %2, %3 once trimmed")
                           .arg(untrimmed->width())
                           .arg(untrimmed->height())
                           .arg(size);
            }
            if (extrude > 0) {
                size += QStringLiteral(", %1 x %2 with --extrude %3")
                            .arg(it.value().width())
                            .arg(it.value().height())
                            .arg(extrude);
            }
            *error = QStringLiteral("%1 (%2) does not fit on a sheet of --max-size %3x%4 "
                                    "with margin %5")
                         .arg(QDir::toNativeSeparators(it.key()), size,
                              QString::number(options.maxSize.width()),
                              QString::number(options.maxSize.height()),
                              QString::number(options.margin));
            // The rounding, not the margin, may be what leaves no room.
            if (options.powerOfTwo)
                *error += QStringLiteral(", rounded up to powers of two");
            return false;
        }
        remaining.append({it.key(), it.value()});
    }
    std::stable_sort(remaining.begin(), remaining.end(), [&](const Image &a, const Image &b) {
        return splitter.area(a.size) > splitter.area(b.size);
    });
    groups->clear();
    while (!remaining.isEmpty())
        groups->append(splitter.fill(&remaining));
    return true;
}

} // namespace PackCommand
