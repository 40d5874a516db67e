#include "sheetlayout.h"

#include <QFileInfo>

#include <limits>
#include <utility>

namespace SheetLayout {

namespace {

bool inIntRange(qint64 value)
{
    return value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();
}

} // namespace

bool Plan::fitsInt() const
{
    if (width <= 0 || height <= 0 || !inIntRange(width) || !inIntRange(height))
        return false;
    for (const Placement &p : placements) {
        if (!inIntRange(p.x) || !inIntRange(p.y) || !inIntRange(p.x + p.size.width()) ||
            !inIntRange(p.y + p.size.height()))
            return false;
    }
    return true;
}

QSize Plan::sheetSize() const
{
    if (isEmpty() || !fitsInt())
        return QSize(-1, -1);
    return QSize(int(width), int(height));
}

QMap<QString, QPoint> Plan::positions() const
{
    QMap<QString, QPoint> result;
    if (!fitsInt())
        return result;
    for (const Placement &p : placements)
        result.insert(p.path, p.position);
    return result;
}

Plan compute(const QMap<QString, QSize> &sizes, int margin)
{
    Plan plan;
    QVector<Placement> &list = plan.placements;
    list.reserve(sizes.size());
    for (auto it = sizes.constBegin(); it != sizes.constEnd(); ++it)
        list.append(Placement{it.key(), it.value(), QPoint(), 0, 0});

    // Exchange sort on width alone; it is not stable, and the resulting order
    // of equal widths is part of the layout users get, so keep it as is.
    for (int i = 0; i < list.size(); ++i) {
        for (int j = i + 1; j < list.size(); ++j) {
            if (list[i].size.width() < list[j].size.width())
                std::swap(list[i], list[j]);
        }
    }
    if (list.isEmpty())
        return plan;

    const qint64 m = margin;
    plan.width = list.first().size.width() + 2 * m;
    qint64 cursor = m;
    qint64 rowTop = m;
    qint64 nextRowTop = m;
    for (Placement &p : list) {
        const qint64 w = p.size.width();
        const qint64 h = p.size.height();
        if (cursor + w <= plan.width) {
            p.x = cursor;
            p.y = rowTop;
            if (rowTop + h > nextRowTop)
                nextRowTop = rowTop + h + m;
            cursor += w + m;
        } else {
            p.x = m;
            p.y = nextRowTop;
            cursor = m + w + m;
            rowTop = nextRowTop;
            nextRowTop += h + m;
        }
        plan.height = nextRowTop;
    }

    if (plan.fitsInt()) {
        for (Placement &p : list)
            p.position = QPoint(int(p.x), int(p.y));
    }
    return plan;
}

QByteArray placementText(const QVector<Placement> &placements)
{
    QString text;
    for (const Placement &p : placements) {
        text += p.path + QLatin1Char(',') + QString::number(p.size.width()) + QLatin1Char(',') +
                QString::number(p.size.height()) + QLatin1Char(',') +
                QString::number(p.position.x()) + QLatin1Char(',') +
                QString::number(p.position.y()) + QLatin1String("\r\n");
    }
    return text.toUtf8();
}

// A file name ending in "." has an empty suffix: it is filled in ("sheet." ->
// "sheet.png" / "sheet.txt") rather than doubling the dot.
QString sheetPathFor(const QString &chosenPath)
{
    if (chosenPath.endsWith(QLatin1Char('.')))
        return chosenPath + QLatin1String("png");
    if (QFileInfo(chosenPath).suffix().isEmpty())
        return chosenPath + QLatin1String(".png");
    return chosenPath;
}

QString placementPathFor(const QString &chosenPath)
{
    if (chosenPath.endsWith(QLatin1Char('.')))
        return chosenPath + QLatin1String("txt");
    const QString suffix = QFileInfo(chosenPath).suffix();
    if (suffix.isEmpty())
        return chosenPath + QLatin1String(".txt");
    return chosenPath.left(chosenPath.size() - suffix.size()) + QLatin1String("txt");
}

} // namespace SheetLayout
