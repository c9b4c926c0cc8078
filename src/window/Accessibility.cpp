#include "window/Accessibility.h"

#include <QAbstractButton>
#include <QEvent>
#include <QFocusEvent>
#include <QLabel>
#include <QShortcut>

#include "qtsupport/Announce.h"

namespace ky {

WindowAccess::WindowAccess(QWidget* window, QWidget* updateButton, QWidget* progressBar)
    : QObject(window),
      mWindow(window),
      mUpdate(qobject_cast<QAbstractButton*>(updateButton)),
      mProgress(progressBar) {
    for (QLabel* label : window->findChildren<QLabel*>()) NameAfterCaption(label);
    // While the Ky is written both buttons are disabled: the focus waits
    // on the progress bar, where a screen reader reads how far it is.
    mProgress->setFocusPolicy(Qt::TabFocus);
    // The focus ring is drawn from the start, not only after a Tab.
    window->setAttribute(Qt::WA_KeyboardFocusChange);
    if (!mUpdate) return;
    mUpdate->installEventFilter(this);
    for (QWidget* child : window->findChildren<QWidget*>())
        if (child != mUpdate && child->focusPolicy() != Qt::NoFocus)
            child->installEventFilter(this);
    auto* shortcut = new QShortcut(QKeySequence(kUpdateShortcut), window);
    connect(shortcut, &QShortcut::activated, this, &WindowAccess::PressUpdate);
    if (mUpdate->isEnabled()) FocusUpdate();
}

namespace {

bool ByTheUser(Qt::FocusReason reason) {
    return reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
           reason == Qt::MouseFocusReason || reason == Qt::ShortcutFocusReason;
}

}  // namespace

bool WindowAccess::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusIn && watched != mUpdate && watched != mProgress)
        mUserMoved |= ByTheUser(static_cast<QFocusEvent*>(event)->reason());
    if (watched == mUpdate && event->type() == QEvent::EnabledChange && mUpdate->isEnabled()) {
        // Never from where the user put it (Return there must not start an
        // update): only from nowhere, the progress bar, a disabled control,
        // or Cancel, where the window put it at the start.
        const QWidget* focus = mWindow->focusWidget();
        if (!focus || focus == mProgress || !focus->isEnabled() || !mUserMoved) FocusUpdate();
    }
    return false;
}

void WindowAccess::PressUpdate() {
    if (mUpdate->isEnabled() && mUpdate->isVisible()) mUpdate->click();
}

void WindowAccess::FocusUpdate() {
    mUpdate->setFocus(Qt::OtherFocusReason);  // which takes the ring away: drawn again
    mWindow->setAttribute(Qt::WA_KeyboardFocusChange);
    mUpdate->update();
}

}  // namespace ky
