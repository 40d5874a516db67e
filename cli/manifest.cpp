#include "cli/manifest.h"

#include "cli/packoptions.h"
#include "core/image/imageprobe.h"
#include "core/inputs.h"
#include "core/layout/sheetlayout.h"
#include "core/output/atomicfile.h"
#include "core/output/dataformats.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

namespace PackCommand {

namespace {

const QString magicKey = QStringLiteral("korvane-manifest");
constexpr int manifestVersion = 1;

QByteArray hex(XXH64_hash_t hash)
{
    return QByteArray::number(qulonglong(hash), 16).rightJustified(16, '0');
}

// A member added to Options that this does not know about would leave its
// changes unnoticed by --update; the size check makes the build say so.
struct KnownOptions
{
    QString chosenPath;
    QVector<DataFormats::Output> data;
    QStringList dataWhat;
    QStringList inputs;
    int margin;
    int threads;
    PngEncoder::Level pngLevel;
    Compose::Limits limits;
    qint64 maxSheetPixels;
    QMap<QString, QByteArrayList> undecodable;
    SheetLayout::Layout layout;
    QSize maxSize;
    bool powerOfTwo, skipUnreadable, verbose;
    Compose::SpriteOptions sprites;
    std::optional<QPointF> pivot;
    bool animations, update, multipack;
    QString packFile, configFile, sheetName; // the margin, not the file, counts
    bool watch;
    PackFile::InputList packInputs; // matched into `inputs`, which count
};
static_assert(sizeof(KnownOptions) == sizeof(Options),
              "a new member of Options must be added to optionsHash()");

} // namespace

QString manifestPathFor(const QString &chosenPath, bool multipack)
{
    QString path = SheetLayout::placementPathFor(chosenPath);
    path.chop(4); // ".txt"
    if (multipack) {
        const int name = path.lastIndexOf(QLatin1Char('/')) + 1;
        path = path.left(name).replace(QLatin1String("{n}"), QLatin1String("0")) +
               path.mid(name).remove(QLatin1String("{n}"));
    }
    return pathWithSuffix(path, QStringLiteral(".korvane-manifest"));
}

QByteArray hashBytes(const QByteArray &data)
{
    return hex(XXH3_64bits(data.constData(), size_t(data.size())));
}

QByteArray hashText(quint64 hash)
{
    return hex(hash);
}

QByteArray hashFile(const QString &path)
{
    // As the probe opens inputs: a FIFO or a device is never opened, so a
    // skipped one cannot stop the run.
    Compose::RegularFile file;
    Compose::Failure failure;
    if (!file.open(path, &failure))
        return QByteArray();
    const Compose::ContentHash hash = Compose::hashContent(file);
    return hash.valid ? hex(hash.value) : QByteArray();
}

namespace {

// A ".." after a link leads `path` to the folder linked to, named without
// any link: whether it did.
bool followsLink(const QString &path, const QString &reached)
{
    return QDir::cleanPath(QDir::isAbsolutePath(path)
                               ? path
                               : QDir::currentPath() + QLatin1Char('/') + path) != reached;
}

// `path`'s folder named without links when it is there, so that both ends
// of the path between two files are named alike.
QString unlinked(const QString &path)
{
    const QFileInfo file(path);
    const QString folder = QFileInfo(file.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? path : folder + QLatin1Char('/') + file.fileName();
}

} // namespace

QString seenFrom(const QString &dataFile, const QString &path)
{
    QString from = Inputs::systemAbsolutePath(Inputs::onDisk(dataFile));
    QString to = Inputs::systemAbsolutePath(Inputs::onDisk(path));
    // One path reached through a link, the other as named, would go from
    // one to the other through the links' names ("../real/s.png" for a
    // sheet beside its data file).
    if (followsLink(Inputs::onDisk(dataFile), from) || followsLink(Inputs::onDisk(path), to)) {
        from = unlinked(from);
        to = unlinked(to);
    }
    return QDir::fromNativeSeparators(QFileInfo(from).absoluteDir().relativeFilePath(to));
}

QByteArray optionsHash(const Options &o)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_5_15);
    // The outputs from the manifest's folder: the same files named otherwise
    // ("./s.png", "s", or by an absolute path) write the same bytes.
    const QString manifest = manifestPathFor(o.chosenPath, o.multipack);
    const QString sheet = SheetLayout::sheetPathFor(o.chosenPath);
    stream << QStringLiteral(KORVANE_VERSION) << seenFrom(manifest, sheet) << qint32(o.data.size());
    // A data file names the sheets from its own folder, which a relative
    // name of one and an absolute name of the other leave to the working
    // folder.
    for (const DataFormats::Output &data : o.data)
        stream << seenFrom(manifest, data.path) << seenFrom(data.path, sheet)
               << qint32(data.format);
    stream << qint32(o.margin) << qint64(o.limits.maxPixels) << qint32(o.limits.maxSide)
           << qint32(o.layout) << o.maxSize << o.powerOfTwo << o.skipUnreadable << o.multipack
           << qint32(o.pngLevel) << qint64(o.maxSheetPixels) << o.sprites.trim
           << qint32(o.sprites.trimThreshold) << qint32(o.sprites.extrude) << o.sprites.alias
           << o.sprites.premultiply << o.pivot.has_value() << o.pivot.value_or(QPointF())
           << o.animations;
    return hashBytes(bytes);
}

QByteArray manifestText(const Manifest &m)
{
    QJsonArray inputs;
    for (const Manifest::Input &input : m.inputs)
        inputs.append(QJsonArray{input.path, input.name, QString::fromLatin1(input.hash)});
    QJsonArray outputs;
    for (const Manifest::Output &output : m.outputs)
        outputs.append(QJsonArray{output.path, QString::fromLatin1(output.hash)});
    const QJsonObject root{{magicKey, manifestVersion},
                           {QStringLiteral("options"), QString::fromLatin1(m.optionsHash)},
                           {QStringLiteral("inputs"), inputs},
                           {QStringLiteral("outputs"), outputs},
                           {QStringLiteral("sheets"), m.sheets}};
    return DataFormats::escapeByteOrderMarks(QJsonDocument(root).toJson(QJsonDocument::Indented));
}

bool readManifest(const QString &path, Manifest *manifest)
{
    QFile file(Inputs::onDisk(path));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // Another user's says nothing of what this user's runs wrote: anyone who
    // may write the folder (/tmp) can make one that lists their own files
    // as up to date. Root's is trusted, as root may change any file anyway;
    // and in root's runs the folder owner's, as root's writes give a file
    // back to its owner (a root build in a user's project). Only root's: a
    // user's data files may lie outside that folder, beyond its owner's
    // reach. Its folder as the system takes it: "link/.." is not cleaned
    // away.
    const QByteArray folderPath = QFile::encodeName(QFileInfo(file.fileName()).path());
    struct stat st, folder;
    if (fstat(file.handle(), &st) != 0 ||
        (st.st_uid != geteuid() && st.st_uid != 0 &&
         (geteuid() != 0 || stat(folderPath.constData(), &folder) != 0 ||
          folder.st_uid != st.st_uid)))
        return false;
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    if (root.value(magicKey).toInt() != manifestVersion)
        return false;
    Manifest m;
    m.optionsHash = root.value(QStringLiteral("options")).toString().toLatin1();
    const QJsonArray inputs = root.value(QStringLiteral("inputs")).toArray();
    for (const QJsonValue &value : inputs) {
        const QJsonArray input = value.toArray();
        if (input.size() != 3)
            return false;
        m.inputs.append({input[0].toString(), input[1].toString(), input[2].toString().toLatin1()});
    }
    const QJsonArray outputs = root.value(QStringLiteral("outputs")).toArray();
    for (const QJsonValue &value : outputs) {
        const QJsonArray output = value.toArray();
        // A file whose bytes are not known cannot be told to be as written:
        // a file that cannot be read has no hash either.
        if (output.size() != 2 || output[0].toString().isEmpty() || output[1].toString().isEmpty())
            return false;
        m.outputs.append({output[0].toString(), output[1].toString().toLatin1()});
    }
    // Each sheet has at least two files.
    m.sheets = root.value(QStringLiteral("sheets")).toInt(0);
    if (m.optionsHash.isEmpty() || m.outputs.isEmpty() || m.sheets < 0 ||
        m.sheets > m.outputs.size())
        return false;
    *manifest = m;
    return true;
}

bool outputsUpToDate(const Manifest &recorded, const Manifest &current)
{
    if (recorded.optionsHash != current.optionsHash ||
        recorded.inputs.size() != current.inputs.size())
        return false;
    for (int i = 0; i < recorded.inputs.size(); ++i) {
        const Manifest::Input &a = recorded.inputs[i];
        const Manifest::Input &b = current.inputs[i];
        if (a.path != b.path || a.name != b.name || a.hash != b.hash || b.hash.isEmpty())
            return false;
    }
    for (const Manifest::Output &output : recorded.outputs) {
        if (hashFile(output.path) != output.hash)
            return false;
    }
    return true;
}

} // namespace PackCommand
