#include "wire/line_buffer.h"

#include <algorithm>
#include <string_view>

#include "common/text_error.h"
#include "wire/encoding.h"

char* LineBuffer::space(std::size_t atMost) {
    spaceFrom_ = bytes_.size();
    bytes_.resize(spaceFrom_ + atMost);
    return bytes_.data() + spaceFrom_;
}

void LineBuffer::received(std::size_t count) noexcept { bytes_.resize(spaceFrom_ + count); }

std::optional<std::wstring> LineBuffer::nextLine() {
    if (afterCarriageReturn_ && consumed_ < bytes_.size()) {
        if (bytes_[consumed_] == '\n') ++consumed_;
        afterCarriageReturn_ = false;
    }
    // Only bytes not looked at before are scanned: a long line arriving in small pieces costs
    // time in proportion to its length, not to its length squared.
    const std::size_t end = bytes_.find_first_of("\r\n", std::max(consumed_, scanned_));
    if (end != std::string::npos) {
        const std::string_view line(bytes_.data() + consumed_, end - consumed_);
        afterCarriageReturn_ = bytes_[end] == '\r';
        consumed_ = end + 1;
        scanned_ = consumed_;
        return decode(line);  // a line that fails is passed over all the same
    }
    // Keep only the unterminated rest.
    bytes_.erase(0, consumed_);
    consumed_ = 0;
    scanned_ = bytes_.size();
    if (ended_) {
        std::string rest;
        rest.swap(bytes_);
        scanned_ = 0;
        return decode(rest);
    }
    if (bytes_.size() > kMaxLineBytes) {
        clear();
        throw TextError(L"line longer than " + std::to_wstring(kMaxLineBytes) + L" bytes received");
    }
    return std::nullopt;
}

std::wstring LineBuffer::decode(std::string_view line) {
    if (foreignBytes_.empty()) foreignBytes_ = foreignBytes(line);
    return decodeLine(line);
}

void LineBuffer::clear() noexcept {
    bytes_.clear();
    consumed_ = 0;
    scanned_ = 0;
    afterCarriageReturn_ = false;
    ended_ = false;
    foreignBytes_.clear();
}
