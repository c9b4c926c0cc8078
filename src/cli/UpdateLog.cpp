#include "cli/UpdateLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "base/Paths.h"
#include "base/Translate.h"

namespace kyfw {

namespace {

// Writes to two buffers at once.
class TeeBuffer final : public std::streambuf {
public:
    TeeBuffer(std::streambuf* a, std::streambuf* b) : mA(a), mB(b) {}

protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        const bool ok = mA->sputc(char(c)) != traits_type::eof() &&
                        (!mB || mB->sputc(char(c)) != traits_type::eof());
        return ok ? c : traits_type::eof();
    }
    int sync() override { return (mA->pubsync() == 0 && (!mB || mB->pubsync() == 0)) ? 0 : -1; }

private:
    std::streambuf* mA;
    std::streambuf* mB;
};

// The n-th log of this process within the second gets "-n" (update --all
// writes one per Ky).
std::string LogName(int n) {
    const std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&now));
    return "update-" + std::string(stamp) + "-" + std::to_string(getpid()) +
           (n > 1 ? "-" + std::to_string(n) : "") + ".log";
}

// A new log file in the private log directory, named in `path`.
ky::Result<std::unique_ptr<ky::FdOutputBuffer>> OpenLog(std::filesystem::path& path) {
    auto base = ky::StateDirectory();
    ky::Done dir = base ? ky::EnsurePrivateDirectory(*base / "logs") : ky::Done(base.Failure());
    if (!dir) return dir.Failure();
    ky::Result<int> fd = ky::Error("");
    for (int n = 1; !fd && n <= 64; ++n) {
        path = *base / "logs" / LogName(n);
        fd = ky::OpenPrivateFile(path, O_WRONLY | O_CREAT | O_EXCL);
        if (!fd && errno != EEXIST) break;
    }
    if (!fd) return fd.Failure();
    return std::make_unique<ky::FdOutputBuffer>(*fd, true);
}

// The log file and, with `verbose`, the terminal; nothing without either.
std::unique_ptr<std::streambuf> MakeTee(ky::FdOutputBuffer* file, bool verbose,
                                        std::streambuf* terminal) {
    if (file) return std::make_unique<TeeBuffer>(file, verbose ? terminal : nullptr);
    if (verbose) return std::make_unique<TeeBuffer>(terminal, nullptr);
    return nullptr;
}

}  // namespace

void UpdateTrace::Write(std::string_view text) {
    std::lock_guard guard(mMutex);
    if (mLog) {
        mLog->write(text.data(), std::streamsize(text.size()));
        return;
    }
    mEarly += text;
    if (mTerminal) mTerminal->sputn(text.data(), std::streamsize(text.size()));
}

// The lines kept so far begin the log; the terminal has seen them.
UpdateLog::UpdateLog(bool verbose, std::streambuf* terminal, UpdateTrace& trace)
    : mLog(nullptr), mTrace(trace) {
    auto opened = OpenLog(mPath);
    if (opened)
        mFile = std::move(*opened);
    else
        mProblem = opened.Failure().What();
    mTee = MakeTee(mFile.get(), verbose, terminal);
    mLog.rdbuf(mTee.get());
    std::lock_guard guard(trace.mMutex);
    if (mFile) mFile->sputn(trace.mEarly.data(), std::streamsize(trace.mEarly.size()));
    if (mTee) trace.mLog = &mLog;
}

UpdateLog::~UpdateLog() {
    std::lock_guard guard(mTrace.mMutex);
    mTrace.mLog = nullptr;
}

std::optional<std::filesystem::path> UpdateLog::Finish() {
    mLog.flush();
    if (!mFile) return std::nullopt;
    if (mFile->Finish()) return mPath;
    // TRANSLATORS: {1} is a file's path, {2} why it could not be written.
    mProblem = ky::Fill(ky::Tr("cannot write {1}: {2}"), {mPath.string(), mFile->ErrorText()});
    ::unlink(mPath.c_str());  // a log cut short is no log: it goes
    return std::nullopt;
}

void AppendToLog(const std::filesystem::path& log, const std::string& text) {
    const auto fd = ky::OpenPrivateFile(log, O_WRONLY | O_APPEND);
    if (!fd) return;
    ky::FdOutputBuffer out(*fd, true);
    std::ostream(&out) << text << std::flush;
}

void ProgressView::Show(unsigned value, const std::string& phase) {
    if (mTerminal) {
        constexpr unsigned kWidth = 30;
        const unsigned filled = value * kWidth / 100;
        mOut << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] "
             << (value < 10    ? "  "
                 : value < 100 ? " "
                               : "")
             << value << "%  " << phase << "\x1b[K" << std::flush;
        mDrawn = true;
        return;
    }
    const int tenth = static_cast<int>(value / 10);
    if (phase == mLastPhase && tenth == mLastTenth) return;
    mOut << phase << " " << value << "%\n" << std::flush;
    mLastPhase = phase;
    mLastTenth = tenth;
}

void ProgressView::Finish() {
    if (mTerminal && mDrawn) mOut << "\n";
    mDrawn = false;
}

namespace {

std::string Bar(unsigned value) {
    constexpr unsigned kWidth = 30;
    const unsigned filled = value * kWidth / 100;
    return "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] " +
           (value < 10    ? "  "
            : value < 100 ? " "
                          : "") +
           std::to_string(value) + "%";
}

}  // namespace

void BatchProgressView::Add(std::size_t i, const std::string& name) {
    // TRANSLATORS: the phase of an update that has not begun to write.
    mLines.push_back({i, name, 0, ky::Tr("starting"), -1, ""});
}

void BatchProgressView::Show(std::size_t i, unsigned value, const std::string& phase) {
    for (auto& line : mLines) {
        if (line.ky != i) continue;
        line.value = value;
        line.phase = phase;
        if (mTerminal) return;
        const int tenth = static_cast<int>(value / 10);
        if (phase == line.lastPhase && tenth == line.lastTenth) return;
        mOut << line.name << ": " << phase << " " << value << "%\n" << std::flush;
        line.lastPhase = phase;
        line.lastTenth = tenth;
    }
}

void BatchProgressView::Redraw() {
    if (!mTerminal || mLines.empty()) return;
    if (mDrawn > 0) mOut << "\x1b[" << mDrawn << "A";
    for (const auto& line : mLines)
        mOut << "\r" << line.name << "  " << Bar(line.value) << "  " << line.phase << "\x1b[K\n";
    mOut << std::flush;
    mDrawn = mLines.size();
}

void BatchProgressView::Finish() {
    Redraw();
}

}  // namespace kyfw
