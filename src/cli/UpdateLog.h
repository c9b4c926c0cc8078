#pragma once

// What surrounds the flashing of a Ky on the command line: the update's
// trace lines and the log file that keeps them, the quit signals held back
// until the update ends, and the progress shown to the user.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "base/FdStream.h"
#include "base/Trace.h"
#include "support/QuitSignals.h"
#include "support/StopSignals.h"
#include "update/SleepInhibitor.h"

namespace kyfw {

// The trace and error lines of one update (the controller's, the engine's),
// handed to them as their trace: with `verbose` shown on `terminal` as they
// come; kept until the update's log opens, which then begins with them and
// takes the rest while it lives.
class UpdateTrace final : public ky::TraceSink {
public:
    // `terminal` is null unless the lines are shown as they come.
    explicit UpdateTrace(std::streambuf* terminal) : mTerminal(terminal) {}
    ky::Trace Sink() { return ky::Trace(*this); }
    void Write(std::string_view text) override;

private:
    friend class UpdateLog;
    std::mutex mMutex;
    std::string mEarly;
    std::streambuf* mTerminal;
    std::ostream* mLog = nullptr;  // while a log is open; it shows them on the terminal too
};

// For its life, the update's trace lines go to a new log file in the
// user's private log directory, and with `verbose` to the terminal's error
// stream as well. Without a log file the update goes on; Problem() says why
// there is none.
class UpdateLog {
public:
    UpdateLog(bool verbose, std::streambuf* terminal, UpdateTrace& trace);
    ~UpdateLog();  // the update's trace lines are kept again
    UpdateLog(const UpdateLog&) = delete;
    UpdateLog& operator=(const UpdateLog&) = delete;

    std::ostream& Stream() { return mLog; }
    // Flushes the log to disk: its path once it is whole, else nothing and
    // Problem() says why.
    std::optional<std::filesystem::path> Finish();
    const std::string& Problem() const { return mProblem; }

private:
    std::filesystem::path mPath;
    std::string mProblem;
    std::unique_ptr<ky::FdOutputBuffer> mFile;
    std::unique_ptr<std::streambuf> mTee;
    std::ostream mLog;
    UpdateTrace& mTrace;
};

// Adds `text` at the end of a log that was finished before (what came
// after the update); a log that cannot be opened is left as it is.
void AppendToLog(const std::filesystem::path& log, const std::string& text);

// While it lives, the quit signals are caught (ky::QuitSignalsCaught: they
// print that the update will finish first) and the terminal's stop keys
// (Ctrl+Z) are ignored: nothing may interrupt a flash. Scopes nest.
class QuitSignalsDeferred {
public:
    // `notice` is written to standard error at each signal.
    explicit QuitSignalsDeferred(std::string notice)
        : mNotice(std::move(notice)), mQuit(mNotice.c_str()) {}
    QuitSignalsDeferred(const QuitSignalsDeferred&) = delete;
    QuitSignalsDeferred& operator=(const QuitSignalsDeferred&) = delete;
    static bool Received() { return ky::QuitSignalsCaught::Received(); }

private:
    std::string mNotice;  // the signal handlers write it while this lives
    ky::StopSignalsIgnored mStops;
    ky::QuitSignalsCaught mQuit;
};

// Shows the update's progress: on a terminal one redrawn bar with the phase
// ("Xilinx: writing") and the value; otherwise a plain line at each change
// of phase and every 10%.
class ProgressView {
public:
    ProgressView(std::ostream& out, bool terminal) : mOut(out), mTerminal(terminal) {}
    void Show(unsigned value, const std::string& phase);
    void Finish();

private:
    std::ostream& mOut;
    bool mTerminal;
    std::string mLastPhase;
    int mLastTenth = -1;
    bool mDrawn = false;
};

// The progress of several Kys written side by side: on a terminal one
// line per Ky, each named and redrawn in place; otherwise a line naming the
// Ky at each change of its phase and every 10%.
class BatchProgressView {
public:
    BatchProgressView(std::ostream& out, bool terminal) : mOut(out), mTerminal(terminal) {}
    // Ky `i`, shown as `name`, has begun.
    void Add(std::size_t i, const std::string& name);
    void Show(std::size_t i, unsigned value, const std::string& phase);
    void Redraw();  // on a terminal: every line, in place
    void Finish();

private:
    struct Line {
        std::size_t ky;
        std::string name;
        unsigned value = 0;
        std::string phase;
        int lastTenth = -1;
        std::string lastPhase;
    };
    std::ostream& mOut;
    bool mTerminal;
    std::vector<Line> mLines;
    std::size_t mDrawn = 0;  // lines on the terminal to draw over
};

}  // namespace kyfw
