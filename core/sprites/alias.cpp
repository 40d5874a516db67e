#include "core/sprites/alias.h"

#include <QHash>

#include <cstring>
#include <xxhash.h>

namespace Sprites {

quint64 pixelHash(const Cut &cut)
{
    XXH3_state_t *state = XXH3_createState();
    if (!state)
        return 0; // every cut then falls back to comparing pixels
    XXH3_64bits_reset(state);
    const qint32 size[2] = {cut.rect.width(), cut.rect.height()};
    XXH3_64bits_update(state, size, sizeof size);
    const size_t rowBytes = size_t(cut.rect.width()) * sizeof(QRgb);
    for (int y = cut.rect.top(); y <= cut.rect.bottom(); ++y) {
        const auto *row = reinterpret_cast<const QRgb *>(cut.image.constScanLine(y));
        XXH3_64bits_update(state, row + cut.rect.x(), rowBytes);
    }
    const quint64 hash = XXH3_64bits_digest(state);
    XXH3_freeState(state);
    return hash;
}

bool samePixels(const Cut &a, const Cut &b)
{
    if (a.rect.size() != b.rect.size())
        return false;
    const size_t rowBytes = size_t(a.rect.width()) * sizeof(QRgb);
    for (int y = 0; y < a.rect.height(); ++y) {
        const auto *rowA = reinterpret_cast<const QRgb *>(a.image.constScanLine(a.rect.y() + y));
        const auto *rowB = reinterpret_cast<const QRgb *>(b.image.constScanLine(b.rect.y() + y));
        if (std::memcmp(rowA + a.rect.x(), rowB + b.rect.x(), rowBytes) != 0)
            return false;
    }
    return true;
}

QVector<int> aliasTargets(const QVector<Cut> &cuts, const QVector<quint64> &hashes)
{
    QVector<int> targets(cuts.size());
    // The first cut of each distinct content, by hash; a hash shared by
    // different pixels keeps every distinct first cut.
    QMultiHash<quint64, int> firsts;
    for (int i = 0; i < cuts.size(); ++i) {
        targets[i] = i;
        for (auto it = firsts.constFind(hashes[i]);
             it != firsts.constEnd() && it.key() == hashes[i]; ++it) {
            if (samePixels(cuts[it.value()], cuts[i])) {
                targets[i] = it.value();
                break;
            }
        }
        if (targets[i] == i)
            firsts.insert(hashes[i], i);
    }
    return targets;
}

} // namespace Sprites
