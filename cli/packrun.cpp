#include "cli/packcommand.h"

#include "cli/packoptions.h"
#include "core/inputs.h"
#include "core/layout/compactlayout.h"
#include "core/output/atomicfile.h"
#include "core/output/dataformats.h"
#include "core/pipeline.h"
#include "core/sheetrender.h"
#include "core/sprites/spritepipeline.h"

#include <QFileInfo>
#include <QTextStream>

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

SheetLayout::Plan planFor(const Options &o, const QMap<QString, QSize> &sizes)
{
    SheetLayout::LayoutOptions layout;
    layout.layout = o.layout;
    layout.margin = o.margin;
    layout.maxSize = o.maxSize;
    layout.powerOfTwo = o.powerOfTwo;
    return SheetLayout::planFor(sizes, layout);
}

// One run of the shared pipeline with the options' record: inputs, layout,
// decode, encode and the all-or-nothing write.
class Packer
{
public:
    Packer(const Options &options, Console &console) : m_options(options), m_console(console) {}
    int pack();

private:
    int checkTargets(Targets *targets);
    int sortUndecodable(QStringList *inputs, QStringList *unnamable);
    int collectImages(QMap<QString, QString> *names, QMap<QString, QSize> *sizes);
    int checkFrameNames(const QMap<QString, QString> &names, const QMap<QString, QSize> &sizes);
    int writeOutputs(const Targets &targets, const Compose::SheetResult &composed,
                     const QMap<QString, QString> &names);
    void describeSprites(DataFormats::Sheet *sheet, const Compose::SheetResult &composed) const;
    void report(const Targets &targets, const SheetLayout::Plan &plan);
    void warn(const QString &message) { m_console.warn(message); }
    int usage(const QString &message) { return m_console.usage(message); }
    int failure(const QString &message) { return m_console.failure(message); }

    const Options &m_options;
    Console &m_console;
    Compose::SpriteResult m_sprites; // with the sprite options: what the sheet keeps
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

    Compose::SheetJob job;
    job.sheetPath = targets.sheetPath;
    job.sizes = sizes;
    const Options &o = m_options;
    job.layout = [&o](const QMap<QString, QSize> &s) { return planFor(o, s); };
    job.checkPlan = [&o](const SheetLayout::Plan &plan) {
        if (SheetLayout::fitsMaxSize(plan, o.maxSize))
            return QString();
        return QStringLiteral("%1: the sheet needs %2 x %3 pixels, more than --max-size %4x%5 "
                              "allows")
            .arg(Console::shown(SheetLayout::sheetPathFor(o.chosenPath)))
            .arg(plan.width)
            .arg(plan.height)
            .arg(o.maxSize.width())
            .arg(o.maxSize.height());
    };
    job.limits = m_options.limits;
    job.maxSheetPixels = m_options.maxSheetPixels;
    job.threads = m_options.threads;
    job.skipUndecodable = m_options.skipUnreadable;
    if (m_options.sprites.changesSheet())
        m_sprites = Compose::composeSprites(job, m_options.sprites);
    else
        m_sprites.composed = Compose::composeSheet(job);
    const Compose::SheetResult &composed = m_sprites.composed;
    for (const Compose::Failure &skipped : composed.skipped)
        warn(QStringLiteral("skipping %1").arg(skipped.message()));
    if (composed.outcome != Compose::SheetResult::Ok)
        return failure(composed.error);
    if (const int status = writeOutputs(targets, composed, names))
        return status;
    if (m_options.verbose)
        report(targets, composed.plan);
    return ExitOk;
}

// Every output is named, distinct, not an input, and the sheet's suffix has
// a writer; all of it before any image is read.
int Packer::checkTargets(Targets *targets)
{
    const Options &o = m_options;
    targets->sheetPath = SheetLayout::sheetPathFor(o.chosenPath);
    targets->placementPath = SheetLayout::placementPathFor(o.chosenPath);

    struct Named
    {
        QString what;
        QString path;
    };
    QVector<Named> named{{QStringLiteral("placement file"), targets->placementPath}};
    for (int i = 0; i < o.data.size(); ++i)
        named.append({o.dataWhat[i], o.data[i].path});
    named.append({QStringLiteral("sheet"), targets->sheetPath});
    for (int i = 0; i < named.size(); ++i) {
        for (int j = 0; j < i; ++j) {
            if (fileIdentity(named[i].path) == fileIdentity(named[j].path)) {
                return usage(QStringLiteral("the %1 and the %2 would both be %3")
                                 .arg(named[j].what, named[i].what, Console::shown(named[i].path)));
            }
        }
    }

    // Runs writing this sheet take turns on its lock file, which is never
    // replaced or removed by a run that did not create it.
    const QString lock = lockFilePathFor(targets->sheetPath);
    for (const Named &output : std::as_const(named)) {
        if (fileIdentity(output.path) == fileIdentity(lock)) {
            return usage(QStringLiteral("the %1 would be %2, the lock file of the sheet")
                             .arg(output.what, Console::shown(output.path)));
        }
    }

    // A device, FIFO or folder is refused before anything is read.
    for (const Named &output : std::as_const(named)) {
        QString reason;
        if (!isUsableOutputPath(output.path, &reason))
            return failure(
                QStringLiteral("Cannot write %1: %2").arg(Console::shown(output.path), reason));
    }

    targets->format = SheetRender::writerFormatFor(targets->sheetPath);
    if (targets->format.isEmpty()) {
        return failure(
            QStringLiteral("%1: no image writer for suffix \"%2\"")
                .arg(Console::shown(targets->sheetPath), QFileInfo(targets->sheetPath).suffix()));
    }
    return ExitOk;
}

// An INPUT whose bytes do not decode cannot be opened by its decoded name:
// found by its bytes, it is reported as a folder's entry of that kind is.
int Packer::sortUndecodable(QStringList *inputs, QStringList *unnamable)
{
    for (const QString &input : m_options.inputs) {
        const auto raw = m_options.undecodable.constFind(input);
        if (raw == m_options.undecodable.constEnd()) {
            *inputs << input;
            continue;
        }
        struct stat info;
        if (::stat(raw->constData(), &info) != 0)
            return failure(
                QStringLiteral("%1: no such file or folder").arg(Inputs::shownBytes(*raw)));
        *unnamable << QStringLiteral("%1: the file name is not valid in this system's encoding")
                          .arg(Inputs::shownBytes(*raw));
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
    QMap<QString, QString> outputIdentities;
    QStringList outputPaths{SheetLayout::placementPathFor(o.chosenPath),
                            SheetLayout::sheetPathFor(o.chosenPath)};
    for (const DataFormats::Output &data : o.data)
        outputPaths << data.path;
    for (const QString &path : std::as_const(outputPaths))
        outputIdentities.insert(fileIdentity(path), path);
    for (auto it = names->constBegin(); it != names->constEnd(); ++it) {
        const QString output = outputIdentities.value(fileIdentity(it.key()));
        if (!output.isEmpty()) {
            return failure(QStringLiteral("%1: output would overwrite the input image %2")
                               .arg(Console::shown(output), Console::shown(it.key())));
        }
    }

    for (auto it = names->constBegin(); it != names->constEnd(); ++it) {
        QSize size;
        Compose::Failure problem;
        if (Compose::probeImage(it.key(), o.limits, &size, &problem)) {
            sizes->insert(it.key(), size);
            continue;
        }
        if (!o.skipUnreadable)
            return failure(problem.message());
        warn(QStringLiteral("skipping %1").arg(problem.message()));
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

// Encodes the sheet and puts every file in place together.
int Packer::writeOutputs(const Targets &targets, const Compose::SheetResult &composed,
                         const QMap<QString, QString> &names)
{
    const SheetLayout::Plan &plan = composed.plan;
    QVector<FileContent> outputs{
        {targets.placementPath, SheetLayout::placementText(plan.placements)}};
    QVector<FileContent> dataFiles;
    QString error;
    DataFormats::Sheet sheet{plan.placements, names, QFileInfo(targets.sheetPath).fileName(),
                             plan.sheetSize()};
    describeSprites(&sheet, composed);
    if (!DataFormats::files(m_options.data, sheet, &dataFiles, &error))
        return failure(error);
    outputs += dataFiles;
    FileContent sheetOutput{targets.sheetPath, QByteArray()};
    if (!SheetRender::encode(composed.sheet, targets.format, &sheetOutput.data, &error,
                             m_options.threads, m_options.pngLevel))
        return failure(
            QStringLiteral("Cannot save %1: %2").arg(Console::shown(targets.sheetPath), error));
    outputs.append(sheetOutput);
    QStringList warnings;
    WriteOptions options;
    options.warnings = &warnings;
    const bool written = writeFilesAtomically(outputs, options, &error);
    for (const QString &warning : std::as_const(warnings))
        warn(warning);
    if (!written)
        return failure(error);
    return ExitOk;
}

// What the data formats say beyond the placements: trimming, the pivot,
// animations and premultiplied alpha.
void Packer::describeSprites(DataFormats::Sheet *sheet, const Compose::SheetResult &composed) const
{
    if (m_options.sprites.trim) {
        for (auto it = m_sprites.kept.constBegin(); it != m_sprites.kept.constEnd(); ++it)
            sheet->trims.insert(it.key(), {it.value(), composed.sizes.value(it.key())});
    }
    sheet->pivot = m_options.pivot;
    sheet->animations = m_options.animations;
    sheet->premultiplied = m_options.sprites.premultiply;
}

void Packer::report(const Targets &targets, const SheetLayout::Plan &plan)
{
    for (const SheetLayout::Placement &p : plan.placements) {
        m_console.out << "placed " << Console::shown(p.path) << " (" << p.size.width() << "x"
                      << p.size.height() << ") at " << p.position.x() << "," << p.position.y()
                      << "\n";
    }
    if (m_options.sprites.alias) {
        m_console.out << m_sprites.sharedImages << " images share " << m_sprites.sharedRegions
                      << " regions\n";
    }
    const QSize sheetSize = plan.sheetSize();
    m_console.out << "sheet " << Console::shown(targets.sheetPath) << " (" << sheetSize.width()
                  << "x" << sheetSize.height() << ")\n";
    m_console.out.flush();
}

} // namespace

int runPack(const QStringList &arguments, QTextStream &out, QTextStream &err,
            const QMap<QString, QByteArray> &undecodable)
{
    Console console(out, err);
    Options options;
    options.undecodable = undecodable;
    const int status = parseOptions(arguments, &options, console);
    return status == ParsedToPack ? Packer(options, console).pack() : status;
}

} // namespace PackCommand
