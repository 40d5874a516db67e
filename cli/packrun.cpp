#include "cli/packcommand.h"

#include "cli/manifest.h"
#include "cli/packoptions.h"
#include "cli/progress.h"
#include "cli/sheetsplit.h"
#include "cli/watch.h"
#include "core/image/imagedecode.h"
#include "core/image/pngdecode.h"
#include "core/inputs.h"
#include "core/layout/compactlayout.h"
#include "core/output/atomicfile.h"
#include "core/output/dataformats.h"
#include "core/parallel.h"
#include "core/pipeline.h"
#include "core/sheetrender.h"
#include "core/sprites/animations.h"
#include "core/sprites/spritepipeline.h"
#include "core/sprites/trim.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTextStream>

#include <algorithm>
#include <cerrno>

#include <functional>
#include <memory>
#include <sys/stat.h>

#include <utility>

namespace PackCommand {

namespace {

using Inputs::fileIdentity;

struct Targets
{
    QString sheetPath;
    QString placementPath;
    QByteArray format;
};

// One sheet of a run, encoded and ready to write.
struct Sheet
{
    Targets targets;
    SheetLayout::Plan plan;
    QByteArray encoded;
    std::shared_ptr<const void> storage; // what `encoded` may view
    // With the sprite options: each source's rectangle on the sheet, and the
    // sources' own sizes, for what the data files say of trimming.
    QMap<QString, QRect> kept;
    QMap<QString, QSize> sourceSizes;
    // With --alias: images on this sheet that share a region, and the
    // regions they share.
    int sharedImages = 0;
    int sharedRegions = 0;
};

// Inputs whose files have the same bytes and size, by the first of them in
// path order (the one the others share a region with); the others are taken
// out of `sizes`. An input whose file could not be hashed stays on its own.
QMap<QString, QStringList> identicalFiles(const Manifest &manifest, QMap<QString, QSize> *sizes)
{
    QMap<QString, QStringList> copies;
    QHash<QByteArray, QString> first;
    for (const Manifest::Input &input : manifest.inputs) {
        const auto size = sizes->constFind(input.path);
        if (input.hash.isEmpty() || size == sizes->constEnd())
            continue;
        const QByteArray key = input.hash + ' ' + QByteArray::number(size->width()) + 'x' +
                               QByteArray::number(size->height());
        const auto found = first.constFind(key);
        if (found == first.constEnd()) {
            first.insert(key, input.path);
        } else {
            copies[*found].append(input.path);
            sizes->remove(input.path);
        }
    }
    return copies;
}

// The message for an input that one of `outputs` would overwrite, or empty.
// Files are first matched by what stat() tells, one call per input: the
// same device, and the same file number or the same size and time of
// change (FUSE may number two spellings of one name apart). Only such a
// match is confirmed by the writer's own notion of one file, which tells a
// hard link to an input, another name that a write leaves alone.
QString overwrittenInput(const QStringList &outputs, const std::vector<QString> &inputs,
                         int threads)
{
    struct Seen
    {
        dev_t device = 0;
        ino_t inode = 0; // 0: not there, nothing to overwrite
        off_t size = 0;
        timespec changed{};
        bool mayBe(const Seen &other) const
        {
            return inode != 0 && device == other.device &&
                   (inode == other.inode ||
                    (size == other.size && changed.tv_sec == other.changed.tv_sec &&
                     changed.tv_nsec == other.changed.tv_nsec));
        }
    };
    const auto seen = [](const QString &path) {
        struct stat info;
        if (::stat(QFile::encodeName(path).constData(), &info) != 0)
            return Seen();
        return Seen{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
    };
    std::vector<std::pair<Seen, QString>> existing;
    for (const QString &output : outputs) {
        const Seen id = seen(output);
        if (id.inode != 0)
            existing.emplace_back(id, output);
    }
    if (existing.empty())
        return QString();
    std::vector<Seen> ids(inputs.size());
    Parallel::forEach(threads, int(inputs.size()),
                      [&](int i) { ids[size_t(i)] = seen(inputs[size_t(i)]); });
    for (size_t i = 0; i < inputs.size(); ++i) {
        for (const auto &output : existing) {
            if (ids[i].mayBe(output.first) && isSameFile(output.second, inputs[i])) {
                return QStringLiteral("%1: output would overwrite the input image %2")
                    .arg(Console::shown(output.second), Console::shown(inputs[i]));
            }
        }
    }
    return QString();
}

SheetLayout::LayoutOptions layoutOptions(const Options &o)
{
    SheetLayout::LayoutOptions layout;
    layout.layout = o.layout;
    layout.margin = o.margin;
    layout.maxSize = o.maxSize;
    layout.powerOfTwo = o.powerOfTwo;
    layout.threads = o.threads;
    return layout;
}

SheetLayout::Plan planFor(const Options &o, const QMap<QString, QSize> &sizes)
{
    return SheetLayout::planFor(sizes, layoutOptions(o));
}

// Before the run fails: the compact layout's search, tried harder, or else
// `usual`. Only here, so that every sheet the usual search makes stays as
// it was.
SheetLayout::Plan thoroughPlan(const Options &o, const QMap<QString, QSize> &sizes,
                               const SheetLayout::Plan &usual)
{
    SheetLayout::LayoutOptions harder = layoutOptions(o);
    if (harder.layout != SheetLayout::Layout::Compact)
        return usual;
    harder.thorough = true;
    const SheetLayout::Plan found = SheetLayout::planFor(sizes, harder);
    return SheetLayout::fitsMaxSize(found, o.maxSize) ? found : usual;
}

// The layout of the whole `boxes` of the regions `sizes`, within --max-size
// or not.
SheetLayout::Plan boxesPlan(const Options &o, const QMap<QString, QSize> &sizes,
                            const QMap<QString, QSize> &boxes)
{
    const SheetLayout::Plan whole = planFor(o, boxes);
    if (SheetLayout::fitsMaxSize(whole, o.maxSize))
        return whole;
    // An image left out because its data does not decode needs no
    // box. Tried second: in rows, fewer boxes can lay out taller.
    QMap<QString, QSize> laidOut;
    for (auto it = sizes.constBegin(); it != sizes.constEnd(); ++it) {
        if (boxes.contains(it.key()))
            laidOut.insert(it.key(), boxes.value(it.key()));
    }
    return planFor(o, laidOut);
}

// `plan`, of the regions' boxes, with each region of `sizes` in its box.
SheetLayout::Plan regionsInBoxes(SheetLayout::Plan plan, const QMap<QString, QSize> &sizes)
{
    QVector<SheetLayout::Placement> placements;
    for (SheetLayout::Placement p : std::as_const(plan.placements)) {
        // A region larger than its box (an image trimmed before the
        // split that changed since) is left out, and the run fails.
        const QSize region = sizes.value(p.path);
        if (sizes.contains(p.path) && region.width() <= p.size.width() &&
            region.height() <= p.size.height()) {
            p.size = region;
            placements.append(p);
        }
    }
    plan.placements = placements;
    return plan;
}

// The layout of one sheet's regions `sizes`; `boxes` as for
// Packer::sheetJob().
SheetLayout::Plan sheetPlan(const Options &o, const QMap<QString, QSize> &sizes,
                            const QMap<QString, QSize> &boxes)
{
    const SheetLayout::Plan plan = planFor(o, sizes);
    if (SheetLayout::fitsMaxSize(plan, o.maxSize))
        return plan;
    if (boxes.isEmpty())
        return thoroughPlan(o, sizes, plan);
    // Trimmed or shared regions can lay out larger than the boxes the
    // images were split by (a narrower widest image wraps the others
    // in rows): each region goes in its image's box instead.
    const SheetLayout::Plan whole = boxesPlan(o, sizes, boxes);
    if (!SheetLayout::fitsMaxSize(whole, o.maxSize))
        return thoroughPlan(o, sizes, plan); // or fails, by the size the regions need
    return regionsInBoxes(whole, sizes);
}

// The first two of `named` that are one file, or the first that is the pack
// or settings file the options were read from, as a message; empty when
// there is none.
QString sameFileClash(const Options &o, const QVector<NamedOutput> &named)
{
    const QPair<QString, QString> sources[] = {{QStringLiteral("pack file"), o.packFile},
                                               {QStringLiteral("settings file"), o.configFile}};
    for (const auto &source : sources) {
        if (source.second.isEmpty())
            continue;
        for (const NamedOutput &output : named) {
            if (isSameFile(output.path, source.second)) {
                return QStringLiteral("the %1 would overwrite the %2 %3")
                    .arg(output.what, source.first, Console::shown(source.second));
            }
        }
    }
    QHash<QString, int> byIdentity;
    for (int i = 0; i < named.size(); ++i) {
        const QString identity = fileIdentity(named[i].path);
        const auto other = byIdentity.constFind(identity);
        if (other != byIdentity.constEnd()) {
            return QStringLiteral("the %1 and the %2 would both be %3")
                .arg(named[*other].what, named[i].what, Console::shown(named[i].path));
        }
        byIdentity.insert(identity, i);
    }
    return QString();
}

// One run of the shared pipeline with the options' record: inputs, layout,
// decode, encode and the all-or-nothing write.
class Packer
{
public:
    // `earlier`: the files that the sheets of the pack file packed before
    // this one wrote, which it must not write; its own are added.
    Packer(const Options &options, Console &console, QSet<QString> *earlier)
        : m_options(options), m_console(console), m_earlier(earlier)
    {
    }
    int pack();

private:
    int checkTargets(Targets *targets);
    int sortUndecodable(QStringList *inputs, QStringList *unnamable);
    bool listsEveryOutput(const Manifest &recorded) const;
    int collectImages(QMap<QString, QString> *names, QMap<QString, QSize> *sizes);
    bool upToDate(const Targets &targets, const Manifest &manifest);
    int multipackGroups(const QMap<QString, QSize> &sizes, const Manifest &manifest,
                        QVector<QMap<QString, QSize>> *groups, QVector<QMap<QString, QSize>> *boxes,
                        QMap<QString, QStringList> *copies);
    int checkFrameNames(const QMap<QString, QString> &names, const QMap<QString, QSize> &sizes);
    Manifest currentManifest(const QMap<QString, QString> &names,
                             const QMap<QString, QSize> &sizes);
    Compose::SheetJob sheetJob(const QMap<QString, QSize> &sizes, const QMap<QString, QSize> &boxes,
                               const Sheet &sheet);
    int composeSheets(const QVector<QMap<QString, QSize>> &groups,
                      const QVector<QMap<QString, QSize>> &boxes,
                      const QMap<QString, QStringList> &copies, QVector<Sheet> *sheets);
    enum class Decode { Oversized, Every };
    int decodeOversizedBoxes(QMap<QString, QSize> *boxes, const QMap<QString, QStringList> &copies,
                             QMap<QString, QSize> *trimmedFrom, Decode which = Decode::Oversized);
    void decodeBoxes(QMap<QString, QSize> *boxes, const QStringList &paths,
                     const QMap<QString, QStringList> &copies, QMap<QString, QSize> *trimmedFrom);
    int leaveOutUndecodable(QMap<QString, QSize> *images);
    int splitDecodable(QMap<QString, QSize> *boxes, const QMap<QString, QStringList> &copies,
                       const QMap<QString, QSize> &trimmedFrom,
                       QVector<QMap<QString, QSize>> *groups);
    // Whether a sheet of `plan` can be made: within --max-size and, for a
    // plain sheet under --skip-unreadable, --max-sheet-pixels. A plain
    // sheet is laid out from the headers; the sprite options decode every
    // image before the layout.
    bool withinLimits(const SheetLayout::Plan &plan) const
    {
        const Options &o = m_options;
        if (plan.isEmpty() || !plan.fitsInt() || !SheetLayout::fitsMaxSize(plan, o.maxSize))
            return false;
        const QSize size = plan.sheetSize();
        return !o.skipUnreadable || o.sprites.changesSheet() ||
               qint64(size.width()) * size.height() <= o.maxSheetPixels;
    }
    bool fitsAlone(const QString &path, const QSize &box) const
    {
        return withinLimits(planFor(m_options, {{path, box}}));
    }
    // A sheet is at least as large as any of its images alone.
    bool eachFitsAlone(const QMap<QString, QSize> &boxes) const
    {
        for (auto it = boxes.constBegin(); it != boxes.constEnd(); ++it) {
            if (!fitsAlone(it.key(), it.value()))
                return false;
        }
        return true;
    }
    int checkPageTargets(int pages, const QMap<QString, QString> &names);
    int dataFiles(const QVector<Sheet> &sheets, const QMap<QString, QString> &names,
                  QVector<FileContent> *files);
    QStringList stalePages(const QVector<FileContent> &outputs, int sheetCount,
                           const QMap<QString, QString> &names);
    int writeOutputs(const QVector<Sheet> &sheets, const QMap<QString, QString> &names,
                     Manifest manifest);
    void describeSprites(DataFormats::Sheet *described, const Sheet &sheet) const;
    void warnSplitAnimations(const QVector<Sheet> &sheets, const QMap<QString, QString> &names);
    void report(const Sheet &sheet);
    QString manifestPath() const
    {
        return manifestPathFor(m_options.chosenPath, m_options.multipack);
    }
    // The name of sheet n's file; "{n}" stands for the number with --multipack only.
    QString page(const QString &path, int n) const
    {
        return m_options.multipack ? numberedPath(path, n) : path;
    }
    // With --multipack, what the images were split into sheets by: each
    // image's box, untrimmed and extruded; empty otherwise.
    QMap<QString, QSize> multipackBoxes(QMap<QString, QSize> sizes) const
    {
        if (!m_options.multipack)
            return {};
        const int grow = 2 * m_options.sprites.extrude;
        for (QSize &box : sizes)
            box += QSize(grow, grow);
        return sizes;
    }
    // The first sheet's file for a format written once per sheet.
    QString dataPath(const DataFormats::Output &data) const
    {
        return DataFormats::onePerSheet(data.format) ? page(data.path, 0) : data.path;
    }
    // Messages clear the progress line first, and are out before it is
    // drawn again.
    void print(const std::function<void()> &message)
    {
        if (m_terminal)
            m_terminal->clearFor(message);
        else
            message();
    }
    void warn(const QString &message)
    {
        print([&] { m_console.warn(message); });
    }
    int usage(const QString &message)
    {
        int status = ExitUsage;
        print([&] { status = m_console.usage(message); });
        return status;
    }
    int failure(const QString &message)
    {
        int status = ExitFailure;
        print([&] { status = m_console.failure(message); });
        return status;
    }

    const Options &m_options;
    Console &m_console;
    QSet<QString> *m_earlier;
    std::unique_ptr<TerminalProgress> m_terminal;
    // Inputs the probe hashed on its way, so that the manifest need not
    // open them again.
    QHash<QString, QByteArray> m_probedHashes;
    // Small PNG inputs the probe read whole, decoded from memory.
    static constexpr size_t KeptBytes = size_t(64) << 20;
    std::unique_ptr<Compose::ContentStore> m_keptStore;
    Compose::KeptContents m_kept;
    // With --update, the first output that may not be replaced.
    QString m_writeRefusal;
};

int Packer::pack()
{
    Targets targets;
    if (const int status = checkTargets(&targets))
        return status;
    QMap<QString, QString> names;
    QMap<QString, QSize> sizes;
    if (const int status = collectImages(&names, &sizes))
        return status;
    if (const int status = checkFrameNames(names, sizes))
        return status;

    m_terminal = std::make_unique<TerminalProgress>();
    const Manifest manifest = currentManifest(names, sizes);
    if (upToDate(targets, manifest))
        return ExitOk;
    if (!m_writeRefusal.isEmpty())
        return failure(m_writeRefusal);

    QVector<QMap<QString, QSize>> groups{sizes};
    QVector<QMap<QString, QSize>> boxes; // with --multipack, what each sheet was split by
    QMap<QString, QStringList> copies;
    if (m_options.multipack) {
        if (const int status = multipackGroups(sizes, manifest, &groups, &boxes, &copies))
            return status;
    } else if (const int status = leaveOutUndecodable(&groups.first())) {
        return status;
    }
    if (const int status = checkPageTargets(groups.size(), names))
        return status;
    QVector<Sheet> sheets;
    if (const int status = composeSheets(groups, boxes, copies, &sheets))
        return status;
    if (const int status = writeOutputs(sheets, names, manifest))
        return status;
    m_terminal.reset();
    if (m_options.verbose) {
        for (const Sheet &sheet : std::as_const(sheets))
            report(sheet);
    }
    return ExitOk;
}

// With --update, whether the outputs of `manifest` are in place as the
// recorded manifest lists them; if so, they are taken as written by this
// run and the line says so.
bool Packer::upToDate(const Targets &targets, const Manifest &manifest)
{
    Manifest recorded;
    // A run that died putting its set in place may have left every listed
    // output new and yet not be done: its journal says so.
    if (!m_options.update || hasInterruptedWrite(targets.sheetPath) ||
        !readManifest(manifestPath(), &recorded) || !outputsUpToDate(recorded, manifest) ||
        !listsEveryOutput(recorded))
        return false;
    m_terminal.reset();
    m_earlier->insert(fileIdentity(manifestPath()));
    for (const Manifest::Output &output : std::as_const(recorded.outputs))
        m_earlier->insert(fileIdentity(output.path));
    m_console.out << Console::shown(targets.sheetPath) << " is up to date\n";
    m_console.out.flush();
    return true;
}

// With --multipack: the images of `sizes` split into `groups`, one a sheet,
// with `boxes` what each group was split by and, with --alias, `copies` the
// files that share another's region.
int Packer::multipackGroups(const QMap<QString, QSize> &sizes, const Manifest &manifest,
                            QVector<QMap<QString, QSize>> *groups,
                            QVector<QMap<QString, QSize>> *boxes,
                            QMap<QString, QStringList> *copies)
{
    // With --alias, files with the same bytes become one region: they
    // are split as one box, so that they share a sheet and it is
    // stored once.
    QMap<QString, QSize> split = sizes;
    if (m_options.sprites.alias)
        *copies = identicalFiles(manifest, &split);
    // Split by the boxes the layout will place: extruded, untrimmed (a
    // trimmed image only gets smaller) unless only trimmed can it fit.
    // The sheets keep the real sizes.
    QMap<QString, QSize> splitBoxes = multipackBoxes(split);
    QMap<QString, QSize> trimmedFrom;
    if (const int status = decodeOversizedBoxes(&splitBoxes, *copies, &trimmedFrom))
        return status;
    if (const int status = splitDecodable(&splitBoxes, *copies, trimmedFrom, groups))
        return status;
    *boxes = *groups;
    for (QMap<QString, QSize> &group : *groups) {
        for (auto it = group.begin(); it != group.end(); ++it)
            it.value() = sizes.value(it.key());
    }
    return ExitOk;
}

// A plain sheet is laid out from the headers before any decode: under
// --skip-unreadable, a layout beyond the limits would fail the run even
// where leaving out the images whose data does not decode brings it within
// them. The images too large on their own are decoded first, then, if it is
// still beyond, every other. The sprite options decode every image before
// the layout.
int Packer::leaveOutUndecodable(QMap<QString, QSize> *images)
{
    if (!m_options.skipUnreadable || m_options.sprites.changesSheet())
        return ExitOk;
    QMap<QString, QSize> trimmedFrom;
    if (const int status = decodeOversizedBoxes(images, {}, &trimmedFrom))
        return status;
    // An image left beyond the limits fails the run, whatever else decodes.
    if (!eachFitsAlone(*images) || withinLimits(planFor(m_options, *images)))
        return ExitOk;
    return decodeOversizedBoxes(images, {}, &trimmedFrom, Decode::Every);
}

// With --multipack, the split of `boxes` into `groups`. Under
// --skip-unreadable a plain page beyond the limits may be within them
// without the images whose data does not decode: the images of such pages
// are decoded, and those left out, the rest split again, until no page
// beyond them has an image left to decode. When an image beyond the limits
// on its own decodes, no page can hold it: nothing more is decoded, and
// its page fails the run.
int Packer::splitDecodable(QMap<QString, QSize> *boxes, const QMap<QString, QStringList> &copies,
                           const QMap<QString, QSize> &trimmedFrom,
                           QVector<QMap<QString, QSize>> *groups)
{
    const Options &o = m_options;
    const bool decodeBeyond =
        o.skipUnreadable && !o.sprites.changesSheet() && eachFitsAlone(*boxes);
    QSet<QString> decoded;
    for (;;) {
        QString error;
        if (!splitIntoSheets(*boxes, layoutOptions(o), groups, &error, o.sprites.extrude,
                             trimmedFrom))
            return failure(error);
        QStringList beyond;
        for (const QMap<QString, QSize> &group : std::as_const(*groups)) {
            if (!decodeBeyond || withinLimits(planFor(o, group)))
                continue;
            for (auto it = group.constBegin(); it != group.constEnd(); ++it) {
                if (!decoded.contains(it.key()))
                    beyond << it.key();
            }
        }
        if (beyond.isEmpty())
            return ExitOk;
        for (const QString &path : std::as_const(beyond))
            decoded.insert(path);
        const int before = boxes->size();
        QMap<QString, QSize> unused;
        decodeBoxes(boxes, beyond, copies, &unused);
        if (boxes->isEmpty())
            return failure(QStringLiteral("no image to pack"));
        if (boxes->size() == before)
            return ExitOk;
    }
}

// An image whose whole box does not fit on a sheet of its own (see
// withinLimits), or with Decode::Every each image, is decoded before the split
// when that can save the run (see decodeBoxes).
int Packer::decodeOversizedBoxes(QMap<QString, QSize> *boxes,
                                 const QMap<QString, QStringList> &copies,
                                 QMap<QString, QSize> *trimmedFrom, Decode which)
{
    const Options &o = m_options;
    if (!o.sprites.trim && !o.skipUnreadable)
        return ExitOk;
    QStringList paths;
    for (auto it = boxes->constBegin(); it != boxes->constEnd(); ++it) {
        if (which == Decode::Every || !fitsAlone(it.key(), it.value()))
            paths << it.key();
    }
    decodeBoxes(boxes, paths, copies, trimmedFrom);
    return boxes->isEmpty() ? failure(QStringLiteral("no image to pack")) : ExitOk;
}

// Decodes the images of `paths` among `boxes`. With --trim an image's box
// becomes that of what it keeps (its own size goes in `trimmedFrom` when
// that is less), so that one that fits only trimmed does not fail the run.
// Under --skip-unreadable one whose data does not decode is left out, with
// its copies, as it would be from a sheet; only such a failure, which the
// same bytes always give, and not one of memory, so that the split stays
// the same. Any other keeps its whole box, and the split names it.
void Packer::decodeBoxes(QMap<QString, QSize> *boxes, const QStringList &paths,
                         const QMap<QString, QStringList> &copies,
                         QMap<QString, QSize> *trimmedFrom)
{
    const Options &o = m_options;
    const QSize grown(2 * o.sprites.extrude, 2 * o.sprites.extrude);
    PngDecode::Scratch scratch;
    for (const QString &path : paths) {
        const QSize own = boxes->value(path) - grown;
        QImage image;
        Compose::Failure decoded = Compose::decodeImage(path, own, o.limits, &image, scratch);
        if (decoded.status == Compose::ImageStatus::DecodeFailed && o.skipUnreadable) {
            warn(QStringLiteral("skipping %1").arg(decoded.message()));
            for (const QString &copy : copies.value(path)) {
                decoded.path = copy;
                warn(QStringLiteral("skipping %1").arg(decoded.message()));
            }
            boxes->remove(path);
            continue;
        }
        if (o.sprites.trim && decoded.status == Compose::ImageStatus::Ok) {
            const QSize kept = Sprites::keptRect(image, o.sprites.trimThreshold).size();
            if (kept != own) {
                trimmedFrom->insert(path, own);
                (*boxes)[path] = kept + grown;
            }
        }
    }
}

// What composing the sheet of `sizes` takes: the options' layout and limits,
// and a plan check that names `sheet`'s file. `boxes` are the images' whole
// boxes, which the regions keep when they lay out beyond --max-size: what
// --multipack split this sheet by, or a single sheet's images (empty
// without a limit, or without --trim, --alias and --skip-unreadable).
// `sheet` must outlive the job.
Compose::SheetJob Packer::sheetJob(const QMap<QString, QSize> &sizes,
                                   const QMap<QString, QSize> &boxes, const Sheet &sheet)
{
    const Options &o = m_options;
    Compose::SheetJob job;
    job.sheetPath = sheet.targets.sheetPath;
    job.sizes = sizes;
    job.layout = [&o, boxes](const QMap<QString, QSize> &s) { return sheetPlan(o, s, boxes); };
    job.checkPlan = [&o, &sheet](const SheetLayout::Plan &plan) {
        if (SheetLayout::fitsMaxSize(plan, o.maxSize))
            return QString();
        return QStringLiteral("%1: the sheet needs %2 x %3 pixels, more than --max-size "
                              "%4x%5 allows")
            .arg(Console::shown(sheet.targets.sheetPath), QString::number(plan.width),
                 QString::number(plan.height), QString::number(o.maxSize.width()),
                 QString::number(o.maxSize.height()));
    };
    job.limits = o.limits;
    job.maxSheetPixels = o.maxSheetPixels;
    job.threads = o.threads;
    job.skipUndecodable = o.skipUnreadable;
    job.skipOutOfMemory = false;
    job.progress = m_terminal->progress();
    job.kept = &m_kept;
    return job;
}

// Decodes and encodes one sheet after the other, so that one sheet's pixels
// are in memory at a time.
int Packer::composeSheets(const QVector<QMap<QString, QSize>> &groups,
                          const QVector<QMap<QString, QSize>> &boxes,
                          const QMap<QString, QStringList> &copies, QVector<Sheet> *sheets)
{
    const Options &o = m_options;
    QString emptied;
    for (int n = 0; n < groups.size(); ++n) {
        // Numbered by the sheets made: one whose every image was skipped is left out.
        const QString name = page(o.chosenPath, sheets->size());
        Sheet sheet;
        sheet.targets.sheetPath = SheetLayout::sheetPathFor(name);
        sheet.targets.placementPath = SheetLayout::placementPathFor(name);
        sheet.targets.format = SheetRender::writerFormatFor(sheet.targets.sheetPath);
        QMap<QString, QSize> images = groups[n];
        for (auto it = groups[n].constBegin(); it != groups[n].constEnd(); ++it) {
            for (const QString &copy : copies.value(it.key()))
                images.insert(copy, it.value());
        }
        QMap<QString, QSize> split = boxes.value(n);
        // One sheet within --max-size: trimmed or shared regions, or the
        // images left once one is skipped, may lay out larger than the whole
        // images do, which then fit.
        if (!o.multipack && o.maxSize.isValid() &&
            (o.sprites.trim || o.sprites.alias || o.skipUnreadable)) {
            const int grow = 2 * o.sprites.extrude;
            for (auto it = images.constBegin(); it != images.constEnd(); ++it)
                split.insert(it.key(), it.value() + QSize(grow, grow));
        }
        const Compose::SheetJob job = sheetJob(images, split, sheet);
        m_terminal->setStage(n, groups.size(), false);
        Compose::SpriteResult sprites;
        if (o.sprites.changesSheet())
            sprites = Compose::composeSprites(job, o.sprites);
        else
            sprites.composed = Compose::composeSheet(job);
        if (n == groups.size() - 1) {
            // Every image is on a sheet: the probe's copies go before encoding.
            m_kept.clear();
            m_keptStore.reset();
        }
        const Compose::SheetResult &composed = sprites.composed;
        sheet.kept = sprites.kept;
        sheet.sourceSizes = composed.sizes;
        sheet.sharedImages = sprites.sharedImages;
        sheet.sharedRegions = sprites.sharedRegions;
        for (const Compose::Failure &skipped : composed.skipped)
            warn(QStringLiteral("skipping %1").arg(skipped.message()));
        if (composed.outcome == Compose::SheetResult::Failed &&
            composed.skipped.size() == images.size()) {
            emptied = composed.error;
            continue;
        }
        if (composed.outcome != Compose::SheetResult::Ok)
            return failure(composed.error);
        sheet.plan = composed.plan;
        m_terminal->setStage(n, groups.size(), true);
        QString error;
        // The pixels are not needed after this.
        if (!SheetRender::encode(std::move(sprites.composed.sheet), sheet.targets.format,
                                 &sheet.encoded, &error, o.threads, o.pngLevel, &sheet.storage))
            return failure(QStringLiteral("Cannot save %1: %2")
                               .arg(Console::shown(sheet.targets.sheetPath), error));
        sheets->append(sheet);
    }
    return sheets->isEmpty() ? failure(emptied) : ExitOk;
}

// Every output is named, distinct, not an input, and the sheet's suffix has
// a writer; all of it before any image is read.
int Packer::checkTargets(Targets *targets)
{
    const Options &o = m_options;
    targets->sheetPath = SheetLayout::sheetPathFor(page(o.chosenPath, 0));
    targets->placementPath = SheetLayout::placementPathFor(page(o.chosenPath, 0));

    const QVector<NamedOutput> named = namedOutputs(o, 1);
    if (const QString clash = sameFileClash(o, named); !clash.isEmpty())
        return usage(clash);

    // Runs writing this sheet take turns on its lock file, which is never
    // replaced or removed by a run that did not create it.
    const QString lock = lockFilePathFor(targets->sheetPath);
    for (const NamedOutput &output : named) {
        if (fileIdentity(output.path) == fileIdentity(lock)) {
            return usage(QStringLiteral("the %1 would be %2, the lock file of the sheet")
                             .arg(output.what, Console::shown(output.path)));
        }
        // Such as another sheet's journal: a run writing that sheet would
        // read it, or remove it as its own leftover.
        if (isWritersOwnName(output.path)) {
            return usage(QStringLiteral("the %1 would be %2, a name Korvane keeps for the "
                                        "journal, temporary files and backups of a sheet")
                             .arg(output.what, Console::shown(output.path)));
        }
    }

    // A device, FIFO or folder is refused before anything is read. A file
    // that may not be replaced (read-only, as a version control system's
    // workspace keeps files not opened for editing) is refused there too,
    // but with --update only once the run has something to write.
    for (const NamedOutput &output : named) {
        QString reason;
        if (isUsableOutputPath(output.path, &reason))
            continue;
        const QString refusal =
            QStringLiteral("Cannot write %1: %2").arg(Console::shown(output.path), reason);
        if (!o.update || !QFileInfo(output.path).isFile())
            return failure(refusal);
        if (m_writeRefusal.isEmpty())
            m_writeRefusal = refusal;
    }

    targets->format = SheetRender::writerFormatFor(targets->sheetPath);
    if (targets->format.isEmpty()) {
        return failure(
            QStringLiteral("%1: no image writer for suffix \"%2\"")
                .arg(Console::shown(targets->sheetPath), QFileInfo(targets->sheetPath).suffix()));
    }
    return ExitOk;
}

// A manifest edited to leave out one of the files this run writes, a page's
// included, says nothing of that file, which may be missing or foreign.
bool Packer::listsEveryOutput(const Manifest &recorded) const
{
    QSet<QString> listed;
    for (const Manifest::Output &output : recorded.outputs)
        listed.insert(fileIdentity(output.path));
    if (recorded.sheets == 0 && m_options.multipack)
        return false;
    const QString manifest = fileIdentity(manifestPath());
    for (const NamedOutput &named : namedOutputs(m_options, std::max(recorded.sheets, 1))) {
        const QString identity = fileIdentity(named.path);
        if (identity != manifest && !listed.contains(identity))
            return false;
    }
    return true;
}

// An INPUT whose bytes do not decode cannot be opened by its decoded name:
// found by its bytes, it is reported as a folder's entry of that kind is.
// Its text can be another such INPUT's, or that of a file whose name holds
// U+FFFD itself: each recorded name's bytes go with one INPUT of that text,
// and any INPUT of it beyond them is the file of that very name.
int Packer::sortUndecodable(QStringList *inputs, QStringList *unnamable)
{
    QHash<QString, int> taken;
    for (const QString &input : m_options.inputs) {
        const auto raws = m_options.undecodable.constFind(input);
        const int n = raws == m_options.undecodable.constEnd() ? 0 : taken[input]++;
        if (raws == m_options.undecodable.constEnd() || n >= raws->size()) {
            *inputs << input;
            continue;
        }
        const QByteArray &raw = raws->at(n);
        struct stat info;
        if (::stat(raw.constData(), &info) != 0)
            return failure(QStringLiteral("%1: %2").arg(
                Inputs::shownBytes(raw), errno == ENOENT ? QStringLiteral("no such file or folder")
                                                         : qt_error_string(errno)));
        *unnamable << QStringLiteral("%1: the file name is not valid in this system's encoding")
                          .arg(Inputs::shownBytes(raw));
    }
    return ExitOk;
}

// Expands the INPUT arguments and reads every image's size from its header.
int Packer::collectImages(QMap<QString, QString> *names, QMap<QString, QSize> *sizes)
{
    const Options &o = m_options;
    QString error;
    QStringList unnamable;
    QStringList inputs;
    if (const int status = sortUndecodable(&inputs, &unnamable))
        return status;
    if (!Inputs::expandInputs(inputs, *names, &error, &unnamable))
        return failure(error);
    for (const QString &message : std::as_const(unnamable)) {
        if (!o.skipUnreadable)
            return failure(message);
        warn(QStringLiteral("skipping %1").arg(message));
    }

    // Overwriting a source would lose it, and a rerun would pack the last
    // sheet into the new one.
    QStringList outputPaths{SheetLayout::placementPathFor(page(o.chosenPath, 0)),
                            SheetLayout::sheetPathFor(page(o.chosenPath, 0)),
                            manifestPathFor(o.chosenPath, o.multipack)};
    for (const DataFormats::Output &data : o.data)
        outputPaths << dataPath(data);
    const std::vector<QString> paths(names->keyBegin(), names->keyEnd());
    const int count = int(paths.size());
    const QString overwritten = overwrittenInput(outputPaths, paths, o.threads);
    if (!overwritten.isEmpty())
        return failure(overwritten);

    // Mostly system calls on small files: with many images, worth every core.
    std::vector<QSize> found(paths.size());
    std::vector<Compose::Failure> problems(paths.size());
    std::vector<Compose::ContentHash> hashes(paths.size());
    std::vector<char> readable(paths.size());
    std::vector<QByteArray> contents(paths.size());
    m_probedHashes.clear();
    m_kept.clear();
    m_keptStore = std::make_unique<Compose::ContentStore>(KeptBytes);
    Parallel::forEach(o.threads, count, [&](int i) {
        readable[size_t(i)] =
            Compose::probeImage(paths[size_t(i)], o.limits, &found[size_t(i)], &problems[size_t(i)],
                                &hashes[size_t(i)], m_keptStore.get(), &contents[size_t(i)]);
    });
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!contents[i].isNull())
            m_kept.insert(paths[i], contents[i]);
        if (hashes[i].valid)
            m_probedHashes.insert(paths[i], hashText(hashes[i].value));
        if (readable[i]) {
            sizes->insert(paths[i], found[i]);
            continue;
        }
        if (!o.skipUnreadable)
            return failure(problems[i].message());
        warn(QStringLiteral("skipping %1").arg(problems[i].message()));
    }
    if (sizes->isEmpty())
        return failure(QStringLiteral("no image to pack"));
    return ExitOk;
}

int Packer::checkFrameNames(const QMap<QString, QString> &names, const QMap<QString, QSize> &sizes)
{
    if (m_options.data.isEmpty())
        return ExitOk;
    QMap<QString, QString> pathByName;
    for (auto it = sizes.constBegin(); it != sizes.constEnd(); ++it) {
        const QString name = names.value(it.key());
        const QString other = pathByName.value(name);
        if (!other.isEmpty()) {
            return failure(QStringLiteral("%1 and %2 would both be frame \"%3\" in %4")
                               .arg(Console::shown(other), Console::shown(it.key()),
                                    Console::shown(name),
                                    Console::shown(m_options.data.first().path)));
        }
        pathByName.insert(name, it.key());
    }
    return ExitOk;
}

// The inputs as the manifest records them: every expanded path, also one
// that a run skips, so that a change to it is noticed too. One skipped
// unread (a FIFO, a dangling link, a file that cannot be opened) has no
// hash and is recorded as such, so that --update sees it stay so; an image
// packed without a hash always counts as changed.
Manifest Packer::currentManifest(const QMap<QString, QString> &names,
                                 const QMap<QString, QSize> &sizes)
{
    Manifest manifest;
    manifest.optionsHash = optionsHash(m_options);
    const std::vector<QString> paths(names.keyBegin(), names.keyEnd());
    std::vector<QByteArray> hashes(paths.size());
    std::vector<int> unhashed;
    for (size_t i = 0; i < paths.size(); ++i) {
        hashes[i] = m_probedHashes.value(paths[i]);
        if (hashes[i].isEmpty())
            unhashed.push_back(int(i));
    }
    Parallel::forEach(m_options.threads, int(unhashed.size()), [&](int i) {
        const size_t index = size_t(unhashed[size_t(i)]);
        hashes[index] = hashFile(paths[index]);
    });
    for (size_t i = 0; i < paths.size(); ++i) {
        if (hashes[i].isEmpty() && !sizes.contains(paths[i]))
            hashes[i] = QByteArrayLiteral("unread");
        manifest.inputs.append({paths[i], names.value(paths[i]), hashes[i]});
    }
    return manifest;
}

// The outputs of sheets 1 and on, once the split gives their number: none
// may be an input, nor the file of another output, nor unwritable; all of
// it before any image is decoded.
int Packer::checkPageTargets(int pages, const QMap<QString, QString> &names)
{
    // A page of one sheet of a pack file can be another sheet's file, which
    // only the split shows.
    for (const NamedOutput &output : namedOutputs(m_options, std::max(pages, 1))) {
        if (m_earlier->contains(fileIdentity(output.path)))
            return usage(QStringLiteral("%1: two sheets would both write %2")
                             .arg(Console::shown(m_options.packFile), Console::shown(output.path)));
    }
    if (pages < 2)
        return ExitOk;
    const QVector<NamedOutput> named = namedOutputs(m_options, pages);
    if (const QString clash = sameFileClash(m_options, named); !clash.isEmpty())
        return usage(clash);
    QStringList pageOutputs;
    for (const NamedOutput &output : named) {
        if (output.sheet == 0)
            continue; // checked before the images were read
        QString reason;
        if (!isUsableOutputPath(output.path, &reason))
            return failure(
                QStringLiteral("Cannot write %1: %2").arg(Console::shown(output.path), reason));
        pageOutputs << output.path;
    }
    const std::vector<QString> inputs(names.keyBegin(), names.keyEnd());
    if (const QString overwritten = overwrittenInput(pageOutputs, inputs, m_options.threads);
        !overwritten.isEmpty())
        return failure(overwritten);
    return ExitOk;
}

// One file per data output, or, for several sheets, one per sheet for the
// formats made that way, naming the others.
int Packer::dataFiles(const QVector<Sheet> &sheets, const QMap<QString, QString> &names,
                      QVector<FileContent> *files)
{
    QVector<DataFormats::Sheet> described;
    for (const Sheet &sheet : sheets) {
        described.append({sheet.plan.placements, names,
                          QFileInfo(sheet.targets.sheetPath).fileName(), sheet.plan.sheetSize()});
        describeSprites(&described.last(), sheet);
    }
    const bool jsonPerSheet =
        std::any_of(m_options.data.cbegin(), m_options.data.cend(), [](const auto &output) {
            return output.format == DataFormats::Format::JsonHash ||
                   output.format == DataFormats::Format::JsonArray;
        });
    for (const DataFormats::Output &output : m_options.data) {
        QString error;
        if (!DataFormats::onePerSheet(output.format) || sheets.size() == 1) {
            FileContent file{dataPath(output), QByteArray()};
            QVector<DataFormats::Sheet> pages = described;
            for (int n = 0; n < sheets.size(); ++n)
                pages[n].imageFileName = seenFrom(file.path, sheets[n].targets.sheetPath);
            if (!DataFormats::multiSheetText(output.format, pages, &file.data, &error))
                return failure(QStringLiteral("%1: %2").arg(output.path, error));
            files->append(file);
            continue;
        }
        QStringList paths;
        for (int n = 0; n < sheets.size(); ++n)
            paths << page(output.path, n);
        const bool json = output.format != DataFormats::Format::Css;
        QSet<QString> classes;
        for (int n = 0; n < sheets.size(); ++n) {
            DataFormats::Sheet sheet = described[n];
            sheet.imageFileName = seenFrom(paths[n], sheets[n].targets.sheetPath);
            for (int other = 0; json && other < sheets.size(); ++other) {
                if (other != n)
                    sheet.relatedMultiPacks << seenFrom(paths[n], paths[other]);
            }
            if (!json) {
                sheet.cssClassesTaken = classes;
                for (const QString &name : DataFormats::cssClassNames(sheet))
                    classes.insert(name);
            }
            FileContent file{paths[n], QByteArray()};
            if (!DataFormats::text(output.format, sheet, &file.data, &error))
                return failure(QStringLiteral("%1: %2").arg(paths[n], error));
            files->append(file);
        }
    }
    // Only once every data file could be made: a run that fails says why alone.
    if (m_options.animations && jsonPerSheet && sheets.size() > 1)
        warnSplitAnimations(sheets, names);
    return ExitOk;
}

// Pages that the last run wrote for this output and this one does not: the
// numbered names past the last sheet, listed in the last run's manifest and
// still holding the bytes it wrote, and neither written nor read by this
// run. Anything else is not ours to remove. Asked with the lock held, so
// that the last run is the one that put its files in place last.
QStringList Packer::stalePages(const QVector<FileContent> &outputs, int sheetCount,
                               const QMap<QString, QString> &names)
{
    Manifest recorded;
    if (!readManifest(manifestPath(), &recorded))
        return {};
    QStringList stems{m_options.chosenPath};
    for (const DataFormats::Output &data : m_options.data)
        stems << data.path;
    // By identity: the last run may have spelled the same files otherwise
    // ("out/s.png" and "./out/s.png").
    QVector<QString> recordedIdentities;
    for (const Manifest::Output &old : std::as_const(recorded.outputs))
        recordedIdentities.append(fileIdentity(old.path));
    const QSet<QString> recordedPaths(recordedIdentities.cbegin(), recordedIdentities.cend());
    // A numbered name counts only where the last run made that sheet: a
    // data file named like a page is the user's choice. A page that has
    // become a sheet of its own, with a manifest listing its files, belongs
    // to that sheet now.
    QVector<int> pagesMade;
    QStringList ownManifests;
    for (int n = sheetCount; n < sheetCount + recorded.outputs.size(); ++n) {
        const QString page = SheetLayout::sheetPathFor(numberedPath(m_options.chosenPath, n));
        if (recordedPaths.contains(fileIdentity(page))) {
            pagesMade.append(n);
            ownManifests.append(manifestPathFor(page, false));
        }
    }
    QSet<QString> pageFiles;
    for (const int n : std::as_const(pagesMade)) {
        for (const QString &stem : std::as_const(stems)) {
            const QString page = numberedPath(stem, n);
            pageFiles << fileIdentity(page) << fileIdentity(SheetLayout::sheetPathFor(page))
                      << fileIdentity(SheetLayout::placementPathFor(page));
        }
    }
    QVector<Manifest::Output> numbered;
    for (int i = 0; i < recorded.outputs.size(); ++i) {
        if (pageFiles.contains(recordedIdentities[i]))
            numbered.append(recorded.outputs[i]);
    }
    if (numbered.isEmpty())
        return {}; // the usual run: no identities of every input to work out

    QSet<QString> written;
    for (const FileContent &file : outputs)
        written.insert(fileIdentity(file.path));
    for (auto it = names.constBegin(); it != names.constEnd(); ++it)
        written.insert(fileIdentity(it.key())); // an old page packed as an image
    written += *m_earlier;                      // what the pack file's other sheets wrote
    for (const QString &path : std::as_const(ownManifests)) {
        Manifest own;
        if (readManifest(path, &own)) {
            for (const Manifest::Output &output : std::as_const(own.outputs))
                written.insert(fileIdentity(output.path));
        }
    }
    QStringList stale;
    for (const Manifest::Output &old : std::as_const(numbered)) {
        if (!written.contains(fileIdentity(old.path)) && hashFile(old.path) == old.hash)
            stale << old.path;
    }
    return stale;
}

// Puts every sheet, placement file, data file and the manifest in place
// together, and removes the pages this run no longer makes.
int Packer::writeOutputs(const QVector<Sheet> &sheets, const QMap<QString, QString> &names,
                         Manifest manifest)
{
    QVector<FileContent> outputs;
    for (const Sheet &sheet : sheets) {
        outputs.append(
            {sheet.targets.placementPath, SheetLayout::placementText(sheet.plan.placements)});
    }
    if (const int status = dataFiles(sheets, names, &outputs))
        return status;
    // The first sheet goes last: the writer's lock is named after it.
    for (int n = sheets.size() - 1; n >= 0; --n)
        outputs.append({sheets[n].targets.sheetPath, sheets[n].encoded, sheets[n].storage});
    for (const FileContent &file : std::as_const(outputs))
        manifest.outputs.append({file.path, hashBytes(file.data)});
    manifest.sheets = sheets.size();

    WriteOptions write;
    write.lockFor = sheets.first().targets.sheetPath;
    write.removeUnderLock = [&] { return stalePages(outputs, sheets.size(), names); };
    outputs.insert(outputs.size() - 1, {manifestPath(), manifestText(manifest)});
    QString error;
    QStringList warnings;
    write.warnings = &warnings;
    const bool written = writeFilesAtomically(outputs, write, &error);
    for (const QString &warning : std::as_const(warnings))
        warn(warning);
    if (!written)
        return failure(error);
    for (const FileContent &file : std::as_const(outputs))
        m_earlier->insert(fileIdentity(file.path));
    return ExitOk;
}

// A JSON file per sheet lists the frames of an animation on that sheet only,
// and PixiJS plays each file's animations on their own: an animation whose
// frames went to several sheets is named, with the sheets.
void Packer::warnSplitAnimations(const QVector<Sheet> &sheets, const QMap<QString, QString> &names)
{
    QMap<QString, QList<int>> sheetsOf;
    for (int n = 0; n < sheets.size(); ++n) {
        for (const SheetLayout::Placement &p : sheets[n].plan.placements) {
            const QString animation =
                Sprites::animationFrame(names.value(p.path, p.path)).animation;
            QList<int> &on = sheetsOf[animation];
            if (!animation.isEmpty() && (on.isEmpty() || on.last() != n))
                on.append(n);
        }
    }
    for (auto it = sheetsOf.constBegin(); it != sheetsOf.constEnd(); ++it) {
        if (it.value().size() < 2)
            continue;
        QStringList numbers;
        for (const int n : it.value())
            numbers << QString::number(n);
        warn(QStringLiteral("animation \"%1\" has frames on sheets %2: each sheet's JSON file "
                            "lists only its own (PixiJS plays them apart)")
                 .arg(Console::shown(it.key()), numbers.join(QLatin1String(", "))));
    }
}

// What the data formats say beyond the placements: trimming, the pivot,
// animations and premultiplied alpha.
void Packer::describeSprites(DataFormats::Sheet *described, const Sheet &sheet) const
{
    if (m_options.sprites.trim) {
        for (auto it = sheet.kept.constBegin(); it != sheet.kept.constEnd(); ++it)
            described->trims.insert(it.key(), {it.value(), sheet.sourceSizes.value(it.key())});
    }
    described->pivot = m_options.pivot;
    described->animations = m_options.animations;
    described->premultiplied = m_options.sprites.premultiply;
}

void Packer::report(const Sheet &sheet)
{
    for (const SheetLayout::Placement &p : sheet.plan.placements) {
        m_console.out << "placed " << Console::shown(p.path) << " (" << p.size.width() << "x"
                      << p.size.height() << ") at " << p.position.x() << "," << p.position.y()
                      << "\n";
    }
    if (m_options.sprites.alias) {
        m_console.out << sheet.sharedImages << " images share " << sheet.sharedRegions
                      << " regions\n";
    }
    const QSize sheetSize = sheet.plan.sheetSize();
    m_console.out << "sheet " << Console::shown(sheet.targets.sheetPath) << " ("
                  << sheetSize.width() << "x" << sheetSize.height() << ")\n";
    m_console.out.flush();
}

} // namespace

// Every sheet in turn; the first failure ends the run. `written` gets the
// identities of the files written; `beforeSheet`, when set, is called with
// each sheet's index just before it is packed.
int packAll(const QVector<Options> &runs, Console &console, QSet<QString> *written = nullptr,
            const std::function<void(int)> &beforeSheet = {})
{
    QSet<QString> own;
    QSet<QString> &files = written ? *written : own;
    for (int i = 0; i < runs.size(); ++i) {
        if (beforeSheet)
            beforeSheet(i);
        Options options = runs[i];
        // The patterns were matched before any sheet was built: once an
        // earlier sheet has written its files, they are matched again, so
        // that this sheet takes in what that one made now, not on the
        // next run.
        if (!files.isEmpty() && options.packInputs.hasPattern()) {
            PackFile::SheetArguments now;
            PackFile::expandInputs(options.packInputs, &now);
            if (!now.unread.isEmpty())
                return console.failure(now.unread);
            if (!now.unmatched.isEmpty())
                return console.usage(now.unmatched.first().error);
            options.inputs = now.inputs;
            options.undecodable.insert(now.undecodable);
        }
        if (const int packed = Packer(options, console, &files).pack())
            return packed;
    }
    return ExitOk;
}

// An INPUT whose bytes do not decode is found by its bytes; any other such
// argument among `names`, an output's name above all, would name another
// file than the one meant (every undecodable byte reads as U+FFFD) and is
// refused.
int refuseUndecodable(const QStringList &names, const QStringList &inputs,
                      const QMap<QString, QByteArrayList> &undecodable, Console &console)
{
    // Counted, as two different names can read the same: `-o` one, INPUT the other.
    QHash<QString, int> unclaimed;
    for (const QString &input : inputs)
        ++unclaimed[input];
    for (const QString &name : names) {
        const auto raw = undecodable.constFind(name);
        if (raw != undecodable.constEnd() && --unclaimed[name] < 0) {
            return console.usage(
                QStringLiteral("%1: the name is not valid in this system's encoding")
                    .arg(Inputs::shownBytes(raw->last())));
        }
    }
    return ParsedToPack;
}

// --watch's packs: each parses the arguments again, so that changes to the
// pack and settings files and new matches of the pack file's patterns
// count, and packs every sheet.
class WatchedRuns
{
public:
    WatchedRuns(const QStringList &arguments, const QMap<QString, QByteArrayList> &undecodable,
                Console &console, const ParseReads &firstParse, const QStringList &firstInputs)
        : m_arguments(arguments), m_undecodable(undecodable), m_console(console),
          m_parsed(firstParse.files + firstParse.searched.folders),
          m_parsedSearched(firstParse.searched), m_firstInputs(firstInputs)
    {
    }

    WatchedPack pack(const QSet<QString> &written)
    {
        WatchedPack result;
        const QByteArray parsedBefore = watchEntries(m_parsed, written, m_parsedSearched);
        QVector<Options> current;
        ParseReads now;
        result.status = parseRuns(m_arguments, &current, m_console, &now);
        for (Options &options : current)
            options.undecodable.insert(m_undecodable);
        const QVector<QStringList> sheetWatched = readBySheet(current);
        const QStringList nowParsed = now.files + now.searched.folders;
        result.watched = nowParsed;
        for (const QStringList &paths : sheetWatched)
            result.watched += paths;
        result.searched = now.searched;
        // Each sheet's inputs taken just before it reads them, so that a
        // file an earlier sheet of this pack wrote counts as read as
        // written; those of sheets not packed, once the rest are.
        QVector<QVector<QByteArray>> read(sheetWatched.size());
        int reached = 0;
        const auto takeUpTo = [&](int sheet) {
            for (; reached < sheet; ++reached) {
                for (const QString &path : sheetWatched[reached])
                    read[reached].append(
                        watchEntries({path}, written + result.written, result.searched));
            }
        };
        // What the pack had written before each sheet was packed.
        QVector<QSet<QString>> writtenBefore;
        if (result.status == ParsedToPack)
            result.status = packAll(current, m_console, &result.written, [&](int sheet) {
                takeUpTo(sheet + 1);
                writtenBefore.append(result.written);
            });
        takeUpTo(sheetWatched.size());
        // Sheets that read each other's files change them on every pack:
        // packing again until each reads what the last wrote would never
        // end. Their files count as read once written; the next pack waits
        // for another change.
        QVector<int> changing;
        const QVector<int> cycle =
            readInCycle(sheetWatched, writtenBefore, result.written, &changing);
        if (!cycle.isEmpty()) {
            QStringList sheets;
            for (const int sheet : cycle)
                sheets << Console::shown(current[sheet].chosenPath);
            m_console.warn(QStringLiteral("%1: the sheets %2 read each other's files, so that "
                                          "every pack changes them: they are not packed again "
                                          "until another change")
                               .arg(Console::shown(current.first().packFile),
                                    sheets.join(QLatin1String(", "))));
            // Only what changes with every pack: a file another sheet wrote
            // and an earlier one read before it changed is read again.
            QSet<QString> cycleWrote;
            for (const int sheet : std::as_const(changing)) {
                QSet<QString> wrote =
                    sheet + 1 < writtenBefore.size() ? writtenBefore[sheet + 1] : result.written;
                cycleWrote += wrote.subtract(writtenBefore[sheet]);
            }
            for (int sheet = 0; sheet < sheetWatched.size(); ++sheet) {
                for (int i = 0; i < sheetWatched[sheet].size(); ++i) {
                    const QString &path = sheetWatched[sheet][i];
                    if (cycleWrote.contains(Inputs::fileIdentity(path)))
                        read[sheet][i] =
                            watchEntries({path}, written + result.written, result.searched);
                }
            }
        }
        // A parse whose files or folders changed since, or that read others
        // than the one before (their state before it is not known), matches
        // nothing: another pack follows.
        const bool parsedKept = nowParsed == m_parsed && now.searched == m_parsedSearched &&
                                watchEntries(m_parsed, written, m_parsedSearched) == parsedBefore;
        if (parsedKept) {
            QByteArray entries = parsedBefore;
            for (const QVector<QByteArray> &sheet : std::as_const(read)) {
                for (const QByteArray &entry : sheet)
                    entries += entry;
            }
            result.before = fingerprintOf(entries);
        }
        m_parsed = nowParsed;
        m_parsedSearched = now.searched;
        return result;
    }

private:
    // Sheets of one pack, in file order, each reading through the others a
    // file it wrote itself; empty when there are none. `writtenBefore`
    // holds what the pack had written before each sheet packed, `written`
    // all it wrote. `changing` gets those and the sheets that read, through
    // others or not, what they write: their files change with every pack.
    static QVector<int> readInCycle(const QVector<QStringList> &reads,
                                    const QVector<QSet<QString>> &writtenBefore,
                                    const QSet<QString> &written, QVector<int> *changing)
    {
        const int sheets = int(writtenBefore.size());
        QVector<QSet<QString>> readBy(sheets);
        for (int i = 0; i < sheets; ++i) {
            for (const QString &path : reads[i])
                readBy[i].insert(Inputs::fileIdentity(path));
        }
        // readFrom[i]: the sheets whose files sheet i read.
        QVector<QVector<int>> readFrom(sheets);
        for (int j = 0; j < sheets; ++j) {
            const QSet<QString> &after = j + 1 < sheets ? writtenBefore[j + 1] : written;
            for (const QString &file : after) {
                if (writtenBefore[j].contains(file))
                    continue;
                for (int i = 0; i < sheets; ++i) {
                    if (i != j && readBy[i].contains(file) && !readFrom[i].contains(j))
                        readFrom[i].append(j);
                }
            }
        }
        // Every sheet on a cycle, not only the first cycle found: a sheet
        // reachable from itself.
        QVector<int> cycle;
        for (int i = 0; i < sheets; ++i) {
            QVector<bool> seen(sheets, false);
            QVector<int> pending = readFrom[i];
            while (!pending.isEmpty() && !seen[i]) {
                const int j = pending.takeLast();
                if (seen[j])
                    continue;
                seen[j] = true;
                pending += readFrom[j];
            }
            if (seen[i])
                cycle.append(i);
        }
        QVector<bool> changes(sheets, false);
        for (const int i : std::as_const(cycle))
            changes[i] = true;
        for (bool more = !cycle.isEmpty(); more;) {
            more = false;
            for (int i = 0; i < sheets; ++i) {
                if (!changes[i] && std::any_of(readFrom[i].cbegin(), readFrom[i].cend(),
                                               [&](int j) { return changes[j]; }))
                    changes[i] = more = true;
            }
        }
        changing->clear();
        for (int i = 0; i < sheets; ++i) {
            if (changes[i])
                changing->append(i);
        }
        return cycle;
    }

    // What each sheet reads: its INPUTs and the images in its folders (a
    // folder's watch sees files come and go, not their contents change).
    // One INPUT at a time, so that one missing or with a name that does not
    // decode leaves the others' images watched.
    QVector<QStringList> readBySheet(const QVector<Options> &current) const
    {
        QVector<QStringList> sheetWatched;
        for (const Options &options : current) {
            sheetWatched.append(options.inputs);
            for (const QString &input : options.inputs) {
                QMap<QString, QString> names;
                QString error;
                QStringList unnamable;
                Inputs::expandInputs({input}, names, &error, &unnamable);
                sheetWatched.last() += names.keys();
            }
        }
        if (current.isEmpty())
            sheetWatched.append(m_firstInputs);
        return sheetWatched;
    }

    const QStringList &m_arguments;
    const QMap<QString, QByteArrayList> &m_undecodable;
    Console &m_console;
    QStringList m_parsed;                // what the parse before read
    PackFile::Searched m_parsedSearched; // how patterns searched the folders among them
    const QStringList m_firstInputs;     // watched while no parse gives a sheet
};

int runPack(const QStringList &arguments, QTextStream &out, QTextStream &err,
            const QMap<QString, QByteArrayList> &undecodable)
{
    Console console(out, err);
    // The pack and settings files are read before the INPUTs are known. A
    // name given as "--pack=FILE" is one argument with the option: its
    // bytes are those after the "=".
    QMap<QString, QByteArrayList> readWhileParsing = undecodable;
    for (auto it = undecodable.constBegin(); it != undecodable.constEnd(); ++it) {
        const int equals = it.key().indexOf(QLatin1Char('='));
        if (!it.key().startsWith(QLatin1String("--")) || equals <= 2)
            continue;
        QByteArrayList values;
        for (const QByteArray &raw : it.value())
            values << raw.mid(raw.indexOf('=') + 1);
        readWhileParsing.insert(it.key().mid(equals + 1), values);
    }
    if (const int status =
            refuseUndecodable(filesReadWhileParsing(arguments), {}, readWhileParsing, console);
        status != ParsedToPack)
        return status;
    QVector<Options> runs;
    // With --watch, a pack file with an error in it, or a pattern that
    // matches nothing, is reported by the first pack and watched until it
    // is mended: the message waits until that is known, so as to come once.
    QString parseErrors;
    QTextStream parseErr(&parseErrors);
    Console parsing(out, parseErr);
    ParseReads reads;
    int status = parseRuns(arguments, &runs, parsing, &reads);
    parseErr.flush();
    const bool watchBroken = status != ParsedToPack && reads.watch && reads.packFileAtFault;
    if (!watchBroken) {
        err << parseErrors;
        err.flush();
    }
    for (Options &options : runs)
        options.undecodable.insert(undecodable);
    if (status == ParsedToPack)
        status = refuseUndecodable(arguments.mid(1), runs.first().inputs, undecodable, console);
    // With the pack file watched until it is mended, a name the command line
    // gives is refused now, as it would be then.
    if (const int refused =
            watchBroken ? refuseUndecodable(arguments.mid(1), reads.inputs, undecodable, console)
                        : ParsedToPack;
        refused != ParsedToPack)
        return refused;
    const bool watch = status == ParsedToPack ? runs.first().watch : watchBroken;
    if (status != ParsedToPack && !watch)
        return status;
    if (watch) {
        WatchedRuns watched(arguments, undecodable, console, reads,
                            runs.isEmpty() ? QStringList() : runs.first().inputs);
        return watchAndPack([&](const QSet<QString> &written) { return watched.pack(written); },
                            console);
    }
    return packAll(runs, console);
}

} // namespace PackCommand
