#include "window/Accessibility.h"

#include <QAbstractButton>
#include <QEvent>
#include <QLabel>
#include <QShortcut>

#include "qtsupport/Announce.h"

namespace ky {

WindowAccess::WindowAccess(QWidget* window, QWidget* updateButton, QWidget* progressBar)
    : QObject(window),
      _window(window),
      _update(qobject_cast<QAbstractButton*>(updateButton)),
      _progress(progressBar) {
    for (QLabel* label : window->findChildren<QLabel*>()) NameAfterCaption(label);
    // While the Ky is written both buttons are disabled: the focus waits
    // on the progress bar, where a screen reader reads how far it is.
    _progress->setFocusPolicy(Qt::TabFocus);
    // The focus ring is drawn from the start, not only after a Tab.
    window->setAttribute(Qt::WA_KeyboardFocusChange);
    if (!_update) return;
    _update->installEventFilter(this);
    auto* shortcut = new QShortcut(QKeySequence(kUpdateShortcut), window);
    connect(shortcut, &QShortcut::activated, this, &WindowAccess::PressUpdate);
    if (_update->isEnabled()) FocusUpdate();
}

bool WindowAccess::eventFilter(QObject* watched, QEvent* event) {
    if (watched == _update && event->type() == QEvent::EnabledChange && _update->isEnabled()) {
        // Unless the user is choosing a Ky: the focus comes from nowhere,
        // the progress bar, or the Cancel button, the only one there was.
        const QWidget* focus = _window->focusWidget();
        if (!focus || focus == _progress || !focus->isEnabled() ||
            qobject_cast<const QAbstractButton*>(focus))
            FocusUpdate();
    }
    return false;
}

void WindowAccess::PressUpdate() {
    if (_update->isEnabled() && _update->isVisible()) _update->click();
}

void WindowAccess::FocusUpdate() {
    _update->setFocus(Qt::OtherFocusReason);  // which takes the ring away: drawn again
    _window->setAttribute(Qt::WA_KeyboardFocusChange);
    _update->update();
}

}  // namespace ky
