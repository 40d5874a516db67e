#include "cli/packoptions.h"

#include "cli/manifest.h"
#include "cli/packcommand.h"
#include "cli/packfile.h"
#include "cli/sheetsplit.h"
#include "core/inputs.h"
#include "core/layout/sheetlayout.h"
#include "core/output/atomicfile.h"
#include "core/output/dataformats.h"
#include "core/settings/configfile.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QTextStream>

#include <limits>

namespace PackCommand {

namespace {

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

// A name ending in "/", "/." or "/.." names a folder, never the file to
// write: a usage error for -o and the data files, as in a pack file.
bool namesNoFile(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..");
}

// korvane-pack's options, defined once and read by the steps of parseOptions().
struct CommandLine
{
    CommandLine();

    QCommandLineParser parser;
    QCommandLineOption help;
    QCommandLineOption version;
    QCommandLineOption output, margin, config, json, data, format, layout, maxSize, powerOfTwo,
        skip, verbose, maxPixels, maxSheetPixels, threads, pngLevel;
    QCommandLineOption trim, trimThreshold, extrude, alias, pivot, animations, premultiply;
    QCommandLineOption update, multipack, pack, sheet, watch;
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
      maxSheetPixels(
          QStringLiteral("max-sheet-pixels"),
          QStringLiteral("Fail when the sheet would have more than N pixels (default %1, as many "
                         "as 16384 x 16384), before it is made.")
              .arg(Compose::defaultMaxSheetPixels),
          QStringLiteral("N")),
      threads(QStringLiteral("threads"),
              QStringLiteral(
                  "Decode, lay out and encode on N threads, 1 to 256 (default: one per core). The "
                  "output is the same for every N."),
              QStringLiteral("N")),
      pngLevel(QStringLiteral("png-level"),
               QStringLiteral("fast (for previews), default (as the window writes) or small (a "
                              "smaller PNG sheet in a few times the time)."),
               QStringLiteral("LEVEL")),
      trim(QStringLiteral("trim"),
           QStringLiteral("Cut each image's border of transparent pixels; the data files say "
                          "where the rest sat in the image.")),
      trimThreshold(QStringLiteral("trim-threshold"),
                    QStringLiteral("With --trim, count pixels with alpha up to N (0 to 254, "
                                   "default 0) as transparent."),
                    QStringLiteral("N")),
      extrude(QStringLiteral("extrude"),
              QStringLiteral("Repeat each image's edge pixels N times outwards (0 to 32); the "
                             "data files give the image without them."),
              QStringLiteral("N")),
      alias(QStringLiteral("alias"),
            QStringLiteral("Store images with identical pixels once; every name points at the "
                           "shared region.")),
      pivot(QStringLiteral("pivot"),
            QStringLiteral("Write a pivot X,Y (each 0 to 1) in every frame of the JSON formats."),
            QStringLiteral("X,Y")),
      animations(QStringLiteral("animations"),
                 QStringLiteral("Group frames whose names end in a number into animations in "
                                "json-hash, json-array and libgdx.")),
      premultiply(QStringLiteral("premultiply"),
                  QStringLiteral("Multiply each pixel's colour by its alpha.")),
      update(QStringLiteral("update"),
             QStringLiteral("Leave every output untouched, and say so, when the inputs, their "
                            "contents and the options are those of the run that wrote them.")),
      multipack(QStringLiteral("multipack"),
                QStringLiteral("With --max-size: put the images that do not fit on further "
                               "sheets, named by \"{n}\" in SHEET or SHEET-1, SHEET-2, ...")),
      pack(QStringLiteral("pack"),
           QStringLiteral("Build the sheets described in a JSON pack file; options given here "
                          "win over the file's."),
           QStringLiteral("FILE")),
      sheet(QStringLiteral("sheet"), QStringLiteral("With --pack: build only the sheet NAME."),
            QStringLiteral("NAME")),
      watch(QStringLiteral("watch"),
            QStringLiteral("Pack, then pack again whenever an input changes, until interrupted."))
{
    parser.setApplicationDescription(QStringLiteral(
        "Packs images into one sheet and writes the placement file beside it, as the Korvane\n"
        "window does. An INPUT folder stands for the .png files directly inside it.\n"
        "Exit status: 0 success, 1 failure (the failed sheet's old files stay), 2 usage error."));
    parser.addOptions({output,         margin,  config,     json,        data,          format,
                       layout,         maxSize, powerOfTwo, skip,        verbose,       maxPixels,
                       maxSheetPixels, threads, pngLevel,   trim,        trimThreshold, extrude,
                       alias,          pivot,   animations, premultiply, update,        multipack,
                       pack,           sheet,   watch});
    parser.addPositionalArgument(QStringLiteral("INPUT"),
                                 QStringLiteral("Image files and folders of .png files."),
                                 QStringLiteral("INPUT..."));
}

// Reads the parsed command line into the record, one group of options per
// step; each returns ParsedToPack to go on or the exit status.
class OptionReader
{
public:
    OptionReader(const CommandLine &c, Options &options, Console &console)
        : c(c), m_options(options), m_console(console)
    {
    }
    int readOutputs();
    int readLayout();
    int readInputs();
    int readLimits();
    int readMargin();
    int readSprites();

private:
    int usage(const QString &message) { return m_console.usage(message); }
    int failure(const QString &message) { return m_console.failure(message); }

    const CommandLine &c;
    Options &m_options;
    Console &m_console;
};

// -o, --json and the --data/--format pairs.
int OptionReader::readOutputs()
{
    m_options.chosenPath = c.parser.value(c.output);
    if (m_options.chosenPath.isEmpty())
        return usage(QStringLiteral("no sheet given; use -o SHEET"));
    const QFileInfo chosen(Inputs::onDisk(m_options.chosenPath));
    // Without a suffix, a folder, device or FIFO of that name is not the
    // sheet meant, whatever file the added suffix would name.
    const bool suffixAdded =
        SheetLayout::sheetPathFor(m_options.chosenPath) != m_options.chosenPath;
    if (namesNoFile(chosen.filePath()) || (suffixAdded && chosen.isDir()))
        return usage(QStringLiteral("-o %1 names a folder, not a sheet file")
                         .arg(Console::shown(m_options.chosenPath)));
    if (suffixAdded && chosen.exists() && !chosen.isFile())
        return usage(QStringLiteral("-o %1 names a device or FIFO, not a sheet file")
                         .arg(Console::shown(m_options.chosenPath)));
    if (c.parser.isSet(c.json) && namesNoFile(c.parser.value(c.json)))
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
        if (namesNoFile(dataPaths[i]))
            return usage(QStringLiteral("--data needs a file name"));
        m_options.data.append(data);
        m_options.dataWhat << QStringLiteral("%1 data file").arg(formats[i]);
    }
    return ParsedToPack;
}

int OptionReader::readLayout()
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
    m_options.multipack = c.parser.isSet(c.multipack);
    if (m_options.multipack && !m_options.maxSize.isValid())
        return usage(QStringLiteral("--multipack needs --max-size"));
    return ParsedToPack;
}

int OptionReader::readInputs()
{
    m_options.inputs = c.parser.positionalArguments();
    if (m_options.inputs.isEmpty())
        return usage(QStringLiteral("no INPUT given"));
    m_options.skipUnreadable = c.parser.isSet(c.skip);
    m_options.verbose = c.parser.isSet(c.verbose);
    m_options.update = c.parser.isSet(c.update);
    m_options.watch = c.parser.isSet(c.watch);
    m_options.packFile = c.parser.value(c.pack);
    m_options.sheetName = c.parser.value(c.sheet);

    return ParsedToPack;
}

int OptionReader::readLimits()
{
    if (c.parser.isSet(c.maxPixels)) {
        bool ok = false;
        m_options.limits.maxPixels = c.parser.value(c.maxPixels).toLongLong(&ok, 10);
        if (!ok || m_options.limits.maxPixels < 1)
            return usage(QStringLiteral("--max-image-pixels \"%1\" is not a whole number of 1 "
                                        "or more")
                             .arg(c.parser.value(c.maxPixels)));
    }
    if (c.parser.isSet(c.maxSheetPixels)) {
        bool ok = false;
        m_options.maxSheetPixels = c.parser.value(c.maxSheetPixels).toLongLong(&ok, 10);
        if (!ok || m_options.maxSheetPixels < 1)
            return usage(QStringLiteral("--max-sheet-pixels \"%1\" is not a whole number of 1 "
                                        "or more")
                             .arg(c.parser.value(c.maxSheetPixels)));
    }
    if (c.parser.isSet(c.threads)) {
        bool ok = false;
        m_options.threads = c.parser.value(c.threads).toInt(&ok, 10);
        if (!ok || m_options.threads < 1 || m_options.threads > 256)
            return usage(QStringLiteral("--threads \"%1\" is not a whole number from 1 to 256")
                             .arg(c.parser.value(c.threads)));
    }
    if (c.parser.isSet(c.pngLevel)) {
        const QString level = c.parser.value(c.pngLevel);
        if (level == QLatin1String("fast"))
            m_options.pngLevel = PngEncoder::Level::Fast;
        else if (level == QLatin1String("small"))
            m_options.pngLevel = PngEncoder::Level::Small;
        else if (level != QLatin1String("default"))
            return usage(
                QStringLiteral("--png-level \"%1\" is not fast, default or small").arg(level));
    }

    return ParsedToPack;
}

// --margin, and --config, which is read even when --margin overrides it.
int OptionReader::readMargin()
{
    const bool marginGiven = c.parser.isSet(c.margin);
    if (marginGiven && !parseMargin(c.parser.value(c.margin), &m_options.margin)) {
        return usage(
            QStringLiteral("margin \"%1\" is not a whole number from 0 to %2")
                .arg(c.parser.value(c.margin), QString::number(std::numeric_limits<int>::max())));
    }

    // The file is read even when --margin overrides it: a settings file that
    // was asked for but cannot be read is an error either way.
    if (c.parser.isSet(c.config)) {
        const QString configPath = c.parser.value(c.config);
        if (configPath.isEmpty())
            return usage(QStringLiteral("--config needs a file name"));
        m_options.configFile = configPath;
        QMap<QString, QString> parameters{{QStringLiteral("marginPixel"), QString()}};
        if (const int error =
                readConfigAttributes(configPath, QStringLiteral("parameters"), parameters)) {
            return failure(QStringLiteral("Can not read settings,Error Number is: 0x") +
                           QString::number(error, 16) +
                           QStringLiteral(" (%1)").arg(Console::shown(configPath)));
        }
        // Read as the window reads it.
        const int configMargin = marginFromText(parameters.value(QStringLiteral("marginPixel")));
        if (!marginGiven) {
            if (configMargin < 0) {
                return failure(
                    QStringLiteral("%1: margin %2 is negative; margins must be 0 or more")
                        .arg(Console::shown(configPath), QString::number(configMargin)));
            }
            m_options.margin = configMargin;
        }
    }
    return ParsedToPack;
}

// A whole number from 0 to `most`, written with digits only.
bool parseBounded(const QString &text, int most, int *value)
{
    return parseMargin(text, value) && *value <= most;
}

} // namespace

bool parsePivot(const QString &text, QPointF *pivot)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 2)
        return false;
    bool okX = false;
    bool okY = false;
    pivot->setX(parts[0].toDouble(&okX));
    pivot->setY(parts[1].toDouble(&okY));
    // Written this way round, NaN fails too.
    return okX && okY && pivot->x() >= 0 && pivot->x() <= 1 && pivot->y() >= 0 && pivot->y() <= 1;
}

namespace {

// --trim, --trim-threshold, --extrude, --alias, --pivot, --animations and
// --premultiply; after readOutputs(), since CSS cannot show trimmed frames.
int OptionReader::readSprites()
{
    Compose::SpriteOptions &sprites = m_options.sprites;
    sprites.trim = c.parser.isSet(c.trim);
    if (c.parser.isSet(c.trimThreshold)) {
        if (!sprites.trim)
            return usage(QStringLiteral("--trim-threshold needs --trim"));
        if (!parseBounded(c.parser.value(c.trimThreshold), 254, &sprites.trimThreshold))
            return usage(QStringLiteral("--trim-threshold \"%1\" is not a whole number from 0 "
                                        "to 254")
                             .arg(c.parser.value(c.trimThreshold)));
    }
    if (c.parser.isSet(c.extrude) && !parseBounded(c.parser.value(c.extrude), 32, &sprites.extrude))
        return usage(QStringLiteral("--extrude \"%1\" is not a whole number from 0 to 32")
                         .arg(c.parser.value(c.extrude)));
    if (c.parser.isSet(c.pivot)) {
        QPointF pivot;
        if (!parsePivot(c.parser.value(c.pivot), &pivot))
            return usage(QStringLiteral("--pivot \"%1\" is not X,Y with each a number from 0 "
                                        "to 1")
                             .arg(c.parser.value(c.pivot)));
        m_options.pivot = pivot;
    }
    sprites.alias = c.parser.isSet(c.alias);
    sprites.premultiply = c.parser.isSet(c.premultiply);
    m_options.animations = c.parser.isSet(c.animations);
    if (sprites.trim) {
        for (int i = 0; i < m_options.data.size(); ++i) {
            if (m_options.data[i].format == DataFormats::Format::Css)
                return usage(QStringLiteral("--trim cannot go with the %1 %2: %3")
                                 .arg(m_options.dataWhat[i], Console::shown(m_options.data[i].path),
                                      DataFormats::cssTrimRefusal()));
        }
    }
    return ParsedToPack;
}

} // namespace

int parseOptions(const QStringList &arguments, Options *options, Console &console)
{
    CommandLine c;
    if (!c.parser.parse(arguments))
        return console.usage(c.parser.errorText());
    if (c.parser.isSet(c.help) || c.parser.isSet(QStringLiteral("help-all"))) {
        // The usage line names the program, not the path it was started by.
        QString help = c.parser.helpText();
        const int lineEnd = help.indexOf(QLatin1Char('\n'));
        const int options = help.lastIndexOf(QLatin1String(" [options]"), lineEnd);
        if (help.startsWith(QLatin1String("Usage: ")) && options > 0)
            help.replace(7, options - 7, programName);
        console.out << help;
        console.out.flush();
        return ExitOk;
    }
    if (c.parser.isSet(c.version)) {
        console.out << programName << " " << KORVANE_VERSION << "\n";
        console.out.flush();
        return ExitOk;
    }

    for (const QCommandLineOption &option :
         {c.output, c.margin, c.config, c.json, c.layout, c.maxSize, c.maxPixels, c.maxSheetPixels,
          c.threads, c.pngLevel, c.trimThreshold, c.extrude, c.pivot, c.pack, c.sheet}) {
        if (c.parser.values(option).size() > 1)
            return console.usage(
                QStringLiteral("--%1 given more than once").arg(option.names().last()));
    }
    OptionReader reader(c, *options, console);
    for (const auto step :
         {&OptionReader::readOutputs, &OptionReader::readLayout, &OptionReader::readInputs,
          &OptionReader::readLimits, &OptionReader::readSprites, &OptionReader::readMargin}) {
        const int status = (reader.*step)();
        if (status != ParsedToPack)
            return status;
    }
    return ParsedToPack;
}

namespace {

// The long names of the options the command line sets, and "inputs" when it
// gives INPUT: the pack file's values for these are left out.
QSet<QString> givenOnCommandLine(const CommandLine &c)
{
    QSet<QString> given;
    for (const QCommandLineOption &option :
         {c.output,         c.margin,  c.config,     c.json,   c.data,       c.format,
          c.layout,         c.maxSize, c.powerOfTwo, c.skip,   c.verbose,    c.maxPixels,
          c.maxSheetPixels, c.threads, c.pngLevel,   c.update, c.multipack,  c.trim,
          c.trimThreshold,  c.extrude, c.alias,      c.pivot,  c.animations, c.premultiply}) {
        if (c.parser.isSet(option))
            given.insert(option.names().last());
    }
    if (!c.parser.positionalArguments().isEmpty())
        given.insert(QStringLiteral("inputs"));
    return given;
}

// The files the sheets of `runs` write that `pattern` would match.
QVector<NamedOutput> madeBy(const QVector<Options> &runs, const PackFile::Unmatched &pattern)
{
    QVector<NamedOutput> made;
    for (const Options &run : runs) {
        for (const NamedOutput &named : namedOutputs(run, 1)) {
            if (PackFile::couldMatch(pattern, named.path))
                made << named;
        }
    }
    return made;
}

// Two sheets of a pack file that write one file would leave the first
// sheet's other files describing a file the second replaced.
int checkSheetsApart(const QVector<Options> &runs, const QStringList &names,
                     const QString &packPath, Console &console)
{
    QHash<QString, int> writtenBy;
    QHash<QString, QPair<int, QString>> byFoldedCase; // as FAT, exFAT and macOS take names
    // A sheet's run takes turns on its lock file, and a run that made it
    // removes it: no other sheet may write a file of that name.
    QHash<QString, int> lockOf;
    for (int i = 0; i < runs.size(); ++i) {
        const QString sheet = SheetLayout::sheetPathFor(
            runs[i].multipack ? numberedPath(runs[i].chosenPath, 0) : runs[i].chosenPath);
        lockOf.insert(Inputs::fileIdentity(lockFilePathFor(sheet)), i);
    }
    for (int i = 0; i < runs.size(); ++i) {
        for (const NamedOutput &named : namedOutputs(runs[i], 1)) {
            const QString &output = named.path;
            const QString identity = Inputs::fileIdentity(output);
            const auto lock = lockOf.constFind(identity);
            if (lock != lockOf.constEnd() || isWritersOwnName(output)) {
                return console.usage(
                    QStringLiteral("%1: the %2 of sheet \"%3\" would be %4, %5")
                        .arg(Console::shown(packPath), named.what, names[i], Console::shown(output),
                             lock != lockOf.constEnd()
                                 ? QStringLiteral("the lock file of sheet \"%1\"").arg(names[*lock])
                                 : QStringLiteral("a name Korvane keeps for the journal, "
                                                  "temporary files and backups of a sheet")));
            }
            int other = writtenBy.value(identity, i);
            const auto folded = byFoldedCase.constFind(identity.toCaseFolded());
            if (other == i && folded != byFoldedCase.constEnd() && folded->first != i &&
                isOneName(output, folded->second))
                other = folded->first;
            if (other != i) {
                return console.usage(
                    QStringLiteral("%1: sheets \"%2\" and \"%3\" would both write %4")
                        .arg(Console::shown(packPath), names[other], names[i],
                             Console::shown(output)));
            }
            writtenBy.insert(identity, i);
            byFoldedCase.insert(identity.toCaseFolded(), {i, output});
        }
    }
    return ParsedToPack;
}

} // namespace

QVector<NamedOutput> namedOutputs(const Options &o, int pages)
{
    const auto page = [&](const QString &path, int n) {
        return o.multipack ? numberedPath(path, n) : path;
    };
    const auto ofSheet = [&](int n) {
        return pages > 1 ? QStringLiteral(" of sheet %1").arg(n) : QString();
    };
    QVector<NamedOutput> named{
        {QStringLiteral("placement file"), SheetLayout::placementPathFor(page(o.chosenPath, 0))}};
    for (int i = 0; i < o.data.size(); ++i) {
        const bool perSheet = DataFormats::onePerSheet(o.data[i].format);
        named.append({o.dataWhat[i] + (perSheet ? ofSheet(0) : QString()),
                      perSheet ? page(o.data[i].path, 0) : o.data[i].path});
    }
    named.append({QStringLiteral("manifest"), manifestPathFor(o.chosenPath, o.multipack)});
    named.append({QStringLiteral("sheet"), SheetLayout::sheetPathFor(page(o.chosenPath, 0))});
    for (int n = 1; n < pages; ++n) {
        named.append({QStringLiteral("sheet") + ofSheet(n),
                      SheetLayout::sheetPathFor(page(o.chosenPath, n)), n});
        named.append({QStringLiteral("placement file") + ofSheet(n),
                      SheetLayout::placementPathFor(page(o.chosenPath, n)), n});
        for (int i = 0; i < o.data.size(); ++i) {
            if (DataFormats::onePerSheet(o.data[i].format))
                named.append({o.dataWhat[i] + ofSheet(n), page(o.data[i].path, n), n});
        }
    }
    return named;
}

QStringList filesReadWhileParsing(const QStringList &arguments)
{
    CommandLine c;
    if (!c.parser.parse(arguments))
        return {};
    return c.parser.values(c.pack) + c.parser.values(c.config);
}

namespace {

// Whether everything after `arguments` would be a path: they hold a "--"
// that is not an option's value. A second "--" would then be a path too.
bool endsAfterDoubleDash(const QStringList &arguments)
{
    CommandLine probe;
    const QString marker = QStringLiteral("--not-an-option-of-korvane-pack");
    return probe.parser.parse(arguments + QStringList{marker}) &&
           probe.parser.positionalArguments().contains(marker);
}

// Whether the command line's own options hold, with a stand-in for the
// sheet and INPUT that a pack file gives: only then is a failure to read
// the pack file its content's fault.
bool commandLineHolds(const QStringList &arguments, const CommandLine &c)
{
    QStringList probe = arguments;
    if (!c.parser.isSet(c.output))
        probe.insert(1, QStringLiteral("--output=stand-in.png"));
    if (c.parser.positionalArguments().isEmpty())
        probe << (endsAfterDoubleDash(arguments) ? QStringList{} : QStringList{"--"})
              << QStringLiteral("stand-in.png");
    // So does an option that another, which the pack file may give, must go with.
    if (c.parser.isSet(c.multipack) && !c.parser.isSet(c.maxSize))
        probe.insert(1, QStringLiteral("--max-size=1x1"));
    if (c.parser.isSet(c.trimThreshold) && !c.parser.isSet(c.trim))
        probe.insert(1, QStringLiteral("--trim"));
    QString discarded;
    QTextStream sink(&discarded);
    Console quiet(sink, sink);
    Options options;
    return parseOptions(probe, &options, quiet) == ParsedToPack;
}

// The run of one sheet of a pack file: its options, then the command
// line's. `earlier` holds the runs of the sheets built before it; a settings
// file it reads goes into `readFiles`. When the command line alone holds,
// what the options fail on is the sheet's, and its messages say which sheet.
int sheetRun(const QStringList &arguments, const PackFile::SheetArguments &sheet,
             const QVector<Options> &earlier, bool commandLineHolds, Console &console,
             Options *options, QStringList *readFiles)
{
    // Before a pattern that matched nothing: that may be why.
    if (!sheet.unread.isEmpty())
        return console.failure(sheet.unread);
    // A pattern that matches no file yet may match what an earlier sheet of
    // this run writes (a clean checkout of chained sheets): those files
    // stand in for its matches until it is matched again, when its sheet is
    // built.
    QStringList awaited;
    QString noImage;
    for (const PackFile::Unmatched &none : sheet.unmatched) {
        const QVector<NamedOutput> made = madeBy(earlier, none);
        if (made.isEmpty())
            return console.usage(none.error);
        for (const NamedOutput &named : made) {
            if (named.what != QLatin1String("sheet") && noImage.isEmpty())
                noImage =
                    none.error +
                    QStringLiteral(" yet, and would match %1, which is no image").arg(named.path);
            awaited << named.path;
        }
    }
    // It matches again once those files are written, and would take them in.
    for (const PackFile::Unmatched &pattern : sheet.matched) {
        for (const NamedOutput &named : madeBy(earlier, pattern)) {
            if (named.what != QLatin1String("sheet") && noImage.isEmpty())
                noImage = pattern.error +
                          QStringLiteral(" would match %1, which is no image").arg(named.path);
        }
    }
    // The file's options first, then the command line's; its INPUTs after
    // "--", so that a path starting with "-" stays a path.
    QStringList combined = QStringList{arguments.first()} + sheet.options + arguments.mid(1);
    if (!sheet.inputs.isEmpty() || !awaited.isEmpty())
        combined += (endsAfterDoubleDash(arguments) ? QStringList{} : QStringList{"--"}) +
                    sheet.inputs + awaited;
    // Fails on such as "multipack" without "max-size", or a "config" that
    // cannot be read.
    Console forSheet(console.out, console.err);
    if (commandLineHolds)
        forSheet.context = QStringLiteral("%1: sheet \"%2\": ").arg(sheet.at, sheet.name);
    const int status = parseOptions(combined, options, forSheet);
    if (!options->configFile.isEmpty())
        *readFiles << options->configFile;
    options->undecodable = sheet.undecodable;
    options->packInputs = sheet.given;
    // Once written, a placement file, data file or manifest would fail the
    // sheet as no image; better before the first sheet is written. Under
    // --skip-unreadable it is skipped with a warning, and the sheet built.
    if (status == ParsedToPack && !noImage.isEmpty() && !options->skipUnreadable)
        return console.usage(noImage);
    return status;
}

// A pattern that would take in a later sheet's placement file, data file
// or manifest packs on a clean checkout, then fails every run after on it
// as no image; better before the first sheet is written, as for an
// earlier sheet's (see sheetRun()).
QString laterSheetsText(const QVector<Options> &runs,
                        const QVector<const PackFile::SheetArguments *> &sheets)
{
    for (int i = 0; i < runs.size(); ++i) {
        if (runs[i].skipUnreadable)
            continue;
        const QVector<Options> later = runs.mid(i + 1);
        for (const PackFile::Unmatched &pattern : sheets[i]->matched + sheets[i]->unmatched) {
            for (const NamedOutput &named : madeBy(later, pattern)) {
                if (named.what != QLatin1String("sheet"))
                    return pattern.error +
                           QStringLiteral(" would match %1, which is no image (a later sheet "
                                          "writes it)")
                               .arg(named.path);
            }
        }
    }
    return {};
}

} // namespace

int parseRuns(const QStringList &arguments, QVector<Options> *runs, Console &console,
              ParseReads *reads)
{
    ParseReads ignored;
    if (!reads)
        reads = &ignored;
    CommandLine c;
    if (!c.parser.parse(arguments) || !c.parser.isSet(c.pack) || c.parser.isSet(c.help) ||
        c.parser.isSet(c.version) || c.parser.isSet(QStringLiteral("help-all"))) {
        if (c.parser.isSet(c.sheet) && !c.parser.isSet(c.pack))
            return console.usage(QStringLiteral("--sheet needs --pack"));
        Options options;
        const int status = parseOptions(arguments, &options, console);
        if (!options.configFile.isEmpty())
            reads->files << options.configFile;
        runs->append(options);
        return status;
    }
    reads->watch = c.parser.isSet(c.watch);
    reads->inputs = c.parser.positionalArguments();
    if (c.parser.values(c.pack).size() > 1 || c.parser.values(c.sheet).size() > 1)
        return console.usage(QStringLiteral("--pack and --sheet are given once each"));
    const QString packPath = c.parser.value(c.pack);
    const QString wanted = c.parser.value(c.sheet);
    if (packPath.isEmpty())
        return console.usage(QStringLiteral("--pack needs a file name"));
    if (c.parser.isSet(c.sheet) && wanted.isEmpty())
        return console.usage(QStringLiteral("--sheet needs a sheet's name"));
    QVector<PackFile::SheetArguments> sheets;
    QString error;
    bool unreadable = false;
    reads->files << packPath;
    if (!PackFile::read(packPath, givenOnCommandLine(c), &sheets, &error, &unreadable)) {
        reads->packFileAtFault = !unreadable && commandLineHolds(arguments, c);
        return console.usage(error);
    }
    QStringList names;
    QStringList packed;
    QVector<const PackFile::SheetArguments *> packedSheets;
    const bool holds = commandLineHolds(arguments, c);
    for (const PackFile::SheetArguments &sheet : std::as_const(sheets)) {
        names << sheet.name;
        if (!wanted.isEmpty() && sheet.name != wanted)
            continue;
        packed << sheet.name;
        packedSheets << &sheet;
        reads->searched.add(sheet.searched);
        Options options;
        const int status =
            sheetRun(arguments, sheet, *runs, holds, console, &options, &reads->files);
        if (status != ParsedToPack) {
            reads->packFileAtFault = holds;
            return status;
        }
        runs->append(options);
    }
    if (runs->isEmpty()) {
        return console.usage(
            QStringLiteral("%1 has no sheet \"%2\"; it has %3")
                .arg(Console::shown(packPath), wanted, names.join(QLatin1String(", "))));
    }
    // "Build the sheet NAME" must not build others behind the caller's back,
    // such as two unnamed sheets whose outputs share a file name.
    if (!wanted.isEmpty() && runs->size() > 1) {
        return console.usage(
            QStringLiteral("%1 has %2 sheets named \"%3\"; give each a "
                           "\"name\" of its own")
                .arg(Console::shown(packPath), QString::number(runs->size()), wanted));
    }
    int status = checkSheetsApart(*runs, packed, packPath, console);
    const QString laterText =
        status == ParsedToPack ? laterSheetsText(*runs, packedSheets) : QString();
    if (!laterText.isEmpty())
        status = console.usage(laterText);
    if (status != ParsedToPack)
        reads->packFileAtFault = holds;
    return status;
}

} // namespace PackCommand
