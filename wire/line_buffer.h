#pragma once
// Cuts received bytes into protocol lines, however the bytes were split into receives. Pure
// code, like the encoding: it also builds natively, so the host tests and fuzzers reach it.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

class LineBuffer {
public:
    // A peer that never ends its line must not grow our memory without bound: the longest
    // path escaped six bytes a unit is about 196 KiB, far below this.
    static constexpr std::size_t kMaxLineBytes = 1 << 20;

    // Room for up to atMost received bytes; received() then says how many were written there.
    char* space(std::size_t atMost);
    void received(std::size_t count) noexcept;
    void endOfStream() noexcept { ended_ = true; }
    bool ended() const noexcept { return ended_; }

    // The next complete line, decoded, without its end: LF, CR, or CR LF. After the end of the
    // stream: the bytes that came before it, then empty lines. None while a line is incomplete.
    // Throws TextError for an undecodable line (the bytes after it stay) and for one longer
    // than kMaxLineBytes.
    std::optional<std::wstring> nextLine();

    void clear() noexcept;

    // What the first line that a conforming sender would not send held (a byte order mark, raw
    // bytes above 0x7F), or empty; such lines are decoded all the same.
    const std::wstring& foreignBytesSeen() const noexcept { return foreignBytes_; }

private:
    std::string bytes_;
    std::size_t consumed_ = 0;   // how many bytes have been returned as lines
    std::size_t scanned_ = 0;    // bytes_ holds no line end before this offset
    std::size_t spaceFrom_ = 0;  // where space() put the room for the next receive
    // The last line ended at a CR: an LF right after it belongs to that line end, even when it
    // comes in a later receive. The line itself is given at once, without waiting to see.
    bool afterCarriageReturn_ = false;
    bool ended_ = false;
    std::wstring foreignBytes_;

    std::wstring decode(std::string_view line);
};
