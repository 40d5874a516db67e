#include "core/sprites/spritepipeline.h"

#include "core/image/pngdecode.h"
#include "core/sheetrender.h"
#include "core/sprites/alias.h"
#include "core/sprites/sheetpixels.h"
#include "core/sprites/trim.h"

#include "core/inputs.h"
#include "core/parallel.h"

#include <QDir>
#include <QHash>
#include <QSet>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace Compose {

namespace {

struct Sprite
{
    QString path;
    QSize size;       // the source image's
    QRect kept;       // the rectangle kept of the source image
    Sprites::Cut cut; // the pixels kept: all of the decoded image, or a copy of `kept`
    quint64 hash = 0;
    Failure failure;
};

struct NoState
{
};

// Calls work(i, state) for every i in [0, count) on up to `threads` workers,
// each with a State of its own that lives as long as the worker.
template <typename State = NoState, typename Work>
void forEachIndex(int count, int threads, const Work &work)
{
    std::atomic<int> next{0};
    const auto run = [&] {
        State state;
        for (int i = next++; i < count; i = next++)
            work(i, state);
    };
    Parallel::run(qMin(threadCount(threads), count), run);
}

bool cancelled(const SheetJob &job)
{
    return job.progress && job.progress->cancelRequested;
}

// Counts the pixels the regions decoded so far need on the sheet, each
// distinct one once: a lower bound of the sheet's area, so that decoding
// stops as soon as no sheet within the limit could hold them.
class RegionArea
{
public:
    RegionArea(const SheetJob &job, const SpriteOptions &options)
        : m_limit(job.maxSheetPixels), m_extrude(options.extrude), m_alias(options.alias)
    {
    }
    void add(const Sprite &s)
    {
        const qint64 side = 2 * qint64(m_extrude);
        const qint64 area = (s.cut.rect.width() + side) * (s.cut.rect.height() + side);
        const std::lock_guard<std::mutex> lock(m_lock);
        // Images with the same pixels have the same hash and share a region.
        if (m_alias && m_hashes.contains(s.hash))
            return;
        if (m_alias)
            m_hashes.insert(s.hash);
        m_area += area;
        if (m_area > m_limit)
            m_beyond = true;
    }
    bool beyondLimit() const { return m_beyond; }
    qint64 limit() const { return m_limit; }

private:
    qint64 m_limit;
    int m_extrude;
    bool m_alias;
    std::mutex m_lock;
    QSet<quint64> m_hashes;
    qint64 m_area = 0;
    std::atomic<bool> m_beyond{false};
};

// Decodes each image once, then finds what it keeps and hashes that.
void decodeSprites(QVector<Sprite> &sprites, const SheetJob &job, const SpriteOptions &options,
                   RegionArea &regions)
{
    if (job.progress) {
        job.progress->done = 0;
        job.progress->total = sprites.size();
    }
    Sprite *const data = sprites.data(); // detaches once, never in a worker
    forEachIndex<PngDecode::Scratch>(
        sprites.size(), job.threads, [&](int i, PngDecode::Scratch &scratch) {
            Sprite &s = data[i];
            if (cancelled(job) || regions.beyondLimit()) {
                s.failure = failed(s.path, ImageStatus::Cancelled, QStringLiteral("cancelled"));
                return;
            }
            s.failure = decodeImage(s.path, s.size, job.limits, &s.cut.image, scratch);
            if (s.failure.status == ImageStatus::Ok) {
                s.kept = options.trim ? Sprites::keptRect(s.cut.image, options.trimThreshold)
                                      : QRect(QPoint(), s.size);
                s.cut.rect = s.kept;
                // Only what is kept stays in memory until the sheet is
                // painted: a large, nearly empty image costs its region.
                if (s.kept.size() != s.size) {
                    s.cut.image = s.cut.image.copy(s.kept);
                    s.cut.rect = QRect(QPoint(), s.kept.size());
                    if (s.cut.image.isNull())
                        s.failure = failed(s.path, ImageStatus::OutOfMemory,
                                           QStringLiteral("not enough memory to keep %1")
                                               .arg(sizeText(s.kept.size())));
                }
            }
            if (s.failure.status == ImageStatus::Ok && options.alias)
                s.hash = Sprites::pixelHash(s.cut);
            if (s.failure.status == ImageStatus::Ok)
                regions.add(s);
            if (job.progress)
                ++job.progress->done;
        });
}

bool insideSheet(const QSize &sheet, const SheetLayout::Placement &p)
{
    return QRect(QPoint(), sheet).contains(QRect(p.position, p.size));
}

// Copies and extrudes every laid-out image, then premultiplies the sheet.
void paintSprites(QImage &sheet, QVector<Sprite> &sprites, const QHash<QString, int> &indexOf,
                  const SheetLayout::Plan &plan, const SheetJob &job, const SpriteOptions &options)
{
    const Sprites::SheetMemory memory{sheet.bits(), sheet.bytesPerLine()};
    const int n = options.extrude;
    Sprite *const data = sprites.data(); // detaches once, never in a worker
    forEachIndex(plan.placements.size(), job.threads, [&](int k, NoState &) {
        const SheetLayout::Placement &p = plan.placements[k];
        Sprite &s = data[indexOf.value(p.path)];
        const QPoint at = p.position + QPoint(n, n);
        Sprites::copyRect(s.cut.image, s.cut.rect, memory, at);
        Sprites::extrude(memory, QRect(at, s.cut.rect.size()), n);
        s.cut.image = QImage(); // no longer needed: keeps the peak low
    });
    if (!options.premultiply)
        return;
    constexpr int bandRows = 64;
    forEachIndex((sheet.height() + bandRows - 1) / bandRows, job.threads, [&](int band, NoState &) {
        Sprites::premultiplyRows(memory, sheet.width(), band * bandRows,
                                 qMin(sheet.height(), (band + 1) * bandRows));
    });
}

// The plan's placements shrunk back to each image's own region, each
// followed by the images that share it, in path order.
void sharePlacements(SpriteResult &result, const QVector<Sprite> &sprites,
                     const QVector<int> &targets, const QHash<QString, int> &indexOf, int extrude)
{
    QHash<int, QVector<int>> sharing;
    for (int i = 0; i < targets.size(); ++i) {
        if (targets[i] != i)
            sharing[targets[i]].append(i);
    }
    SheetLayout::Plan &plan = result.composed.plan;
    QVector<SheetLayout::Placement> placements;
    for (const SheetLayout::Placement &p : std::as_const(plan.placements)) {
        const int first = indexOf.value(p.path);
        const QVector<int> others = sharing.value(first);
        if (!others.isEmpty()) {
            ++result.sharedRegions;
            result.sharedImages += 1 + others.size();
        }
        for (const int i : QVector<int>{first} + others) {
            const Sprite &s = sprites[i];
            placements.append({s.path, s.cut.rect.size(), p.position + QPoint(extrude, extrude),
                               p.x + extrude, p.y + extrude});
            result.kept.insert(s.path, s.kept);
            result.composed.sizes.insert(s.path, s.size);
        }
    }
    plan.placements = placements;
}

// Leaves out the images whose data did not decode when the job allows it;
// false, with the error in `composed`, when it does not.
bool keepDecoded(QVector<Sprite> &sprites, const SheetJob &job, SheetResult &composed)
{
    QVector<Sprite> decoded;
    for (Sprite &s : sprites) {
        if (s.failure.status == ImageStatus::Ok) {
            decoded.append(std::move(s));
            continue;
        }
        if (!skips(job, s.failure.status)) {
            composed.error = s.failure.message();
            return false;
        }
        composed.skipped.append(s.failure);
    }
    sprites = std::move(decoded);
    return true;
}

// Whose region each image shows (`targets`: its own index, or the first
// image with the same pixels), and the sizes to lay out: each region's kept
// size grown by the extrusion on every side.
QMap<QString, QSize> regionSizes(QVector<Sprite> &sprites, const SpriteOptions &options,
                                 QVector<int> *targets)
{
    targets->resize(sprites.size());
    if (options.alias) {
        QVector<Sprites::Cut> cuts;
        QVector<quint64> hashes;
        for (const Sprite &s : std::as_const(sprites)) {
            cuts.append(s.cut);
            hashes.append(s.hash);
        }
        *targets = Sprites::aliasTargets(cuts, hashes);
    }
    QMap<QString, QSize> sizes;
    const QSize grown(2 * options.extrude, 2 * options.extrude);
    for (int i = 0; i < sprites.size(); ++i) {
        if (!options.alias)
            (*targets)[i] = i;
        if ((*targets)[i] == i)
            sizes.insert(sprites[i].path, sprites[i].cut.rect.size() + grown);
        else
            sprites[i].cut.image = QImage(); // its region is another image's
    }
    return sizes;
}

// Lays `sizes` out into the plan of `composed`; false with the error there.
// A region the layout leaves out fails too: its images would be missing
// from the sheet and every data file of a run that says it succeeded.
bool layOut(const QMap<QString, QSize> &sizes, const SheetJob &job, SheetResult &composed)
{
    composed.plan = job.layout(sizes);
    composed.error = planError(job, composed.plan);
    if (!composed.error.isEmpty())
        return false;
    QSet<QString> placed;
    for (const SheetLayout::Placement &p : std::as_const(composed.plan.placements)) {
        if (sizes.value(p.path) != p.size || !insideSheet(composed.plan.sheetSize(), p)) {
            composed.error = failed(p.path, ImageStatus::OutsideSheet,
                                    QStringLiteral("does not fit in the sheet"))
                                 .message();
            return false;
        }
        placed.insert(p.path);
    }
    for (auto it = sizes.constBegin(); it != sizes.constEnd(); ++it) {
        if (!placed.contains(it.key())) {
            composed.error = failed(it.key(), ImageStatus::OutsideSheet,
                                    QStringLiteral("has no place in the sheet's layout"))
                                 .message();
            return false;
        }
    }
    return true;
}

} // namespace

SpriteResult composeSprites(const SheetJob &job, const SpriteOptions &options)
{
    SpriteResult result;
    SheetResult &composed = result.composed;
    QVector<Sprite> sprites;
    QMap<QString, QSize> headerSizes;
    const QSize grown(2 * options.extrude, 2 * options.extrude);
    for (auto it = job.sizes.constBegin(); it != job.sizes.constEnd(); ++it) {
        sprites.append({it.key(), it.value(), {}, {}, 0, {}});
        headerSizes.insert(it.key(), it.value() + grown);
    }
    // Without trimming, sharing or images left out, the headers give the
    // final layout, so a sheet beyond the limits fails before any decode.
    if (!options.trim && !options.alias && !job.skipUndecodable &&
        !layOut(headerSizes, job, composed))
        return result;
    RegionArea regions(job, options);
    decodeSprites(sprites, job, options, regions);
    if (cancelled(job)) {
        composed.outcome = SheetResult::Cancelled;
        return result;
    }
    if (regions.beyondLimit()) {
        composed.error =
            QStringLiteral("%1: the images need a sheet of more than the limit of "
                           "%2 pixels")
                .arg(Inputs::shownPath(job.sheetPath), QString::number(regions.limit()));
        return result;
    }
    if (!keepDecoded(sprites, job, composed))
        return result;
    QVector<int> targets;
    if (!layOut(regionSizes(sprites, options, &targets), job, composed))
        return result;
    const QSize sheetSize = composed.plan.sheetSize();
    composed.sheet = SheetRender::newSheet(sheetSize);
    if (composed.sheet.isNull()) {
        composed.error = QStringLiteral("%1: not enough memory for a sheet of %2")
                             .arg(QDir::toNativeSeparators(job.sheetPath), sizeText(sheetSize));
        return result;
    }
    QHash<QString, int> indexOf;
    for (int i = 0; i < sprites.size(); ++i)
        indexOf.insert(sprites[i].path, i);
    paintSprites(composed.sheet, sprites, indexOf, composed.plan, job, options);
    sharePlacements(result, sprites, targets, indexOf, options.extrude);
    composed.outcome = SheetResult::Ok;
    return result;
}

} // namespace Compose
