#pragma once

// How our own code reports a failure: a value, or an Error in words that
// each layer above prefixes with what it was doing, so that the user reads
// the whole chain: "cannot keep the simulated Ky: cannot write
// /home/a/.local/state/x: No space left on device".

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "base/KyAssert.h"

namespace ky {

class Error {
public:
    explicit Error(std::string what) : mWhat(std::move(what)) {}
    const std::string& What() const { return mWhat; }
    // "doing: what".
    Error In(std::string_view doing) const { return Error(std::string(doing) + ": " + mWhat); }

private:
    std::string mWhat;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : mValue(std::move(value)) {}
    Result(Error error) : mValue(std::move(error)) {}

    bool Ok() const { return mValue.index() == 0; }
    explicit operator bool() const { return Ok(); }
    T& operator*() {
        KY_ASSERT(Ok());
        return std::get<0>(mValue);
    }
    const T& operator*() const {
        KY_ASSERT(Ok());
        return std::get<0>(mValue);
    }
    T* operator->() { return &**this; }
    const T* operator->() const { return &**this; }
    const Error& Failure() const {
        KY_ASSERT(!Ok());
        return std::get<1>(mValue);
    }
    // Prefixes a failure with what the caller was doing; a value passes.
    Result In(std::string_view doing) && {
        if (!Ok()) mValue = Failure().In(doing);
        return std::move(*this);
    }

private:
    std::variant<T, Error> mValue;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : mError(std::move(error)) {}

    bool Ok() const { return !mError; }
    explicit operator bool() const { return Ok(); }
    const Error& Failure() const {
        KY_ASSERT(!Ok());
        return *mError;
    }
    Result In(std::string_view doing) && {
        if (mError) mError = mError->In(doing);
        return std::move(*this);
    }

private:
    std::optional<Error> mError;
};

using Done = Result<void>;

}  // namespace ky
