#pragma once

// The main window by keyboard and by screen reader: the values named after
// their captions, a visible focus that waits on the update button whenever
// it may be pressed and the user has not put the focus elsewhere (Return
// presses it, as its look as the default button promises) and on the progress bar while the Ky is
// written, and Ctrl+U, which presses the update button: the same checks, the same questions.

#include <QObject>
#include <QPointer>

class QAbstractButton;
class QWidget;

namespace ky {

class WindowAccess final : public QObject {
public:
    static constexpr const char* kUpdateShortcut = "Ctrl+U";

    // Owned by `window`.
    WindowAccess(QWidget* window, QWidget* updateButton, QWidget* progressBar);

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void PressUpdate();
    void FocusUpdate();

    QWidget* mWindow;
    QAbstractButton* mUpdate;
    QWidget* mProgress;
    bool mUserMoved = false;  // the user put the focus somewhere himself
};

}  // namespace ky
