#pragma once

#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>

#include "base/Result.h"
#include "qtsupport/carboncontrols.h"
#include "support/StopSignals.h"
#include "update/KyProbe.h"
#include "update/RestartWatch.h"
#include "update/UpdateSession.h"
#include "update/kyfirmwareupdate.h"
#include "window/Alerts.h"
#include "window/KyChooser.h"

// The window's state.
enum KyFirmwareUpdateType : UInt32 {
    WAITFORINPUT = 0,
    STARTUPDATE = 1,
    UPDATING = 2,
    RESTARTING = 3,  // the Ky is switched off and on under the completion alert
};

// The main window: shows the Ky's version and serial number, offers the
// upgrade (or a confirmed downgrade), follows the update on the progress
// indicator and tells the user how it ended. Everything is driven by one
// half-second timer; the update itself runs on the controller's worker.
class CKyFirmwareUpdateDialog {
public:
    // Where the window finds the Ky, the processes and the clock of the
    // update; the defaults are the real ones.
    struct Environment {
        std::shared_ptr<FWLib::Bus> bus;
        ky::Clock* clock = &ky::SystemClock();
        ky::ProcessTable processes;
        // Once an update has ended: why its outcome could not be kept (the
        // simulated Ky's state), or nothing.
        std::function<ky::Done()> stateKept;
        // With --record, once an update has ended: why the recording could
        // not be written whole, or nothing.
        std::function<ky::Done()> recordingKept;
        // Where the window says what it must on standard error (the
        // engine's trace lines go elsewhere); std::cerr when not given.
        std::ostream* say = nullptr;
        // The trace lines of the controller, the probe and the engine
        // below them; nowhere when not given.
        ky::Trace trace{};
        // Once the window waits for the restart: the simulated Ky's user
        // switches it off and on, as kyfw's does.
        std::function<void()> switchedOffAndOn = {};
        ky::RestartLimits restartLimits = {};
    };

    // Why `window` cannot be this window ("it has no control kyUD 202 (the
    // in-use notice)"), or nothing when it has every control.
    static std::string MissingControl(WindowRef window);
    // `window` has every control (see MissingControl).
    CKyFirmwareUpdateDialog(WindowRef window, Environment environment);
    ~CKyFirmwareUpdateDialog();

    CKyFirmwareUpdateDialog(const CKyFirmwareUpdateDialog&) = delete;
    CKyFirmwareUpdateDialog& operator=(const CKyFirmwareUpdateDialog&) = delete;

    static OSStatus UpdateEventHandlerStatic(EventHandlerCallRef, EventRef, void* userData);
    static OSStatus CancelEventHandlerStatic(EventHandlerCallRef, EventRef, void* userData);
    static OSStatus ApplicationCommandHandlerStatic(EventHandlerCallRef, EventRef, void* userData);
    static void TimerEventHandlerStatic(EventLoopTimerRef timer, void* userData);
    // The restart's own timer. The completion alert is opened by a tick,
    // and the tick's timer waits until it is closed: this one goes on.
    static void RestartTimerStatic(EventLoopTimerRef timer, void* userData);

    OSStatus UpdateEventHandler(EventHandlerCallRef, EventRef);
    OSStatus CancelEventHandler(EventHandlerCallRef, EventRef);
    OSStatus ApplicationCommandHandler(EventHandlerCallRef, EventRef event);
    OSStatus TimerEventHandler(EventLoopTimerRef timer);

    KyFirmwareUpdateType State() const { return _updateState; }
    // What the program's exit status says of the last update: it failed, its
    // new firmware did not start, or its recording was not kept whole.
    bool LastUpdateFailed() const { return _lastFailed; }
    // A quit signal (SIGINT, SIGTERM): quits at once while waiting, else
    // once the update has ended. Returns true when it quit at once.
    bool QuitRequested();

protected:
    void Identify();
    // The user chose the Ky with `guid` in the list of Kys.
    void Choose(UInt64 guid);
    void ShowFound();
    void ShowNotFound(std::string why);
    // The notice says what else uses the Ky, if anything, and the update
    // button is enabled only when nothing stands in the way.
    void ShowInUse();
    void ShowNotice(const std::string& notice);
    void StartUpdate();
    void CancelStart();
    void FollowUpdate();
    void FinishUpdate();
    // The restart, followed while the completion alert is up: what the
    // follower learns is shown in the window and below the alert's text.
    void FollowRestart(const std::string& recording);
    void ShowRestart();
    void EndRestart();
    std::string TakeRestart(const ky::RestartResult& result);
    void SayCannotQuit();

    CControl _updateButton;
    CControl _cancelButton;
    CControl _currentFirmwareVersionStr;
    CControl _currentSerialNumberStr;
    CControl _finalCutRunningStr;
    CControl _updateFirmwareVersionStr;
    CControl _progressBar;
    KyFirmwareUpdateType _updateState = WAITFORINPUT;
    ZRV::PTA::CKyFirmwareUpdate* _pKy = nullptr;
    WindowRef _window;
    ky::KyChooser _chooser;  // lists the Kys, when the window has a list
    UInt64 _chosenGuid = 0;  // the Ky the user chose; 0: the first

private:
    std::ostream& Say() const { return _environment.say ? *_environment.say : std::cerr; }

    Environment _environment;
    std::string _imageProblem;    // set when a built-in image is broken
    bool _quitPending = false;    // a quit signal: close once the update has ended
    bool _closeWhenDone = false;  // Quit or the close box: close once its outcome is shown
    bool _lastFailed = false;
    std::unique_ptr<ky::UpdateSession> _session;     // made with the controller
    std::unique_ptr<ky::StopSignalsIgnored> _stops;  // while the flash is written
    std::unique_ptr<ky::KyProbe> _probe;
    std::unique_ptr<ky::RestartFollower> _restart;  // while RESTARTING
    std::string _recording;  // why the recording was not kept whole, said with the restart
    EventLoopTimerRef _timer = nullptr;
    EventLoopTimerRef _restartTimer = nullptr;
};

// `notice`, when there is one, is said below the alert's own text.
SInt16 ShowDownloadDoneAlert(const std::string& notice = "");
SInt16 ShowDowngradeAlert();
SInt16 ShowAboutDialog();
