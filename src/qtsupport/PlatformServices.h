#pragma once

// The platform services the window and the control wrappers rely on,
// over Qt Widgets: the interface description and the event loop, event
// handlers with user data, command IDs, the quit event, a repeating timer,
// standard alerts and Windows Latin 1 strings. Everything here runs on the
// main thread.

#include <QString>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "base/Result.h"
#include "support/MacTypes.h"

class QWidget;
class QObject;
class QTimer;

using SInt16 = std::int16_t;
using SInt32 = std::int32_t;
using UInt16 = std::uint16_t;
using UInt32 = std::uint32_t;

using WindowRef = QWidget*;
using ControlRef = QWidget*;
using MenuRef = QObject*;  // a QMenu, or the list of a pop-up button (QComboBox)

struct ControlID {
    OSType signature = 0;
    SInt32 id = 0;
};

struct RGBColor {
    UInt16 red = 0, green = 0, blue = 0;
};

// Event classes, kinds and the command IDs the menus send.
inline constexpr UInt32 kEventClassControl = FourCharCode("cntl");
inline constexpr UInt32 kEventControlHit = 1;
inline constexpr UInt32 kEventClassCommand = FourCharCode("cmds");
inline constexpr UInt32 kEventCommandProcess = 1;
inline constexpr UInt32 kEventClassApplication = FourCharCode("appl");
inline constexpr UInt32 kEventAppQuit = 3;
inline constexpr UInt32 kHICommandAbout = FourCharCode("abou");
inline constexpr UInt32 kHICommandQuit = FourCharCode("quit");

struct EventTypeSpec {
    UInt32 eventClass;
    UInt32 eventKind;
};
struct HICommand {
    UInt32 attributes = 0;
    UInt32 commandID = 0;
};
// An event as handlers see it.
struct OpaqueEventRef {
    UInt32 eventClass = 0;
    UInt32 eventKind = 0;
    HICommand command;
};
using EventRef = OpaqueEventRef*;
struct OpaqueEventHandlerCallRef;
using EventHandlerCallRef = OpaqueEventHandlerCallRef*;
using EventHandlerUPP = OSStatus (*)(EventHandlerCallRef, EventRef, void*);
using EventLoopTimerRef = QTimer*;
using EventLoopTimerUPP = void (*)(EventLoopTimerRef, void*);
using ControlActionUPP = void (*)(ControlRef, SInt16 part);

// Statuses of the interface description and the control lookup.
inline constexpr OSStatus kIBCarbonRuntimeCantFindNibFile = -10960;
inline constexpr OSStatus kIBCarbonRuntimeObjectNotOfRequestedType = -10961;
inline constexpr OSStatus kIBCarbonRuntimeCantFindObject = -10962;
inline constexpr OSStatus errUnknownControl = -30584;

// ---- interface description --------------------------------------------
struct IBNibData;
using IBNibRef = IBNibData*;

// Where descriptions are looked for: only in $KYFW_UI_DIR when it is set;
// otherwise next to the program in a build tree, then the installed data
// directory.
std::filesystem::path InterfaceDescriptionPath(const std::string& name);
OSStatus CreateNibReference(const std::string& name, IBNibRef* nibRef);
OSStatus SetMenuBarFromNib(IBNibRef nibRef, const std::string& name);
OSStatus CreateWindowFromNib(IBNibRef nibRef, const std::string& name, WindowRef* window);
void DisposeNibReference(IBNibRef nibRef);
void ShowWindow(WindowRef window);
void DisposeWindow(WindowRef window);
void RunApplicationEventLoop();

namespace ky {
// The window `window` of the interface description `name` with its menu
// bar `menuBar` installed, the description let go; a failure says what is
// wrong ("Cannot open the interface description ...").
Result<WindowRef> WindowFromDescription(const std::string& name, const std::string& menuBar,
                                        const std::string& window);
}  // namespace ky

// ---- events ------------------------------------------------------------
// Calls `handler` with `userData` for each listed event of the control
// (control hits) or of the window (command events, including the window's
// close box, which arrives as the 'quit' command).
OSStatus InstallControlEventHandler(ControlRef control, EventHandlerUPP handler,
                                    const EventTypeSpec& type, void* userData);
OSStatus InstallWindowEventHandler(WindowRef window, EventHandlerUPP handler,
                                   const EventTypeSpec& type, void* userData);
// Sends a command as the menus do; a command nobody handles gets the
// standard handling ('quit' ends the event loop). Returns the handler's status.
OSStatus ProcessCommand(WindowRef window, UInt32 commandID);
// The quit-application event: ends the event loop once control returns to it.
OSStatus SendQuitApplicationEvent();
// How many quit-application events were sent, for tests.
int QuitEventsSent();
OSStatus GetEventCommand(EventRef event, HICommand* command);

// ---- timers --------------------------------------------------------------
OSStatus InstallEventLoopTimer(double firstDelaySeconds, double intervalSeconds,
                               EventLoopTimerUPP callback, void* userData,
                               EventLoopTimerRef* timer = nullptr);
// Stops the timer for good; not from within its own callback.
OSStatus RemoveEventLoopTimer(EventLoopTimerRef timer);

// ---- standard alerts -----------------------------------------------------
enum AlertType : SInt16 { kAlertStopAlert = 0, kAlertNoteAlert = 1, kAlertCautionAlert = 2 };

struct AlertRequest {
    AlertType type = kAlertNoteAlert;
    QString message;
    QString informative;
    QString cancelText;  // empty: OK only
};

// Runs a modal alert centred on the active window; returns 1 for OK (the
// default button), 2 for the cancel button. Ctrl+Q answers it as Escape
// does: the window behind it cannot be reached meanwhile.
SInt16 RunStandardAlert(const AlertRequest& request);
// Tests answer alerts without a screen: while set, RunStandardAlert asks
// `responder` instead of showing anything. Pass nothing to restore.
void SetAlertResponder(std::function<SInt16(const AlertRequest&)> responder);
// The informative text of the alert that is up (the last one opened), as
// it is shown now, and a new one for it while it is up.
QString AlertInformative();
void SetAlertInformative(const QString& informative);

// ---- strings ---------------------------------------------------------------
// UTF-8 as a person reads it in a window: bytes that are not UTF-8 and
// control characters (line ends stay) as \xNN, as kyfw writes them.
QString ShownText(std::string_view text);
