#include "compose/packcommand.h"

#include "compose/atomicfile.h"
#include "compose/compactlayout.h"
#include "compose/dataformats.h"
#include "compose/pipeline.h"
#include "compose/sheetrender.h"
#include "settings/configfile.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QTextStream>

#include <algorithm>
#include <limits>
#include <utility>

#ifdef Q_OS_UNIX
#include <dirent.h>
#endif

namespace PackCommand {

namespace {

const QString programName = QStringLiteral("korvane-pack");
// From Run::parse(): go on and pack.
constexpr int parsedToPack = -1;

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// A whole number written with digits only: no sign, no spaces.
bool parseMargin(const QString &text, int *margin)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    *margin = text.toInt(&ok, 10);
    return ok;
}

// Identifies a file for collision checks: symlinked folders and "a/../b"
// spellings of the same place compare equal, whether or not the file exists.
QString fileIdentity(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = info.absoluteDir().canonicalPath();
    if (!folder.isEmpty())
        return folder + QLatin1Char('/') + info.fileName();
    return QDir::cleanPath(info.absoluteFilePath());
}

struct Options
{
    QString chosenPath;
    QVector<DataFormats::Output> data; // --json first, then each --data in order
    QStringList dataWhat;              // what messages call each of `data`
    QStringList inputs;
    int margin = 2;
    int threads = 0;
    Compose::Limits limits;
    SheetLayout::Layout layout = SheetLayout::Layout::Rows;
    QSize maxSize; // invalid: no limit
    bool powerOfTwo = false;
    bool skipUnreadable = false;
    bool verbose = false;
};

// What one run writes: the sheet, its placement file and the data files.
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

// korvane-pack's options, defined once and read by the steps of Run::parse().
struct CommandLine
{
    CommandLine();

    QCommandLineParser parser;
    QCommandLineOption help;
    QCommandLineOption version;
    QCommandLineOption output, margin, config, json, data, format, layout, maxSize, powerOfTwo,
        skip, verbose, maxPixels, threads;
};

CommandLine::CommandLine()
    : help(parser.addHelpOption()), version(parser.addVersionOption()),
      output({QStringLiteral("o"), QStringLiteral("output")},
             QStringLiteral("The sheet to write; \".png\" is added when it has no suffix. The "
                            "placement file gets the same name with suffix \".txt\"."),
             QStringLiteral("SHEET")),
      margin(
          {QStringLiteral("m"), QStringLiteral("margin")},
          QStringLiteral("Pixels around and between the images (default 2; wins over --config)."),
          QStringLiteral("N")),
      config(QStringLiteral("config"),
             QStringLiteral("Take the margin from a Korvane settings file."),
             QStringLiteral("FILE")),
      json(QStringLiteral("json"),
           QStringLiteral("Also write the placement as a JSON hash (TexturePacker style)."),
           QStringLiteral("FILE")),
      data(QStringLiteral("data"),
           QStringLiteral("Also write a data file in the format of the --format given in the same "
                          "position; repeatable."),
           QStringLiteral("FILE")),
      format(QStringLiteral("format"),
             QStringLiteral("The format of a --data file: %1.")
                 .arg(DataFormats::formatNames().join(QLatin1String(", "))),
             QStringLiteral("F")),
      layout(QStringLiteral("layout"),
             QStringLiteral("rows (default: the window's layout) or compact (close to square)."),
             QStringLiteral("NAME")),
      maxSize(QStringLiteral("max-size"),
              QStringLiteral("Fail when the sheet would be wider than W or taller than H pixels."),
              QStringLiteral("WxH")),
      powerOfTwo(QStringLiteral("power-of-two"),
                 QStringLiteral("Round each side of the sheet up to a power of two.")),
      skip(QStringLiteral("skip-unreadable"),
           QStringLiteral("Skip images that exist but do not load, with a warning, instead of "
                          "failing.")),
      verbose(QStringLiteral("verbose"),
              QStringLiteral("Print each placed image and the sheet size on standard output.")),
      maxPixels(
          QStringLiteral("max-image-pixels"),
          QStringLiteral("Refuse input images of more than N pixels (default %1), read from their "
                         "headers before anything is decoded. Sides are limited to %2 pixels.")
              .arg(Compose::Limits().maxPixels)
              .arg(Compose::Limits().maxSide),
          QStringLiteral("N")),
      threads(
          QStringLiteral("threads"),
          QStringLiteral("Decode and encode on N threads (default: one per core). The output is "
                         "the same for every N."),
          QStringLiteral("N"))
{
    parser.setApplicationDescription(QStringLiteral(
        "Packs images into one sheet and writes the placement file beside it, as the Korvane\n"
        "window does. An INPUT folder stands for the .png files directly inside it.\n"
        "Exit status: 0 success, 1 failure (nothing new is written), 2 usage error."));
    parser.addOptions({output, margin, config, json, data, format, layout, maxSize, powerOfTwo,
                       skip, verbose, maxPixels, threads});
    parser.addPositionalArgument(QStringLiteral("INPUT"),
                                 QStringLiteral("Image files and folders of .png files."),
                                 QStringLiteral("INPUT..."));
}

class Run
{
public:
    Run(QTextStream &out, QTextStream &err) : m_out(out), m_err(err) {}
    int exec(const QStringList &arguments);

private:
    int parse(const QStringList &arguments);
    int readOutputs(const CommandLine &c);
    int readLayout(const CommandLine &c);
    int readInputs(const CommandLine &c);
    int readLimits(const CommandLine &c);
    int readMargin(const CommandLine &c);
    int pack();
    int checkTargets(Targets *targets);
    int collectImages(QMap<QString, QString> *names, QMap<QString, QSize> *sizes);
    int checkFrameNames(const QMap<QString, QString> &names, const QMap<QString, QSize> &sizes);
    int writeOutputs(const Targets &targets, const Compose::SheetResult &composed,
                     const QMap<QString, QString> &names);
    void report(const Targets &targets, const SheetLayout::Plan &plan);
    void warn(const QString &message);
    int usage(const QString &message);
    int failure(const QString &message);

    QTextStream &m_out;
    QTextStream &m_err;
    Options m_options;
};

void Run::warn(const QString &message)
{
    m_err << programName << ": " << message << "\n";
    m_err.flush();
}

int Run::usage(const QString &message)
{
    m_err << programName << ": " << message << "\n"
          << "Try '" << programName << " --help' for more information.\n";
    m_err.flush();
    return ExitUsage;
}

int Run::failure(const QString &message)
{
    m_err << programName << ": " << message << "\n";
    m_err.flush();
    return ExitFailure;
}

int Run::exec(const QStringList &arguments)
{
    const int status = parse(arguments);
    return status == parsedToPack ? pack() : status;
}

int Run::parse(const QStringList &arguments)
{
    CommandLine c;
    if (!c.parser.parse(arguments))
        return usage(c.parser.errorText());
    if (c.parser.isSet(c.help) || c.parser.isSet(QStringLiteral("help-all"))) {
        // The usage line names the program, not the path it was started by.
        QString help = c.parser.helpText();
        const int lineEnd = help.indexOf(QLatin1Char('\n'));
        const int options = help.lastIndexOf(QLatin1String(" [options]"), lineEnd);
        if (help.startsWith(QLatin1String("Usage: ")) && options > 0)
            help.replace(7, options - 7, programName);
        m_out << help;
        m_out.flush();
        return ExitOk;
    }
    if (c.parser.isSet(c.version)) {
        m_out << programName << " " << KORVANE_VERSION << "\n";
        m_out.flush();
        return ExitOk;
    }

    for (const QCommandLineOption &option :
         {c.output, c.margin, c.config, c.json, c.layout, c.maxSize, c.maxPixels, c.threads}) {
        if (c.parser.values(option).size() > 1)
            return usage(QStringLiteral("--%1 given more than once").arg(option.names().last()));
    }
    for (const auto step : {&Run::readOutputs, &Run::readLayout, &Run::readInputs, &Run::readLimits,
                            &Run::readMargin}) {
        const int status = (this->*step)(c);
        if (status != parsedToPack)
            return status;
    }
    return parsedToPack;
}

// -o, --json and the --data/--format pairs.
int Run::readOutputs(const CommandLine &c)
{
    m_options.chosenPath = c.parser.value(c.output);
    if (m_options.chosenPath.isEmpty())
        return usage(QStringLiteral("no sheet given; use -o SHEET"));
    if (QFileInfo(m_options.chosenPath).fileName().isEmpty())
        return usage(
            QStringLiteral("-o %1 names a folder, not a sheet file").arg(m_options.chosenPath));
    if (c.parser.isSet(c.json) && QFileInfo(c.parser.value(c.json)).fileName().isEmpty())
        return usage(QStringLiteral("--json needs a file name"));
    if (c.parser.isSet(c.json)) {
        m_options.data.append({c.parser.value(c.json), DataFormats::Format::JsonHash});
        m_options.dataWhat << QStringLiteral("JSON file");
    }
    const QStringList dataPaths = c.parser.values(c.data);
    const QStringList formats = c.parser.values(c.format);
    if (dataPaths.size() != formats.size()) {
        return usage(QStringLiteral("--data and --format go in pairs: %1 --data, %2 --format")
                         .arg(dataPaths.size())
                         .arg(formats.size()));
    }
    for (int i = 0; i < dataPaths.size(); ++i) {
        DataFormats::Output data{dataPaths[i], DataFormats::Format::JsonHash};
        if (!DataFormats::formatFromName(formats[i], &data.format)) {
            return usage(
                QStringLiteral("unknown format \"%1\"; use one of %2")
                    .arg(formats[i], DataFormats::formatNames().join(QLatin1String(", "))));
        }
        if (dataPaths[i].isEmpty())
            return usage(QStringLiteral("--data needs a file name"));
        m_options.data.append(data);
        m_options.dataWhat << QStringLiteral("%1 data file").arg(formats[i]);
    }
    return parsedToPack;
}

int Run::readLayout(const CommandLine &c)
{
    if (c.parser.isSet(c.layout)) {
        const QString layout = c.parser.value(c.layout);
        if (layout == QLatin1String("compact"))
            m_options.layout = SheetLayout::Layout::Compact;
        else if (layout != QLatin1String("rows"))
            return usage(QStringLiteral("unknown layout \"%1\"; use rows or compact").arg(layout));
    }
    if (c.parser.isSet(c.maxSize) &&
        !SheetLayout::parseSize(c.parser.value(c.maxSize), &m_options.maxSize)) {
        return usage(QStringLiteral("--max-size \"%1\" is not WIDTHxHEIGHT in whole pixels, "
                                    "each 1 or more")
                         .arg(c.parser.value(c.maxSize)));
    }
    m_options.powerOfTwo = c.parser.isSet(c.powerOfTwo);
    return parsedToPack;
}

int Run::readInputs(const CommandLine &c)
{
    m_options.inputs = c.parser.positionalArguments();
    if (m_options.inputs.isEmpty())
        return usage(QStringLiteral("no INPUT given"));
    m_options.skipUnreadable = c.parser.isSet(c.skip);
    m_options.verbose = c.parser.isSet(c.verbose);

    return parsedToPack;
}

int Run::readLimits(const CommandLine &c)
{
    if (c.parser.isSet(c.maxPixels)) {
        bool ok = false;
        m_options.limits.maxPixels = c.parser.value(c.maxPixels).toLongLong(&ok, 10);
        if (!ok || m_options.limits.maxPixels < 1)
            return usage(QStringLiteral("--max-image-pixels \"%1\" is not a whole number of 1 "
                                        "or more")
                             .arg(c.parser.value(c.maxPixels)));
    }
    if (c.parser.isSet(c.threads)) {
        bool ok = false;
        m_options.threads = c.parser.value(c.threads).toInt(&ok, 10);
        if (!ok || m_options.threads < 1 || m_options.threads > 256)
            return usage(QStringLiteral("--threads \"%1\" is not a whole number from 1 to 256")
                             .arg(c.parser.value(c.threads)));
    }

    return parsedToPack;
}

// --margin, and --config, which is read even when --margin overrides it.
int Run::readMargin(const CommandLine &c)
{
    const bool marginGiven = c.parser.isSet(c.margin);
    if (marginGiven && !parseMargin(c.parser.value(c.margin), &m_options.margin)) {
        return usage(QStringLiteral("margin \"%1\" is not a whole number from 0 to %2")
                         .arg(c.parser.value(c.margin))
                         .arg(std::numeric_limits<int>::max()));
    }

    // The file is read even when --margin overrides it: a settings file that
    // was asked for but cannot be read is an error either way.
    if (c.parser.isSet(c.config)) {
        const QString configPath = c.parser.value(c.config);
        QMap<QString, QString> parameters{{QStringLiteral("marginPixel"), QString()}};
        if (const int error =
                readConfigAttributes(configPath, QStringLiteral("parameters"), parameters)) {
            return failure(QStringLiteral("Can not read settings,Error Number is: 0x") +
                           QString::number(error, 16) +
                           QStringLiteral(" (%1)").arg(shown(configPath)));
        }
        // Read as the window reads it: text that is not a number becomes 0.
        const int configMargin = parameters.value(QStringLiteral("marginPixel")).toInt(nullptr, 10);
        if (!marginGiven) {
            if (configMargin < 0) {
                return failure(
                    QStringLiteral("%1: margin %2 is negative; margins must be 0 or more")
                        .arg(shown(configPath))
                        .arg(configMargin));
            }
            m_options.margin = configMargin;
        }
    }
    return parsedToPack;
}

int Run::pack()
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
            .arg(shown(SheetLayout::sheetPathFor(o.chosenPath)))
            .arg(plan.width)
            .arg(plan.height)
            .arg(o.maxSize.width())
            .arg(o.maxSize.height());
    };
    job.limits = m_options.limits;
    job.threads = m_options.threads;
    job.skipUndecodable = m_options.skipUnreadable;
    const Compose::SheetResult composed = Compose::composeSheet(job);
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
int Run::checkTargets(Targets *targets)
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
                                 .arg(named[j].what, named[i].what, shown(named[i].path)));
            }
        }
    }

    // A device, FIFO or folder is refused before anything is read.
    for (const Named &output : std::as_const(named)) {
        QString reason;
        if (!isUsableOutputPath(output.path, &reason))
            return failure(QStringLiteral("Cannot write %1: %2").arg(shown(output.path), reason));
    }

    targets->format = SheetRender::writerFormatFor(targets->sheetPath);
    if (targets->format.isEmpty()) {
        return failure(QStringLiteral("%1: no image writer for suffix \"%2\"")
                           .arg(shown(targets->sheetPath), QFileInfo(targets->sheetPath).suffix()));
    }
    return ExitOk;
}

// Expands the INPUT arguments and reads every image's size from its header.
int Run::collectImages(QMap<QString, QString> *names, QMap<QString, QSize> *sizes)
{
    const Options &o = m_options;
    QString error;
    QStringList unnamable;
    if (!expandInputs(o.inputs, *names, &error, &unnamable))
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
                               .arg(shown(output), shown(it.key())));
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

int Run::checkFrameNames(const QMap<QString, QString> &names, const QMap<QString, QSize> &sizes)
{
    if (m_options.data.isEmpty())
        return ExitOk;
    QMap<QString, QString> pathByName;
    for (auto it = sizes.constBegin(); it != sizes.constEnd(); ++it) {
        const QString name = names.value(it.key());
        const QString other = pathByName.value(name);
        if (!other.isEmpty()) {
            return failure(
                QStringLiteral("%1 and %2 would both be frame \"%3\" in %4")
                    .arg(shown(other), shown(it.key()), name, shown(m_options.data.first().path)));
        }
        pathByName.insert(name, it.key());
    }
    return ExitOk;
}

// Encodes the sheet and puts every file in place together.
int Run::writeOutputs(const Targets &targets, const Compose::SheetResult &composed,
                      const QMap<QString, QString> &names)
{
    const SheetLayout::Plan &plan = composed.plan;
    QVector<FileContent> outputs{
        {targets.placementPath, SheetLayout::placementText(plan.placements)}};
    QVector<FileContent> dataFiles;
    QString error;
    if (!DataFormats::files(
            m_options.data,
            {plan.placements, names, QFileInfo(targets.sheetPath).fileName(), plan.sheetSize()},
            &dataFiles, &error))
        return failure(error);
    outputs += dataFiles;
    FileContent sheetOutput{targets.sheetPath, QByteArray()};
    if (!SheetRender::encode(composed.sheet, targets.format, &sheetOutput.data, &error,
                             m_options.threads))
        return failure(QStringLiteral("Cannot save %1: %2").arg(shown(targets.sheetPath), error));
    outputs.append(sheetOutput);
    if (!writeFilesAtomically(outputs, &error))
        return failure(error);
    return ExitOk;
}

void Run::report(const Targets &targets, const SheetLayout::Plan &plan)
{
    for (const SheetLayout::Placement &p : plan.placements) {
        m_out << "placed " << shown(p.path) << " (" << p.size.width() << "x" << p.size.height()
              << ") at " << p.position.x() << "," << p.position.y() << "\n";
    }
    const QSize sheetSize = plan.sheetSize();
    m_out << "sheet " << shown(targets.sheetPath) << " (" << sheetSize.width() << "x"
          << sheetSize.height() << ")\n";
    m_out.flush();
}

} // namespace

bool expandInputs(const QStringList &inputs, QMap<QString, QString> &names, QString *error,
                  QStringList *unnamable)
{
    auto add = [&names](const QString &path, const QString &name) {
        auto it = names.find(path);
        if (it == names.end())
            names.insert(path, name);
        else if (name < it.value())
            it.value() = name;
    };

    names.clear();
    for (const QString &input : inputs) {
        const QFileInfo info(input);
        if (info.isFile()) {
            add(input, input);
            continue;
        }
        if (!info.isDir()) {
            *error = QStringLiteral("%1: %2").arg(
                shown(input), info.exists() ? QStringLiteral("not a regular file or folder")
                                            : QStringLiteral("no such file or folder"));
            return false;
        }
        const QDir folder(input);
        if (!folder.isReadable()) {
            *error = QStringLiteral("%1: folder cannot be read").arg(shown(input));
            return false;
        }
        for (const QString &entry : pngFilesIn(folder))
            add(folder.filePath(entry), entry);
        for (const QString &shownName : unnamablePngFilesIn(folder)) {
            const QString message =
                QStringLiteral("%1: the file name %2 is not valid in this system's encoding")
                    .arg(shown(input), shownName);
            if (!unnamable) {
                *error = message;
                return false;
            }
            unnamable->append(message);
        }
    }
    return true;
}

QStringList pngFilesIn(const QDir &folder)
{
    // Hidden files count too: the rule is the name's ending alone.
    QStringList entries = folder.entryList(QDir::Files | QDir::Hidden, QDir::NoSort);
    std::sort(entries.begin(), entries.end());
    QStringList result;
    for (const QString &entry : std::as_const(entries)) {
        if (entry.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
            result << entry;
    }
    return result;
}

QStringList unnamablePngFilesIn(const QDir &folder)
{
    QStringList result;
#ifdef Q_OS_UNIX
    // QDir decodes names and drops those that do not survive the round trip;
    // they are found here from the raw bytes, so none is left out silently.
    DIR *dir = ::opendir(QFile::encodeName(folder.path()).constData());
    if (!dir)
        return result;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray raw(entry->d_name);
        if (!raw.toLower().endsWith(".png") || QFile::encodeName(QFile::decodeName(raw)) == raw)
            continue;
        QString readable;
        for (const char c : raw) {
            const uchar u = uchar(c);
            readable += u >= 0x20 && u < 0x7f
                            ? QString(QLatin1Char(c))
                            : QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        }
        result << QLatin1Char('"') + readable + QLatin1Char('"');
    }
    ::closedir(dir);
    std::sort(result.begin(), result.end());
#else
    Q_UNUSED(folder);
#endif
    return result;
}

QByteArray jsonText(const QVector<SheetLayout::Placement> &placements,
                    const QMap<QString, QString> &names, const QString &imageFileName,
                    const QSize &sheetSize)
{
    return DataFormats::jsonHash({placements, names, imageFileName, sheetSize});
}

int runPack(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    return Run(out, err).exec(arguments);
}

} // namespace PackCommand
