#include "compose/packcommand.h"

#include "compose/atomicfile.h"
#include "compose/sheetrender.h"
#include "settings/configfile.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <algorithm>
#include <limits>
#include <utility>

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

// A JSON string literal with Qt's own escaping.
QByteArray jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

// `object` as QJsonDocument indents it, shifted right by `indent` spaces for
// nesting, without the final newline.
QByteArray indentedObject(const QJsonObject &object, int indent)
{
    QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Indented);
    if (text.endsWith('\n'))
        text.chop(1);
    return text.replace('\n', '\n' + QByteArray(indent, ' '));
}

struct Options
{
    QString chosenPath;
    QString jsonPath;
    QStringList inputs;
    int margin = 2;
    bool skipUnreadable = false;
    bool verbose = false;
};

class Run
{
public:
    Run(QTextStream &out, QTextStream &err) : m_out(out), m_err(err) {}
    int exec(const QStringList &arguments);

private:
    int parse(const QStringList &arguments);
    int pack();
    int usage(const QString &message);
    int failure(const QString &message);

    QTextStream &m_out;
    QTextStream &m_err;
    Options m_options;
};

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
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Packs images into one sheet and writes the placement file beside it, as the Korvane\n"
        "window does. An INPUT folder stands for the .png files directly inside it.\n"
        "Exit status: 0 success, 1 failure (nothing new is written), 2 usage error."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption outputOption(
        {QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("The sheet to write; \".png\" is added when it has no suffix. The "
                       "placement file gets the same name with suffix \".txt\"."),
        QStringLiteral("SHEET"));
    const QCommandLineOption marginOption(
        {QStringLiteral("m"), QStringLiteral("margin")},
        QStringLiteral("Pixels around and between the images (default 2; wins over --config)."),
        QStringLiteral("N"));
    const QCommandLineOption configOption(
        QStringLiteral("config"), QStringLiteral("Take the margin from a Korvane settings file."),
        QStringLiteral("FILE"));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"),
        QStringLiteral("Also write the placement as a JSON hash (TexturePacker style)."),
        QStringLiteral("FILE"));
    const QCommandLineOption skipOption(
        QStringLiteral("skip-unreadable"),
        QStringLiteral("Skip images that exist but do not load, with a warning, instead of "
                       "failing."));
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"),
        QStringLiteral("Print each placed image and the sheet size on standard output."));
    parser.addOptions(
        {outputOption, marginOption, configOption, jsonOption, skipOption, verboseOption});
    parser.addPositionalArgument(QStringLiteral("INPUT"),
                                 QStringLiteral("Image files and folders of .png files."),
                                 QStringLiteral("INPUT..."));

    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        // The usage line names the program, not the path it was started by.
        QString help = parser.helpText();
        const int lineEnd = help.indexOf(QLatin1Char('\n'));
        const int options = help.lastIndexOf(QLatin1String(" [options]"), lineEnd);
        if (help.startsWith(QLatin1String("Usage: ")) && options > 0)
            help.replace(7, options - 7, programName);
        m_out << help;
        m_out.flush();
        return ExitOk;
    }
    if (parser.isSet(versionOption)) {
        m_out << programName << " " << KORVANE_VERSION << "\n";
        m_out.flush();
        return ExitOk;
    }

    for (const QCommandLineOption &option :
         {outputOption, marginOption, configOption, jsonOption}) {
        if (parser.values(option).size() > 1)
            return usage(QStringLiteral("--%1 given more than once").arg(option.names().last()));
    }
    m_options.chosenPath = parser.value(outputOption);
    if (m_options.chosenPath.isEmpty())
        return usage(QStringLiteral("no sheet given; use -o SHEET"));
    if (parser.isSet(jsonOption) && parser.value(jsonOption).isEmpty())
        return usage(QStringLiteral("--json needs a file name"));
    m_options.jsonPath = parser.value(jsonOption);
    m_options.inputs = parser.positionalArguments();
    if (m_options.inputs.isEmpty())
        return usage(QStringLiteral("no INPUT given"));
    m_options.skipUnreadable = parser.isSet(skipOption);
    m_options.verbose = parser.isSet(verboseOption);

    const bool marginGiven = parser.isSet(marginOption);
    if (marginGiven && !parseMargin(parser.value(marginOption), &m_options.margin)) {
        return usage(QStringLiteral("margin \"%1\" is not a whole number from 0 to %2")
                         .arg(parser.value(marginOption))
                         .arg(std::numeric_limits<int>::max()));
    }

    // The file is read even when --margin overrides it: a settings file that
    // was asked for but cannot be read is an error either way.
    if (parser.isSet(configOption)) {
        const QString configPath = parser.value(configOption);
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
    const Options &o = m_options;
    const QString sheetPath = SheetLayout::sheetPathFor(o.chosenPath);
    const QString placementPath = SheetLayout::placementPathFor(o.chosenPath);

    struct Named
    {
        QString what;
        QString path;
    };
    QVector<Named> named{{QStringLiteral("placement file"), placementPath}};
    if (!o.jsonPath.isEmpty())
        named.append({QStringLiteral("JSON file"), o.jsonPath});
    named.append({QStringLiteral("sheet"), sheetPath});
    QStringList outputPaths;
    for (int i = 0; i < named.size(); ++i) {
        outputPaths << named[i].path;
        for (int j = 0; j < i; ++j) {
            if (fileIdentity(named[i].path) == fileIdentity(named[j].path)) {
                return usage(QStringLiteral("the %1 and the %2 would both be %3")
                                 .arg(named[j].what, named[i].what, shown(named[i].path)));
            }
        }
    }

    const QByteArray format = SheetRender::writerFormatFor(sheetPath);
    if (format.isEmpty()) {
        return failure(QStringLiteral("%1: no image writer for suffix \"%2\"")
                           .arg(shown(sheetPath), QFileInfo(sheetPath).suffix()));
    }

    QMap<QString, QString> names;
    QString error;
    if (!expandInputs(o.inputs, names, &error))
        return failure(error);

    // Overwriting a source would lose it, and a rerun would pack the last
    // sheet into the new one.
    QMap<QString, QString> outputIdentities;
    for (const QString &path : outputPaths)
        outputIdentities.insert(fileIdentity(path), path);
    for (auto it = names.constBegin(); it != names.constEnd(); ++it) {
        const QString output = outputIdentities.value(fileIdentity(it.key()));
        if (!output.isEmpty()) {
            return failure(QStringLiteral("%1: output would overwrite the input image %2")
                               .arg(shown(output), shown(it.key())));
        }
    }

    // Loaded one at a time and fully, as the window loads them, so that an
    // image whose header reads but whose data does not counts as unreadable.
    QMap<QString, QSize> imageSizes;
    for (auto it = names.constBegin(); it != names.constEnd(); ++it) {
        QImageReader reader(it.key());
        const QImage image = reader.read();
        if (image.isNull()) {
            const QString reason =
                QStringLiteral("not a readable image (%1)").arg(reader.errorString());
            if (!o.skipUnreadable)
                return failure(QStringLiteral("%1: %2").arg(shown(it.key()), reason));
            m_err << programName << ": skipping " << shown(it.key()) << ": " << reason << "\n";
            m_err.flush();
            continue;
        }
        imageSizes.insert(it.key(), image.size());
    }
    if (imageSizes.isEmpty())
        return failure(QStringLiteral("no image to pack"));

    if (!o.jsonPath.isEmpty()) {
        QMap<QString, QString> pathByName;
        for (auto it = imageSizes.constBegin(); it != imageSizes.constEnd(); ++it) {
            const QString name = names.value(it.key());
            const QString other = pathByName.value(name);
            if (!other.isEmpty()) {
                return failure(QStringLiteral("%1 and %2 would both be frame \"%3\" in %4")
                                   .arg(shown(other), shown(it.key()), name, shown(o.jsonPath)));
            }
            pathByName.insert(name, it.key());
        }
    }

    const SheetLayout::Plan plan = SheetLayout::compute(imageSizes, o.margin);
    if (!plan.fitsInt()) {
        return failure(QStringLiteral("%1: sheet too large: %2 x %3 pixels")
                           .arg(shown(sheetPath))
                           .arg(plan.width)
                           .arg(plan.height));
    }
    const QSize sheetSize = plan.sheetSize();
    QImage sheet = SheetRender::newSheet(sheetSize);
    if (sheet.isNull()) {
        return failure(QStringLiteral("%1: cannot allocate a %2 x %3 sheet")
                           .arg(shown(sheetPath))
                           .arg(sheetSize.width())
                           .arg(sheetSize.height()));
    }
    QString failedPath;
    switch (SheetRender::paint(sheet, plan.positions(), imageSizes, &failedPath)) {
    case SheetRender::Status::Ok:
        break;
    case SheetRender::Status::LoadFailed:
        return failure(QStringLiteral("%1: no longer loads").arg(shown(failedPath)));
    case SheetRender::Status::SizeChanged:
        return failure(QStringLiteral("%1: changed size while packing").arg(shown(failedPath)));
    default:
        return failure(
            QStringLiteral("%1: cannot be copied into the sheet").arg(shown(failedPath)));
    }

    QVector<FileContent> outputs{{placementPath, SheetLayout::placementText(plan.placements)}};
    if (!o.jsonPath.isEmpty()) {
        outputs.append({o.jsonPath, jsonText(plan.placements, names,
                                             QFileInfo(sheetPath).fileName(), sheetSize)});
    }
    FileContent sheetOutput{sheetPath, QByteArray()};
    if (!SheetRender::encode(sheet, format, &sheetOutput.data, &error))
        return failure(QStringLiteral("Cannot save %1: %2").arg(shown(sheetPath), error));
    sheet = QImage(); // only the encoded copy is needed from here on
    // The sheet goes in place last, so whoever sees a new sheet also finds
    // the placement that describes it.
    outputs.append(sheetOutput);
    if (!writeFilesAtomically(outputs, &error))
        return failure(error);

    if (o.verbose) {
        for (const SheetLayout::Placement &p : plan.placements) {
            m_out << "placed " << shown(p.path) << " (" << p.size.width() << "x" << p.size.height()
                  << ") at " << p.position.x() << "," << p.position.y() << "\n";
        }
        m_out << "sheet " << shown(sheetPath) << " (" << sheetSize.width() << "x"
              << sheetSize.height() << ")\n";
        m_out.flush();
    }
    return ExitOk;
}

} // namespace

bool expandInputs(const QStringList &inputs, QMap<QString, QString> &names, QString *error)
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
        // Hidden files count too: the rule is the name's ending alone.
        QStringList entries = folder.entryList(QDir::Files | QDir::Hidden, QDir::NoSort);
        std::sort(entries.begin(), entries.end());
        for (const QString &entry : std::as_const(entries)) {
            if (entry.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
                add(folder.filePath(entry), entry);
        }
    }
    return true;
}

QByteArray jsonText(const QVector<SheetLayout::Placement> &placements,
                    const QMap<QString, QString> &names, const QString &imageFileName,
                    const QSize &sheetSize)
{
    // QJsonObject sorts its keys, so "frames" is put together here to keep
    // placement order; each value is still written by QJsonDocument.
    QByteArray text = "{\n    \"frames\": {";
    for (int i = 0; i < placements.size(); ++i) {
        const SheetLayout::Placement &p = placements[i];
        const int w = p.size.width();
        const int h = p.size.height();
        const QJsonObject frame{
            {QStringLiteral("frame"), QJsonObject{{QStringLiteral("x"), p.position.x()},
                                                  {QStringLiteral("y"), p.position.y()},
                                                  {QStringLiteral("w"), w},
                                                  {QStringLiteral("h"), h}}},
            {QStringLiteral("rotated"), false},
            {QStringLiteral("trimmed"), false},
            {QStringLiteral("spriteSourceSize"), QJsonObject{{QStringLiteral("x"), 0},
                                                             {QStringLiteral("y"), 0},
                                                             {QStringLiteral("w"), w},
                                                             {QStringLiteral("h"), h}}},
            {QStringLiteral("sourceSize"),
             QJsonObject{{QStringLiteral("w"), w}, {QStringLiteral("h"), h}}},
        };
        text += i == 0 ? "\n" : ",\n";
        text +=
            "        " + jsonString(names.value(p.path, p.path)) + ": " + indentedObject(frame, 8);
    }
    const QJsonObject meta{
        {QStringLiteral("app"), QStringLiteral("Korvane")},
        {QStringLiteral("version"), QStringLiteral(KORVANE_VERSION)},
        {QStringLiteral("image"), imageFileName},
        {QStringLiteral("format"), QStringLiteral("RGBA8888")},
        {QStringLiteral("size"), QJsonObject{{QStringLiteral("w"), sheetSize.width()},
                                             {QStringLiteral("h"), sheetSize.height()}}},
        {QStringLiteral("scale"), QStringLiteral("1")},
    };
    text += "\n    },\n    \"meta\": " + indentedObject(meta, 4) + "\n}\n";
    return text;
}

int runPack(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    return Run(out, err).exec(arguments);
}

} // namespace PackCommand
