#include "link/command_tree.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "common/log_text.h"
#include "common/text_error.h"
#include "wire/encoding.h"

Command::Command(std::wstring name, std::wstring label, bool enabled)
    : name_(std::move(name)), label_(std::move(label)), enabled_(enabled) {}

Command::~Command() = default;

CommandGroup::CommandGroup(std::wstring name, std::wstring label, CommandCollection children)
    : Command(std::move(name), std::move(label), true), children_(std::move(children)) {}

CommandGroup::~CommandGroup() = default;

const std::vector<std::wstring>& ReplyLines::frontTokens() {
    if (tokensOfLine_ != next_) {
        tokens_ = splitTokens(lines_.at(next_));
        tokensOfLine_ = next_;
    }
    return tokens_;
}

void ReplyLines::enterGroup() {
    if (openGroups_ >= kMaxGroupDepth) throw TextError(L"Command groups nested too deeply");
    ++openGroups_;
}

namespace {

// Leaves the group level again however the group's parse ends.
class OpenGroup {
public:
    explicit OpenGroup(ReplyLines& lines) : lines_(lines) { lines_.enterGroup(); }
    OpenGroup(const OpenGroup&) = delete;
    OpenGroup& operator=(const OpenGroup&) = delete;
    ~OpenGroup() { lines_.leaveGroup(); }

private:
    ReplyLines& lines_;
};

// The C locale's white space, fixed here so that the wide-character tables of the runtime
// (which differ between platforms) cannot change how a count reads.
bool isCountWhiteSpace(wchar_t c) noexcept {
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

// Leading white space, an optional sign, then decimal digits; the rest is ignored and no digits
// read as 0. Counts beyond the 32-bit range are clamped to it rather than wrapped, so a huge
// count still asks for more entries than any reply holds and a huge negative one stays negative.
std::int32_t readCount(const std::wstring& token) {
    constexpr std::int64_t kMagnitudeLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::size_t i = 0;
    while (i < token.size() && isCountWhiteSpace(token[i])) ++i;
    const bool negative = i < token.size() && token[i] == L'-';
    if (i < token.size() && (token[i] == L'-' || token[i] == L'+')) ++i;
    std::int64_t magnitude = 0;
    for (; i < token.size() && token[i] >= L'0' && token[i] <= L'9'; ++i)
        magnitude = std::min(kMagnitudeLimit, magnitude * 10 + (token[i] - L'0'));
    // The magnitude stops at 2^31: exactly the lowest count, one above the highest.
    return static_cast<std::int32_t>(negative ? -magnitude : std::min(magnitude, kMagnitudeLimit - 1));
}

// Checks and consumes a collection's header line and returns its count.
std::int32_t readCollectionHeader(ReplyLines& lines) {
    if (lines.empty()) throw TextError(L"Expected more lines");
    const std::vector<std::wstring>& tokens = lines.frontTokens();
    if (tokens.size() < 2) throw TextError(L"Expected to receive at least two tokens");
    const std::int32_t count = readCount(tokens[1]);
    if (count == 0) throw TextError(L"Command collection must contain at least one command");
    lines.dropFront();
    return count;
}

bool isGroupLine(const std::vector<std::wstring>& tokens) {
    return tokens.size() == 4 && tokens[0] == L"group";
}

std::unique_ptr<Command> parseEntry(ReplyLines& lines) {
    if (lines.empty()) throw TextError(L"Unexpected end of commands/groups.");
    const std::vector<std::wstring>& tokens = lines.frontTokens();
    if (isGroupLine(tokens)) return parseGroup(lines);
    if (tokens.size() != 3) throw TextError(L"Expected to receive three tokens");
    auto command = std::make_unique<Command>(tokens[0], tokens[1], tokens[2] == L"true");
    lines.dropFront();
    return command;
}

void parseTopLevelBlock(ReplyLines& lines, CommandTree& tree) {
    const std::vector<std::wstring>& tokens = lines.frontTokens();
    // A blank line has no first token; it is reported as an empty one rather than read past.
    const std::wstring kind = tokens.empty() ? std::wstring() : tokens[0];
    if (kind == L"quick-commands") {
        tree.quickCommands = std::make_unique<CommandCollection>(parseCollection(lines));
    } else if (kind == L"group") {
        tree.groups.push_back(parseGroup(lines));
    } else {
        throw TextError(L"Invalid element '" + clipForLog(kind) + L"' on first level.");
    }
}

}  // namespace

CommandCollection parseCollection(ReplyLines& lines) {
    // A count far beyond the lines that follow runs out of lines before it runs out of memory:
    // entries are appended one by one, never reserved for.
    const std::int32_t count = readCollectionHeader(lines);
    CommandCollection entries;
    for (std::int32_t i = 0; i < count; ++i) entries.push_back(parseEntry(lines));
    return entries;
}

std::unique_ptr<CommandGroup> parseGroup(ReplyLines& lines) {
    if (lines.empty()) throw TextError(L"Expected more lines");
    const std::vector<std::wstring>& tokens = lines.frontTokens();
    if (tokens.size() != 4) throw TextError(L"Expected to receive four tokens");
    std::wstring name = tokens[2];
    std::wstring label = tokens[3];
    const OpenGroup level(lines);
    CommandCollection children = parseCollection(lines);  // the group line is its collection's header
    return std::make_unique<CommandGroup>(std::move(name), std::move(label), std::move(children));
}

std::unique_ptr<CommandTree> parseCommandTree(const std::vector<std::wstring>& replyLines, std::size_t* failedLine) {
    if (replyLines.empty()) return nullptr;
    ReplyLines lines(replyLines);
    auto tree = std::make_unique<CommandTree>();
    try {
        while (!lines.empty()) parseTopLevelBlock(lines, *tree);
    } catch (const TextError&) {
        if (failedLine) *failedLine = lines.position();
        throw;
    }
    return tree;
}
