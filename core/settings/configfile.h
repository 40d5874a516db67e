#pragma once

#include <QMap>
#include <QString>
#include <QVector>

// Error numbers of the settings file operations. Callers only distinguish
// zero from non-zero; the numbers are shown to the user in hexadecimal.
enum ConfigError {
    ConfigOk = 0,
    ConfigEmptyPath = 257,    // 0x101
    ConfigCannotOpen = 258,   // 0x102 missing, unreadable or over 1 MiB
    ConfigNotXml = 259,       // 0x103 not well-formed, empty file included
    ConfigNullDocument = 260, // 0x104
    ConfigWrongRoot = 261,    // 0x105 root element is not "config"
    ConfigNoElement = 262,    // 0x106
    ConfigNoAttribute = 263,  // 0x107
    ConfigWriteFailed = 264,  // 0x108 the new file could not be written or put in place
    ConfigNotStorable = 265,  // 0x109 a value cannot be stored in the file
    ConfigTooLarge = 266,     // 0x10a the new file would be over the 1 MiB a read takes
};

// The settings file: <application dir>/config/config.xml, built afresh on
// every call; empty (ConfigEmptyPath) when the folder's name is not valid in
// the file-name encoding.
QString settingsFilePath();

// config/config.xml in `folder`, given as the bytes the system names it by;
// empty when those bytes do not survive decoding into a QString, since the
// decoded name would be another folder's.
QString settingsPathIn(const QByteArray &folder);

// The margin (and the orientation) stored as `text`, read as it always has
// been: text that is not a base-10 whole number is 0. A whole number past
// int's range saturates, so it fails as negative or as too wide a sheet
// instead of packing with no margin.
int marginFromText(const QString &text);

// Test seam: makes settingsFilePath() return `path` (an empty path restores
// the default). The program itself never calls this.
void setSettingsFilePathForTesting(const QString &path);

// Reads the attributes named by the keys of `attributes` from the first
// element called `elementName` below the root `config`, values untrimmed.
// Returns 0 or a ConfigError; on failure the map's values are not to be used.
int readConfigAttributes(const QString &filePath, const QString &elementName,
                         QMap<QString, QString> &attributes);

// Sets existing attributes of that element to the trimmed values of the map.
// Only those values change in the file's text; everything else, attribute
// order and quotes included, keeps its bytes, and the file keeps its
// encoding. A value that XML or the file's encoding cannot carry is refused
// with ConfigNotStorable, and so is any new text that would not read back as
// the intended values. The file is replaced by a completely written new one,
// or, when its folder cannot take a temporary file, rewritten in place with
// the old bytes put back if that fails. On any failure the file stays as it
// was. Never creates the file.
int writeConfigAttributes(const QString &filePath, const QString &elementName,
                          const QMap<QString, QString> &attributes);

// The values of several elements, written together by writeConfigElements().
struct ConfigElementValues
{
    QString element;
    QMap<QString, QString> attributes;
};

// True when the file reads but its text does not encode back to its bytes
// (a byte its encoding cannot decode), which no save can keep: any change
// is then refused with ConfigNotStorable. `encoding` gets the encoding's name.
bool hasUndecodableBytes(const QString &filePath, QString *encoding);

// As writeConfigAttributes(), for several elements at once: all of them are
// changed, or, on any failure, none; elements are checked in the given order.
int writeConfigElements(const QString &filePath, const QVector<ConfigElementValues> &elements);
