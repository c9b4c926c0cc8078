// The main window on real Qt widgets (offscreen) with the simulated Ky.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <clocale>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "base/Translate.h"
#include "firewire/LinuxBus.h"
#include "qtsupport/Announce.h"
#include "qtsupport/Legibility.h"
#include "sim/SimBus.h"
#include "sim/SimFaults.h"
#include "sim/SimState.h"
#include "support/FakeKernel.h"
#include "support/Files.h"
#include "support/GateClock.h"
#include "support/Subprocess.h"
#include "support/TraceCapture.h"
#include "update/RestartWatch.h"
#include "window/KyFirmwareUpdateDialog.h"
#include "window/Program.h"

namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("KYFW_UI_DIR", KY_UI_DIR);
        bus = kysim::SimBus::Create(clock);
        guid = bus->AddKy();
        SetAlertResponder([this](const AlertRequest& r) -> SInt16 {
            alerts.push_back(r);
            if (duringAlert) duringAlert();
            alerts.back().informative = AlertInformative();  // as it was when answered
            return answer;
        });
        Open({bus, &clock, proc.Path(), {}, [this] { return RecordingKept(); }, &said, io.Sink()});
    }
    // A new window, its dialog on `environment`, in place of the last.
    void Open(CKyFirmwareUpdateDialog::Environment environment) {
        TearDown();
        IBNibRef nib = nullptr;
        ASSERT_EQ(CreateNibReference("main", &nib), noErr);
        ASSERT_EQ(SetMenuBarFromNib(nib, "MenuBar"), noErr);
        ASSERT_EQ(CreateWindowFromNib(nib, "MainWindow", &window), noErr);
        DisposeNibReference(nib);
        dialog = std::make_unique<CKyFirmwareUpdateDialog>(window, std::move(environment));
        ShowWindow(window);
    }
    void TearDown() override {
        dialog.reset();
        DisposeWindow(std::exchange(window, nullptr));
    }
    ~WindowTest() override { SetAlertResponder(nullptr); }
    void Tick() { dialog->TimerEventHandler(nullptr); }
    QString Text(const char* name) { return window->findChild<QLabel*>(name)->text(); }
    QAbstractButton* Button(const char* name) { return window->findChild<QAbstractButton*>(name); }
    bool NoticeShown() { return window->findChild<QLabel*>("inUseNotice")->isVisible(); }
    // What the window shows: version | serial | sentence | the update button's text, and
    // whether each button may be pressed | the notice, when one is shown.
    std::string Shown() {
        const auto on = [&](const char* b) { return Button(b)->isEnabled() ? " on" : " off"; };
        return (Text("versionValue") + " | " + Text("serialValue") + " | " +
                Text("updateSentence") + " | " + Button("updateButton")->text() +
                on("updateButton") + on("cancelButton") +
                (NoticeShown() ? " | " + Text("inUseNotice") : ""))
            .toStdString();
    }
    // Each alert shown: its type | message | informative text.
    std::vector<std::string> Alerts() {
        std::vector<std::string> out;
        for (const auto& a : alerts)
            out.push_back((QString::number(a.type) + " | " + a.message + " | " + a.informative)
                              .toStdString());
        return out;
    }
    int Progress() { return window->findChild<QProgressBar*>("progress")->value(); }
    void Screenshot(const char* name) {
        window->grab().save(QString(KY_SCREENSHOT_DIR "/window-") + name + ".png");
    }
    // Ticks until the update has ended (for at most 5000 ticks).
    void TickThroughUpdate() {
        for (int i = 0; i < 5000 && dialog->State() != WAITFORINPUT; ++i) {
            Tick();
            std::this_thread::sleep_for(2ms);
        }
    }
    std::size_t Writes() {
        std::size_t n = 0;
        for (const auto& t : bus->Transactions())
            n += t.type == kysim::TxType::QuadletWrite || t.type == kysim::TxType::BlockWrite;
        return n;
    }
    // Runs the event loop for `ms`, or until `done`, and gives the longest wait of a 10 ms
    // timer on the window's thread: how long the window stopped redrawing.
    qint64 LongestGap(int ms, const std::function<bool()>& done = {}) {
        QElapsedTimer since;
        qint64 longest = 0;
        QTimer beat;
        QEventLoop loop;
        QObject::connect(&beat, &QTimer::timeout, [&] {
            longest = std::max(longest, since.restart());
            if (done && done()) loop.quit();
        });
        since.start();
        beat.start(10);
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
        return longest;
    }
    void AddProcess(int pid, const std::string& name) {
        kytest::WriteFile(proc / std::to_string(pid) / "comm", name + "\n");
    }

    kytest::TraceCapture io;
    std::ostringstream said;       // what the window says on standard error
    kytest::GateClock clock{100};  // an update takes tens of milliseconds: progress is seen moving
    std::shared_ptr<kysim::SimBus> bus;
    UInt64 guid = 0;
    kytest::TempDir proc{"winproc"};
    WindowRef window = nullptr;
    std::unique_ptr<CKyFirmwareUpdateDialog> dialog;
    std::vector<AlertRequest> alerts;
    SInt16 answer = 1;
    std::function<void()> duringAlert;
    // What --record would say once an update has ended, as the window's
    // ticks go on while an alert is up.
    std::string recordingProblem;
    ky::Done RecordingKept() const {
        return recordingProblem.empty() ? ky::Done() : ky::Error(recordingProblem);
    }
};

TEST_F(WindowTest, NotFoundThenAttachedThenRemoved) {
    bus->Unplug(guid);
    Tick();
    const std::string none =
        "Ky Not Found | Ky Not Found | The FireWire controller sees no other device: is the Ky "
        "connected and switched on? | Upgrade off on";
    EXPECT_EQ(Shown(), none);
    Screenshot("not-found");

    bus->Replug(guid);
    Tick();
    EXPECT_EQ(Shown(),
              "1-5 | Not Available | Select Upgrade button to download firmware version "
              "2-6 to Ky: | Upgrade on on");
    Screenshot("upgrade-offered");

    bus->Unplug(guid);
    Tick();
    EXPECT_EQ(Shown(), none);
}

// Of three Kys, the one chosen is shown, stays chosen while it is away, and is written alone.
TEST_F(WindowTest, TheChosenOfThreeKysIsShownKeptAndWrittenAlone) {
    const UInt64 kys[] = {guid, bus->AddKy({2, 6, 3, "KY2"}), bus->AddKy({3, 0, 3, "KY3"})};
    const char* entries[] = {" · Not Available · 1-5", " · KY2 · 2-6", " · KY3 · 3-0"};
    auto* choice = window->findChild<QComboBox*>("kyChooser");
    // What is done, then what the window shows, the Kys listed and the one chosen.
    using Step = std::tuple<std::function<void()>, std::string, std::vector<int>, int>;
    for (const auto& [step, shown, listed, chosen] : std::vector<Step>{
             {[] {}, "1-5 | Not Available | Select Upgrade", {0, 1, 2}, 0},
             {[&] { choice->setCurrentIndex(2); }, "3-0 | KY3 | Select Downgrade", {0, 1, 2}, 2},
             {[&] { bus->Unplug(kys[2]); }, "1-5 | Not Available | Select Upgrade", {0, 1}, 0},
             {[&] { bus->Replug(kys[2]); }, "3-0 | KY3 | Select Downgrade", {0, 1, 2}, 2}}) {
        step(), Tick();
        std::string expected = shown, got = Shown().substr(0, shown.size());
        for (int k : listed) expected += '\n' + FWLib::GuidText(kys[k]) + entries[k] + " · ready";
        for (int i = 0; i < choice->count(); ++i) got += '\n' + choice->itemText(i).toStdString();
        EXPECT_EQ(std::pair(got, choice->currentIndex()), std::pair(expected, chosen));
    }
    Button("updateButton")->click(), TickThroughUpdate();  // and OK to the downgrade
    for (int i = 0; i < 3; ++i) EXPECT_EQ(bus->Ky(kys[i]).ProgrammedCount(), i == 2 ? 2u : 0u);
}

TEST_F(WindowTest, NewerKyIsOfferedADowngradeThatMustBeConfirmed) {
    bus->Ky(guid).Identity() = {3, 0, 3, "KY555555"};
    Tick();
    answer = 2;
    const int quits = QuitEventsSent();
    bus->ClearTransactions();
    std::string during;
    duringAlert = [&] { Tick(), during = Shown(); };
    Button("updateButton")->click();
    EXPECT_EQ(during,
              "3-0 | KY555555 | Select Downgrade button to download firmware version 2-6 "
              "to Ky: | Downgrade on on");  // its own hold is no other program's
    EXPECT_EQ(Alerts(), std::vector<std::string>{"2 | This is a Downgrade: | Press OK to Continue "
                                                 "or Cancel to Quit"});  // a caution
    EXPECT_EQ(std::tuple(QuitEventsSent(), dialog->State(), Writes()),   // the Ky not touched
              std::tuple(quits + 1, WAITFORINPUT, 0ul));
    answer = 1;
    Button("updateButton")->click();
    EXPECT_EQ(dialog->State(), STARTUPDATE);
}

// By screen reader: every control named, the values after their captions,
// and the sentence and the notice announced once when they change.
std::vector<std::string> gAnnounced;
TEST_F(WindowTest, ControlsAreNamedAndTheSentenceAndNoticeAnnouncedOnce) {
    ky::SetAnnouncer([](QWidget* w) { gAnnounced.push_back(w->objectName().toStdString()); });
    Tick(), Tick(), AddProcess(4321, "kdenlive"), Tick(), Tick();
    ky::SetAnnouncer(nullptr);
    EXPECT_THAT(gAnnounced, ElementsAre("updateSentence", "inUseNotice"));
    const auto a11y = [&](const char* name, QAccessible::Text text) {
        return QAccessible::queryAccessibleInterface(window->findChild<QWidget*>(name))
            ->text(text)
            .toStdString();
    };
    for (const char* name : {"kyChooser", "progress", "cancelButton", "updateButton"})
        EXPECT_FALSE(a11y(name, QAccessible::Name).empty() ||
                     a11y(name, QAccessible::Description).empty())
            << name;
    EXPECT_EQ(a11y("versionValue", QAccessible::Name), "Current firmware version: 1-5");
    EXPECT_EQ(a11y("serialValue", QAccessible::Name), "Serial number: Not Available");
}

TEST_F(WindowTest, TheNoticeIsRedAndLegibleOnLightAndDarkPalettes) {
    auto* notice = window->findChild<QLabel*>("inUseNotice");
    // Adwaita's light and dark windows, and black, where pure red is enough.
    for (QColor background : {QColor(0xf6f5f4), QColor(0x353535), QColor(Qt::black)}) {
        QPalette palette = window->palette();
        palette.setColor(QPalette::Window, background);
        window->setPalette(palette);
        const QColor shown = notice->palette().color(QPalette::WindowText);
        const double contrast = ky::ContrastRatio(shown, background);
        EXPECT_TRUE(contrast >= 4.5 && (contrast < 4.7 || shown == Qt::red) &&
                    shown.hslHue() == 0 && shown.hslSaturation() == 255)
            << background.name().toStdString() << " " << shown.name().toStdString();
    }
}

// By keyboard: the focus on the update button, then on the progress bar
// during the flash; Ctrl+U is the button, with its checks and question.
TEST_F(WindowTest, FocusAndCtrlUFollowTheUpdateButton) {
    bus->Ky(guid).Identity() = {3, 0, 3, "KY555555"};
    AddProcess(4321, "kdenlive");
    Tick();
    QApplication::setActiveWindow(window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(window, 2000));
    QTest::keyClick(window, Qt::Key_U, Qt::ControlModifier);  // in use: nothing
    fs::remove_all(proc / "4321");
    Tick();
    EXPECT_EQ(window->focusWidget(), Button("updateButton"));
    // Where the user put the focus it stays, whatever comes back.
    Button("cancelButton")->setFocus(Qt::TabFocusReason);
    AddProcess(4321, "kdenlive"), Tick(), fs::remove_all(proc / "4321"), Tick();
    EXPECT_EQ(window->focusWidget(), Button("cancelButton"));
    QTest::keyClick(window, Qt::Key_U, Qt::ControlModifier);
    QTest::keyClick(window, Qt::Key_U, Qt::ControlModifier);  // under way: nothing
    EXPECT_THAT(Alerts(), ElementsAre(StartsWith("2 | This is a Downgrade:")));
    EXPECT_EQ(std::pair(dialog->State(), window->focusWidget()),
              std::pair(STARTUPDATE, window->findChild<QWidget*>("progress")));
}

TEST_F(WindowTest, VideoApplicationOrAnotherUserOfTheNodeBlocksTheUpdate) {
    AddProcess(4321, "kdenlive");
    Tick();
    EXPECT_THAT(Shown(), EndsWith("Upgrade off on | The video application kdenlive (process 4321) "
                                  "may be using the Ky; quit it first."));
    dialog->UpdateEventHandler(nullptr, nullptr);  // however a click comes, the check refuses it
    EXPECT_EQ(dialog->State(), WAITFORINPUT);
    const QPalette notice = window->findChild<QLabel*>("inUseNotice")->palette();
    EXPECT_EQ(notice.color(QPalette::WindowText).hslHue(), 0);  // red, made legible
    EXPECT_GE(ky::ContrastRatio(notice.color(QPalette::WindowText), notice.color(QPalette::Window)),
              4.5);
    Screenshot("in-use");
    window->setFont(QFont("Sans", 40)), QApplication::processEvents();  // any font: none cut
    for (auto* l : window->findChildren<QLabel*>())
        EXPECT_GE(l->height(), l->heightForWidth(l->width()));
    fs::remove_all(proc / "4321");
    Tick();
    EXPECT_THAT(Shown(), EndsWith("Upgrade on on"));  // and no notice

    // The same for a process that holds the Ky's device open, by another
    // node of it where one can be made (as root); this process's own hold
    // never counts. Seen before the Ky had this device file, it is looked
    // at afresh.
    const fs::path node = "/dev/null", twin = proc / "twin";
    struct stat null {};
    stat(node.c_str(), &null);
    const fs::path held = mknod(twin.c_str(), S_IFCHR | 0600, null.st_rdev) == 0 ? twin : node;
    for (int pid : {77, int(getpid())}) {
        AddProcess(pid, pid == 77 ? "dvcapture" : "ky-firmware-update");
        fs::create_directories(proc / std::to_string(pid) / "fd");
        fs::create_symlink(held, proc / std::to_string(pid) / "fd" / "3");
    }
    Tick();
    bus->SetDeviceNode(guid, node.string());
    Tick();
    EXPECT_THAT(Shown(),
                EndsWith("off on | The Ky is in use by dvcapture (process 77); quit it first."));
    // Once it lets go, it is no longer named, though it runs on.
    fs::remove(proc / "77" / "fd" / "3");
    Tick();
    EXPECT_THAT(Shown(), EndsWith("Upgrade on on"));

    // A program that opens the Ky between the click and the start stops
    // the update right before its first write.
    bus->ClearTransactions();
    Button("updateButton")->click();
    fs::create_symlink(node, proc / "77" / "fd" / "3");
    TickThroughUpdate();
    EXPECT_EQ(Alerts(),
              std::vector<std::string>{
                  "0 | Update Not Started | The update could not be started: the Ky is in "
                  "use by dvcapture (process 77); quit it first. Nothing was written to "
                  "the Ky."});
    EXPECT_EQ(Writes(), 0u);
    // A device file that cannot be looked at may be held by anyone: no update.
    bus->SetDeviceNode(guid, (proc / "gone").string());
    Tick();
    EXPECT_THAT(Shown(), HasSubstr("off on | Whether another program uses the Ky cannot be "
                                   "checked (cannot look at "));

    // Another updater holds the Ky.
    bus->Faults(guid).openStatus = kIOReturnExclusiveAccess;
    Tick();
    EXPECT_THAT(Shown(), EndsWith("off on | The Ky is being updated by another program."));
}

// The whole update, with a second click, Return, Space, Enter and a direct
// call of the handler on every tick of the flash: one update, one quit. The
// Ky already has the built-in firmware: the window writes it again.
TEST_F(WindowTest, WholeUpdateEndsInProgrammingCompleteWhateverIsPressedMeanwhile) {
    bus->Ky(guid).Identity() = {2, 6, 3, "KY123456"};
    // The worker waits in the middle of each image's blocks until the window
    // has shown it there, however late this thread is scheduled.
    std::atomic<int> pauses = 0;
    clock.onPause = [&] {
        if (const int n = ++pauses; n == 1300 || n == 2930) clock.Hold();
    };

    struct sigaction before {
    }, stop{};
    sigaction(SIGTSTP, nullptr, &before);
    Tick();
    QAbstractButton* update = Button("updateButton");
    update->click();
    EXPECT_EQ(std::tuple(update->isEnabled(), Button("cancelButton")->isEnabled(), dialog->State()),
              std::tuple(false, false, STARTUPDATE));
    EXPECT_EQ(io.Text().find("Start Download Thread"), std::string::npos);  // not before the tick
    Tick();
    EXPECT_EQ(dialog->State(), UPDATING);
    Screenshot("updating");
    update->setFocus();
    const int quits = QuitEventsSent();
    std::vector<int> seen;
    for (int i = 0; i < 5000 && dialog->State() != WAITFORINPUT; ++i) {
        EXPECT_FALSE(update->isEnabled());
        update->click();
        for (int key : {Qt::Key_Return, Qt::Key_Space, Qt::Key_Enter}) {
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
            QApplication::sendEvent(update, &press);
            QApplication::sendEvent(update, &release);
        }
        dialog->UpdateEventHandler(nullptr, nullptr);  // however else a click could come
        Tick();
        seen.push_back(Progress());
        if ((seen.back() > 40 && seen.back() < 60) || seen.back() > 80) clock.Release();
        sigaction(SIGTSTP, nullptr, &stop);  // Ctrl+Z cannot stop the flash
        EXPECT_EQ(stop.sa_handler, dialog->State() == UPDATING ? SIG_IGN : before.sa_handler);
        std::this_thread::sleep_for(2ms);
    }
    const std::string out = io.Text();
    EXPECT_EQ(out.find("Start Download Thread"), out.rfind("Start Download Thread"));
    // One alert, a note: its text as the restart's test shows it.
    EXPECT_THAT(Alerts(), ElementsAre(StartsWith("1 | Programming Complete | You will need to ")));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(std::pair(QuitEventsSent(), seen.back()), std::pair(quits + 1, 100));
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](int v) { return v > 40 && v < 60; }));
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](int v) { return v > 80 && v < 100; }));
}

// The restart under the completion alert, on the simulated Ky that its
// user switches off and on: each ending in the window and below the alert,
// and OK or a quit signal before it, which stop it and quit at once.
TEST_F(WindowTest, TheRestartIsFollowedUnderTheCompletionAlert) {
    const QString ask = "Switch the Ky off, wait a second and switch it on again.";
    // The Ky's fault, what is done under the alert, the versions and the restart's text then
    // shown, whether the exit status says it failed.
    // clang-format off
    const std::vector<std::tuple<std::string, std::string, std::string, bool>> cases = {
        {"", "wait", "2-6 | Not Available | The Ky now runs firmware 2-6.", false},
        {"restart-old-firmware", "wait", "1-5 | Not Available | The Ky came back with firmware 1-5, not 2-6: the new "
         "firmware did not start. Leave it connected and run `kyfw update` again; if it comes back with 1-5 once "
         "more, the Ky needs service.", true},
        {"restart-never-back", "wait", "1-5 | Not Available | The Ky left the bus 5 seconds ago and has not come "
         "back. Check that it is switched on and that its cable is plugged in; `kyfw list` shows it once it is "
         "back. If it stays away, the new firmware does not start and the Ky needs service.", true},
        {"", "OK", "1-5 | Not Available | " + ask.toStdString(), false},  // before the Ky left: not confirmed
        {"", "signal", "1-5 | Not Available | " + ask.toStdString(), true},  // and a recording cut short
    };
    // clang-format on
    for (const auto& [fault, under, shown, failed] : cases) {
        SCOPED_TRACE(fault + under);
        kytest::TempDir state("restart");
        // A fresh Ky at 1-5 that erases at once, switched off and on only when waited for.
        kysim::DemoKy::Options options{state.Path(), true, 0, 1, {}, &clock};
        if (under != "wait") options.powerCycleAfterMicros.reset();
        kysim::DemoKy demo(options);
        kysim::ApplyNamedFault(*demo.Bus(), demo.Guid(), fault);
        const std::string notice = under == "signal" ? "The recording r was cut short." : "";
        recordingProblem = notice;
        CKyFirmwareUpdateDialog::Environment environment{
            demo.Bus(), &clock, proc.Path(), {}, [this] { return RecordingKept(); }, &said};
        environment.switchedOffAndOn = [&demo] { demo.SwitchedOffAndOnSoon(); };
        // OK and the signal come at once, but the follow runs on the test's clock,
        // a hundred times faster than it counts: 5 s pass in 50 ms, which a busy
        // machine can take before the alert is answered.
        environment.restartLimits.waitMicros = under == "wait" ? 5'000'000 : 3'600'000'000;
        Open(environment);
        alerts.clear(), said.str({});
        const int quits = QuitEventsSent();
        duringAlert = [&] {
            EXPECT_TRUE(under != "signal" || dialog->QuitRequested());
            // The window goes on redrawing until the ending is shown.
            const auto shown = [&] { return !AlertInformative().endsWith(ask); };
            EXPECT_LT(under == "wait" ? LongestGap(6000, shown) : 0, 250);
        };
        Tick(), Button("updateButton")->click();
        TickThroughUpdate();
        EXPECT_EQ(Alerts(), std::vector<std::string>{
                                "1 | Programming Complete | You will need to cycle the Power "
                                "on your Ky for changes to take affect\n\n" +
                                notice + (notice.empty() ? "" : "\n\n") +
                                shown.substr(shown.rfind(" | ") + 3)});
        EXPECT_EQ(Shown(), shown + " | Upgrade off on" + (notice.empty() ? "" : " | " + notice));
        EXPECT_EQ(std::tuple(QuitEventsSent(), dialog->LastUpdateFailed(),
                             said.str().find("Stopped waiting: the restart is not confirmed.") !=
                                 std::string::npos),
                  std::tuple(quits + 1, failed, under != "wait"));
    }
}

TEST_F(WindowTest, FailedUpdateSaysSoAndGoesBackToWaiting) {
    using B = kysim::SimBus;
    // Each fault, and how the alert's text begins.
    // clang-format off
    const std::vector<std::tuple<std::string, std::function<void(B&, UInt64)>, std::string>> cases = {
        {"FPGA block busy", [](B& b, UInt64 g) {
             b.AddFault(g, kysim::FailWith(kysim::OnAny(kysim::TxType::BlockWrite, 40), kIOReturnBusy)); },
         "The FPGA (Xilinx) image failed while sending the block at 4938: busy (error "},
        {"MCORE CRC rejected", [](B& b, UInt64 g) {
             b.Ky(g).Behaviour().rejectCrc = true, b.Ky(g).Behaviour().faultyArea = kysim::FlashArea::MCORE; },
         "The MCORE image failed while verifying the CRC: "},
        // Its FPGA half alone: consent is bound to both halves.
        {"Ky changed since it was shown", [](B& b, UInt64 g) { b.Ky(g).Identity() = {1, 4, 3, "KY555555"}; },
         "The update could not be started: the Ky now reads 1-4, not the 1-5 you agreed to update. "
         "Nothing was written to the Ky."},
        {"Ky gone", [](B& b, UInt64 g) { b.Unplug(g); },
         "The update could not be started: the Ky could not be identified again"},
    };
    // clang-format on
    for (const auto& [name, fault, informative] : cases) {
        SCOPED_TRACE(name);
        bus->Replug(guid);
        bus->ClearFaults(guid);
        bus->Ky(guid).Behaviour() = {};
        bus->Ky(guid).Identity() = {};
        alerts.clear();
        Tick();
        Button("updateButton")->click();
        fault(*bus, guid);
        const int quits = QuitEventsSent();
        // The first: Quit during the flash, and a recording cut short, said below the alert.
        const bool first = name == "FPGA block busy";
        recordingProblem =
            first ? "the recording r could not be written whole: File too large" : "";
        if (first) Tick(), ProcessCommand(window, kHICommandQuit);
        TickThroughUpdate();
        ASSERT_EQ(alerts.size(), 1u);
        const bool started = !alerts[0].informative.startsWith("The update could not be started");
        EXPECT_THAT(Alerts()[0],
                    StartsWith(std::string("0 | ") +  // a stop
                               (started ? "Programming Failed" : "Update Not Started") + " | " +
                               informative));
        EXPECT_EQ(alerts[0].informative.contains("run the update again"), started);
        // The user may try again at once; the exit status says it failed.
        EXPECT_EQ(std::tuple(QuitEventsSent(), dialog->LastUpdateFailed(), Progress(),
                             Button("cancelButton")->isEnabled()),
                  std::tuple(quits + first, true, 0, true));
        if (first) {
            EXPECT_THAT(Alerts()[0], EndsWith("\n\nThe recording r could not be written whole: "
                                              "File too large."));
        }
        Tick();
        EXPECT_EQ(Button("updateButton")->isEnabled(), name != "Ky gone");
    }
}

TEST_F(WindowTest, QuitBeforeTheWorkerStartsCancelsTheUpdate) {
    for (bool bySignal : {false, true}) {
        SCOPED_TRACE(bySignal ? "signal" : "menu");
        Tick();
        bus->ClearTransactions();
        Button("updateButton")->click();
        ASSERT_EQ(dialog->State(), STARTUPDATE);
        const int quits = QuitEventsSent();
        if (bySignal)
            EXPECT_TRUE(dialog->QuitRequested());
        else
            EXPECT_EQ(ProcessCommand(window, kHICommandQuit), eventNotHandledErr);  // quits
        // Cancel may be pressed at once, not at the next tick.
        EXPECT_EQ(
            std::tuple(QuitEventsSent(), dialog->State(), Button("cancelButton")->isEnabled()),
            std::tuple(quits + 1, WAITFORINPUT, true));
        Tick();
        EXPECT_EQ(std::pair(Writes(), dialog->State() == UPDATING), std::pair(0ul, false));
    }
}

TEST_F(WindowTest, AboutInAnyStateAndQuitAndCloseRefusedWhileUpdating) {
    EXPECT_EQ(ProcessCommand(window, kHICommandAbout), noErr);
    EXPECT_THAT(Alerts(), ElementsAre(StartsWith("1 | KYFirmwareUpdate   | Version 1.3, ")));
    EXPECT_EQ(dialog->State(), WAITFORINPUT);
    Tick();
    Button("updateButton")->click();
    Tick();
    EXPECT_EQ(ProcessCommand(window, kHICommandQuit), noErr);  // swallowed, and it says why
    EXPECT_THAT(Shown(), EndsWith(" | The Ky is being written. The window shows how the update "
                                  "ended, then closes."));
    EXPECT_FALSE(window->close());
    EXPECT_EQ(ProcessCommand(window, kHICommandQuit), noErr);
    EXPECT_FALSE(dialog->QuitRequested());  // a signal waits for the end
    EXPECT_EQ(ProcessCommand(window, kHICommandAbout), noErr);
    const int quits = QuitEventsSent();
    TickThroughUpdate();
    // Then it quits, with no alert to answer: only the About boxes.
    EXPECT_EQ(std::pair(QuitEventsSent(), alerts.size()), std::pair(quits + 1, 2ul));
    EXPECT_EQ(ProcessCommand(window, kHICommandQuit), eventNotHandledErr);
}

TEST_F(WindowTest, ASilentSystemBusNeverHoldsUpTheWindow) {
    // logind's bus takes the connection and never answers: the update goes
    // on without holding off sleep, and the window keeps redrawing.
    kytest::SilentBus silent(proc / "system_bus_socket");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", silent.Address().c_str(), 1);
    QTimer::singleShot(600, [&] { Button("updateButton")->click(); });
    EXPECT_LT(LongestGap(4000), 250);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    EXPECT_THAT(Alerts(), ElementsAre(StartsWith("1 | Programming Complete | ")));
    EXPECT_THAT(io.Text(),
                HasSubstr("logind cannot be reached (no answer within 500 ms): sleep and "
                          "shutdown are not held off\n"));
}

TEST_F(WindowTest, ASilentKyNeverStopsTheWindowAndItSaysWhy) {
    // A Ky found in sysfs whose every read goes unanswered, in a new window
    // (the first one's timer must go with it).
    kytest::WriteFile(proc / "devices" / "fw1" / "guid", "0x0000d0a004120187\n");
    kytest::WriteFile(proc / "devices" / "fw1.0" / "specifier_id", "0x000a27\n");
    kytest::WriteFile(proc / "devices" / "fw1.0" / "version", "0x000011\n");
    kytest::WriteFile(proc / "dev" / "fw1", "");
    auto kernel = std::make_shared<kytest::FakeKernel>();
    kernel->answer = kytest::FakeKernel::Answer::Never;
    const FWLib::LinuxBusOptions options{proc / "devices", proc / "dev", kernel, 300};
    ky::FakeClock fake;
    Open({std::make_shared<FWLib::LinuxBus>(options), &fake, proc.Path(), {}, {}});
    // Three reads, each asked twice and given up after 300 ms: the answer comes
    // after about 2 s and is shown at the next tick, which a busy machine can put
    // past any fixed moment near it. The window is watched until it shows it.
    const auto answered = [&] { return Text("updateSentence").contains("could not be read"); };
    EXPECT_LT(LongestGap(20000, answered), 250);
    EXPECT_THAT(Shown(),
                StartsWith("Ky Not Found | Ky Not Found | The Ky at " +
                           (proc / "dev" / "fw1").string() + ": versions could not be read. | "));
}

// The window in another language, from the build tree's catalogues as the
// programs under test have them; English again afterwards.
class TranslatedWindowTest : public WindowTest {
protected:
    void Speak(const char* language) {
        setenv("LC_ALL", "C.UTF-8", 1), setenv("LANGUAGE", language, 1);
        ky::UseTranslations(KY_LOCALE_DIR);
        // In the program's order: Qt's translations before the window's.
        qDeleteAll(qApp->findChildren<QTranslator*>());
        qtTexts.reset(ky::UseQtTranslations());
        Open({bus, &clock, proc.Path(), {}, {}, &said, io.Sink()});
    }
    ~TranslatedWindowTest() override { ky::UseEnglish(), std::setlocale(LC_MESSAGES, "C"); }
    std::unique_ptr<QTranslator> qtTexts;
    // Every text of the window a user reads or hears, and of its alerts.
    void See(std::vector<QString>& texts) {
        for (QObject* o : window->findChildren<QObject*>())
            for (const char* name :
                 {"text", "title", "currentText", "accessibleName", "accessibleDescription"})
                texts.push_back(o->property(name).toString());
        for (const auto& a : alerts)
            texts.insert(texts.end(), {a.message, a.informative, a.cancelText});
    }
};

TEST_F(TranslatedWindowTest, InGermanTheButtonsSentencesAndAlertsAreGerman) {
    Speak("de");
    bus->Ky(guid).Identity() = {3, 0, 3, "555555"}, Tick(), answer = 2;
    EXPECT_EQ(Button("cancelButton")->text() + " | " + Text("updateSentence"),
              "Abbrechen | Klicken Sie auf „Downgrade“, um die Firmware-Version 2-6 auf den Ky "
              "zu laden:");
    Button("updateButton")->click();
    EXPECT_THAT(Alerts(), ElementsAre(StartsWith("2 | Dies ist ein Downgrade: | Klicken Sie auf "
                                                 "„OK“, um fortzufahren, oder auf „Abbrechen“")));
    QMessageBox box;  // a button of Qt's own, in its German (qt6-translations-l10n)
    EXPECT_EQ(box.addButton(QMessageBox::Cancel)->text(), "Abbrechen");
}

// In the pseudo-language every text of the catalogue is "[!! text !!]": one
// shown unwrapped did not go through it. The window's main paths: no Ky, an
// update offered, written, failed, a downgrade refused, and a real alert box.
TEST_F(TranslatedWindowTest, InThePseudoLanguageNoTextEscapesTheCatalogue) {
    Speak("en@pseudo");
    std::vector<QString> shown;
    bus->Unplug(guid), Tick(), See(shown), bus->Replug(guid), Tick(), See(shown);
    Button("updateButton")->click(), TickThroughUpdate();
    bus->Ky(guid).Identity() = {1, 5, 3, "123456"}, Tick(), Button("updateButton")->click();
    bus->AddFault(guid,
                  kysim::FailWith(kysim::OnAny(kysim::TxType::BlockWrite, 40), kIOReturnBusy)),
        TickThroughUpdate();
    bus->Ky(guid).Identity() = {3, 0, 3, "555555"}, Tick(), answer = 2;
    Button("updateButton")->click(), See(shown);
    ASSERT_EQ(alerts.size(), 3u);  // complete, failed, downgrade
    SetAlertResponder(nullptr);
    QTimer::singleShot(0, [&] {
        auto* ok = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())->buttons()[0];
        shown.push_back(ok->text()), ok->click();  // "OK" itself would escape
    });
    RunStandardAlert({kAlertNoteAlert, "[!! m !!]", "", ""});
    // A name, which stays as it is.
    const std::regex wrapped(R"(\[!! ((?!\[!! ).)*? !!\])"), word("[A-Za-z]{2}"),
        untranslated("KYFirmwareUpdate");
    std::vector<std::string> escaped;
    for (const QString& text : shown) {
        std::string rest = std::regex_replace(text.toStdString(), untranslated, "");
        while (std::regex_search(rest, wrapped)) rest = std::regex_replace(rest, wrapped, "");
        if (std::regex_search(rest, word)) escaped.push_back(text.toStdString());
    }
    EXPECT_THAT(escaped, ::testing::IsEmpty());
}

TEST(StartUp, MissingOrBrokenPartsOfTheDescriptionEndTheProgramAndSayWhich) {
    const std::string ui = kytest::ReadFile(KY_UI_DIR "/main.ui");
    // clang-format off
    // Each ends with status 6, "cannot start".
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"", "", "Cannot open the interface description "},
        {"fifo", "", "Cannot open the interface description "},  // at once, not waiting for a writer
        {"class=\"QMainWindow\"", "class=", "Cannot read the interface description "},
        {"name=\"MenuBar\"", "name=\"Menus\"", "The interface description has no menu bar \"MenuBar\"\n"},
        {"name=\"MainWindow\"", "name=\"Window\"", "The interface description has no window \"MainWindow\"\n"},
        {"<number>202</number>", "<number>299</number>", "ky-firmware-update: the interface description "
            "cannot be used: it has no control kyUD 202 (the in-use notice)\n"},
    };
    // clang-format on
    for (const auto& [from, to, message] : cases) {
        SCOPED_TRACE(message);
        kytest::TempDir dir("startup");
        if (from == "fifo") mkfifo((dir / "main.ui").c_str(), 0600);
        if (!from.empty() && from != "fifo") {
            std::string text = ui;
            text.replace(text.find(from), from.size(), to);
            kytest::WriteFile(dir / "main.ui", text);
        }
        auto r = kytest::Run(KY_GUI_PATH, {"--simulate"},
                             {"KYFW_UI_DIR=" + dir.String(), "QT_QPA_PLATFORM=offscreen",
                              "KYFW_SIM_STATE=" + (dir / "sim").string()});
        EXPECT_EQ(std::pair(r.status, r.out.find("Ctor KyFirmwareUpdate")),
                  std::pair(6, std::string::npos));
        EXPECT_THAT(r.err, HasSubstr(message));
    }
}

TEST(StartUp, HangUpEndsAnIdleWindowCleanlyFailingOnlyARecordingCutShort) {
    kytest::TempDir dir("sig");
    for (const char* room : {"unlimited", "0"}) {  // the file size a recording may reach
        SCOPED_TRACE(room);
        const bool cut = room[0] == '0';  // and the engine's trace lines shown
        const std::string shell = std::string("trap '' XFSZ; ulimit -f ") + room +
                                  "; exec \"$0\" --simulate --record \"$1\"" +
                                  (cut ? " --verbose" : "");
        // A file name that is not UTF-8 is used byte for byte, and shown escaped.
        auto r = kytest::Run("/bin/sh", {"-c", shell, KY_GUI_PATH, dir.String() + "/r\xff.jsonl"},
                             {"QT_QPA_PLATFORM=offscreen", "KYFW_SIM_STATE=" + dir.String()},
                             [](int pid) {
                                 EXPECT_TRUE(kytest::AwaitCaught(pid, SIGHUP));
                                 std::this_thread::sleep_for(500ms);  // a few idle ticks
                                 kill(pid, SIGHUP);                   // the terminal closed
                             });
        EXPECT_EQ(
            std::tuple(r.status, r.out, r.err.find("Dtor KyFirmwareUpdate\n") != std::string::npos),
            std::tuple(cut ? 1 : 0, "", cut))
            << r.err;
        EXPECT_EQ(r.err.find("r\\xFF.jsonl could not be written whole: File too large\n") !=
                      std::string::npos,
                  cut);
        EXPECT_TRUE(fs::exists(dir / "r\xff.jsonl"));
    }
}

TEST(StartUp, OnlyQtOptionsAndSimulateAreAcceptedAndHelpSaysSo) {
    auto r = kytest::Run(KY_GUI_PATH, {"--frobnicate"}, {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(r.status, 64);
    EXPECT_THAT(r.err,
                HasSubstr("usage: ky-firmware-update [--simulate] [--record FILE] [--verbose] [Qt "
                          "options]\n"));
    r = kytest::Run(KY_GUI_PATH, {"--help"}, {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: ky-firmware-update [--simulate] [--record FILE]", 0), 0u);
}

}  // namespace
