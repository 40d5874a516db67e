#include "core/sprites/animations.h"

#include <QVector>

#include <algorithm>
#include <utility>

namespace Sprites {

AnimationFrame animationFrame(const QString &frameName)
{
    QString stem = frameName;
    const int dot = stem.lastIndexOf(QLatin1Char('.'));
    if (dot > 0 && dot > stem.lastIndexOf(QLatin1Char('/')))
        stem.truncate(dot);
    int digits = stem.size();
    while (digits > 0 && stem[digits - 1] >= QLatin1Char('0') &&
           stem[digits - 1] <= QLatin1Char('9'))
        --digits;
    if (digits == stem.size())
        return {};
    bool ok = false;
    const int index = stem.mid(digits).toInt(&ok, 10);
    QString name = stem.left(digits);
    if (name.endsWith(QLatin1Char('_')) || name.endsWith(QLatin1Char('-')) ||
        name.endsWith(QLatin1Char('.')))
        name.chop(1);
    if (!ok || name.isEmpty() || name.endsWith(QLatin1Char('/')))
        return {};
    return {name, index};
}

QMap<QString, QStringList> animations(const QStringList &frameNames)
{
    QMap<QString, QVector<std::pair<int, QString>>> frames;
    for (const QString &name : frameNames) {
        const AnimationFrame frame = animationFrame(name);
        if (!frame.animation.isEmpty())
            frames[frame.animation].append({frame.index, name});
    }
    QMap<QString, QStringList> result;
    for (auto it = frames.begin(); it != frames.end(); ++it) {
        std::sort(it->begin(), it->end());
        QStringList &names = result[it.key()];
        for (const auto &frame : std::as_const(*it))
            names << frame.second;
    }
    return result;
}

} // namespace Sprites
