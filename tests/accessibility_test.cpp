// The main window by keyboard, by screen reader and under light and dark
// palettes, on real Qt widgets (offscreen) with the simulated Ky.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QTest>

#include "qtsupport/Announce.h"
#include "qtsupport/Legibility.h"
#include "sim/SimBus.h"
#include "support/Files.h"
#include "support/GateClock.h"
#include "window/KyFirmwareUpdateDialog.h"

namespace {

std::vector<std::string> gAlerted;  // the controls an Alert event was sent for, in order

class AccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("KYFW_UI_DIR", KY_UI_DIR);
        guid = bus->AddKy();
        SetAlertResponder([this](const AlertRequest& r) -> SInt16 {
            alerts.push_back(r.message.toStdString());
            return 1;
        });
        IBNibRef nib = nullptr;
        ASSERT_EQ(CreateNibReference("main", &nib), noErr);
        ASSERT_EQ(CreateWindowFromNib(nib, "MainWindow", &window), noErr);
        DisposeNibReference(nib);
        dialog = std::make_unique<CKyFirmwareUpdateDialog>(
            window, CKyFirmwareUpdateDialog::Environment{bus, &clock, proc.Path(), {}, {}});
        ShowWindow(window);
        gAlerted.clear();
        ky::SetAnnouncer([](QWidget* w) { gAlerted.push_back(w->objectName().toStdString()); });
    }
    void TearDown() override {
        ky::SetAnnouncer(nullptr);
        SetAlertResponder(nullptr);
        dialog.reset();
        DisposeWindow(window);
    }
    void Tick() { dialog->TimerEventHandler(nullptr); }
    template <class W = QWidget>
    W* Get(const char* name) {
        return window->findChild<W*>(name);
    }
    QString Accessible(const char* name, QAccessible::Text text) {
        return QAccessible::queryAccessibleInterface(Get(name))->text(text);
    }

    kytest::GateClock clock;
    std::shared_ptr<kysim::SimBus> bus = kysim::SimBus::Create(clock);
    UInt64 guid = 0;
    kytest::TempDir proc{"a11yproc"};
    WindowRef window = nullptr;
    std::unique_ptr<CKyFirmwareUpdateDialog> dialog;
    std::vector<std::string> alerts;
};

TEST_F(AccessTest, EveryControlIsNamedAndDescribedAndTheValuesCarryTheirCaptions) {
    Tick();
    for (const char* name : {"kyChooser", "progress", "cancelButton", "updateButton"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(Accessible(name, QAccessible::Name).isEmpty());
        EXPECT_FALSE(Accessible(name, QAccessible::Description).isEmpty());
    }
    EXPECT_EQ(Accessible("updateButton", QAccessible::Name), "Upgrade");  // as it reads
    EXPECT_EQ(Accessible("versionValue", QAccessible::Name), "Current firmware version: 1-5");
    EXPECT_EQ(Accessible("serialValue", QAccessible::Name), "Serial number: Not Available");
    const auto labelled =
        QAccessible::queryAccessibleInterface(Get("serialValue"))->relations(QAccessible::Label);
    EXPECT_TRUE(
        std::any_of(labelled.begin(), labelled.end(),  // and by its group box
                    [&](const auto& r) { return r.first->object() == Get("serialLabel"); }));
    bus->Unplug(guid);
    Tick();
    EXPECT_EQ(Accessible("versionValue", QAccessible::Name),
              "Current firmware version: Ky Not Found");
}

// The notice and the sentence (where the restart's result is said) are
// announced when they change, not at every tick that sets them again.
TEST_F(AccessTest, TheNoticeAndTheSentenceAreAnnouncedOnceWhenTheyChange) {
    Tick(), Tick();
    EXPECT_EQ(gAlerted, std::vector<std::string>{"updateSentence"});
    kytest::WriteFile(proc / "4321" / "comm", "kdenlive\n");
    Tick(), Tick();
    EXPECT_EQ(gAlerted, (std::vector<std::string>{"updateSentence", "inUseNotice"}));
}

TEST_F(AccessTest, TheNoticeKeepsItsRedLegibleOnLightAndDarkPalettes) {
    EXPECT_NEAR(ky::ContrastRatio(Qt::red, Qt::white), 4.0, 0.01);
    EXPECT_NEAR(ky::ContrastRatio(Qt::black, Qt::white), 21.0, 1e-9);
    auto* notice = Get<QLabel>("inUseNotice");
    // Adwaita's light window, Fusion's dark one, white, and black (pure red is enough there).
    for (const QColor background :
         {QColor(0xf6f5f4), QColor(0x353535), QColor(Qt::white), QColor(Qt::black)}) {
        SCOPED_TRACE(background.name().toStdString());
        QPalette palette = window->palette();
        palette.setColor(QPalette::Window, background);
        window->setPalette(palette);
        const QColor shown = notice->palette().color(QPalette::WindowText);
        EXPECT_GE(ky::ContrastRatio(shown, notice->palette().color(QPalette::Window)), 4.5);
        EXPECT_EQ(std::pair(shown.hslHue(), shown.hslSaturation()), std::pair(0, 255));
        if (background == Qt::black)
            EXPECT_EQ(shown, QColor(Qt::red));  // enough as it is
        else
            EXPECT_LT(ky::ContrastRatio(shown, background), 4.7);  // no further than needed
    }
}

TEST_F(AccessTest, FocusIsOnTheUpdateButtonAndWaitsOnTheProgressBarDuringTheFlash) {
    auto* update = Get<QAbstractButton>("updateButton");
    Tick();
    EXPECT_EQ(window->focusWidget(), update);
    EXPECT_TRUE(window->testAttribute(Qt::WA_KeyboardFocusChange));  // its ring is drawn
    QTest::keyClick(update, Qt::Key_Return);
    EXPECT_EQ(std::pair(dialog->State(), window->focusWidget()),
              std::pair(STARTUPDATE, Get("progress")));
}

// Ctrl+U is the button: the same downgrade question, and nothing while the
// button may not be pressed.
TEST_F(AccessTest, CtrlUPressesTheUpdateButtonOnlyWhenItMayBePressed) {
    bus->Ky(guid).Identity() = {3, 0, 3, "KY555555"};
    kytest::WriteFile(proc / "4321" / "comm", "kdenlive\n");
    Tick();
    QApplication::setActiveWindow(window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(window, 2000));
    QTest::keyClick(window, Qt::Key_U, Qt::ControlModifier);  // in use: no question, no update
    EXPECT_EQ(std::pair(alerts.size(), dialog->State()), std::pair(0ul, WAITFORINPUT));
    std::filesystem::remove_all(proc / "4321");
    Tick();
    QTest::keyClick(window, Qt::Key_U, Qt::ControlModifier);
    EXPECT_EQ(alerts, std::vector<std::string>{"This is a Downgrade:"});
    EXPECT_EQ(dialog->State(), STARTUPDATE);
    QTest::keyClick(window, Qt::Key_U, Qt::ControlModifier);  // the update is under way
    EXPECT_EQ(std::pair(alerts.size(), dialog->State()), std::pair(1ul, STARTUPDATE));
}

}  // namespace
