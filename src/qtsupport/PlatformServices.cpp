#include "qtsupport/PlatformServices.h"

#include <unistd.h>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QLayout>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QTranslator>
#include <QUiLoader>
#include <QWidget>
#include <array>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "base/Text.h"
#include "base/Translate.h"

namespace {

// ---- handlers ---------------------------------------------------------------

struct Handler {
    QObject* target;
    EventTypeSpec type;
    EventHandlerUPP proc;
    void* userData;
};

std::vector<Handler>& Handlers() {
    static std::vector<Handler> handlers;
    return handlers;
}

OSStatus Dispatch(QObject* target, OpaqueEventRef& event) {
    for (const Handler& h : Handlers()) {
        if (h.target != target || h.type.eventClass != event.eventClass ||
            h.type.eventKind != event.eventKind)
            continue;
        const OSStatus status = h.proc(nullptr, &event, h.userData);
        if (status != eventNotHandledErr) return status;
    }
    return eventNotHandledErr;
}

void Forget(QObject* target) {
    std::erase_if(Handlers(), [&](const Handler& h) { return h.target == target; });
}

// Turns the window's close box into the 'quit' command, which its handlers
// may refuse.
class CloseToQuit final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Close) return false;
        if (ProcessCommand(static_cast<QWidget*>(watched), kHICommandQuit) != noErr) return false;
        event->ignore();  // a handler swallowed the command: the window stays
        return true;
    }
};

// Keeps a window's content at least as tall as its word-wrapped texts need
// at its width, whatever the theme and font: a layout alone gives a window
// the height of one line per label, and longer texts would overlap.
class GrowWithText final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const auto type = event->type();
        auto* content = static_cast<QWidget*>(watched);
        QLayout* layout = content->layout();
        if ((type == QEvent::LayoutRequest || type == QEvent::Resize) && layout &&
            layout->hasHeightForWidth())
            content->setMinimumHeight(layout->totalHeightForWidth(content->width()));
        return false;
    }
};

QString UiDirFromEnvironment() {
    return QString::fromLocal8Bit(qgetenv("KYFW_UI_DIR"));
}

std::filesystem::path ProgramDirectory() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
}

}  // namespace

struct IBNibData {
    std::filesystem::path path;
    QWidget* root = nullptr;  // deleted with the reference unless taken
    bool taken = false;
};

// ---- interface description ----------------------------------------------------

std::filesystem::path InterfaceDescriptionPath(const std::string& name) {
    const std::string file = name + ".ui";
    std::vector<std::filesystem::path> candidates;
    // A directory named in the environment is the only place looked at.
    if (const QString dir = UiDirFromEnvironment(); !dir.isEmpty())
        return std::filesystem::path(dir.toStdString()) / file;
    const auto program = ProgramDirectory();
    candidates.push_back(program / file);
    candidates.push_back(program.parent_path() / "share" / "kyfirmwareupdate" / file);
#ifdef KY_INSTALLED_DATA_DIR
    candidates.push_back(std::filesystem::path(KY_INSTALLED_DATA_DIR) / file);
#endif
    std::error_code ec;
    for (const auto& c : candidates)
        if (std::filesystem::exists(c, ec)) return c;
    return candidates.front();
}

namespace {

std::string Quoted(const std::filesystem::path& path) {
    std::ostringstream text;
    text << path;
    return text.str();
}

// The interface description's texts from the program's catalogue: the loader
// asks for each <string> not marked notr, in the description's class.
class CatalogueTranslator : public QTranslator {
public:
    static constexpr const char* kName = "ky-catalogue";
    explicit CatalogueTranslator(QObject* parent) : QTranslator(parent) { setObjectName(kName); }
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* source, const char*, int) const override {
        if (std::string_view(context) != "MainWindow" || !source) return {};
        const char* text = ky::Tr(source);
        return text == source ? QString() : QString::fromUtf8(text);
    }
};

void UseCatalogueForDescriptions() {
    // By name: a search by its type would take Qt's own translator for it.
    if (qApp->findChild<QTranslator*>(CatalogueTranslator::kName, Qt::FindDirectChildrenOnly))
        return;
    QCoreApplication::installTranslator(new CatalogueTranslator(qApp));
}

ky::Result<IBNibRef> OpenDescription(const std::string& name) {
    UseCatalogueForDescriptions();
    const auto path = InterfaceDescriptionPath(name);
    QFile file(QString::fromStdString(path.string()));
    // Anything but a regular file (a FIFO would wait for a writer for good)
    // is no description.
    std::error_code ec;
    // TRANSLATORS: {1} is the file, {2} why it cannot be opened.
    const char* cannotOpen = ky::Tr("Cannot open the interface description {1}: {2}");
    if (std::filesystem::exists(path, ec) && !std::filesystem::is_regular_file(path, ec))
        return ky::Error(ky::Fill(cannotOpen, {Quoted(path), ky::Tr("it is not a regular file")}));
    if (!file.open(QIODevice::ReadOnly))
        return ky::Error(ky::Fill(cannotOpen, {Quoted(path), file.errorString().toStdString()}));
    QUiLoader loader;
    QWidget* root = loader.load(&file);
    if (!root)
        return ky::Error(ky::Fill(ky::Tr("Cannot read the interface description {1}: {2}"),
                                  {Quoted(path), loader.errorString().toStdString()}));
    root->hide();
    return new IBNibData{path, root, false};
}

ky::Done InstallMenuBar(IBNibRef nib, const std::string& name) {
    auto* bar =
        nib && nib->root ? nib->root->findChild<QMenuBar*>(QString::fromStdString(name)) : nullptr;
    if (!bar)
        return ky::Error(
            ky::Fill(ky::Tr("The interface description has no menu bar \"{1}\""), {name}));
    QWidget* window = nib->root;
    for (QMenu* menu : bar->findChildren<QMenu*>()) {
        for (QAction* action : menu->actions()) {
            const QByteArray code = action->property("commandID").toByteArray();
            if (code.size() != 4) continue;
            const UInt32 command = FourCharCode({code[0], code[1], code[2], code[3], 0});
            QObject::connect(action, &QAction::triggered, window,
                             [window, command] { ProcessCommand(window, command); });
        }
    }
    return {};
}

ky::Result<WindowRef> TakeWindow(IBNibRef nib, const std::string& name) {
    if (!nib || !nib->root || nib->root->objectName().toStdString() != name)
        return ky::Error(
            ky::Fill(ky::Tr("The interface description has no window \"{1}\""), {name}));
    nib->taken = true;
    nib->root->installEventFilter(new CloseToQuit(nib->root));
    if (auto* main = qobject_cast<QMainWindow*>(nib->root); main && main->centralWidget())
        main->centralWidget()->installEventFilter(new GrowWithText(main));
    QObject::connect(nib->root, &QObject::destroyed, [root = nib->root] { Forget(root); });
    return nib->root;
}

}  // namespace

OSStatus CreateNibReference(const std::string& name, IBNibRef* nibRef) {
    const auto nib = OpenDescription(name);
    *nibRef = nib ? *nib : nullptr;
    return nib ? noErr : kIBCarbonRuntimeCantFindNibFile;
}

OSStatus SetMenuBarFromNib(IBNibRef nib, const std::string& name) {
    return InstallMenuBar(nib, name) ? noErr : kIBCarbonRuntimeCantFindObject;
}

OSStatus CreateWindowFromNib(IBNibRef nib, const std::string& name, WindowRef* window) {
    const auto taken = TakeWindow(nib, name);
    *window = taken ? *taken : nullptr;
    return taken ? noErr : kIBCarbonRuntimeCantFindObject;
}

ky::Result<WindowRef> ky::WindowFromDescription(const std::string& name, const std::string& menuBar,
                                                const std::string& window) {
    const auto nib = OpenDescription(name);
    if (!nib) return nib.Failure();
    const Done menu = InstallMenuBar(*nib, menuBar);
    auto taken = menu ? TakeWindow(*nib, window) : Result<WindowRef>(menu.Failure());
    DisposeNibReference(*nib);
    return taken;
}

void DisposeNibReference(IBNibRef nib) {
    if (!nib) return;
    if (!nib->taken) delete nib->root;
    delete nib;
}

void ShowWindow(WindowRef window) {
    window->show();
}

void DisposeWindow(WindowRef window) {
    delete window;
}

void RunApplicationEventLoop() {
    QApplication::exec();
}

// ---- events -----------------------------------------------------------------------

OSStatus InstallControlEventHandler(ControlRef control, EventHandlerUPP handler,
                                    const EventTypeSpec& type, void* userData) {
    auto* button = qobject_cast<QAbstractButton*>(control);
    if (!control) return errUnknownControl;
    Handlers().push_back({control, type, handler, userData});
    if (button && type.eventClass == kEventClassControl && type.eventKind == kEventControlHit) {
        QObject::connect(button, &QAbstractButton::clicked, button, [button] {
            OpaqueEventRef event{kEventClassControl, kEventControlHit, {}};
            Dispatch(button, event);
        });
    }
    QObject::connect(control, &QObject::destroyed, [control] { Forget(control); });
    return noErr;
}

OSStatus InstallWindowEventHandler(WindowRef window, EventHandlerUPP handler,
                                   const EventTypeSpec& type, void* userData) {
    if (!window) return errUnknownControl;
    Handlers().push_back({window, type, handler, userData});
    return noErr;
}

OSStatus ProcessCommand(WindowRef window, UInt32 commandID) {
    OpaqueEventRef event{kEventClassCommand, kEventCommandProcess, {0, commandID}};
    const OSStatus status = Dispatch(window, event);
    if (status == eventNotHandledErr && commandID == kHICommandQuit) SendQuitApplicationEvent();
    return status;
}

namespace {
int gQuitEvents = 0;
}  // namespace

OSStatus SendQuitApplicationEvent() {
    ++gQuitEvents;
    QCoreApplication::quit();
    return noErr;
}

int QuitEventsSent() {
    return gQuitEvents;
}

OSStatus GetEventCommand(EventRef event, HICommand* command) {
    if (!event || event->eventClass != kEventClassCommand) return eventNotHandledErr;
    *command = event->command;
    return noErr;
}

// ---- timers ---------------------------------------------------------------------

OSStatus InstallEventLoopTimer(double firstDelaySeconds, double intervalSeconds,
                               EventLoopTimerUPP callback, void* userData,
                               EventLoopTimerRef* timer) {
    auto* t = new QTimer(QCoreApplication::instance());
    t->setInterval(static_cast<int>(intervalSeconds * 1000.0));
    QObject::connect(t, &QTimer::timeout, t, [t, callback, userData] { callback(t, userData); });
    QTimer::singleShot(static_cast<int>(firstDelaySeconds * 1000.0), t, [t, callback, userData] {
        callback(t, userData);
        t->start();
    });
    if (timer) *timer = t;
    return noErr;
}

OSStatus RemoveEventLoopTimer(EventLoopTimerRef timer) {
    delete timer;  // its first fire, still pending, goes with it
    return noErr;
}

// ---- standard alerts ------------------------------------------------------------

namespace {
std::function<SInt16(const AlertRequest&)>& Responder() {
    static std::function<SInt16(const AlertRequest&)> responder;
    return responder;
}
}  // namespace

void SetAlertResponder(std::function<SInt16(const AlertRequest&)> responder) {
    Responder() = std::move(responder);
}

namespace {

// The alerts that are up, the last opened first: its box (none when a
// responder answers) and its informative text.
struct ShownAlert {
    QMessageBox* box = nullptr;
    QString informative;
    ShownAlert* under = nullptr;
};
ShownAlert* gShownAlert = nullptr;

SInt16 RunAlertBox(const AlertRequest& request, ShownAlert& shown) {
    static constexpr std::array<QMessageBox::Icon, 3> kIcons = {
        QMessageBox::Critical, QMessageBox::Information, QMessageBox::Warning};
    QMessageBox box(kIcons[std::clamp<int>(request.type, 0, 2)], QString(), request.message,
                    QMessageBox::NoButton, QApplication::activeWindow());
    shown.box = &box;
    box.setInformativeText(request.informative);
    QPushButton* ok = box.addButton(QMessageBox::Ok);
    ok->setText(QString::fromUtf8(ky::Tr("OK")));
    QPushButton* cancel = nullptr;
    if (!request.cancelText.isEmpty())
        cancel = box.addButton(request.cancelText, QMessageBox::RejectRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(cancel ? static_cast<QAbstractButton*>(cancel) : ok);
    QShortcut quit(QKeySequence(Qt::CTRL | Qt::Key_Q), &box);
    QObject::connect(&quit, &QShortcut::activated, &box, [&box] { box.escapeButton()->click(); });
    box.exec();
    // A box ended by the program's quit, with no button pressed, answers as
    // Escape does: Cancel where there is one. Only OK agrees.
    const QAbstractButton* answer = box.clickedButton() ? box.clickedButton() : box.escapeButton();
    return answer == cancel && cancel ? 2 : 1;
}

}  // namespace

SInt16 RunStandardAlert(const AlertRequest& request) {
    ShownAlert shown{nullptr, request.informative, gShownAlert};
    gShownAlert = &shown;
    const SInt16 answer = Responder() ? Responder()(request) : RunAlertBox(request, shown);
    gShownAlert = shown.under;
    return answer;
}

QString AlertInformative() {
    return gShownAlert ? gShownAlert->informative : QString();
}

void SetAlertInformative(const QString& informative) {
    if (!gShownAlert) return;
    gShownAlert->informative = informative;
    if (gShownAlert->box) gShownAlert->box->setInformativeText(informative);
}

// ---- strings --------------------------------------------------------------------

QString ShownText(std::string_view text) {
    return QString::fromStdString(ky::Printable(text, true));
}
