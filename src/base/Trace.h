#pragma once

#include <charconv>
#include <concepts>
#include <mutex>
#include <ostream>
#include <string_view>

namespace ky {

// Takes the trace and error lines of a part of the program ("FWDL::Open",
// "Erasing Flash", "Download has failed"), each piece whole. Several
// threads may write at once (the worker, the window's probe).
class TraceSink {
public:
    virtual void Write(std::string_view text) = 0;

protected:
    ~TraceSink() = default;
};

// A sink that writes to a stream, one piece at a time.
class StreamTraceSink final : public TraceSink {
public:
    explicit StreamTraceSink(std::ostream& to) : mTo(&to) {}
    void Write(std::string_view text) override {
        std::lock_guard guard(mMutex);
        mTo->write(text.data(), std::streamsize(text.size()));
    }

private:
    std::mutex mMutex;
    std::ostream* const mTo;
};

// Where a part of the program writes its trace lines: a sink its owner
// names (the update's log, standard error with --verbose) or nowhere. Each
// part is handed one by its owner when it is made; there is no global one,
// and the sink must outlive every part that writes to it. Text and whole
// numbers only, formatted without allocating: the engine traces while the
// flash is written.
class Trace {
public:
    Trace() = default;  // nowhere
    explicit Trace(TraceSink& to) : mTo(&to) {}

    const Trace& operator<<(std::string_view text) const {
        if (mTo) mTo->Write(text);
        return *this;
    }
    const Trace& operator<<(char c) const { return *this << std::string_view(&c, 1); }
    template <std::integral T>
    requires(!std::same_as<T, char> && !std::same_as<T, bool>) const Trace& operator<<(
        T value) const {
        char text[24];
        const auto end = std::to_chars(text, text + sizeof text, value).ptr;
        return *this << std::string_view(text, std::size_t(end - text));
    }

private:
    TraceSink* mTo = nullptr;
};

}  // namespace ky
