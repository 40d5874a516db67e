#pragma once

#include <QMap>
#include <QString>

// Error numbers of the settings file operations. Callers only distinguish
// zero from non-zero; the numbers are shown to the user in hexadecimal.
enum ConfigError {
    ConfigOk = 0,
    ConfigEmptyPath = 257,    // 0x101
    ConfigCannotOpen = 258,   // 0x102 missing or unreadable
    ConfigNotXml = 259,       // 0x103 not well-formed, empty file included
    ConfigNullDocument = 260, // 0x104
    ConfigWrongRoot = 261,    // 0x105 root element is not "config"
    ConfigNoElement = 262,    // 0x106
    ConfigNoAttribute = 263,  // 0x107
    ConfigWriteFailed = 264,  // 0x108 the new file could not be written or put in place
};

// The settings file: <application dir>/config/config.xml, built afresh on
// every call.
QString settingsFilePath();

// Test seam: makes settingsFilePath() return `path` (an empty path restores
// the default). The program itself never calls this.
void setSettingsFilePathForTesting(const QString &path);

// Reads the attributes named by the keys of `attributes` from the first
// element called `elementName` below the root `config`, values untrimmed.
// Returns 0 or a ConfigError; on failure the map's values are not to be used.
int readConfigAttributes(const QString &filePath, const QString &elementName,
                         QMap<QString, QString> &attributes);

// Sets existing attributes of that element to the trimmed values of the map
// and rewrites the document. Every check runs before anything is written,
// and the file is replaced only by a completely written new one, so on any
// failure it stays as it was. Never creates the file.
int writeConfigAttributes(const QString &filePath, const QString &elementName,
                          const QMap<QString, QString> &attributes);
