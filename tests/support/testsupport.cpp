#include "support/testsupport.h"

#include "core/settings/configfile.h"

#include <QDir>
#include <QFile>
#include <QTextDocument>

SettingsFixture::SettingsFixture(const QByteArray &configXml)
{
    QDir(m_dir.path()).mkpath(QStringLiteral("config"));
    writeConfig(configXml);
    setSettingsFilePathForTesting(configPath());
}

SettingsFixture::~SettingsFixture()
{
    setSettingsFilePathForTesting(QString());
}

QByteArray SettingsFixture::config(const QString &selectPath, const QString &savePath,
                                   const QString &margin, const QString &orientation)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n"
                          "  <paths defaultSelectPath=\"%1\" defaultSavePath=\"%2\"/>\n"
                          "  <parameters marginPixel=\"%3\" Orientation=\"%4\"/>\n"
                          "</config>\n")
        .arg(selectPath.toHtmlEscaped(), savePath.toHtmlEscaped(), margin.toHtmlEscaped(),
             orientation.toHtmlEscaped())
        .toUtf8();
}

QString SettingsFixture::configPath() const
{
    return m_dir.filePath(QStringLiteral("config/config.xml"));
}

void SettingsFixture::writeConfig(const QByteArray &content) const
{
    writeFileBytes(configPath(), content);
}

QByteArray SettingsFixture::readConfig() const
{
    return readFileBytes(configPath());
}

QByteArray readFileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

QStringList entriesIn(const QString &dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

bool writeFileBytes(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QImage patternImage(int width, int height, int seed)
{
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int v = x * 7 + y * 13 + seed * 31;
            image.setPixel(
                x, y,
                qRgba(v % 256, (v / 3) % 256, (seed * 50 + x) % 256, 255 - (y * 5 + seed) % 200));
        }
    }
    return image;
}

bool savePng(const QImage &image, const QString &path)
{
    return image.save(path, "PNG");
}

QString shownText(const QString &text, Qt::TextFormat format)
{
    if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(text)))
        return text;
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}
