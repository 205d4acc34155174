#pragma once
// The game's typeface: Tahoma where it is installed, else the closest sans-serif at hand, always at
// the requested point size so the layout keeps its proportions.
#include <QFont>
#include <QString>

namespace rivalon {

// The family used for "Tahoma": Tahoma itself, else a sans-serif of similar width.
QString TahomaFamily();

// A font of that family at the given point size.
QFont TahomaFont(double pointSize, bool bold = false);

// The same for a font given as a character height in pixels at 96 pixels per inch, as the window
// description gives them (height 11 is 8.25 points, the classic "Tahoma 8").
QFont TahomaFontPx96(int height, bool bold = false);

} // namespace rivalon
