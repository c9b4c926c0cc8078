#include "qtsupport/Announce.h"

#include <QAccessible>
#include <QLabel>
#include <utility>

namespace ky {

namespace {

const QLabel* CaptionOf(const QWidget* value) {
    if (!value->parentWidget()) return nullptr;
    for (const auto* label :
         value->parentWidget()->findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
        if (label->buddy() == value) return label;
    return nullptr;
}

bool IsLive(const QWidget* widget) {
    return widget->property("accessibleLive").toBool();
}

// Qt's own events tell that a name changed or that a control appeared;
// an alert asks for it to be read out whatever has the focus.
void SendAlert(QWidget* widget) {
    QAccessibleEvent alert(widget, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

Announcer gAnnounce = SendAlert;

void Announce(QWidget* widget) {
    gAnnounce(widget);
}

}  // namespace

Announcer SetAnnouncer(Announcer announcer) {
    return std::exchange(gAnnounce, announcer ? announcer : SendAlert);
}

void NameAfterCaption(QWidget* value) {
    const auto* label = qobject_cast<QLabel*>(value);
    const QLabel* caption = label ? CaptionOf(label) : nullptr;
    if (caption) value->setAccessibleName(caption->text() + ' ' + label->text());
}

void TextSet(QWidget* widget, const QString& before) {
    const auto* label = qobject_cast<QLabel*>(widget);
    if (!label || label->text() == before) return;
    NameAfterCaption(widget);
    if (IsLive(widget) && !widget->isHidden() && !label->text().isEmpty()) Announce(widget);
}

void VisibilitySet(QWidget* widget, bool wasHidden) {
    if (wasHidden && !widget->isHidden() && IsLive(widget)) Announce(widget);
}

}  // namespace ky
