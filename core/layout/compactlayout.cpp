#include "core/layout/compactlayout.h"

#include "core/parallel.h"
#include "core/vectorclones.h"

#include <QVector>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

namespace SheetLayout {

namespace {

// Kept by its edges: the scans of the free list compare edges far more
// often than they need a width or a height.
template <typename T> struct Rect
{
    T x = 0;
    T y = 0;
    T right = 0;
    T bottom = 0;

    static Rect of(T x, T y, T w, T h) { return Rect{x, y, T(x + w), T(y + h)}; }
    T w() const { return right - x; }
    T h() const { return bottom - y; }
    // Without short cuts: the outcome of each comparison is hard to predict,
    // and these run for every free rectangle on every insert.
    bool contains(const Rect &o) const
    {
        return (o.x >= x) & (o.y >= y) & (o.right <= right) & (o.bottom <= bottom);
    }
    bool intersects(const Rect &o) const
    {
        return (o.x < right) & (x < o.right) & (o.y < bottom) & (y < o.bottom);
    }
};

// An image with the margin to its right and below it. Packed into a bin that
// starts one margin in from the sheet's top-left corner, these rectangles
// leave a margin between any two images and around the sheet's edge.
struct Item
{
    QString path;
    QSize size;
    qint64 w = 0;
    qint64 h = 0;
};

// The shorter side each free rectangle would have left around a w x h item,
// or `none` where the item does not fit; returns the least of them.
template <typename T>
KORVANE_VECTOR_CLONES T shortSides(const T *x, const T *y, const T *right, const T *bottom,
                                   size_t n, T w, T h, T none, T *out)
{
    T least = none;
    for (size_t i = 0; i < n; ++i) {
        const T a = right[i] - x[i] - w;
        const T b = bottom[i] - y[i] - h;
        const T shortSide = (a | b) < 0 ? none : std::min(a, b);
        out[i] = shortSide;
        least = std::min(least, shortSide);
    }
    return least;
}

// 1 where `values` holds `value`, 0 elsewhere.
template <typename T>
KORVANE_VECTOR_CLONES void flagEqual(const T *values, size_t n, T value, uint8_t *out)
{
    for (size_t i = 0; i < n; ++i)
        out[i] = uint8_t(values[i] == value);
}

// The first index from `from` on whose byte is not zero, or `n`: eight
// bytes at a time, since nearly all of them are.
size_t nextNonZero(const uint8_t *bytes, size_t from, size_t n)
{
    for (; from + 8 <= n; from += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + from, 8);
        if (word != 0)
            return from + size_t(__builtin_ctzll(qToLittleEndian(word)) / 8);
    }
    while (from < n && bytes[from] == 0)
        ++from;
    return from;
}

// Each free rectangle against `used`: 1 when they overlap, 2 when it lies
// beside `used` along one of its edges, 0 otherwise. Only a rectangle beside
// `used` can contain a piece cut from an overlapping one: pieces border
// `used` and overlap it across that edge.
template <typename T>
KORVANE_VECTOR_CLONES void relationsTo(const Rect<T> &used, const T *x, const T *y, const T *right,
                                       const T *bottom, size_t n, uint8_t *out)
{
    for (size_t i = 0; i < n; ++i) {
        const bool acrossX = (x[i] < used.right) & (used.x < right[i]);
        const bool acrossY = (y[i] < used.bottom) & (used.y < bottom[i]);
        const bool besideX = ((right[i] == used.x) | (x[i] == used.right)) & acrossY;
        const bool besideY = ((bottom[i] == used.y) | (y[i] == used.bottom)) & acrossX;
        out[i] = uint8_t((acrossX & acrossY) | ((besideX | besideY) << 1));
    }
}

// Free space as maximal rectangles that may overlap each other. Kept as
// one array per edge, so that the scans over every free rectangle, which
// are most of a packing's time, run as vector code.
template <typename T> class MaxRectsBin
{
public:
    MaxRectsBin(T width, T height) { push(Rect<T>::of(0, 0, width, height)); }

    // No item still to come is narrower or lower than this: free space that
    // is can never be used, and dropping it keeps the free list short
    // without changing where anything goes.
    void setSmallestItem(T w, T h)
    {
        if (w == m_smallestW && h == m_smallestH)
            return;
        m_smallestW = w;
        m_smallestH = h;
        size_t kept = 0;
        for (size_t i = 0; i < count(); ++i) {
            if (usable(at(i)))
                set(kept++, at(i));
        }
        resize(kept);
    }

    // Best short side fit: the free rectangle that leaves the least on its
    // shorter leftover side, then on its longer one, then the topmost and
    // leftmost, so that the outcome is fully determined.
    bool insert(T w, T h, T *x, T *y)
    {
        constexpr T none = std::numeric_limits<T>::max();
        const size_t n = count();
        m_short.resize(n);
        const T leastShort = shortSides(m_x.data(), m_y.data(), m_right.data(), m_bottom.data(), n,
                                        w, h, none, m_short.data());
        if (leastShort == none)
            return false;
        // Among the few with the least short side, in order: the rest of
        // the rule.
        m_relation.resize(n);
        flagEqual(m_short.data(), n, leastShort, m_relation.data());
        size_t best = 0;
        T bestLong = none;
        for (size_t i = nextNonZero(m_relation.data(), 0, n); i < n;
             i = nextNonZero(m_relation.data(), i + 1, n)) {
            const T longSide = std::max(m_right[i] - m_x[i] - w, m_bottom[i] - m_y[i] - h);
            if (longSide < bestLong ||
                (longSide == bestLong &&
                 (m_y[i] < m_y[best] || (m_y[i] == m_y[best] && m_x[i] < m_x[best])))) {
                best = i;
                bestLong = longSide;
            }
        }
        const Rect<T> used = Rect<T>::of(m_x[best], m_y[best], w, h);
        *x = used.x;
        *y = used.y;
        if (w > 0 && h > 0)
            split(used);
        return true;
    }

private:
    enum Relation : uint8_t { Apart = 0, Overlapping = 1, Beside = 2 };
    // The edge of the placed item that a piece or a touching rectangle ends at.
    enum Edge : uint8_t { Left, Right, Above, Below };
    struct Piece
    {
        Rect<T> rect;
        Edge edge;
    };

    void split(const Rect<T> &used)
    {
        // Each free rectangle against `used`, for all of them at once.
        const size_t n = count();
        m_relation.resize(n);
        relationsTo(used, m_x.data(), m_y.data(), m_right.data(), m_bottom.data(), n,
                    m_relation.data());
        m_pieces.clear();
        for (std::vector<Rect<T>> &touching : m_touching)
            touching.clear();
        for (size_t i = nextNonZero(m_relation.data(), 0, count()); i < count();) {
            if (!(m_relation[i] & Overlapping)) {
                if (m_relation[i] & Beside) {
                    const Rect<T> t = at(i);
                    if (t.right == used.x)
                        m_touching[Left].push_back(t);
                    if (t.x == used.right)
                        m_touching[Right].push_back(t);
                    if (t.bottom == used.y)
                        m_touching[Above].push_back(t);
                    if (t.y == used.bottom)
                        m_touching[Below].push_back(t);
                }
                i = nextNonZero(m_relation.data(), i + 1, count());
                continue;
            }
            // A piece too small for any item to come is dropped at once: it
            // would be dropped below, and it contains no piece that is not.
            const Rect<T> f = at(i);
            if (used.x > f.x)
                addPiece(Rect<T>{f.x, f.y, used.x, f.bottom}, Left);
            if (used.right < f.right)
                addPiece(Rect<T>{used.right, f.y, f.right, f.bottom}, Right);
            if (used.y > f.y)
                addPiece(Rect<T>{f.x, f.y, f.right, used.y}, Above);
            if (used.bottom < f.bottom)
                addPiece(Rect<T>{f.x, used.bottom, f.right, f.bottom}, Below);
            // The last one takes this place, its relation with it.
            const size_t last = count() - 1;
            set(i, at(last));
            m_relation[i] = m_relation[last];
            resize(last);
        }
        // The untouched free rectangles contain none of each other, and none
        // lies inside a piece (it would lie inside the rectangle the piece
        // was cut from). A piece ends at an edge of `used` and overlaps it
        // across that edge, so a free rectangle or piece that contains it
        // without overlapping `used` ends at that same edge: only those need
        // checking.
        for (std::vector<size_t> &group : m_piecesAt)
            group.clear();
        for (size_t i = 0; i < m_pieces.size(); ++i)
            m_piecesAt[m_pieces[i].edge].push_back(i);
        for (size_t i = 0; i < m_pieces.size(); ++i) {
            const Rect<T> &p = m_pieces[i].rect;
            const Edge edge = m_pieces[i].edge;
            bool redundant = false;
            const std::vector<Rect<T>> &touching = m_touching[edge];
            for (size_t j = 0; j < touching.size() && !redundant; ++j)
                redundant = touching[j].contains(p);
            const std::vector<size_t> &group = m_piecesAt[edge];
            for (size_t k = 0; k < group.size() && !redundant; ++k) {
                // Of two equal pieces the later one goes.
                const size_t j = group[k];
                const Rect<T> &q = m_pieces[j].rect;
                redundant = j != i && q.contains(p) && (!p.contains(q) || j < i);
            }
            if (!redundant)
                push(p);
        }
    }

    void addPiece(const Rect<T> &piece, Edge edge)
    {
        if (usable(piece))
            m_pieces.push_back({piece, edge});
    }

    bool usable(const Rect<T> &f) const { return f.w() >= m_smallestW && f.h() >= m_smallestH; }

    size_t count() const { return m_count; }
    Rect<T> at(size_t i) const { return Rect<T>{m_x[i], m_y[i], m_right[i], m_bottom[i]}; }
    void set(size_t i, const Rect<T> &r)
    {
        m_x[i] = r.x;
        m_y[i] = r.y;
        m_right[i] = r.right;
        m_bottom[i] = r.bottom;
    }
    // The arrays only grow; m_count says how much of them is the list.
    void push(const Rect<T> &r)
    {
        if (m_count == m_x.size()) {
            const size_t grown = std::max<size_t>(64, 2 * m_count);
            for (std::vector<T> *edge : {&m_x, &m_y, &m_right, &m_bottom})
                edge->resize(grown);
        }
        set(m_count++, r);
    }
    void resize(size_t n) { m_count = n; }

    std::vector<T> m_x, m_y, m_right, m_bottom; // the free rectangles
    size_t m_count = 0;
    T m_smallestW = 0;
    T m_smallestH = 0;
    std::vector<T> m_short;             // scratch for insert()
    std::vector<uint8_t> m_relation;    // scratch for insert() and split()
    std::vector<Piece> m_pieces;        // scratch for split()
    std::vector<Rect<T>> m_touching[4]; // scratch for split(), by Edge
    std::vector<size_t> m_piecesAt[4];  // scratch for split(): pieces by Edge
};

struct Packing
{
    QVector<QPair<qint64, qint64>> positions; // in the bin, per item
    qint64 usedWidth = 0;
    qint64 usedHeight = 0;
};

// Packs every item into a binWidth x binHeight bin with coordinates of type
// T, which holds every edge; false when one does not fit.
template <typename T>
bool packIn(const QVector<Item> &items, qint64 binWidth, qint64 binHeight, Packing *result)
{
    // The narrowest and lowest of the items from each index on.
    std::vector<QPair<T, T>> smallest(size_t(items.size()));
    for (int i = items.size() - 1; i >= 0; --i) {
        smallest[i] = qMakePair(T(items[i].w), T(items[i].h));
        if (i + 1 < items.size()) {
            smallest[i].first = std::min(smallest[i].first, smallest[i + 1].first);
            smallest[i].second = std::min(smallest[i].second, smallest[i + 1].second);
        }
    }
    MaxRectsBin<T> bin{T(binWidth), T(binHeight)};
    Packing packing;
    packing.positions.reserve(items.size());
    for (int i = 0; i < items.size(); ++i) {
        const Item &item = items[i];
        bin.setSmallestItem(smallest[i].first, smallest[i].second);
        T x = 0;
        T y = 0;
        if (!bin.insert(T(item.w), T(item.h), &x, &y))
            return false;
        packing.positions.append(qMakePair(qint64(x), qint64(y)));
        packing.usedWidth = std::max(packing.usedWidth, x + item.w);
        packing.usedHeight = std::max(packing.usedHeight, y + item.h);
    }
    *result = packing;
    return true;
}

// Packs every item into a binWidth x binHeight bin; false when one does not
// fit. The free list is scanned twice per item: in 32-bit coordinates, which
// take half the memory and vector width, whenever the bin allows them.
bool pack(const QVector<Item> &items, qint64 binWidth, qint64 binHeight, Packing *result)
{
    for (const Item &item : items) {
        if (item.w > binWidth || item.h > binHeight)
            return false;
    }
    constexpr qint64 small = std::numeric_limits<int32_t>::max() / 2;
    if (binWidth <= small && binHeight <= small)
        return packIn<int32_t>(items, binWidth, binHeight, result);
    return packIn<qint64>(items, binWidth, binHeight, result);
}

// First fit by decreasing height: shelves as tall as the first item on
// each, every item on the lowest shelf with room left. In a bin filled to
// the last few percent with many items of like sizes, MaxRects' choices can
// strand a strip on every side where this still fits them all. False when
// an item does not fit.
bool packOnShelves(const QVector<Item> &items, qint64 binWidth, qint64 binHeight, Packing *result)
{
    QVector<int> order(items.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&items](int a, int b) {
        const Item &x = items[a];
        const Item &y = items[b];
        if (x.h != y.h)
            return x.h > y.h;
        if (x.w != y.w)
            return x.w > y.w;
        return x.path < y.path;
    });
    struct Shelf
    {
        qint64 y;
        qint64 height;
        qint64 used;
    };
    std::vector<Shelf> shelves;
    Packing packing;
    packing.positions.resize(items.size());
    for (const int i : std::as_const(order)) {
        const Item &item = items[i];
        if (item.w > binWidth)
            return false;
        auto shelf = std::find_if(shelves.begin(), shelves.end(), [&](const Shelf &s) {
            return s.used + item.w <= binWidth && item.h <= s.height;
        });
        if (shelf == shelves.end()) {
            if (item.h > binHeight - packing.usedHeight)
                return false;
            shelves.push_back(Shelf{packing.usedHeight, item.h, 0});
            packing.usedHeight += item.h;
            shelf = shelves.end() - 1;
        }
        packing.positions[i] = qMakePair(shelf->used, shelf->y);
        shelf->used += item.w;
        packing.usedWidth = std::max(packing.usedWidth, shelf->used);
    }
    *result = packing;
    return true;
}

constexpr double squarenessWeight = 0.1;

struct Candidate
{
    Packing packing;
    qint64 sheetWidth = 0; // after rounding
    qint64 sheetHeight = 0;
    bool valid = false;
    // Where the search for this width stopped: the bin's width, and the
    // heights between the last that failed and the last that held.
    qint64 binWidth = 0;
    qint64 low = 0;
    qint64 high = 0;

    double area() const { return double(sheetWidth) * double(sheetHeight); }
    // The area, made a little worse the further the sheet is from square,
    // so that of two sheets of about the same area the squarer one wins.
    double score() const
    {
        const double longSide = double(std::max(sheetWidth, sheetHeight));
        const double shortSide = double(std::min(sheetWidth, sheetHeight));
        return area() * (1 + squarenessWeight * (longSide / shortSide - 1));
    }
    bool squareEnough() const
    {
        return std::max(sheetWidth, sheetHeight) <= 2 * std::min(sheetWidth, sheetHeight);
    }
    bool betterThan(const Candidate &o) const
    {
        if (!o.valid)
            return valid;
        if (squareEnough() != o.squareEnough())
            return squareEnough();
        if (score() != o.score())
            return score() < o.score();
        return std::max(sheetWidth, sheetHeight) < std::max(o.sheetWidth, o.sheetHeight);
    }
};

class Search
{
public:
    Search(const QVector<Item> &items, qint64 margin, bool powerOfTwo, int threads)
        : m_items(items), m_margin(margin), m_powerOfTwo(powerOfTwo), m_threads(threads)
    {
        for (const Item &item : items) {
            m_widest = std::max(m_widest, item.w);
            m_tallest = std::max(m_tallest, item.h);
            m_area += double(item.w) * double(item.h);
            m_stacked += item.h;
            m_inOneRow += item.w;
        }
    }

    enum class Effort {
        Usual,
        Thorough, // more widths, and more bin heights where a width's usual ones fail
        Shelves,  // packOnShelves() instead of MaxRects
    };

    // The best sheet no larger than maxWidth x maxHeight (sheet sides, after
    // rounding); pass the largest qint64 for no limit. See Effort, and
    // sampled() for the heights a thorough search tries.
    Candidate best(qint64 maxWidth, qint64 maxHeight, Effort effort = Effort::Usual) const
    {
        if (m_powerOfTwo) {
            maxWidth = floorPowerOfTwo(maxWidth);
            maxHeight = floorPowerOfTwo(maxHeight);
        }
        const qint64 maxBinWidth = maxWidth - m_margin;
        const qint64 maxBinHeight = maxHeight - m_margin;
        Candidate best;
        if (m_widest > maxBinWidth || m_tallest > maxBinHeight)
            return best;
        if (effort != Effort::Usual && m_area > double(maxBinWidth) * double(maxBinHeight))
            return best; // the items alone cover more than the bin
        // From the widest bin worth trying down to the least that could hold
        // the items' area within the height limit.
        const qint64 widest = std::min(maxBinWidth, m_inOneRow);
        const qint64 least =
            std::min(widest, std::max(m_widest, qint64(std::ceil(m_area / double(maxBinHeight)))));
        if (effort == Effort::Shelves)
            return onShelves(maxWidth, maxHeight, widest, least);
        const bool thorough = effort == Effort::Thorough;

        // Nearest the square first: a good early result lets later widths
        // be dismissed after one packing.
        QVector<qint64> widths;
        const double side = std::sqrt(m_area);
        for (const double factor : {1.0, 1.08, 0.92, 1.17, 0.85, 1.27, 1.4})
            widths.append(clampedWidth(side * factor, maxBinWidth));
        if (m_powerOfTwo) {
            // Sheet widths that are powers of two, from about half the side
            // to four times it.
            for (qint64 p = nextPowerOfTwo(qint64(side / 2) + m_margin);
                 double(p) <= 4 * side + double(m_margin) && p <= maxWidth; p *= 2)
                widths.append(clampedWidth(double(p - m_margin), maxBinWidth));
        }
        // Under a limit, the widest sheet allowed is often the one that fits.
        if (maxWidth < std::numeric_limits<qint64>::max())
            widths.append(widest);
        if (thorough) {
            // The widths just below the limit, and some spread down to the
            // least.
            constexpr qint64 steps = 8;
            for (qint64 i = 0; i < steps && widest - i >= least; ++i)
                widths.append(widest - i);
            for (qint64 i = 1; i < steps; ++i)
                widths.append(least + (widest - least) * i / steps);
        }
        QVector<qint64> untried;
        for (const qint64 binWidth : std::as_const(widths)) {
            if (!untried.contains(binWidth))
                untried.append(binWidth);
        }
        const auto improves = [&](const Candidate &c) {
            return c.valid && c.sheetWidth <= maxWidth && c.sheetHeight <= maxHeight &&
                   c.betterThan(best);
        };
        const Candidate first = leastHeight(untried.first(), maxBinHeight, best, thorough);
        if (improves(first))
            best = first;
        // The other widths are searched in parallel against the best so far.
        // A search depends on `best` only through its cap, so one that began
        // before `best` changed is run again: the outcome is the same as
        // searching one width after another.
        Candidate bestFinished;
        const std::vector<Candidate> early =
            searchInParallel(untried, maxBinHeight, best, &bestFinished, thorough);
        bool changed = false;
        for (int i = 1; i < untried.size(); ++i) {
            const Candidate c =
                changed ? leastHeight(untried[i], maxBinHeight, best, thorough) : early[size_t(i)];
            if (improves(c)) {
                best = c;
                changed = true;
            }
        }
        const Candidate c = changed ? finished(best) : bestFinished;
        return improves(c) ? c : best;
    }

private:
    // leastHeight() for every width but the first, on m_threads threads;
    // beside them, `best` finished, the outcome when no other width wins.
    std::vector<Candidate> searchInParallel(const QVector<qint64> &widths, qint64 maxBinHeight,
                                            const Candidate &best, Candidate *bestFinished,
                                            bool thorough) const
    {
        std::vector<Candidate> found(size_t(widths.size()));
        // The finishing search goes first: it is the longest.
        Parallel::forEach(m_threads, int(widths.size()), [&](int i) {
            if (i == 0)
                *bestFinished = finished(best);
            else
                found[size_t(i)] = leastHeight(widths[i], maxBinHeight, best, thorough);
        });
        return found;
    }

    // The winning width alone is searched on to the pixel; rounded sides
    // would rarely change for that.
    Candidate finished(const Candidate &c) const
    {
        return c.valid && !m_powerOfTwo ? narrowed(c, true) : c;
    }

    static qint64 floorPowerOfTwo(qint64 value)
    {
        qint64 p = 1;
        while (p <= value / 2)
            p *= 2;
        return p;
    }

    qint64 clampedWidth(double width, qint64 maxBinWidth) const
    {
        const double limit = double(std::min(maxBinWidth, m_inOneRow));
        const qint64 w = qint64(std::ceil(std::min(width, limit)));
        return std::max(m_widest, std::min(w, maxBinWidth));
    }

    // The best sheet within maxWidth x maxHeight (after rounding) packed on
    // shelves, over bin widths from `widest` down to `least`.
    Candidate onShelves(qint64 maxWidth, qint64 maxHeight, qint64 widest, qint64 least) const
    {
        Candidate best;
        constexpr qint64 steps = 16;
        for (qint64 i = 0; i <= steps; ++i) {
            Packing packing;
            if (!packOnShelves(m_items, widest - (widest - least) * i / steps, maxHeight - m_margin,
                               &packing))
                continue;
            const Candidate c = candidateFor(packing);
            if (c.sheetWidth <= maxWidth && c.sheetHeight <= maxHeight && c.betterThan(best))
                best = c;
        }
        return best;
    }

    Candidate candidateFor(const Packing &packing) const
    {
        Candidate c;
        c.packing = packing;
        c.sheetWidth = m_margin + packing.usedWidth;
        c.sheetHeight = m_margin + packing.usedHeight;
        if (m_powerOfTwo) {
            c.sheetWidth = nextPowerOfTwo(c.sheetWidth);
            c.sheetHeight = nextPowerOfTwo(c.sheetHeight);
        }
        c.valid = true;
        return c;
    }

    // The tallest bin height from `low` to `cap` whose sheet, as wide as the
    // bin, could still beat `best` (square enough): a score grows with the
    // height. Below `low` when none could. Most widths are dismissed by one
    // packing at this height.
    qint64 tallestToBeat(const Candidate &best, qint64 binWidth, qint64 low, qint64 cap) const
    {
        const auto couldBeat = [&](qint64 height) {
            Packing full;
            full.usedWidth = binWidth;
            full.usedHeight = height;
            const Candidate c = candidateFor(full);
            return c.score() <= best.score();
        };
        if (cap < low || !couldBeat(low))
            return low - 1;
        while (low < cap) {
            const qint64 mid = cap - (cap - low) / 2;
            if (couldBeat(mid))
                low = mid;
            else
                cap = mid - 1;
        }
        return low;
    }

    // A low bin of this width that takes every item and gives a sheet
    // better than `best`, found by bisection from the area bound; invalid
    // when there is none. Packing is not monotonic in the height, so this is
    // a good height, not always the least.
    Candidate leastHeight(qint64 binWidth, qint64 maxBinHeight, const Candidate &best,
                          bool thorough) const
    {
        // The area bound is rounded in double, and may come out above the
        // stacked height, which always fits.
        qint64 low =
            std::min(m_stacked, std::max(m_tallest, qint64(std::ceil(m_area / double(binWidth)))));
        qint64 cap = std::min(m_stacked, maxBinHeight);
        if (best.valid && best.squareEnough())
            cap = tallestToBeat(best, binWidth, low, cap);
        if (cap < low)
            return Candidate();
        Packing packing;
        Candidate result;
        qint64 high = 0;
        // Most sets fit within a tenth above the area bound.
        const qint64 guess = std::min(cap, low + low / 10);
        if (pack(m_items, binWidth, guess, &packing)) {
            high = packing.usedHeight;
        } else {
            if (guess == cap || !pack(m_items, binWidth, cap, &packing))
                return thorough ? sampled(binWidth, guess + 1, cap) : Candidate();
            low = guess + 1;
            high = packing.usedHeight;
        }
        result = candidateFor(packing);
        result.binWidth = binWidth;
        result.low = low;
        result.high = high;
        // Stop within about one percent: further steps rarely pay.
        return narrowed(result, false);
    }

    // Where neither the guess nor `cap` takes every item, a bin of another
    // height may still hold them within `cap`: packing is not monotonic in
    // the height, so a limit can fail where a lower one, or a looser one,
    // gives a sheet within it. Tries a few heights between `low` and `cap`,
    // and taller bins up to the stacked height, keeping packings that end
    // within `cap`; the best of them, or invalid.
    Candidate sampled(qint64 binWidth, qint64 low, qint64 cap) const
    {
        constexpr qint64 steps = 8;
        Candidate result;
        Packing packing;
        const auto tryHeight = [&](qint64 height) {
            if (pack(m_items, binWidth, height, &packing) && packing.usedHeight <= cap) {
                const Candidate found = candidateFor(packing);
                if (found.betterThan(result))
                    result = found;
            }
        };
        for (qint64 i = 0; i < steps && low < cap; ++i)
            tryHeight(low + (cap - low) * i / steps);
        for (qint64 i = 1; i <= steps && cap < m_stacked; ++i)
            tryHeight(cap + (m_stacked - cap) * i / steps);
        if (result.valid) {
            result.binWidth = binWidth;
            result.low = low;
            result.high = result.packing.usedHeight;
        }
        return result;
    }

    // Goes on halving `c`'s range of heights, to within about one percent
    // of its top or, `exact`, to the pixel; keeps the best sheet found.
    Candidate narrowed(Candidate c, bool exact) const
    {
        Candidate result = c;
        qint64 low = c.low;
        qint64 high = c.high;
        Packing packing;
        while (low < high && high - low > (exact ? 0 : std::max<qint64>(1, high / 100))) {
            const qint64 mid = low + (high - low) / 2;
            if (pack(m_items, c.binWidth, mid, &packing)) {
                high = packing.usedHeight;
                const Candidate found = candidateFor(packing);
                if (found.betterThan(result))
                    result = found;
            } else {
                low = mid + 1;
            }
        }
        result.binWidth = c.binWidth;
        result.low = low;
        result.high = high;
        return result;
    }

    const QVector<Item> &m_items;
    qint64 m_margin = 0;
    bool m_powerOfTwo = false;
    int m_threads = 0; // for the widths searched side by side; 0: one per core
    qint64 m_widest = 0;
    qint64 m_tallest = 0;
    qint64 m_stacked = 0;  // every item in one column
    qint64 m_inOneRow = 0; // every item in one row
    double m_area = 0;
};

} // namespace

qint64 nextPowerOfTwo(qint64 value)
{
    qint64 p = 1;
    while (p < value && p <= std::numeric_limits<qint64>::max() / 2)
        p *= 2;
    return p;
}

Plan computeCompact(const QMap<QString, QSize> &sizes, int margin, const QSize &maxSize,
                    bool powerOfTwo, int threads, bool thorough)
{
    Plan plan;
    if (sizes.isEmpty() || margin < 0)
        return plan;

    const qint64 m = margin;
    QVector<Item> items;
    items.reserve(sizes.size());
    for (auto it = sizes.constBegin(); it != sizes.constEnd(); ++it) {
        const QSize s = it.value();
        // An empty image still takes a pixel, so that every rectangle is real.
        items.append(Item{it.key(), s, std::max(1, s.width()) + m, std::max(1, s.height()) + m});
    }
    // Largest side first, then the other side, then the path: a total order,
    // so that argument order cannot change the result.
    std::sort(items.begin(), items.end(), [](const Item &a, const Item &b) {
        const qint64 aLong = std::max(a.w, a.h);
        const qint64 bLong = std::max(b.w, b.h);
        if (aLong != bLong)
            return aLong > bLong;
        const qint64 aShort = std::min(a.w, a.h);
        const qint64 bShort = std::min(b.w, b.h);
        if (aShort != bShort)
            return aShort > bShort;
        if (a.h != b.h)
            return a.h > b.h;
        return a.path < b.path;
    });

    const Search search(items, m, powerOfTwo, threads);
    const qint64 unlimited = std::numeric_limits<qint64>::max();
    Candidate best;
    if (maxSize.isValid()) {
        best = search.best(maxSize.width(), maxSize.height());
        // Only where the usual search fails: a sheet it finds stays as it was.
        for (const auto effort : {Search::Effort::Thorough, Search::Effort::Shelves}) {
            if (!best.valid && thorough)
                best = search.best(maxSize.width(), maxSize.height(), effort);
        }
    }
    if (!best.valid)
        best = search.best(unlimited, unlimited);
    if (!best.valid)
        return plan; // not reached: a bin as tall as the stacked items takes them all

    plan.width = best.sheetWidth;
    plan.height = best.sheetHeight;
    plan.placements.reserve(items.size());
    for (int i = 0; i < items.size(); ++i) {
        const auto &position = best.packing.positions[i];
        plan.placements.append(Placement{items[i].path, items[i].size, QPoint(), m + position.first,
                                         m + position.second});
    }
    if (plan.fitsInt()) {
        for (Placement &p : plan.placements)
            p.position = QPoint(int(p.x), int(p.y));
    }
    return plan;
}

Plan planFor(const QMap<QString, QSize> &sizes, const LayoutOptions &options)
{
    if (options.layout == Layout::Compact)
        return computeCompact(sizes, options.margin, options.maxSize, options.powerOfTwo,
                              options.threads, options.thorough);
    Plan plan = compute(sizes, options.margin);
    if (options.powerOfTwo && !plan.isEmpty() && plan.width > 0 && plan.height > 0) {
        plan.width = nextPowerOfTwo(plan.width);
        plan.height = nextPowerOfTwo(plan.height);
        // compute() sets positions only for a plan that fits in int; the
        // rounded sheet may no longer fit.
        if (!plan.fitsInt()) {
            for (Placement &p : plan.placements)
                p.position = QPoint();
        }
    }
    return plan;
}

bool fitsMaxSize(const Plan &plan, const QSize &maxSize)
{
    if (!maxSize.isValid())
        return true;
    return plan.width <= maxSize.width() && plan.height <= maxSize.height();
}

bool parseSize(const QString &text, QSize *size)
{
    const int x = text.indexOf(QLatin1Char('x'), 0, Qt::CaseInsensitive);
    if (x <= 0 || x == text.size() - 1)
        return false;
    int sides[2] = {0, 0};
    const QString parts[2] = {text.left(x), text.mid(x + 1)};
    for (int i = 0; i < 2; ++i) {
        for (const QChar c : parts[i]) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        bool ok = false;
        sides[i] = parts[i].toInt(&ok, 10);
        if (!ok || sides[i] < 1)
            return false;
    }
    *size = QSize(sides[0], sides[1]);
    return true;
}

} // namespace SheetLayout
