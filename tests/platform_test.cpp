// The platform services and control wrappers on real Qt widgets, offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "qtsupport/carboncontrols.h"
#include "support/Files.h"

namespace {

constexpr OSType kSig = FourCharCode("kyUD");

// The window of the test's controls.ui, shown.
class Controls : public ::testing::Test {
protected:
    void SetUp() override {
        kytest::WriteFile(dir / "main.ui", kytest::ReadFile(KY_TEST_DATA "/controls.ui"));
        qputenv("KYFW_UI_DIR", QByteArray::fromStdString(dir.String()));
        IBNibRef nib = nullptr;
        ASSERT_EQ(CreateNibReference("main", &nib), noErr);
        SetMenuBarFromNib(nib, "MenuBar");
        ASSERT_EQ(CreateWindowFromNib(nib, "MainWindow", &window), noErr);
        DisposeNibReference(nib);
        EXPECT_FALSE(window->isVisible());  // until shown
        ShowWindow(window);
        EXPECT_TRUE(window->isVisible());
    }
    void TearDown() override {
        delete window;
        qunsetenv("KYFW_UI_DIR");
    }
    template <class W>
    W* Widget(const char* name) {
        return window->findChild<W*>(name);
    }
    kytest::TempDir dir{"ui"};
    WindowRef window = nullptr;
};

// Unknown IDs, fonts, edit texts and menus have no caller in this
// program: one smoke row for them all.
TEST_F(Controls, WhatTheWindowNeverUses) {
    CControl missing, label;
    EXPECT_EQ(missing.Init({kSig, 999}, window), errUnknownControl);
    ASSERT_EQ(label.Init({kSig, 200}, window), noErr);
    label.SetText("\xc3\xa9tat \xff\x1b");  // UTF-8 shown, other bytes and controls escaped
    EXPECT_EQ(label.GetText(), "\xc3\xa9tat \\xFF\\x1B");
    label.SetFontControlStyle(17, 1, {0, 0, 65535});
    label.SetFontStyle(3);
    const QFont font = Widget<QLabel>("label")->font();
    EXPECT_TRUE(font.pointSize() == 17 && font.bold() && font.italic());
    EXPECT_EQ(Widget<QLabel>("label")->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    CEdit edit;
    edit.Init({kSig, 500}, window);
    edit.SetValue(std::string("Caf\xc3\xa9 \x80"));  // UTF-8, and a byte that is not
    EXPECT_EQ(Widget<QLineEdit>("edit")->text(), QString::fromUtf8("Café \\x80"));
    QMenu menu;
    CMenu cmenu(&menu);
    cmenu.Append("Open/O;(Disabled");
    ASSERT_EQ(menu.actions().size(), 2);
    EXPECT_EQ(menu.actions()[0]->shortcut(), QKeySequence("Ctrl+O"));
    EXPECT_FALSE(menu.actions()[1]->isEnabled());
}

OSStatus CountingHandler(EventHandlerCallRef, EventRef event, void* data) {
    HICommand command;
    if (GetEventCommand(event, &command) != noErr) return eventNotHandledErr;
    auto* seen = static_cast<std::vector<UInt32>*>(data);
    seen->push_back(command.commandID);
    return command.commandID == kHICommandQuit ? noErr : eventNotHandledErr;
}

TEST_F(Controls, MenuCommandsAndTheCloseBoxReachTheWindowsHandler) {
    std::vector<UInt32> seen;
    InstallWindowEventHandler(window, CountingHandler, {kEventClassCommand, kEventCommandProcess},
                              &seen);
    window->findChild<QAction*>("actionAbout")->trigger();
    EXPECT_EQ(seen, std::vector<UInt32>{kHICommandAbout});
    EXPECT_FALSE(window->close());  // the handler swallows 'quit': the window stays
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(seen.back(), kHICommandQuit);
}

TEST(Alerts, AnsweredOnTheRealBoxByAClickOrCtrlQAndTheirTextChangedWhileUp) {
    QTimer::singleShot(0, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), "This is a Downgrade:");
        EXPECT_EQ(box->informativeText(), "Press OK to Continue or Cancel to Quit");
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        QTimer::singleShot(5000, box, [box] { box->defaultButton()->click(); });  // OK: no answer
        EXPECT_TRUE(QTest::qWaitForWindowActive(box, 2000));
        QTest::keyClick(box, Qt::Key_Q, Qt::ControlModifier);  // Ctrl+Q, as Escape: Cancel
    });
    EXPECT_EQ(RunStandardAlert({kAlertCautionAlert, "This is a Downgrade:",
                                "Press OK to Continue or Cancel to Quit", "Cancel"}),
              2);
    QTimer::singleShot(0, [] {  // ended with no button pressed, as the program's quit does
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        QTimer::singleShot(5000, box, [box] { box->defaultButton()->click(); });
        box->done(0);
    });
    EXPECT_EQ(RunStandardAlert({kAlertCautionAlert, "This is a Downgrade:", "", "Cancel"}), 2);
    QTimer::singleShot(0, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        SetAlertInformative("later");  // while it is up
        EXPECT_EQ(box->informativeText(), "later");
        box->defaultButton()->click();
    });
    EXPECT_EQ(RunStandardAlert({kAlertNoteAlert, "Programming Complete", "info", ""}), 1);
}

TEST(Timers, FirstFireAtOnceThenEveryInterval) {
    int ticks = 0;
    EventLoopTimerRef timer = nullptr;
    InstallEventLoopTimer(
        0.0, 0.01, [](EventLoopTimerRef, void* data) { ++*static_cast<int*>(data); }, &ticks,
        &timer);
    QCoreApplication::processEvents();  // the first fire needs no waiting
    EXPECT_EQ(ticks, 1);
    QEventLoop loop;
    QTimer::singleShot(200, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_GE(ticks, 4);
    RemoveEventLoopTimer(timer);
}

}  // namespace
