#include "cli/packfile.h"

#include "cli/packoptions.h"
#include "core/inputs.h"
#include "core/layout/compactlayout.h"
#include "core/output/dataformats.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <limits>
#include <sys/stat.h>
#include <vector>

namespace PackFile {

namespace {

QString position(const QByteArray &text, int offset);

// Where each object key of a JSON text starts, by its path ("sheets/0/margin").
// QJsonDocument keeps no positions, so the text, already known to parse, is
// walked once more.
class KeyPositions
{
public:
    explicit KeyPositions(const QByteArray &text) : m_text(text)
    {
        // QJsonDocument skips a UTF-8 byte order mark, as editors on
        // Windows write one; so must this walk, or it would see no key.
        if (text.startsWith("\xef\xbb\xbf"))
            m_at = 3;
        value(QString());
        for (int i = 0; i < text.size(); ++i) {
            const uchar c = uchar(text[i]);
            if (c == '\n')
                m_lineBreaks.push_back(i);
            else if (c == 0 || c >= 0x80)
                m_notAscii.push_back(i);
        }
    }
    int offset(const QString &path) const { return m_offsets.value(path, 0); }
    // position() of an offset in the text, without going over the text
    // before it: a pack file of thousands of sheets asks for each sheet's.
    QString position(int offset) const
    {
        int at = std::min(int(m_text.size()), std::max(0, offset));
        if (m_text.startsWith("\xef\xbb\xbf"))
            at = std::min(int(m_text.size()), std::max(at, 3));
        const auto breaks = std::lower_bound(m_lineBreaks.begin(), m_lineBreaks.end(), at);
        const int line = int(breaks - m_lineBreaks.begin());
        const int lineStart = line > 0 ? *(breaks - 1) + 1 : 0;
        // Only a line of ASCII up to there has a column of one per byte.
        const auto other = std::lower_bound(m_notAscii.begin(), m_notAscii.end(), lineStart);
        if (other != m_notAscii.end() && *other < at)
            return PackFile::position(m_text, offset);
        return QStringLiteral("%1:%2").arg(line + 1).arg(at - lineStart + 1);
    }
    // The first key given twice in one object, which QJsonDocument would
    // quietly take the last value of, and where it starts (-1: none).
    QString duplicate() const { return m_duplicate; }
    int duplicateOffset() const { return m_duplicateOffset; }
    // Where the first escape that JSON does not have ("\\s") starts, or -1.
    // QJsonDocument reads it as the character after the backslash, so a
    // path written with single backslashes would name another file.
    int badEscapeOffset() const { return m_badEscape; }

private:
    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    void space()
    {
        while (m_at < m_text.size() && isSpace(m_text[m_at]))
            ++m_at;
    }
    QString string()
    {
        const int start = m_at++;
        while (m_at < m_text.size() && m_text[m_at] != '"') {
            if (m_text[m_at] == '\\' && m_badEscape < 0 && m_at + 1 < m_text.size() &&
                !QByteArray("\"\\/bfnrtu").contains(m_text[m_at + 1]))
                m_badEscape = m_at;
            m_at += m_text[m_at] == '\\' ? 2 : 1;
        }
        ++m_at;
        const QJsonArray decoded =
            QJsonDocument::fromJson('[' + m_text.mid(start, m_at - start) + ']').array();
        return decoded.first().toString();
    }
    // Offsets are kept down to a sheet's keys ("/sheets/0/margin"), all that
    // messages name, so that a long list deeper down costs no memory per item.
    void value(const QString &path, int depth = 0)
    {
        space();
        if (m_at >= m_text.size())
            return;
        const char c = m_text[m_at];
        if (c == '{' || c == '[') {
            ++m_at;
            QSet<QString> keys; // of this object
            for (int index = 0;; ++index) {
                space();
                if (m_at >= m_text.size() || m_text[m_at] == '}' || m_text[m_at] == ']')
                    break;
                const int start = m_at;
                QString key;
                if (c == '{') {
                    key = string();
                    space();
                    ++m_at; // ':'
                    if (m_duplicateOffset < 0 && keys.contains(key)) {
                        m_duplicate = key;
                        m_duplicateOffset = start;
                    }
                    keys.insert(key);
                } else if (depth < 3) {
                    key = QString::number(index);
                }
                const QString inner = depth < 3 ? path + QLatin1Char('/') + key : QString();
                if (depth < 3 && !m_offsets.contains(inner))
                    m_offsets.insert(inner, start);
                value(inner, depth + 1);
                space();
                if (m_at < m_text.size() && m_text[m_at] == ',')
                    ++m_at;
            }
            ++m_at;
        } else if (c == '"') {
            string();
        } else {
            while (m_at < m_text.size() && !isSpace(m_text[m_at]) && m_text[m_at] != ',' &&
                   m_text[m_at] != ']' && m_text[m_at] != '}')
                ++m_at;
        }
    }

    const QByteArray &m_text;
    int m_at = 0;
    QHash<QString, int> m_offsets;
    QString m_duplicate;
    int m_duplicateOffset = -1;
    int m_badEscape = -1;
    std::vector<int> m_lineBreaks; // offsets of the '\n' bytes
    std::vector<int> m_notAscii;   // offsets of NUL and non-ASCII bytes
};

// Line and column (from 1) of a byte offset; columns count characters, so
// one beyond U+FFFF (an emoji) counts once, not as its two UTF-16 halves.
QString position(const QByteArray &text, int offset)
{
    // A byte order mark takes no column, even where Qt's parser reports a
    // place inside it (a file holding nothing else).
    if (text.startsWith("\xef\xbb\xbf"))
        offset = std::max(offset, 3);
    const QByteArray before = text.left(offset);
    const int lineStart = before.lastIndexOf('\n') + 1;
    return QStringLiteral("%1:%2")
        .arg(before.count('\n') + 1)
        .arg(QString::fromUtf8(before.mid(lineStart)).toUcs4().size() + 1);
}

// "a", "b" or "c"
QString oneOf(const QStringList &choices)
{
    QStringList quoted;
    for (const QString &choice : choices)
        quoted << QLatin1Char('"') + choice + QLatin1Char('"');
    const QString last = quoted.takeLast();
    return quoted.isEmpty() ? last
                            : quoted.join(QLatin1String(", ")) + QLatin1String(" or ") + last;
}

// `path` from `folder`. QDir takes a name that starts with ':' for one in
// Qt's resources, absolute, and would leave the folder out: only '/' starts
// an absolute path here.
QString inFolder(const QString &folder, const QString &path)
{
    if (path.startsWith(QLatin1Char('/')) || folder.isEmpty())
        return path;
    return folder.endsWith(QLatin1Char('/')) ? folder + path : folder + QLatin1Char('/') + path;
}

// QDir::cleanPath() without its one blind step: "X/.." names X's parent only
// where X is no link, since the system takes a link's ".." in the folder it
// points to; such a ".." is kept for the system to follow.
QString cleanedPath(const QString &path)
{
    if (path.isEmpty())
        return path;
    const bool absolute = path.startsWith(QLatin1Char('/'));
    const QString root = absolute ? QStringLiteral("/") : QString();
    QStringList kept;
    for (const QString &part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..") && !kept.isEmpty() && kept.last() != QLatin1String("..")) {
            struct stat st;
            const QByteArray below = QFile::encodeName(root + kept.join(QLatin1Char('/')));
            if (::lstat(below.constData(), &st) != 0 || !S_ISLNK(st.st_mode)) {
                kept.removeLast();
                continue;
            }
        } else if (part == QLatin1String("..") && kept.isEmpty() && absolute) {
            continue; // "/.." is "/"
        }
        kept << part;
    }
    const QString cleaned = root + kept.join(QLatin1Char('/'));
    return cleaned.isEmpty() ? QStringLiteral(".") : cleaned;
}

bool hasWildcard(const QString &text)
{
    return text.contains(QLatin1Char('*')) || text.contains(QLatin1Char('?'));
}

QRegularExpression globExpression(const QString &pattern)
{
    QString regex;
    for (int i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern[i];
        if (QStringView(pattern).mid(i, 3) == QLatin1String("**/")) {
            regex += QLatin1String("(?:.*/)?");
            i += 2;
        } else if (QStringView(pattern).mid(i, 2) == QLatin1String("**")) {
            regex += QLatin1String(".*");
            ++i;
        } else if (c == QLatin1Char('*')) {
            regex += QLatin1String("[^/]*");
        } else if (c == QLatin1Char('?')) {
            regex += QLatin1String("[^/]");
        } else {
            // A character beyond U+FFFF is escaped whole: its halves apart
            // are no valid pattern, which would match nothing.
            const int units = c.isHighSurrogate() && i + 1 < pattern.size() ? 2 : 1;
            regex += QRegularExpression::escape(pattern.mid(i, units));
            i += units - 1;
        }
    }
    // A line break in a name is a character like any other: "$" would also
    // match before a final one ("a.png\n" for "*.png"), and "." none.
    return QRegularExpression(QRegularExpression::anchoredPattern(regex),
                              QRegularExpression::DotMatchesEverythingOption);
}

// One sheet's checks, each failing with the key's position.
class SheetReader
{
public:
    SheetReader(const QByteArray &text, const KeyPositions &keys, const QString &file,
                const QDir &folder)
        : m_text(text), m_keys(keys), m_file(file), m_folder(folder)
    {
    }

    bool read(const QJsonObject &sheet, const QString &path, const QSet<QString> &overridden,
              SheetArguments *result, QString *error);

private:
    // At the key, or with `atSheet` at the sheet's start: an empty key ("")
    // is a key all the same.
    bool fail(const QString &key, const QString &message, bool atSheet = false)
    {
        m_error = QStringLiteral("%1:%2: \"%3\": %4")
                      .arg(QDir::toNativeSeparators(m_file),
                           m_keys.position(
                               m_keys.offset(atSheet ? m_path : m_path + QLatin1Char('/') + key)),
                           key, message);
        return false;
    }
    bool wholeNumber(const QString &key, const QJsonValue &value, qint64 low, qint64 high,
                     qint64 *number);
    QString resolved(const QString &path) const
    {
        return cleanedPath(inFolder(m_folder.path(), path));
    }
    // A trailing "/", "/." or "/..", which resolving would drop, names a
    // folder, never the file to write.
    bool namesFile(const QString &key, const QString &path)
    {
        const QString last = path.section(QLatin1Char('/'), -1);
        if (path.endsWith(QLatin1Char('/')) || last == QLatin1String(".") ||
            last == QLatin1String(".."))
            return fail(key,
                        QStringLiteral("\"%1\" names no file; it ends in \"/%2\"").arg(path, last));
        return encodable(key, path);
    }
    // A path the system would store under another name (a lone surrogate
    // from a \u escape) would read or write another file. A leading U+FEFF,
    // which QFile::decodeName() drops, is stored as it is. The system ends a
    // name at a NUL, which Qt 5 finds on decoding and Qt 6 does not.
    bool encodable(const QString &key, const QString &path)
    {
        if (path.contains(QChar(0)))
            return fail(key,
                        QStringLiteral("a path holds a NUL character, which no file name can"));
        return Inputs::decodeFileName(QFile::encodeName(path)) == path ||
               fail(key, QStringLiteral("a path holds a character that is not valid Unicode"));
    }
    // With no `result`, only checks the list's shape.
    bool readInputs(const QJsonValue &value, SheetArguments *result);
    bool readData(const QJsonValue &value, SheetArguments *result);
    bool readKey(const QString &key, const QJsonValue &value, bool skipped, SheetArguments *result);

    const QByteArray &m_text;
    const KeyPositions &m_keys;
    QString m_file;
    QDir m_folder;
    QString m_path;
    QString m_error;
};

bool SheetReader::wholeNumber(const QString &key, const QJsonValue &value, qint64 low, qint64 high,
                              qint64 *number)
{
    // A bound near 2^62 is no double: the bound as written reads as the
    // double above it, which stands for the bound.
    const double d = value.toDouble(std::nan(""));
    if (!value.isDouble() || std::floor(d) != d || d < double(low) || d > double(high)) {
        return fail(key, QStringLiteral("must be a whole number from %1 to %2").arg(low).arg(high));
    }
    *number = d >= double(high) ? high : qint64(d);
    return true;
}

bool SheetReader::readInputs(const QJsonValue &value, SheetArguments *result)
{
    const QJsonArray inputs = value.toArray();
    if (!value.isArray() || inputs.isEmpty())
        return fail(QStringLiteral("inputs"), QStringLiteral("must be a list of paths"));
    QStringList given;
    for (const QJsonValue &input : inputs) {
        const QString text = input.toString();
        if (!input.isString() || text.isEmpty())
            return fail(QStringLiteral("inputs"), QStringLiteral("must be a list of paths"));
        if (!encodable(QStringLiteral("inputs"), text))
            return false;
        given << text;
    }
    if (result) {
        const QString key = m_path + QStringLiteral("/inputs");
        result->given = {m_folder.path(), given,
                         QStringLiteral("%1:%2").arg(QDir::toNativeSeparators(m_file),
                                                     m_keys.position(m_keys.offset(key)))};
        expandInputs(result->given, result);
    }
    return true;
}

bool SheetReader::readData(const QJsonValue &value, SheetArguments *result)
{
    const QString key = QStringLiteral("data");
    const QString shape = QStringLiteral("must be a list of {\"file\": ..., \"format\": ...}");
    if (!value.isArray())
        return fail(key, shape);
    for (const QJsonValue &entry : value.toArray()) {
        const QJsonObject data = entry.toObject();
        const QString file = data.value(QStringLiteral("file")).toString();
        const QString format = data.value(QStringLiteral("format")).toString();
        if (!entry.isObject() || data.size() != 2 || file.isEmpty() || format.isEmpty())
            return fail(key, shape);
        if (!namesFile(key, file))
            return false;
        DataFormats::Format known;
        if (!DataFormats::formatFromName(format, &known)) {
            return fail(key,
                        QStringLiteral("unknown format \"%1\"; use one of %2")
                            .arg(format, DataFormats::formatNames().join(QLatin1String(", "))));
        }
        result->options << QStringLiteral("--data=") + resolved(file)
                        << QStringLiteral("--format=") + format;
    }
    return true;
}

// Adds what one key of a sheet asks for to `result`, unless `skipped`: the
// command line gives it instead (the value is checked all the same).
bool SheetReader::readKey(const QString &key, const QJsonValue &value, bool skipped,
                          SheetArguments *result)
{
    static const QSet<QString> flags{
        QStringLiteral("power-of-two"), QStringLiteral("skip-unreadable"),
        QStringLiteral("verbose"),      QStringLiteral("multipack"),
        QStringLiteral("update"),       QStringLiteral("trim"),
        QStringLiteral("alias"),        QStringLiteral("animations"),
        QStringLiteral("premultiply")};
    static const QSet<QString> paths{QStringLiteral("output"), QStringLiteral("config"),
                                     QStringLiteral("json")};
    static const QHash<QString, QPair<qint64, qint64>> numbers{
        {QStringLiteral("margin"), {0, std::numeric_limits<int>::max()}},
        {QStringLiteral("max-image-pixels"), {1, std::numeric_limits<qint64>::max() / 2}},
        {QStringLiteral("max-sheet-pixels"), {1, std::numeric_limits<qint64>::max() / 2}},
        {QStringLiteral("trim-threshold"), {0, 254}},
        {QStringLiteral("extrude"), {0, 32}},
        {QStringLiteral("threads"), {1, 256}}};
    static const QHash<QString, QStringList> choices{
        {QStringLiteral("layout"), {QStringLiteral("rows"), QStringLiteral("compact")}},
        {QStringLiteral("png-level"),
         {QStringLiteral("fast"), QStringLiteral("default"), QStringLiteral("small")}}};

    bool ok = true;
    if (key == QLatin1String("name")) {
        ok = value.isString() || fail(key, QStringLiteral("must be a string"));
        result->name = value.toString();
    } else if (flags.contains(key)) {
        ok = value.isBool() || fail(key, QStringLiteral("must be true or false"));
        if (ok && value.toBool() && !skipped)
            result->options << QStringLiteral("--") + key;
    } else if (paths.contains(key)) {
        ok = (value.isString() && !value.toString().isEmpty()) ||
             fail(key, QStringLiteral("must be a path"));
        ok = ok && namesFile(key, value.toString());
        if (ok && !skipped)
            result->options << QStringLiteral("--%1=%2").arg(key, resolved(value.toString()));
    } else if (numbers.contains(key)) {
        qint64 number = 0;
        ok = wholeNumber(key, value, numbers[key].first, numbers[key].second, &number);
        if (ok && !skipped)
            result->options << QStringLiteral("--%1=%2").arg(key).arg(number);
    } else if (choices.contains(key)) {
        ok = choices[key].contains(value.toString()) ||
             fail(key, QStringLiteral("must be ") + oneOf(choices[key]));
        if (ok && !skipped)
            result->options << QStringLiteral("--%1=%2").arg(key, value.toString());
    } else if (key == QLatin1String("pivot")) {
        // As on the command line, "X,Y", each from 0 to 1: checked here too,
        // so that the message points into the file.
        QPointF pivot;
        ok = (value.isString() && PackCommand::parsePivot(value.toString(), &pivot)) ||
             fail(key, QStringLiteral("must be \"X,Y\" with each a number from 0 to 1"));
        if (ok && !skipped)
            result->options << QStringLiteral("--pivot=") + value.toString();
    } else if (key == QLatin1String("max-size")) {
        QSize size;
        ok = SheetLayout::parseSize(value.toString(), &size) ||
             fail(key, QStringLiteral("must be \"WIDTHxHEIGHT\", each 1 or more"));
        if (ok && !skipped)
            result->options << QStringLiteral("--max-size=") + value.toString();
    } else if (key == QLatin1String("inputs")) {
        // Checked even when INPUT arguments replace them; globs are then
        // not expanded, so one that matches nothing is no error.
        ok = readInputs(value, skipped ? nullptr : result);
    } else if (key == QLatin1String("data")) {
        SheetArguments data;
        ok = readData(value, &data);
        if (!skipped)
            result->options += data.options;
    } else {
        ok = fail(key, QStringLiteral("unknown key"));
    }
    return ok;
}

bool SheetReader::read(const QJsonObject &sheet, const QString &path,
                       const QSet<QString> &overridden, SheetArguments *result, QString *error)
{
    m_path = path;
    bool ok = true;
    for (auto it = sheet.constBegin(); ok && it != sheet.constEnd(); ++it) {
        // "data" pairs with the command line's --data and --format.
        const bool skipped = overridden.contains(it.key()) ||
                             (it.key() == QLatin1String("data") && overridden.contains("format"));
        ok = readKey(it.key(), it.value(), skipped, result);
    }
    if (ok && !sheet.contains(QStringLiteral("output")) && !overridden.contains("output"))
        ok = fail(QString(), QStringLiteral("a sheet needs \"output\""), true);
    if (ok && result->name.isEmpty())
        result->name =
            QFileInfo(sheet.value(QStringLiteral("output")).toString()).completeBaseName();
    if (!ok)
        *error = m_error;
    return ok;
}

} // namespace

namespace {

// The folders a pattern's matches can lie in: up to its first "**", the
// folder at each level must match that level's part, and with no "**" none
// lies deeper than the pattern's levels.
struct Levels
{
    QVector<QRegularExpression> parts; // the folders' parts, before any "**"
    int deepest = std::numeric_limits<int>::max();
    bool enters(int depth, const QString &name) const
    {
        return depth < deepest && (depth >= parts.size() || parts[depth].match(name).hasMatch());
    }
};

// Walks `folder` and the folders below it that `levels` lets in (not those
// reached through a link) with readdir(): QDirIterator leaves out, without
// a word, a file whose name does not decode. `raw` is the folder's own
// bytes, `exact` whether `folder` names it, and `below` its path under the
// walk's base, `depth` folders down; the working folder is "" for both.
// A folder whose name does not decode cannot be watched by it: it is not
// put in `searched`.
void walkMatches(const QByteArray &raw, const QString &folder, bool exact, const QString &below,
                 int depth, const Levels &levels, const QRegularExpression &match,
                 QStringList *found, QMap<QString, QByteArrayList> *undecodable,
                 PackFile::Searched *searched, QString *error)
{
    if (searched && exact) {
        const QString watched = folder.isEmpty() ? QStringLiteral(".") : folder;
        searched->folders << watched;
        if (depth < levels.deepest)
            searched->deeper.insert(watched);
        searched->names[watched].append({below, match});
    }
    // A folder that vanished holds no match; one that cannot be read might,
    // so it fails the sheet rather than leave its images out unsaid.
    auto unread = [&](int code, const QString &shown, const QString &what) {
        if (code != 0 && code != ENOENT && code != ENOTDIR && error->isEmpty())
            *error = QStringLiteral("%1: %2 (%3)")
                         .arg(Inputs::shownPath(shown.isEmpty() ? QStringLiteral(".") : shown),
                              what, QString::fromLocal8Bit(std::strerror(code)));
    };
    DIR *dir = ::opendir(raw.isEmpty() ? "." : raw.constData());
    if (!dir) {
        unread(errno, folder, QStringLiteral("folder cannot be read"));
        return;
    }
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            unread(errno, folder, QStringLiteral("folder cannot be listed completely"));
            break;
        }
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        bool nameExact = false;
        const QString decoded = Inputs::decodeFileName(name, &nameExact);
        const QByteArray rawPath = raw.isEmpty() ? name : raw + '/' + name;
        const QString path = folder.isEmpty() ? decoded : folder + QLatin1Char('/') + decoded;
        const QString relative = below.isEmpty() ? decoded : below + QLatin1Char('/') + decoded;
        struct stat st;
        if (::lstat(rawPath.constData(), &st) != 0) {
            unread(errno, path, QStringLiteral("cannot be read"));
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (levels.enters(depth, decoded))
                walkMatches(rawPath, path, exact && nameExact, relative, depth + 1, levels, match,
                            found, undecodable, searched, error);
            continue;
        }
        // Files only, a link to one included.
        if ((S_ISLNK(st.st_mode) && ::stat(rawPath.constData(), &st) != 0) ||
            !S_ISREG(st.st_mode) || !match.match(relative).hasMatch())
            continue;
        *found << cleanedPath(path);
        if ((!exact || !nameExact) && undecodable)
            (*undecodable)[found->last()].append(rawPath);
    }
    ::closedir(dir);
}

// `text`, which holds a wildcard, as expandGlob() walks it: the folder it
// starts from, named from the working folder, and the rest as it is
// written, matched below that folder. Cleaned, "*/.." would match what the
// walk, which lists no "..", never does.
Unmatched awaited(const QString &folder, const QString &text, const QString &error)
{
    const QStringList parts = text.split(QLatin1Char('/'));
    const int wild = int(std::find_if(parts.cbegin(), parts.cend(), hasWildcard) - parts.cbegin());
    const QString lead = parts.mid(0, wild).join(QLatin1Char('/'));
    QString from = lead.isEmpty() && wild > 0 ? QStringLiteral("/") : inFolder(folder, lead);
    from = cleanedPath(from.isEmpty() ? QStringLiteral(".") : from);
    return {from, parts.mid(wild).join(QLatin1Char('/')), error};
}

} // namespace

bool InputList::hasPattern() const
{
    return std::any_of(given.cbegin(), given.cend(), hasWildcard);
}

void expandInputs(const InputList &list, SheetArguments *result)
{
    result->inputs.clear();
    result->unmatched.clear();
    result->matched.clear();
    result->unread.clear();
    for (const QString &text : list.given) {
        if (!hasWildcard(text)) {
            // The system fails on "a.png/", "a.png/." or "gone/../a.png",
            // which cleaning would make a name that opens: such a path stays
            // as written, to fail as on the command line. One that opens
            // keeps its cleaned form, as manifests of pack files record it.
            const QString written =
                list.folder == QLatin1String(".") ? text : inFolder(list.folder, text);
            QString input = cleanedPath(written);
            struct stat st;
            if (input != written && ::stat(QFile::encodeName(written).constData(), &st) != 0)
                input = written;
            result->inputs << input;
            continue;
        }
        QString unread;
        const QStringList found =
            expandGlob(list.folder, text, &result->undecodable, &result->searched, &unread);
        if (!unread.isEmpty() && result->unread.isEmpty())
            result->unread = unread;
        // Only an error for a sheet that is built: a --sheet run must not
        // depend on another sheet's art being there.
        const QString named = QStringLiteral("%1: \"inputs\": \"%2\"").arg(list.where, text);
        if (found.isEmpty())
            result->unmatched.append(
                awaited(list.folder, text, named + QLatin1String(" matches no file")));
        else
            result->matched.append(awaited(list.folder, text, named));
        result->inputs += found;
    }
}

namespace {

bool couldMatchAsNamed(const Unmatched &pattern, const QString &from, const QString &path)
{
    QString file = path;
    if (from.startsWith(QLatin1Char('/')) != path.startsWith(QLatin1Char('/'))) {
        file = from.startsWith(QLatin1Char('/')) ? QDir::current().absoluteFilePath(path)
                                                 : QDir::current().relativeFilePath(path);
    }
    file = cleanedPath(file);
    QString below;
    if (from == QLatin1String("."))
        below = file;
    else if (from == QLatin1String("/"))
        below = file.mid(1);
    else if (file.startsWith(from + QLatin1Char('/')))
        below = file.mid(from.size() + 1);
    else
        return false;
    // The walk goes up no "..", and into no link to a folder.
    const QStringList folders = below.split(QLatin1Char('/')).mid(0, below.count(QLatin1Char('/')));
    QString walked = from == QLatin1String(".") ? QString() : from;
    for (const QString &name : folders) {
        walked = inFolder(walked, name);
        struct stat st;
        if (name == QLatin1String("..") ||
            (::lstat(QFile::encodeName(walked).constData(), &st) == 0 && S_ISLNK(st.st_mode)))
            return false;
    }
    return globExpression(pattern.pattern).match(below).hasMatch();
}

} // namespace

bool couldMatch(const Unmatched &pattern, const QString &path)
{
    // The path is brought to the pattern's side, not the other way: the
    // folders' names may hold '*' or '?' themselves.
    if (couldMatchAsNamed(pattern, pattern.from, path))
        return true;
    // A file named through a link to a folder (or a walk that starts from
    // one) still lands where the walk lists it: both taken without links,
    // where their folders are there.
    const QString from = QFileInfo(pattern.from).canonicalFilePath();
    const QString folder = QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath();
    return !from.isEmpty() && !folder.isEmpty() &&
           couldMatchAsNamed(pattern, from, folder + QLatin1Char('/') + QFileInfo(path).fileName());
}

bool NameMatch::matches(const QString &name) const
{
    return match.match(below.isEmpty() ? name : below + QLatin1Char('/') + name).hasMatch();
}

void Searched::add(const Searched &other)
{
    folders += other.folders;
    deeper += other.deeper;
    for (auto it = other.names.constBegin(); it != other.names.constEnd(); ++it)
        names[it.key()] += it.value();
}

QStringList expandGlob(const QString &folder, const QString &pattern,
                       QMap<QString, QByteArrayList> *undecodable, Searched *searched,
                       QString *error)
{
    // The folders before the first wildcard are walked from, not matched.
    const QStringList parts = pattern.split(QLatin1Char('/'));
    int fixed = 0;
    while (fixed < parts.size() - 1 && !hasWildcard(parts[fixed]))
        ++fixed;
    QString lead = parts.mid(0, fixed).join(QLatin1Char('/'));
    if (fixed > 0 && lead.isEmpty())
        lead = QStringLiteral("/"); // "/x*/...": from the root, not from `folder`
    QString base = fixed == 0 ? folder : inFolder(folder, lead);
    while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
        base.chop(1);
    const QStringList matched = parts.mid(fixed);
    const QRegularExpression match = globExpression(matched.join(QLatin1Char('/')));
    Levels levels;
    levels.deepest = int(matched.size()) - 1;
    for (int i = 0; i < matched.size() - 1; ++i) {
        if (matched[i].contains(QLatin1String("**"))) {
            levels.deepest = std::numeric_limits<int>::max();
            break;
        }
        levels.parts.append(globExpression(matched[i]));
    }
    if (matched.last().contains(QLatin1String("**")))
        levels.deepest = std::numeric_limits<int>::max();
    QStringList found;
    // The working folder is walked as "", so that paths below it keep no "./".
    while (base.startsWith(QLatin1String("./")))
        base.remove(0, 2);
    const QString walked = base == QLatin1String(".") ? QString() : base;
    QString unread;
    walkMatches(QFile::encodeName(walked), walked, true, QString(), 0, levels, match, &found,
                undecodable, searched, &unread);
    if (error)
        *error = unread;
    found.sort();
    return found;
}

namespace {

// The whole text of `opened` (shown as `path`), read with a bound: a device
// that never ends (/dev/zero) or a file of gigabytes would abort the program
// instead of being reported. A pipe still works.
bool readText(const QString &path, const QString &opened, QByteArray *text, QString *error)
{
    QFile file(opened);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    // In pieces, since QIODevice::read() allocates its whole bound first.
    constexpr qint64 maxPackFileBytes = qint64(64) << 20;
    while (text->size() <= maxPackFileBytes) {
        const QByteArray piece =
            file.read(std::min<qint64>(1 << 16, maxPackFileBytes + 1 - text->size()));
        if (piece.isEmpty())
            break;
        *text += piece;
    }
    // Else a read that fails half-way would be reported as a syntax error.
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    if (text->size() > maxPackFileBytes) {
        *error = QStringLiteral("%1: larger than %2 MiB, too large for a pack file")
                     .arg(QDir::toNativeSeparators(path), QString::number(maxPackFileBytes >> 20));
        return false;
    }
    return true;
}

// What JSON reads in a way other than the text says: an escape it does not
// have, or a key given twice. `keys` are those of `text`.
bool checkKeys(const QString &path, const QByteArray &text, const KeyPositions &keys,
               QString *error)
{
    if (keys.badEscapeOffset() >= 0) {
        const int at = keys.badEscapeOffset();
        const char escaped = text[at + 1];
        const QString shown = escaped > ' ' && escaped < 0x7f
                                  ? QStringLiteral(" \"\\%1\"").arg(QLatin1Char(escaped))
                                  : QString();
        *error = QStringLiteral("%1:%2: invalid escape sequence%3; a backslash is written \"\\\\\"")
                     .arg(QDir::toNativeSeparators(path), position(text, at), shown);
        return false;
    }
    if (keys.duplicateOffset() >= 0) {
        *error = QStringLiteral("%1:%2: \"%3\": given more than once")
                     .arg(QDir::toNativeSeparators(path), position(text, keys.duplicateOffset()),
                          keys.duplicate());
        return false;
    }
    return true;
}

// Each entry of `list`, the "sheets" of `text`, in order onto `sheets`.
bool readSheets(const QString &path, const QString &opened, const QByteArray &text,
                const KeyPositions &keys, const QJsonArray &list, const QSet<QString> &overridden,
                QVector<SheetArguments> *sheets, QString *error)
{
    // Paths keep the pack file's own spelling: relative to where it was
    // named from, so that frame names do not take in the whole path.
    SheetReader reader(text, keys, path, QDir(QFileInfo(opened).path()));
    for (int i = 0; i < list.size(); ++i) {
        SheetArguments sheet;
        sheet.at = QStringLiteral("%1:%2").arg(
            QDir::toNativeSeparators(path),
            keys.position(keys.offset(QStringLiteral("/sheets/%1").arg(i))));
        if (!list[i].isObject()) {
            *error = QStringLiteral("%1:%2: sheet %3 is not an object")
                         .arg(QDir::toNativeSeparators(path),
                              keys.position(keys.offset(QStringLiteral("/sheets/%1").arg(i))),
                              QString::number(i));
            return false;
        }
        if (!reader.read(list[i].toObject(), QStringLiteral("/sheets/%1").arg(i), overridden,
                         &sheet, error))
            return false;
        sheets->append(sheet);
    }
    return true;
}

} // namespace

bool read(const QString &path, const QSet<QString> &overridden, QVector<SheetArguments> *sheets,
          QString *error, bool *unreadable)
{
    if (unreadable)
        *unreadable = true;
    const QString opened = Inputs::onDisk(path);
    QByteArray text;
    if (!readText(path, opened, &text, error))
        return false;
    if (unreadable)
        *unreadable = false;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("%1:%2: %3")
                     .arg(QDir::toNativeSeparators(path), position(text, parseError.offset),
                          parseError.errorString());
        return false;
    }
    const KeyPositions keys(text);
    if (!checkKeys(path, text, keys, error))
        return false;
    const QJsonArray list = document.object().value(QStringLiteral("sheets")).toArray();
    if (!document.isObject() || document.object().keys() != QStringList{"sheets"} ||
        list.isEmpty()) {
        *error = QStringLiteral("%1:1:1: a pack file is {\"sheets\": [...]} with one sheet or more")
                     .arg(QDir::toNativeSeparators(path));
        return false;
    }
    return readSheets(path, opened, text, keys, list, overridden, sheets, error);
}

} // namespace PackFile
