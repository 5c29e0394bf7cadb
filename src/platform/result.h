// Result<T>: a value or an Error{code, message}, the return type of every platform call.
#pragma once

#include <cerrno>
#include <string>
#include <utility>
#include <variant>

// Errors that Linux names and Windows' C library does not: numbers of their
// own there, past the ones it uses, keep the codes apart from the rest.
#ifndef ENOMEDIUM
#define ENOMEDIUM 190
#endif
#ifndef EDQUOT
#define EDQUOT 191
#endif

namespace platform {

// An operating-system failure. `code` is an errno value (0 when the failure
// is not the system's, such as a path the dialect cannot hold); `message`
// names the object and the cause, ready to be shown or logged.
struct Error {
    int code = 0;
    std::string message;
};

// Error from errno (or the given code) with "what: strerror" as message.
Error systemError(const std::string& what, int code = errno);

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : m_state(std::move(value)) {}
    Result(Error error) : m_state(std::move(error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T& value() const& { return std::get<0>(m_state); }
    T& value() & { return std::get<0>(m_state); }
    T&& value() && { return std::get<0>(std::move(m_state)); }
    const T& operator*() const& { return value(); }
    const T* operator->() const { return &value(); }
    const Error& error() const { return std::get<1>(m_state); }
    T valueOr(T fallback) const { return ok() ? value() : std::move(fallback); }

private:
    std::variant<T, Error> m_state;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : m_error(std::move(error)), m_failed(true) {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return m_error; }

private:
    Error m_error;
    bool m_failed = false;
};

} // namespace platform
