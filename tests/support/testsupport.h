#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QTemporaryDir>

// A private application folder for one test: config/config.xml inside a
// temporary folder, with the program's settings path pointed at it for the
// fixture's lifetime.
class SettingsFixture
{
public:
    explicit SettingsFixture(const QByteArray &configXml = defaultConfig());
    ~SettingsFixture();

    static QByteArray config(const QString &selectPath, const QString &savePath,
                             const QString &margin, const QString &orientation);
    static QByteArray defaultConfig()
    {
        return config({}, {}, QStringLiteral("2"), QStringLiteral("0"));
    }

    bool isValid() const { return m_dir.isValid(); }
    QString dir() const { return m_dir.path(); }
    QString configPath() const;
    void writeConfig(const QByteArray &content) const;
    QByteArray readConfig() const;
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};

// An image with a different colour per pixel, so that misplaced or shifted
// pixels show up in comparisons.
QImage patternImage(int width, int height, int seed);

// Saves `image` as PNG at `path`; fails the calling test if it cannot.
bool savePng(const QImage &image, const QString &path);

// Names of visible top-level windows, for checking that a test left none.
QStringList visibleTopLevels();
