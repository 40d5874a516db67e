#include "settings/configfile.h"

#include <QCoreApplication>
#include <QDomDocument>
#include <QDomElement>
#include <QFile>
#include <QSaveFile>
#include <QTextStream>

namespace {

QString &settingsPathOverride()
{
    static QString path;
    return path;
}

// Opens and parses `filePath` and finds the requested element; the shared
// first half of a read and a write.
int openElement(const QString &filePath, const QString &elementName, QDomDocument &document,
                QDomElement &element)
{
    if (filePath.trimmed().isEmpty())
        return ConfigEmptyPath;

    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return ConfigCannotOpen;
    if (!document.setContent(&file, false))
        return ConfigNotXml;
    if (document.isNull())
        return ConfigNullDocument;

    const QDomElement root = document.documentElement();
    if (root.nodeName() != QLatin1String("config"))
        return ConfigWrongRoot;

    element = root.elementsByTagName(elementName).item(0).toElement();
    if (element.isNull())
        return ConfigNoElement;
    return ConfigOk;
}

} // namespace

QString settingsFilePath()
{
    if (!settingsPathOverride().isEmpty())
        return settingsPathOverride();
    return QCoreApplication::applicationDirPath() + QStringLiteral("/config/config.xml");
}

void setSettingsFilePathForTesting(const QString &path)
{
    settingsPathOverride() = path;
}

int readConfigAttributes(const QString &filePath, const QString &elementName,
                         QMap<QString, QString> &attributes)
{
    QDomDocument document;
    QDomElement element;
    if (const int error = openElement(filePath, elementName, document, element))
        return error;

    for (auto it = attributes.begin(); it != attributes.end(); ++it) {
        const QDomAttr attribute = element.attributeNode(it.key());
        if (attribute.isNull())
            return ConfigNoAttribute;
        it.value() = attribute.value();
    }
    return ConfigOk;
}

int writeConfigAttributes(const QString &filePath, const QString &elementName,
                          const QMap<QString, QString> &attributes)
{
    QDomDocument document;
    QDomElement element;
    if (const int error = openElement(filePath, elementName, document, element))
        return error;

    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it) {
        if (!element.hasAttribute(it.key()))
            return ConfigNoAttribute;
        element.setAttribute(it.key(), it.value().trimmed());
    }

    // The old file is replaced only once the new one is complete: a crash or
    // a full disk must never leave a settings file the program cannot start
    // with.
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return ConfigWriteFailed;
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    document.save(stream, 2, QDomNode::EncodingFromDocument);
    stream.flush();
    if (stream.status() != QTextStream::Ok || !file.commit())
        return ConfigWriteFailed;
    return ConfigOk;
}
