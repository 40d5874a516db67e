#pragma once

class QWidget;

// For forms placed by fixed geometry: widens and heightens each label,
// button, radio button, group box and field whose text needs more room than
// its geometry gives at the current font and resolution. Widgets after a
// grown one (to its right, or below it) move along by the growth, and the
// container grows to keep its margins. The given geometry is the minimum:
// nothing shrinks and nothing moves when every text fits.
void growToFitTexts(QWidget *container);

// Shrinks the window (not below its minimum size) and moves it so that its
// frame lies inside its screen's available area.
void fitOnScreen(QWidget *window);

// File dialogs come from Qt with a size of their own, which a small or
// scaled screen may not hold: from this call on, each one is fitted on its
// screen as it is shown, as fitOnScreen() fits a window. Once per program.
void fitFileDialogsOnScreen();
