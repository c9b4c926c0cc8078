#include "qtsupport/Legibility.h"

#include <QEvent>
#include <QWidget>
#include <cmath>

namespace ky {

namespace {

constexpr const char* kAskedProperty = "kyAskedTextColor";
constexpr QPalette::ColorRole kTextRoles[] = {QPalette::WindowText, QPalette::Text,
                                              QPalette::ButtonText};

double Linear(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

double Luminance(const QColor& c) {
    return 0.2126 * Linear(c.redF()) + 0.7152 * Linear(c.greenF()) + 0.0722 * Linear(c.blueF());
}

// The colour of `asked`'s hue and saturation at HSL lightness `lightness`,
// in the 8 bits a channel is shown with.
QColor AtLightness(const QColor& asked, double lightness) {
    const QColor c = QColor::fromHslF(asked.hslHueF(), asked.hslSaturationF(), lightness);
    return QColor(c.red(), c.green(), c.blue());
}

// Applies the asked colour, made legible, when the palette has changed.
class Keeper final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::PaletteChange) Apply(static_cast<QWidget*>(watched));
        return false;
    }
    static void Apply(QWidget* widget) {
        const QColor asked = widget->property(kAskedProperty).value<QColor>();
        QPalette palette = widget->palette();
        const QColor shown = LegibleOn(asked, palette.color(QPalette::Window));
        bool same = true;
        for (auto role : kTextRoles) same = same && palette.color(role) == shown;
        if (same) return;  // nothing to do: and no palette change of our own to answer
        for (auto role : kTextRoles) palette.setColor(role, shown);
        widget->setPalette(palette);
    }
};

}  // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor LegibleOn(const QColor& asked, const QColor& background, double minimum) {
    const QColor opaque(asked.red(), asked.green(), asked.blue());
    if (ContrastRatio(opaque, background) >= minimum) return opaque;
    // Towards black on a light background, towards white on a dark one: the
    // side where the most contrast can be had. Lightness moves luminance one
    // way only, so the nearest lightness that is enough is searched for.
    const bool darken =
        ContrastRatio(Qt::black, background) >= ContrastRatio(Qt::white, background);
    double enough = darken ? 0.0 : 1.0, notEnough = opaque.lightnessF();
    for (int i = 0; i < 24; ++i) {
        const double middle = (enough + notEnough) / 2;
        if (ContrastRatio(AtLightness(opaque, middle), background) >= minimum)
            enough = middle;
        else
            notEnough = middle;
    }
    return AtLightness(opaque, enough);
}

void KeepLegible(QWidget* widget, const QColor& asked) {
    if (!widget->property(kAskedProperty).isValid()) widget->installEventFilter(new Keeper(widget));
    widget->setProperty(kAskedProperty, asked);
    Keeper::Apply(widget);
}

}  // namespace ky
