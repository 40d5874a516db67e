#include "core/pipeline.h"

#include "core/inputs.h"
#include "core/sheetrender.h"

namespace Compose {

// A decode failure that leaves the rest of the run sound: the image is
// simply one that does not load.
bool skips(const SheetJob &job, ImageStatus status)
{
    return job.skipUndecodable && (status == ImageStatus::DecodeFailed ||
                                   (status == ImageStatus::OutOfMemory && job.skipOutOfMemory));
}

QString planError(const SheetJob &job, const SheetLayout::Plan &plan)
{
    if (plan.isEmpty())
        return QStringLiteral("no image to pack");
    if (!plan.fitsInt()) {
        return QStringLiteral("%1: sheet too large: %2 x %3 pixels")
            .arg(Inputs::shownPath(job.sheetPath), QString::number(plan.width),
                 QString::number(plan.height));
    }
    if (job.checkPlan) {
        const QString error = job.checkPlan(plan);
        if (!error.isEmpty())
            return error;
    }
    const QSize size = plan.sheetSize();
    if (qint64(size.width()) * size.height() > job.maxSheetPixels) {
        return QStringLiteral("%1: a sheet of %2 is more than the limit of %3 pixels")
            .arg(Inputs::shownPath(job.sheetPath), sizeText(size),
                 QString::number(job.maxSheetPixels));
    }
    return QString();
}

SheetResult composeSheet(SheetJob job)
{
    SheetResult result;
    for (;;) {
        result.plan = job.layout(job.sizes);
        result.error = planError(job, result.plan);
        if (!result.error.isEmpty())
            return result;
        const QSize size = result.plan.sheetSize();
        result.sheet = QImage(); // a retry's last sheet goes before the next is allocated
        result.sheet = SheetRender::newSheet(size);
        if (result.sheet.isNull()) {
            result.error = QStringLiteral("%1: not enough memory for a sheet of %2")
                               .arg(Inputs::shownPath(job.sheetPath), sizeText(size));
            return result;
        }
        const QVector<Failure> failures = paintPlacements(
            result.sheet, result.plan.placements, job.limits, job.threads, job.progress, job.kept);
        if (job.progress && job.progress->cancelRequested) {
            result.outcome = SheetResult::Cancelled;
            result.sheet = QImage();
            return result;
        }
        bool retry = false;
        for (const Failure &f : failures) {
            if (!skips(job, f.status)) {
                result.error = f.message();
                result.sheet = QImage();
                return result;
            }
            result.skipped.append(f);
            job.sizes.remove(f.path);
            retry = true;
        }
        if (!retry)
            break;
    }
    result.sizes = job.sizes;
    result.outcome = SheetResult::Ok;
    return result;
}

} // namespace Compose
