// The arithmetic of the window's view state, which needs no widget: the fit size a window leaves
// the picture, the zoom box's steps between its floor and ceiling, and the steps through the
// folder's listing.
#pragma once

#include <QSize>
#include <QWidget>
#include <optional>

namespace steps {

// The picture gets the window less a 15-pixel strip at the side and 60 pixels for the buttons.
constexpr int marginw = 15;
constexpr int marginh = 60;
// Zoom moves the display box by 50 pixels each way; a box side of 50 or less is refused. Zooming in
// has no bound but the largest widget the toolkit can make, which the view must become.
constexpr int zoomstep = 50;
constexpr int zoomfloor = 50;
constexpr int zoomceiling = QWIDGETSIZE_MAX;

// The box a window of this size fits the picture into.
QSize fitof(QSize window);

// The zoom box moved by a step (zoomstep in, -zoomstep out) where its bounds allow, else as it
// was.
QSize zoomed(QSize box, int step);

// The entry of a listing of `count` entries a step forward from `index` shows: the next one, if
// there is one.
std::optional<int> forwardof(int index, qsizetype count);
// The entry a step back shows: the one before, or from past the end (entries removed, or a
// dropped file the listing lacks) the last; none from the first, or in an empty listing, which
// leave the position at the first.
std::optional<int> backwardof(int index, qsizetype count);

} // namespace steps
