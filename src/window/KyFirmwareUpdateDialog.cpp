#include "window/KyFirmwareUpdateDialog.h"

#include <iostream>
#include <utility>

#include "base/Translate.h"
#include "engine/DownloadProgress.h"
#include "engine/FirmwareImage.h"
#include "support/DeviceInUse.h"
#include "support/Process.h"
#include "update/UpdateWording.h"
#include "window/Accessibility.h"

namespace {

constexpr OSType kSignature = FourCharCode("kyUD");
const ControlID KYCancelButtonID = {kSignature, 100};
const ControlID KYUpdateButtonID = {kSignature, 101};
const ControlID KYCurrentFirmwareVersionStrID = {kSignature, 200};
const ControlID KYCurrentSerialNumberStrID = {kSignature, 201};
const ControlID KYFinalCutRunningStrID = {kSignature, 202};
const ControlID KYUpdateFirmwareVersionStrID = {kSignature, 203};
const ControlID KYProgressBarID = {kSignature, 300};

// The seven controls the window needs from its interface description.
struct NeededControl {
    ControlID id;
    const char* role;
};
const NeededControl kNeededControls[] = {
    {KYCancelButtonID, N_("the Cancel button")},
    {KYUpdateButtonID, N_("the update button")},
    {KYCurrentFirmwareVersionStrID, N_("the current firmware version")},
    {KYCurrentSerialNumberStrID, N_("the serial number")},
    {KYFinalCutRunningStrID, N_("the in-use notice")},
    {KYUpdateFirmwareVersionStrID, N_("the update sentence")},
    {KYProgressBarID, N_("the progress bar")},
};

constexpr double kTickSeconds = 0.5;
constexpr double kRestartSeconds = 0.25;  // how often the window looks at the restart
const char* const kNotFound = N_("Ky Not Found");
const char* const kDoneText =
    N_("You will need to cycle the Power on your Ky for changes to take affect");
// How long a tick waits for the Ky to be identified before it shows the
// last answer: the window redraws at least every quarter of a second.
constexpr std::chrono::milliseconds kProbeWait{150};

using ky::Alert, ky::Below, ky::Ended, ky::Notices, ky::Sentence, ky::Tr;

}  // namespace

SInt16 ShowDownloadDoneAlert(const std::string& notice) {
    return Alert(kAlertNoteAlert, Tr("Programming Complete"), Below(Tr(kDoneText), notice));
}

SInt16 ShowDowngradeAlert() {
    return Alert(kAlertCautionAlert, Tr("This is a Downgrade:"),
                 Tr("Press OK to Continue or Cancel to Quit"), Tr("Cancel"));
}

SInt16 ShowAboutDialog() {
    return Alert(kAlertNoteAlert, "KYFirmwareUpdate  ",
                 Tr("Version 1.3, \u00a9 2026 The KYFirmwareUpdate authors. "
                    "Free software under the MIT licence."));
}

std::string CKyFirmwareUpdateDialog::MissingControl(WindowRef window) {
    for (const auto& needed : kNeededControls) {
        CControl control;
        if (control.Init(needed.id, window) != noErr)
            return ky::Fill(
                Tr("it has no control {1} {2} ({3})"),
                {FourCharText(needed.id.signature), std::to_string(needed.id.id), Tr(needed.role)});
    }
    return {};
}

CKyFirmwareUpdateDialog::CKyFirmwareUpdateDialog(WindowRef window, Environment environment)
    : _window(window),
      _chooser(window, [this](UInt64 guid) { Choose(guid); }),
      _environment(std::move(environment)) {
    _updateButton.Init(KYUpdateButtonID, _window);
    _cancelButton.Init(KYCancelButtonID, _window);
    _currentFirmwareVersionStr.Init(KYCurrentFirmwareVersionStrID, _window);
    _currentSerialNumberStr.Init(KYCurrentSerialNumberStrID, _window);
    _finalCutRunningStr.Init(KYFinalCutRunningStrID, _window);
    _updateFirmwareVersionStr.Init(KYUpdateFirmwareVersionStrID, _window);
    _progressBar.Init(KYProgressBarID, _window);

    _progressBar.SetValue(0);
    _updateButton.Disable();
    _finalCutRunningStr.SetVisibility(false);
    _finalCutRunningStr.SetFontForeColor({65535, 0, 0});
    new ky::WindowAccess(_window, _updateButton, _progressBar);  // owned by the window

    _updateButton.SetupEventHandler(kEventControlHit, UpdateEventHandlerStatic, this);
    _cancelButton.SetupEventHandler(kEventControlHit, CancelEventHandlerStatic, this);
    InstallWindowEventHandler(_window, ApplicationCommandHandlerStatic,
                              {kEventClassCommand, kEventCommandProcess}, this);
    _pKy = new ZRV::PTA::CKyFirmwareUpdate(_environment.bus, *_environment.clock,
                                           _environment.processes, _environment.trace);
    _session = std::make_unique<ky::UpdateSession>(*_pKy);
    if (_environment.bus)
        _probe = std::make_unique<ky::KyProbe>(_environment.bus, _environment.processes,
                                               _environment.trace);
    if (ky::Done images = ky::CheckBuiltInImages(); !images) {
        _imageProblem = images.Failure().What();
        Alert(kAlertStopAlert, Tr("This updater cannot be used"), Ended(_imageProblem));
    }
    InstallEventLoopTimer(0.0, kTickSeconds, TimerEventHandlerStatic, this, &_timer);
}

CKyFirmwareUpdateDialog::~CKyFirmwareUpdateDialog() {
    // The timer belongs to the application, which may outlive the window.
    RemoveEventLoopTimer(_timer);
    RemoveEventLoopTimer(_restartTimer);
    _session.reset();  // waits for an update under way: the worker uses the controller
    delete _pKy;
}

OSStatus CKyFirmwareUpdateDialog::UpdateEventHandlerStatic(EventHandlerCallRef call, EventRef event,
                                                           void* userData) {
    return static_cast<CKyFirmwareUpdateDialog*>(userData)->UpdateEventHandler(call, event);
}

OSStatus CKyFirmwareUpdateDialog::CancelEventHandlerStatic(EventHandlerCallRef call, EventRef event,
                                                           void* userData) {
    return static_cast<CKyFirmwareUpdateDialog*>(userData)->CancelEventHandler(call, event);
}

OSStatus CKyFirmwareUpdateDialog::ApplicationCommandHandlerStatic(EventHandlerCallRef call,
                                                                  EventRef event, void* userData) {
    return static_cast<CKyFirmwareUpdateDialog*>(userData)->ApplicationCommandHandler(call, event);
}

void CKyFirmwareUpdateDialog::TimerEventHandlerStatic(EventLoopTimerRef timer, void* userData) {
    static_cast<CKyFirmwareUpdateDialog*>(userData)->TimerEventHandler(timer);
}

void CKyFirmwareUpdateDialog::RestartTimerStatic(EventLoopTimerRef, void* userData) {
    static_cast<CKyFirmwareUpdateDialog*>(userData)->ShowRestart();
}

OSStatus CKyFirmwareUpdateDialog::TimerEventHandler(EventLoopTimerRef) {
    switch (_updateState) {
        case WAITFORINPUT:
            Identify();
            break;
        case STARTUPDATE:
            StartUpdate();
            break;
        case UPDATING:
            FollowUpdate();
            break;
        case RESTARTING:  // under the completion alert, on the restart's timer
            break;
    }
    return noErr;
}

void CKyFirmwareUpdateDialog::ShowFound() {
    _cancelButton.Enable(true);
    std::string version, serial, update;
    _pKy->GetCurrentFirmwareVersionString(version);
    _pKy->GetSerialNumberString(serial);
    _pKy->GetUpdateFirmwareVersionString(update);
    _currentFirmwareVersionStr.SetText(version.c_str());
    _currentSerialNumberStr.SetText(serial.c_str());
    const bool downgrade = _pKy->IsDowngrade();
    const std::string sentence =
        ky::Fill(downgrade ? Tr("Select Downgrade button to download firmware version {1} to Ky:")
                           : Tr("Select Upgrade button to download firmware version {1} to Ky:"),
                 {update});
    _updateFirmwareVersionStr.SetText(sentence.c_str());
    _updateButton.SetTitle(downgrade ? Tr("Downgrade") : Tr("Upgrade"));
    ShowInUse();
}

void CKyFirmwareUpdateDialog::ShowInUse() {
    // Nobody else may be driving the Ky while its flash is rewritten.
    const auto others = _session->OthersNow(_pKy->FoundUnit());
    ShowNotice(others ? ky::InUseText(*others) : "");
    const bool idle =
        _updateState == WAITFORINPUT && _session->GetState() == ky::UpdateSession::State::Idle;
    _updateButton.Enable(idle && !others && _imageProblem.empty());
}

void CKyFirmwareUpdateDialog::ShowNotice(const std::string& notice) {
    if (!notice.empty()) _finalCutRunningStr.SetText(Sentence(notice).c_str());
    _finalCutRunningStr.SetVisibility(!notice.empty());
}

void CKyFirmwareUpdateDialog::SayCannotQuit() {
    // A quit signal closes the window as soon as the update has ended; the
    // user who asked in the window is shown how it ended first.
    ShowNotice(_quitPending
                   ? Tr("the Ky is being written. The window closes when the update has ended")
                   : Tr("the Ky is being written. The window shows how the update ended, then "
                        "closes"));
}

void CKyFirmwareUpdateDialog::Identify() {
    // While this window's own session holds the Ky (a tick comes during the
    // downgrade question too), the Ky is not identified afresh: its own
    // hold is no other program's, and what the window shows stays.
    if (_session->GetState() != ky::UpdateSession::State::Idle) return;
    // The Ky is identified off this thread: a Ky that does not answer holds
    // up neither the redraw nor the menus, and the last answer stays shown.
    const auto answers = _probe ? _probe->Ask(kProbeWait) : std::nullopt;
    if (!answers) {
        ShowNotFound(_probe ? Tr("waiting for the Ky to answer") : "");
        return;
    }
    // The chosen Ky while it is there, else the first; back to the chosen
    // one when it returns.
    const auto& answer = ky::KyProbe::Chosen(*answers, _chosenGuid);
    _pKy->TakeIdentification(answer.info, answer.check, answer.unit);
    _chooser.Show(*answers, answer.unit.guid, [this](const ky::KyProbe::Answer& a) {
        return a.found && _session->OthersNow(a.unit).has_value();
    });
    if (answer.found)
        ShowFound();
    else
        ShowNotFound(answer.reason.text);
}

void CKyFirmwareUpdateDialog::Choose(UInt64 guid) {
    if (_updateState != WAITFORINPUT) return;
    _chosenGuid = guid;
    Identify();
}

void CKyFirmwareUpdateDialog::ShowNotFound(std::string why) {
    _cancelButton.Enable(true);
    _currentFirmwareVersionStr.SetText(Tr(kNotFound));
    _currentSerialNumberStr.SetText(Tr(kNotFound));
    _updateButton.Disable();
    // Why, in place of the update sentence; another updater in the notice.
    const bool inUse = _pKy->LastCheck() == ky::KyCheck::InUse;
    _updateFirmwareVersionStr.SetText(inUse ? "" : Sentence(why).c_str());
    ShowNotice(inUse ? why : "");
}

void CKyFirmwareUpdateDialog::StartUpdate() {
    // Whoever opened the Ky since the click is found by the worker's look
    // at every process, right before its first write.
    if (!_session->Start().Ok()) return CancelStart();
    _updateState = UPDATING;
    _progressBar.SetValue(0);
    _stops = std::make_unique<ky::StopSignalsIgnored>();
}

void CKyFirmwareUpdateDialog::CancelStart() {
    _session->Release();
    _updateState = WAITFORINPUT;
    _cancelButton.Enable(true);
}

void CKyFirmwareUpdateDialog::FollowUpdate() {
    // Done before the progress: the last value counts.
    const bool done = _session->Poll() == ky::UpdateSession::State::Finished;
    _progressBar.SetValue(_pKy->Progress().Get());
    if (done) FinishUpdate();
}

void CKyFirmwareUpdateDialog::FinishUpdate() {
    ky::UpdateResult result = _session->Result();
    _session->Release();
    _updateState = WAITFORINPUT;  // a tick during the alert must not come here again
    _stops.reset();
    _cancelButton.Enable(true);
    if (_environment.stateKept) ky::NoteStateNotKept(result, _environment.stateKept());
    const ky::Done recorded =
        _environment.recordingKept ? _environment.recordingKept() : ky::Done();
    const std::string recording = recorded ? "" : recorded.Failure().What();
    _lastFailed = !result.Succeeded() || !recording.empty();
    const bool close = std::exchange(_closeWhenDone, false);
    ShowNotice(recording);  // stays in the window, and is said in the alert
    if (_quitPending) {
        if (!result.Succeeded()) Say() << ky::DescribeFailure(result) << "\n";
        SendQuitApplicationEvent();
        return;
    }
    if (!result.Succeeded()) {
        ShowDownloadFailedAlert(result, recording);
        _progressBar.SetValue(0);
        if (close) SendQuitApplicationEvent();
        return;
    }
    FollowRestart(recording);
    ShowDownloadDoneAlert(Notices(recording, Tr(ky::kRestartRequest)));
    if (_updateState != RESTARTING) return;  // a quit meanwhile ended the follow and quit
    EndRestart();                            // OK quits at once
    SendQuitApplicationEvent();
}

void CKyFirmwareUpdateDialog::FollowRestart(const std::string& recording) {
    _recording = recording;
    _restart = std::make_unique<ky::RestartFollower>(
        _environment.bus, _pKy->FoundUnit().guid, ky::BuiltInVersionText(),
        _environment.restartLimits, *_environment.clock, _environment.trace);
    if (_environment.switchedOffAndOn) _environment.switchedOffAndOn();
    _updateState = RESTARTING;
    _updateFirmwareVersionStr.SetText(Tr(ky::kRestartRequest));
    InstallEventLoopTimer(kRestartSeconds, kRestartSeconds, RestartTimerStatic, this,
                          &_restartTimer);
}

void CKyFirmwareUpdateDialog::ShowRestart() {
    const auto ended = _restart->Ended();
    if (!ended) return;
    const std::string text = TakeRestart(*ended);
    _updateFirmwareVersionStr.SetText(text.c_str());
    if (!ended->versions.empty()) _currentFirmwareVersionStr.SetText(ended->versions.c_str());
    SetAlertInformative(ShownText(Below(Tr(kDoneText), Notices(_recording, text))));
}

void CKyFirmwareUpdateDialog::EndRestart() {
    const auto ended = _restart->Ended();
    const std::string text = TakeRestart(ended ? *ended : _restart->Stop());
    // The window closes now: what it has not shown is said where it is kept.
    if (!ended) Say() << text << "\n";
    RemoveEventLoopTimer(std::exchange(_restartTimer, nullptr));
    _restart.reset();
    _updateState = WAITFORINPUT;
}

std::string CKyFirmwareUpdateDialog::TakeRestart(const ky::RestartResult& result) {
    _lastFailed = _lastFailed || ky::RestartFailed(result);
    return ky::RestartText(result, ky::BuiltInVersionText(), _environment.restartLimits);
}

OSStatus CKyFirmwareUpdateDialog::UpdateEventHandler(EventHandlerCallRef, EventRef) {
    // One update at a time, and only of a Ky the window shows as ready.
    if (_updateState != WAITFORINPUT || _session->GetState() != ky::UpdateSession::State::Idle ||
        _pKy->LastCheck() != ky::KyCheck::Accepted || !_imageProblem.empty())
        return noErr;
    // The Ky is taken before it is checked once more, and kept from here to
    // the end of the update: no other updater gets in between. Its
    // versions, as the user saw them, are read again by the worker before
    // it writes (a read here could keep the window waiting).
    const auto held = _session->Hold(_pKy->FoundUnit(), _pKy->Info());
    if (!held.Ok()) {
        ShowNotFound(held.message);
        return noErr;
    }
    const auto checked = _session->Check({.reinstall = true, .allowDowngrade = false}, false);
    if (checked.status == ky::UpdateSession::Status::NeedsConsent && ShowDowngradeAlert() == 2) {
        _session->Release();
        return SendQuitApplicationEvent();
    }
    if (checked.status != ky::UpdateSession::Status::NeedsConsent && !checked.Ok()) {
        _session->Release();
        ShowNotice(checked.message);
        _updateButton.Disable();
        return noErr;
    }
    _session->Consent();
    _chooser.Enable(false);
    _updateButton.Disable();
    _cancelButton.Disable();
    _updateState = STARTUPDATE;
    return noErr;
}

OSStatus CKyFirmwareUpdateDialog::CancelEventHandler(EventHandlerCallRef, EventRef) {
    return SendQuitApplicationEvent();
}

OSStatus CKyFirmwareUpdateDialog::ApplicationCommandHandler(EventHandlerCallRef, EventRef event) {
    HICommand command;
    if (GetEventCommand(event, &command) != noErr) return eventNotHandledErr;
    if (command.commandID == kHICommandAbout) {
        ShowAboutDialog();
        return noErr;
    }
    if (command.commandID != kHICommandQuit) return eventNotHandledErr;
    if (_updateState == RESTARTING) EndRestart();
    // Before the worker has started nothing was written: quitting cancels it.
    if (_updateState == STARTUPDATE) CancelStart();
    if (_updateState == WAITFORINPUT) return eventNotHandledErr;
    _closeWhenDone = true;
    SayCannotQuit();
    return noErr;
}

bool CKyFirmwareUpdateDialog::QuitRequested() {
    if (_updateState == RESTARTING) EndRestart();
    if (_updateState == STARTUPDATE) CancelStart();
    if (_updateState == WAITFORINPUT) {
        SendQuitApplicationEvent();
        return true;
    }
    Say() << Tr("The Ky is being updated: the update will finish first.") << "\n";
    _quitPending = true;
    SayCannotQuit();
    return false;
}
