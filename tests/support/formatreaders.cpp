#include "support/formatreaders.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cctype>

namespace FormatReaders {

namespace {

bool fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

// --- JSON ------------------------------------------------------------------

QRect jsonRect(const QJsonValue &frame)
{
    const QJsonObject r = frame.toObject().value(QStringLiteral("frame")).toObject();
    return QRect(r.value(QStringLiteral("x")).toInt(-1), r.value(QStringLiteral("y")).toInt(-1),
                 r.value(QStringLiteral("w")).toInt(-1), r.value(QStringLiteral("h")).toInt(-1));
}

bool urlFile(QString url, QString *file);

bool readJson(DataFormats::Format format, const QByteArray &text, Read *result, QString *error)
{
    QJsonParseError parseError;
    const QJsonObject root = QJsonDocument::fromJson(text, &parseError).object();
    if (parseError.error != QJsonParseError::NoError)
        return fail(error, parseError.errorString());
    QJsonObject sheet = root.value(QStringLiteral("meta")).toObject();
    if (format == DataFormats::Format::Phaser3)
        sheet = root.value(QStringLiteral("textures")).toArray().at(0).toObject();
    result->image = sheet.value(QStringLiteral("image")).toString();
    // Phaser fetches a texture's image as a URL.
    if (format == DataFormats::Format::Phaser3 && !urlFile(result->image, &result->image))
        return fail(error, QStringLiteral("the texture's image leaves the folder"));
    if (format == DataFormats::Format::JsonHash) {
        const QJsonObject frames = root.value(QStringLiteral("frames")).toObject();
        for (auto it = frames.begin(); it != frames.end(); ++it)
            result->frames.append({it.key(), jsonRect(it.value())});
    } else {
        const QJsonValue frames =
            (format == DataFormats::Format::Phaser3 ? sheet : root).value(QStringLiteral("frames"));
        for (const QJsonValue frame : frames.toArray()) {
            const QString name = frame.toObject().value(QStringLiteral("filename")).toString();
            result->frames.append({name, jsonRect(frame)});
        }
    }
    return true;
}

// --- libGDX ----------------------------------------------------------------

QString javaTrimmed(const QString &text)
{
    int begin = 0;
    int end = text.size();
    while (begin < end && text[begin].unicode() <= 0x20)
        ++begin;
    while (end > begin && text[end - 1].unicode() <= 0x20)
        --end;
    return text.mid(begin, end - begin);
}

// Java's BufferedReader.readLine() over the whole text.
QStringList javaLines(const QString &text)
{
    QStringList lines;
    int start = 0;
    for (int i = 0; i < text.size(); ++i) {
        if (text[i] != QLatin1Char('\n') && text[i] != QLatin1Char('\r'))
            continue;
        lines << text.mid(start, i - start);
        if (text[i] == QLatin1Char('\r') && i + 1 < text.size() && text[i + 1] == QLatin1Char('\n'))
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines << text.mid(start);
    return lines;
}

// TextureAtlasData.readEntry(): the key and up to four values, or 0 when the
// line is no field.
int readEntry(const QString *raw, QStringList *entry)
{
    const QString line = raw ? javaTrimmed(*raw) : QString();
    const int colon = line.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return 0;
    *entry = QStringList{javaTrimmed(line.left(colon))};
    for (int i = 1, last = colon + 1;; ++i) {
        const int comma = line.indexOf(QLatin1Char(','), last);
        entry->append(javaTrimmed(line.mid(last, comma < 0 ? -1 : comma - last)));
        if (comma < 0 || i == 4)
            return i;
        last = comma + 1;
    }
}

bool intPair(const QStringList &entry, int *a, int *b)
{
    bool okA = false;
    bool okB = false;
    *a = entry.value(1).toInt(&okA);
    *b = entry.value(2).toInt(&okB);
    return entry.size() == 3 && okA && okB;
}

bool readRegion(const QString &nameLine, const QStringList &lines, int *next, Read *result,
                QString *error)
{
    Frame frame{javaTrimmed(nameLine), QRect()};
    int x = 0, y = 0, w = 0, h = 0;
    bool xy = false, size = false;
    QStringList entry;
    while (readEntry(*next < lines.size() ? &lines[*next] : nullptr, &entry) > 0) {
        ++*next;
        if (entry[0] == QLatin1String("xy"))
            xy = intPair(entry, &x, &y);
        else if (entry[0] == QLatin1String("size"))
            size = intPair(entry, &w, &h);
    }
    if (!xy || !size)
        return fail(error,
                    QStringLiteral("region \"%1\" without a valid xy and size").arg(frame.name));
    frame.rect = QRect(x, y, w, h);
    result->frames.append(frame);
    return true;
}

// --- CSS -------------------------------------------------------------------

void appendCodePoint(QString *text, uint c)
{
    // Not QString{high, low}: that is QString(int size, QChar), a run of
    // low surrogates as long as the high one's value.
    if (c > 0xffff)
        *text += QChar(QChar::highSurrogate(c)) + QString(QChar(QChar::lowSurrogate(c)));
    else
        *text += QChar(ushort(c));
}

class CssScanner
{
public:
    explicit CssScanner(const QByteArray &text)
    {
        // The input stream's preprocessing: CR, FF and CR LF become LF, U+0000
        // U+FFFD.
        QString s = QString::fromUtf8(text.constData(), text.size());
        s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        s.replace(QLatin1Char('\r'), QLatin1Char('\n'))
            .replace(QLatin1Char('\f'), QLatin1Char('\n'));
        s.replace(QChar(0), QChar(0xfffd));
        for (const auto c : s.toUcs4())
            m_text.append(uint(c));
    }

    bool atEnd() const { return m_pos >= m_text.size(); }
    uint peek(int ahead = 0) const
    {
        return m_pos + ahead < m_text.size() ? m_text[m_pos + ahead] : 0xffffffff;
    }
    bool take(uint c)
    {
        skipSpace();
        if (peek() != c)
            return false;
        ++m_pos;
        return true;
    }
    void skipSpace()
    {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n')
            ++m_pos;
    }

    // An ident token; empty when the next code points do not start one.
    QString ident()
    {
        skipSpace();
        const auto nameStart = [](uint c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
                   (c >= 0x80 && c != 0xffffffff);
        };
        const bool starts =
            nameStart(peek()) || escapeAt(0) ||
            (peek() == '-' && (nameStart(peek(1)) || peek(1) == '-' || escapeAt(1)));
        QString name;
        while (starts) {
            const uint c = peek();
            if (nameStart(c) || (c >= '0' && c <= '9') || c == '-') {
                appendCodePoint(&name, c);
                ++m_pos;
            } else if (escapeAt(0)) {
                ++m_pos;
                appendCodePoint(&name, escape());
            } else {
                break;
            }
        }
        return name;
    }

    // A string token after its opening quote; false on a bad string.
    bool string(QString *value)
    {
        value->clear();
        while (!atEnd()) {
            const uint c = m_text[m_pos++];
            if (c == '"')
                return true;
            if (c == '\n')
                return false;
            if (c != '\\')
                appendCodePoint(value, c);
            else if (peek() == '\n')
                ++m_pos;
            else if (!atEnd())
                appendCodePoint(value, escape());
        }
        return false;
    }

    // Everything up to the next ";" outside a string, trimmed.
    QString rawValue()
    {
        QString raw;
        while (!atEnd() && peek() != ';' && peek() != '}')
            appendCodePoint(&raw, m_text[m_pos++]);
        return raw.trimmed();
    }

private:
    bool escapeAt(int ahead) const { return peek(ahead) == '\\' && peek(ahead + 1) != '\n'; }

    // After the backslash: hex digits with one optional white space, or the
    // code point itself.
    uint escape()
    {
        const auto hex = [](uint c) {
            return c >= '0' && c <= '9'                     ? int(c - '0')
                   : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? int((c | 0x20) - 'a' + 10)
                                                            : -1;
        };
        if (hex(peek()) < 0)
            return m_text[m_pos++];
        uint value = 0;
        for (int i = 0; i < 6 && hex(peek()) >= 0; ++i)
            value = value * 16 + uint(hex(m_text[m_pos++]));
        if (peek() == ' ' || peek() == '\t' || peek() == '\n')
            ++m_pos;
        const bool invalid = value == 0 || (value >= 0xd800 && value <= 0xdfff) || value > 0x10ffff;
        return invalid ? 0xfffd : value;
    }

    QVector<uint> m_text;
    int m_pos = 0;
};

bool pixels(const QString &text, int *value)
{
    bool ok = text.endsWith(QLatin1String("px"));
    *value = text.chopped(ok ? 2 : 0).toInt(&ok);
    return ok;
}

// The file a browser fetches for a relative url(): the URL parser trims C0
// controls and spaces at the ends and drops tabs and line breaks; a scheme
// or a drive letter leaves the folder, "?" and "#" end the path, "\" is "/",
// and the server or file system decodes percent escapes. False when the
// URL names no file beside the style sheet.
bool urlFile(QString url, QString *file)
{
    url = javaTrimmed(url);
    url.remove(QLatin1Char('\t')).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
    const QByteArray bytes = url.toUtf8();
    const auto at = [&bytes](int i) { return i < bytes.size() ? bytes[i] : '\0'; };
    int scheme = isalpha(uchar(at(0))) ? 1 : 0;
    while (scheme > 0 && (isalnum(uchar(at(scheme))) || QByteArray("+-.").contains(at(scheme))))
        ++scheme;
    if (scheme > 0 && (at(scheme) == ':' || (scheme == 1 && at(1) == '|')))
        return false;
    QByteArray decoded;
    for (int i = 0; i < bytes.size() && bytes[i] != '?' && bytes[i] != '#'; ++i) {
        if (bytes[i] == '%' && isxdigit(uchar(at(i + 1))) && isxdigit(uchar(at(i + 2)))) {
            decoded += char(bytes.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else {
            decoded += bytes[i] == '\\' ? '/' : bytes[i];
        }
    }
    // Not fromUtf8(QByteArray): it would stop at NUL. fromUtf8() drops one
    // U+FEFF at the start as a byte-order mark, so all leading ones are
    // counted here first.
    int marks = 0;
    while (decoded.mid(3 * marks, 3) == "\xef\xbb\xbf")
        ++marks;
    *file = QString(marks, QChar(0xfeff)) +
            QString::fromUtf8(decoded.constData() + 3 * marks, decoded.size() - 3 * marks);
    return true;
}

bool readCssRule(CssScanner &css, Read *result, QString *error)
{
    Frame frame;
    if (!css.take('.') || (frame.name = css.ident()).isEmpty() || !css.take('{'))
        return fail(error, QStringLiteral("a rule does not start with \".CLASS {\""));
    bool ok = true;
    int x = 1, y = 1, w = -1, h = -1;
    while (!css.take('}')) {
        const QString property = css.ident();
        if (property.isEmpty() || !css.take(':'))
            return fail(error, QStringLiteral("no declaration in .%1").arg(frame.name));
        if (property == QLatin1String("background-image")) {
            QString url;
            if (css.ident() != QLatin1String("url") || !css.take('(') || !css.take('"') ||
                !css.string(&url) || !css.take(')'))
                return fail(error, QStringLiteral("no url(\"...\") in .%1").arg(frame.name));
            if (!urlFile(url, &url))
                return fail(error,
                            QStringLiteral("url() in .%1 leaves the folder").arg(frame.name));
            if (!result->frames.isEmpty() && url != result->image)
                return fail(error, QStringLiteral("a second sheet in .%1").arg(frame.name));
            result->image = url;
        } else {
            const QString value = css.rawValue();
            if (property == QLatin1String("width"))
                ok = ok && pixels(value, &w);
            else if (property == QLatin1String("height"))
                ok = ok && pixels(value, &h);
            else if (property == QLatin1String("background-position"))
                ok = ok && pixels(value.section(QLatin1Char(' '), 0, 0), &x) &&
                     pixels(value.section(QLatin1Char(' '), 1), &y);
        }
        if (!css.take(';'))
            return fail(error,
                        QStringLiteral("no \";\" after %1 in .%2").arg(property, frame.name));
    }
    if (!ok || w < 0 || h < 0 || x > 0 || y > 0)
        return fail(error, QStringLiteral("no valid box in .%1").arg(frame.name));
    frame.rect = QRect(-x, -y, w, h);
    result->frames.append(frame);
    return true;
}

} // namespace

bool readLibgdx(const QByteArray &text, Read *result, QString *error)
{
    const QStringList lines = javaLines(QString::fromUtf8(text.constData(), text.size()));
    int next = 0;
    QStringList entry;
    while (next < lines.size() && javaTrimmed(lines[next]).isEmpty())
        ++next;
    // Header fields before the first page, ignored.
    while (next < lines.size() && readEntry(&lines[next], &entry) > 0)
        ++next;
    bool inPage = false;
    while (next < lines.size()) {
        const QString &line = lines[next++];
        if (javaTrimmed(line).isEmpty()) {
            inPage = false;
        } else if (!inPage) {
            if (!result->image.isNull())
                return fail(error, QStringLiteral("a second page \"%1\"").arg(line));
            result->image = line;
            inPage = true;
            while (next < lines.size() && readEntry(&lines[next], &entry) > 0)
                ++next;
        } else if (!readRegion(line, lines, &next, result, error)) {
            return false;
        }
    }
    if (result->image.isNull())
        return fail(error, QStringLiteral("no page"));
    return true;
}

bool readCss(const QByteArray &text, Read *result, QString *error)
{
    if (text.toLower().contains("</style"))
        return fail(error, QStringLiteral("\"</style\" would end an HTML style element"));
    CssScanner css(text);
    css.skipSpace();
    while (!css.atEnd()) {
        if (!readCssRule(css, result, error))
            return false;
        css.skipSpace();
    }
    return true;
}

bool read(DataFormats::Format format, const QByteArray &text, Read *result, QString *error)
{
    *result = Read();
    switch (format) {
    case DataFormats::Format::Libgdx:
        return readLibgdx(text, result, error);
    case DataFormats::Format::Css:
        return readCss(text, result, error);
    default:
        return readJson(format, text, result, error);
    }
}

} // namespace FormatReaders
