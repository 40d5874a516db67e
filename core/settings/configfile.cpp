#include "core/settings/configfile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextCodec>
#include <QVector>
#include <QXmlStreamReader>

#include <algorithm>
#include <limits>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "core/output/atomicfile.h"

namespace {

QString &settingsPathOverride()
{
    static QString path;
    return path;
}

// A settings file as text: the byte-order mark it starts with (if any) and
// the codec its text is decoded and written with.
struct DecodedFile
{
    QByteArray byteOrderMark;
    QTextCodec *codec = nullptr;
    QString text;
};

// The encoding name of an XML declaration, up to the declaration's "?>".
const QRegularExpression &encodingDeclaration()
{
    static const QRegularExpression declaration(
        QStringLiteral(R"(^<\?xml\s.*\sencoding\s*=\s*(["'])([A-Za-z][A-Za-z0-9._-]*)\1)"),
        QRegularExpression::DotMatchesEverythingOption);
    return declaration;
}

// A byte-order mark, or UTF-16 without one, decides the encoding. Otherwise
// only a real XML declaration does: "<?xml" and white space at the very
// start. A missing or unknown name means UTF-8. Reader and writer both go
// through here, so they never disagree.
QTextCodec *detectCodec(const QByteArray &bytes, QByteArray *byteOrderMark)
{
    struct Mark
    {
        const char *bytes;
        int size;
        const char *codec;
    };
    static const Mark marks[] = {{"\xEF\xBB\xBF", 3, "UTF-8"},
                                 {"\xFF\xFE\0\0", 4, "UTF-32LE"},
                                 {"\0\0\xFE\xFF", 4, "UTF-32BE"},
                                 {"\xFF\xFE", 2, "UTF-16LE"},
                                 {"\xFE\xFF", 2, "UTF-16BE"}};
    for (const Mark &mark : marks) {
        if (bytes.startsWith(QByteArray::fromRawData(mark.bytes, mark.size))) {
            *byteOrderMark = bytes.left(mark.size);
            return QTextCodec::codecForName(mark.codec);
        }
    }
    byteOrderMark->clear();
    if (bytes.startsWith(QByteArray::fromRawData("<\0?\0", 4)))
        return QTextCodec::codecForName("UTF-16LE");
    if (bytes.startsWith(QByteArray::fromRawData("\0<\0?", 4)))
        return QTextCodec::codecForName("UTF-16BE");

    const int end = bytes.startsWith("<?xml") ? bytes.indexOf("?>") : -1;
    if (end > 0) {
        const QRegularExpressionMatch match =
            encodingDeclaration().match(QString::fromLatin1(bytes.constData(), end));
        if (match.hasMatch()) {
            if (QTextCodec *codec = QTextCodec::codecForName(match.captured(2).toLatin1()))
                return codec;
        }
    }
    return QTextCodec::codecForName("UTF-8");
}

DecodedFile decodeFile(const QByteArray &bytes)
{
    DecodedFile file;
    file.codec = detectCodec(bytes, &file.byteOrderMark);
    const int start = file.byteOrderMark.size();
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    file.text = file.codec->toUnicode(bytes.constData() + start, bytes.size() - start, &state);
    return file;
}

// Encodes without adding a byte-order mark; `complete` (if given) tells
// whether every character could be encoded.
QByteArray encodeText(QTextCodec *codec, const QString &text, bool *complete = nullptr)
{
    // Qt 5's UTF-32 encoder adds stray bytes after a character outside the
    // BMP, so UTF-32 (MIB 1018 big-endian, 1019 little-endian) is done here.
    if (codec->mibEnum() == 1018 || codec->mibEnum() == 1019) {
        const bool bigEndian = codec->mibEnum() == 1018;
        QByteArray bytes;
        bool valid = true;
        for (const uint c : text.toUcs4()) {
            valid = valid && (c < 0xD800 || c > 0xDFFF);
            for (int k = 0; k < 4; ++k)
                bytes += char((c >> (8 * (bigEndian ? 3 - k : k))) & 0xFF);
        }
        if (complete)
            *complete = valid;
        return bytes;
    }
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QByteArray bytes = codec->fromUnicode(text.constData(), text.size(), &state);
    if (complete)
        *complete = state.invalidChars == 0 && state.remainingChars == 0;
    return bytes;
}

// Whether `piece` survives the codec unchanged.
bool encodable(QTextCodec *codec, const QString &piece)
{
    bool complete = false;
    const QByteArray bytes = encodeText(codec, piece, &complete);
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    return complete && codec->toUnicode(bytes.constData(), bytes.size(), &state) == piece;
}

// A settings file holds a few short values. A larger file is refused before
// it is read: one of a gigabyte or more would not fit in a QString once
// decoded, and the program would abort instead of reporting it.
constexpr qint64 maxSettingsFileSize = 1024 * 1024;

int loadFile(const QString &filePath, DecodedFile &file, QByteArray *bytes = nullptr)
{
    if (filePath.trimmed().isEmpty())
        return ConfigEmptyPath;
    // Only a regular file is read: opening a FIFO to read would wait for a
    // writer for ever, so it is opened without waiting and looked at first.
    const int descriptor =
        ::open(QFile::encodeName(filePath).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return ConfigCannotOpen;
    struct stat info;
    QFile device;
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > maxSettingsFileSize ||
        !device.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return ConfigCannotOpen;
    }
    // Read with the same bound, as the file may have grown since.
    const QByteArray content = device.read(maxSettingsFileSize + 1);
    if (device.error() != QFileDevice::NoError || content.size() > maxSettingsFileSize)
        return ConfigCannotOpen;
    file = decodeFile(content);
    if (bytes)
        *bytes = content;
    return ConfigOk;
}

// The first element called `elementName` below the root, and where its
// start tag ends in the text.
struct FoundElement
{
    QXmlStreamAttributes attributes;
    int tagEnd = -1;
};

// `text` with its declaration's encoding name replaced by UTF-8, for the
// reader: the text is decoded already, and Qt 5's reader refuses a name its
// codecs lack, where the file reads as UTF-8. `shift` gets how much later
// than in `text` what follows the name stands.
QString withUtf8EncodingName(const QString &text, int *shift)
{
    *shift = 0;
    const int end =
        text.startsWith(QLatin1String("<?xml")) ? text.indexOf(QLatin1String("?>")) : -1;
    const QRegularExpressionMatch match =
        end > 0 ? encodingDeclaration().match(text.left(end)) : QRegularExpressionMatch();
    if (!match.hasMatch())
        return text;
    const QLatin1String utf8("UTF-8");
    *shift = utf8.size() - match.capturedLength(2);
    return QString(text).replace(match.capturedStart(2), match.capturedLength(2), utf8);
}

int findElement(const QString &text, const QString &elementName, FoundElement &found)
{
    int shift = 0;
    QXmlStreamReader xml(withUtf8EncodingName(text, &shift));
    xml.setNamespaceProcessing(false);
    QString rootName;
    int depth = 0;
    found.tagEnd = -1;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::EndElement) {
            --depth;
        } else if (token == QXmlStreamReader::StartElement) {
            if (++depth == 1) {
                rootName = xml.qualifiedName().toString();
            } else if (found.tagEnd < 0 && xml.qualifiedName() == elementName) {
                found.attributes = xml.attributes();
                found.tagEnd = int(xml.characterOffset()) - shift;
            }
        }
    }
    if (xml.hasError())
        return ConfigNotXml;
    if (rootName != QLatin1String("config"))
        return ConfigWrongRoot;
    if (found.tagEnd < 0)
        return ConfigNoElement;
    return ConfigOk;
}

struct AttributeText
{
    QString name;
    QChar quote;
    int valueStart = 0;
    int valueEnd = 0;
};

bool isXmlSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
           c == QLatin1Char('\r');
}

// Splits the start tag that ends just before `tagEnd` into its attributes.
// A '<' cannot stand in an attribute value, so the tag starts at the last
// one before its end. False when the text there is not that element's tag
// (for one that comes from an entity).
bool locateAttributes(const QString &text, int tagEnd, const QString &elementName,
                      QVector<AttributeText> &found)
{
    int i = tagEnd > 0 ? text.lastIndexOf(QLatin1Char('<'), tagEnd - 1) : -1;
    if (i < 0 || text.at(tagEnd - 1) != QLatin1Char('>'))
        return false;
    const int nameStart = ++i;
    while (i < tagEnd && !isXmlSpace(text.at(i)) && text.at(i) != QLatin1Char('/') &&
           text.at(i) != QLatin1Char('>'))
        ++i;
    if (text.mid(nameStart, i - nameStart) != elementName)
        return false;
    const auto skipSpace = [&] {
        while (i < tagEnd && isXmlSpace(text.at(i)))
            ++i;
    };
    for (;;) {
        skipSpace();
        if (i >= tagEnd)
            return false;
        if (text.at(i) == QLatin1Char('/') || text.at(i) == QLatin1Char('>'))
            return true;
        AttributeText attribute;
        const int start = i;
        while (i < tagEnd && !isXmlSpace(text.at(i)) && text.at(i) != QLatin1Char('='))
            ++i;
        attribute.name = text.mid(start, i - start);
        skipSpace();
        if (i >= tagEnd || text.at(i) != QLatin1Char('='))
            return false;
        ++i;
        skipSpace();
        if (i >= tagEnd || (text.at(i) != QLatin1Char('"') && text.at(i) != QLatin1Char('\'')))
            return false;
        attribute.quote = text.at(i);
        attribute.valueStart = ++i;
        i = text.indexOf(attribute.quote, i);
        if (i < 0 || i >= tagEnd)
            return false;
        attribute.valueEnd = i++;
        found.append(attribute);
    }
}

bool isXmlChar(uint c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The value as attribute text between `quote`s. Tab, LF and CR become
// character references, as the reader would otherwise turn them into spaces.
// A BMP character the codec lacks becomes a character reference too. False
// for a character XML cannot carry, or one outside the BMP the codec lacks.
bool escapeValue(const QString &value, QChar quote, QTextCodec *codec, QString &escaped)
{
    escaped.clear();
    for (int i = 0; i < value.size(); ++i) {
        uint code = value.at(i).unicode();
        int units = 1;
        if (value.at(i).isHighSurrogate() && i + 1 < value.size() &&
            value.at(i + 1).isLowSurrogate()) {
            code = QChar::surrogateToUcs4(value.at(i), value.at(i + 1));
            units = 2;
        }
        if (!isXmlChar(code))
            return false; // unpaired surrogates included
        const QString piece = value.mid(i, units);
        i += units - 1;
        if (code == '&')
            escaped += QLatin1String("&amp;");
        else if (code == '<')
            escaped += QLatin1String("&lt;");
        else if (code == '>')
            escaped += QLatin1String("&gt;");
        else if (code == '"' && quote == QLatin1Char('"'))
            escaped += QLatin1String("&quot;");
        else if (code == '\'' && quote == QLatin1Char('\''))
            escaped += QLatin1String("&apos;");
        else if (code < 0x20)
            escaped += QStringLiteral("&#%1;").arg(code);
        else if (encodable(codec, piece))
            escaped += piece;
        else if (units == 1)
            escaped += QStringLiteral("&#x%1;").arg(QString::number(code, 16).toUpper());
        else
            return false;
    }
    return true;
}

// Whether a new file can be created beside `filePath` under a name as long
// as a temporary file's. Created for real: an unnamed temporary file can be
// opened even where no such name fits.
bool folderTakesNewFile(const QString &filePath)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        QFile probe(filePath +
                    QStringLiteral(".%1").arg(QRandomGenerator::global()->bounded(0x1000000), 6, 16,
                                              QLatin1Char('0')));
        if (probe.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            probe.remove();
            return true;
        }
        if (!probe.exists())
            return false;
    }
    return false;
}

// Whether everything written to `file` is on disk; the sync's result goes
// through the writers' test seam, as output 0 for a new file and 1 in place.
bool syncedToDisk(QFileDevice &file, int index = 0)
{
    if (!file.flush())
        return false;
#ifdef Q_OS_UNIX
    return faultedForTesting(WriteStep::Sync, index, ::fsync(file.handle())) == 0;
#else
    return true;
#endif
}

// Rewrites the file over its old bytes, which are put back, as far as the
// file lets them, when that fails.
int writeInPlace(const QString &filePath, const QByteArray &data, const QByteArray &old)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return ConfigWriteFailed;
#ifdef Q_OS_UNIX
    // Another save rewriting it in place at the same time would leave a mix
    // of both; the lock makes them take turns, and the later one then finds
    // the file changed. Released when the file is closed.
    if (::flock(file.handle(), LOCK_EX) != 0)
        return ConfigWriteFailed;
#endif
    // Changed since it was read: nothing to build on.
    if (file.readAll() != old || file.error() != QFileDevice::NoError)
        return ConfigWriteFailed;
    pauseForTesting();
    const auto put = [&file](const QByteArray &bytes) {
        return file.seek(0) && file.write(bytes) == bytes.size() && file.resize(bytes.size()) &&
               syncedToDisk(file, 1);
    };
    if (put(data))
        return ConfigOk;
    put(old);
    return ConfigWriteFailed;
}

int replaceFile(const QString &filePath, const QByteArray &data, const QByteArray &old)
{
    // QSaveFile writes beside the file a link leads to, so that folder is
    // the one that counts.
    const QString canonical = QFileInfo(filePath).canonicalFilePath();
    const QString target = canonical.isEmpty() ? filePath : canonical;
    // Another user's file in a folder with the sticky bit cannot be renamed
    // over, though it may be writable: such a folder is shared, as one that
    // takes no new file is, and the file is rewritten in place instead.
    if (isKeptFromReplacing(target))
        return writeInPlace(filePath, data, old);
    // The old file is replaced only once the new one is complete: a crash or
    // a full disk must never leave a settings file the program cannot start
    // with.
    QSaveFile file(filePath);
    if (file.open(QIODevice::WriteOnly)) {
        // Flushed and synced here because commit() replaces the target even
        // when its own final flush fails, and ignores a failed sync.
        if (file.write(data) != data.size() || !syncedToDisk(file) ||
            file.error() != QFileDevice::NoError) {
            file.cancelWriting();
            return ConfigWriteFailed;
        }
        if (file.commit())
            return ConfigOk;
    }
    // No temporary file could be created or put in place. When that is
    // because the folder cannot take one (no write permission, no room for
    // the longer name), the file itself may still be writable.
    if (folderTakesNewFile(target))
        return ConfigWriteFailed;
    return writeInPlace(filePath, data, old);
}

} // namespace

QString settingsFilePath()
{
    if (!settingsPathOverride().isEmpty())
        return settingsPathOverride();
#ifdef Q_OS_LINUX
    // Qt names the executable by a decoded copy of this link, which is lossy
    // for bytes that are not UTF-8.
    char target[4096];
    const ssize_t length = readlink("/proc/self/exe", target, sizeof target);
    if (length > 0 && size_t(length) < sizeof target) {
        const QByteArray executable(target, int(length));
        return settingsPathIn(executable.left(executable.lastIndexOf('/')));
    }
#endif
    return QCoreApplication::applicationDirPath() + QStringLiteral("/config/config.xml");
}

QString settingsPathIn(const QByteArray &folder)
{
    const QString name = QFile::decodeName(folder);
    if (QFile::encodeName(name) != folder)
        return QString();
    return name + QStringLiteral("/config/config.xml");
}

int marginFromText(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (ok)
        return value;
    QStringView digits = QStringView(text).trimmed();
    const bool negative = digits.startsWith(QLatin1Char('-'));
    if (negative || digits.startsWith(QLatin1Char('+')))
        digits = digits.mid(1);
    const bool wholeNumber =
        !digits.isEmpty() && std::all_of(digits.begin(), digits.end(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        });
    if (!wholeNumber)
        return 0;
    return negative ? std::numeric_limits<int>::min() : std::numeric_limits<int>::max();
}

void setSettingsFilePathForTesting(const QString &path)
{
    settingsPathOverride() = path;
}

int readConfigAttributes(const QString &filePath, const QString &elementName,
                         QMap<QString, QString> &attributes)
{
    DecodedFile file;
    FoundElement element;
    if (const int error = loadFile(filePath, file))
        return error;
    if (const int error = findElement(file.text, elementName, element))
        return error;

    for (auto it = attributes.begin(); it != attributes.end(); ++it) {
        if (!element.attributes.hasAttribute(it.key()))
            return ConfigNoAttribute;
        it.value() = element.attributes.value(it.key()).toString();
    }
    return ConfigOk;
}

namespace {

// One value's new text, replacing file.text's [start, end).
struct Edit
{
    int start;
    int end;
    QString text;
};

// The edits that give `elements`' attributes their values in `file`, and
// each element as found before them.
int planEdits(const DecodedFile &file, const QVector<ConfigElementValues> &elements,
              QVector<Edit> *edits, QVector<FoundElement> *found)
{
    for (const ConfigElementValues &values : elements) {
        FoundElement element;
        if (const int error = findElement(file.text, values.element, element))
            return error;
        found->append(element);
        QVector<AttributeText> located;
        const bool tagFound = locateAttributes(file.text, element.tagEnd, values.element, located);
        for (auto it = values.attributes.cbegin(); it != values.attributes.cend(); ++it) {
            if (!element.attributes.hasAttribute(it.key()))
                return ConfigNoAttribute;
            const QString value = it.value().trimmed();
            // An unchanged value keeps its bytes, so that saving again changes nothing.
            if (element.attributes.value(it.key()) == value)
                continue;
            const auto attribute =
                std::find_if(located.cbegin(), located.cend(),
                             [&](const AttributeText &text) { return text.name == it.key(); });
            QString escaped;
            if (!tagFound || attribute == located.cend() ||
                !escapeValue(value, attribute->quote, file.codec, escaped))
                return ConfigNotStorable;
            edits->append({attribute->valueStart, attribute->valueEnd, escaped});
        }
    }
    return ConfigOk;
}

// True when `newBytes` read back through the same reader give exactly `text`
// in `codec`, with every element's attributes as `found` but for the new
// values of `elements`.
bool readsBackAs(const QByteArray &newBytes, QTextCodec *codec, const QString &text,
                 const QVector<ConfigElementValues> &elements, const QVector<FoundElement> &found)
{
    const DecodedFile check = decodeFile(newBytes);
    if (check.codec != codec || check.text != text)
        return false;
    for (int i = 0; i < elements.size(); ++i) {
        const QMap<QString, QString> &attributes = elements[i].attributes;
        FoundElement after;
        if (findElement(check.text, elements[i].element, after) != ConfigOk ||
            after.attributes.size() != found[i].attributes.size())
            return false;
        for (const QXmlStreamAttribute &attribute : found[i].attributes) {
            const QString name = attribute.qualifiedName().toString();
            const QString expected = attributes.contains(name) ? attributes.value(name).trimmed()
                                                               : attribute.value().toString();
            if (!after.attributes.hasAttribute(name) || after.attributes.value(name) != expected)
                return false;
        }
    }
    return true;
}

} // namespace

int writeConfigElements(const QString &filePath, const QVector<ConfigElementValues> &elements)
{
    QByteArray oldBytes;
    DecodedFile file;
    if (const int error = loadFile(filePath, file, &oldBytes))
        return error;
    QVector<Edit> edits;
    QVector<FoundElement> found;
    if (const int error = planEdits(file, elements, &edits, &found))
        return error;
    if (edits.isEmpty())
        return ConfigOk;
    // Text that does not encode back to the file's bytes (a byte its
    // encoding cannot decode, read as U+FFFD, in a comment or another
    // value) would be changed where nothing was edited.
    if (file.byteOrderMark + encodeText(file.codec, file.text) != oldBytes)
        return ConfigNotStorable;

    std::sort(edits.begin(), edits.end(),
              [](const Edit &a, const Edit &b) { return a.start > b.start; });
    QString text = file.text;
    for (const Edit &edit : edits)
        text.replace(edit.start, edit.end - edit.start, edit.text);
    const QByteArray newBytes = file.byteOrderMark + encodeText(file.codec, text);
    // Saved, a file over the bound would stop the next start of the program.
    if (newBytes.size() > maxSettingsFileSize)
        return ConfigTooLarge;
    // The new bytes must read back as exactly the intended text and values
    // before they may replace the file.
    if (!readsBackAs(newBytes, file.codec, text, elements, found))
        return ConfigNotStorable;
    return replaceFile(filePath, newBytes, oldBytes);
}

bool hasUndecodableBytes(const QString &filePath, QString *encoding)
{
    QByteArray bytes;
    DecodedFile file;
    if (loadFile(filePath, file, &bytes) != ConfigOk)
        return false;
    *encoding = QString::fromLatin1(file.codec->name());
    return file.byteOrderMark + encodeText(file.codec, file.text) != bytes;
}

int writeConfigAttributes(const QString &filePath, const QString &elementName,
                          const QMap<QString, QString> &attributes)
{
    return writeConfigElements(filePath, {{elementName, attributes}});
}
