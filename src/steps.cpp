#include "steps.h"

namespace steps {

QSize fitof(QSize window)
{
    return QSize(window.width() - marginw, window.height() - marginh);
}

QSize zoomed(QSize box, int step)
{
    const bool allowed = step > 0
        ? box.width() <= zoomceiling - step && box.height() <= zoomceiling - step
        : box.width() + step > zoomfloor && box.height() + step > zoomfloor;
    return allowed ? box + QSize(step, step) : box;
}

std::optional<int> forwardof(int index, qsizetype count)
{
    return index + 1 < count ? std::optional<int>(index + 1) : std::nullopt;
}

std::optional<int> backwardof(int index, qsizetype count)
{
    const int before = int(qMin<qsizetype>(index - 1, count - 1));
    return before >= 0 ? std::optional<int>(before) : std::nullopt;
}

} // namespace steps
