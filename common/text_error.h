#pragma once
// The one failure type of the transport, the application link and the notifier: a text that
// ends up, with a fixed prefix, in the trace log. It deliberately does not derive from
// std::exception, so that catch sites can tell our own failures from anything else.
#include <string>
#include <utility>

class TextError {
public:
    explicit TextError(std::wstring text) : text_(std::move(text)) {}
    virtual ~TextError() = default;  // kinds (a time-out, a socket call's code) are told apart by type
    TextError(const TextError&) = default;
    TextError& operator=(const TextError&) = default;
    const std::wstring& text() const noexcept { return text_; }

private:
    std::wstring text_;
};
