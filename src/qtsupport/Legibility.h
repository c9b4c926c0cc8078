#pragma once

// Text colours that stay readable whatever the palette: a colour asked for
// keeps its hue and saturation, and is only made darker or lighter until it
// stands out from the background by the contrast that WCAG 2 asks of normal
// text (4.5:1, by relative luminance).

#include <QColor>

class QWidget;

namespace ky {

constexpr double kLegibleContrast = 4.5;

// The contrast of two colours by their relative luminance, from 1 to 21.
double ContrastRatio(const QColor& a, const QColor& b);

// `asked` itself when it already stands out from `background` by
// `minimum`, else the colour of its hue nearest to it that does.
QColor LegibleOn(const QColor& asked, const QColor& background, double minimum = kLegibleContrast);

// Shows `widget`'s text in `asked`, made legible on its window colour, and
// again whenever its palette changes (a dark theme, a high-contrast one).
void KeepLegible(QWidget* widget, const QColor& asked);

}  // namespace ky
