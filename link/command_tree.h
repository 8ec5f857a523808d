#pragma once
// The commands that the application offers for a selection, as parsed from its "get-commands"
// reply. The reply is a length-prefixed tree: a header line says how many entries follow, and a
// group line is itself the header of its group's entries. Pure code: it also builds natively.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Command;
using CommandCollection = std::vector<std::unique_ptr<Command>>;

// One menu entry. Not copyable: entries live behind owning pointers and are never sliced.
class Command {
public:
    Command(std::wstring name, std::wstring label, bool enabled);
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;
    virtual ~Command();

    // The identifier sent back when the entry is chosen; also the base name of its icon file.
    std::wstring name() const { return name_; }
    std::wstring label() const { return label_; }
    bool enabled() const noexcept { return enabled_; }

private:
    std::wstring name_;
    std::wstring label_;
    bool enabled_;
};

// A submenu; always enabled. Its children keep the order of the reply.
class CommandGroup : public Command {
public:
    CommandGroup(std::wstring name, std::wstring label, CommandCollection children);
    ~CommandGroup() override;

    const CommandCollection& children() const noexcept { return children_; }

private:
    CommandCollection children_;
};

struct CommandTree {
    std::unique_ptr<CommandCollection> quickCommands;  // absent when the reply has none
    std::vector<std::unique_ptr<CommandGroup>> groups;
};

// Groups may enclose one another this many levels deep: a group at the top level, or directly
// in the quick commands, is at level 1. The limit keeps the parser's recursion (and a tree's
// destruction) shallow whatever a server sends; real menus nest a level or two.
constexpr int kMaxGroupDepth = 64;

// The reply lines not consumed yet: a cursor over the caller's lines, which must outlive it.
// It also counts the groups being read, so that nesting is refused before it recurses.
class ReplyLines {
public:
    explicit ReplyLines(const std::vector<std::wstring>& lines) : lines_(lines) {}
    explicit ReplyLines(std::vector<std::wstring>&&) = delete;  // would dangle

    bool empty() const noexcept { return next_ == lines_.size(); }
    std::size_t remaining() const noexcept { return lines_.size() - next_; }
    std::size_t position() const noexcept { return next_; }  // the index of the first remaining line
    // The tokens of the first remaining line; only when not empty. A line is split once, however
    // many rules look at it; the reference holds until the next line's tokens are asked for.
    const std::vector<std::wstring>& frontTokens();
    void dropFront() noexcept { ++next_; }

    // Throws TextError when one more group would exceed kMaxGroupDepth.
    void enterGroup();
    void leaveGroup() noexcept { --openGroups_; }

private:
    const std::vector<std::wstring>& lines_;
    std::size_t next_ = 0;
    int openGroups_ = 0;
    std::size_t tokensOfLine_ = SIZE_MAX;  // the line whose tokens tokens_ holds
    std::vector<std::wstring> tokens_;
};

// Both consume their header line and all their entries; lines after them stay for the caller.
// A grammar error throws TextError; nothing is returned then.
CommandCollection parseCollection(ReplyLines& lines);
std::unique_ptr<CommandGroup> parseGroup(ReplyLines& lines);

// The whole reply: "quick-commands" and "group" blocks until no line is left. A later
// quick-commands block replaces an earlier one. Returns null for an empty reply; throws
// TextError when the reply breaks the grammar, so no partial tree ever escapes; failedLine then
// receives the index of the line being read (the number of lines when the reply ended too soon).
std::unique_ptr<CommandTree> parseCommandTree(const std::vector<std::wstring>& replyLines,
                                              std::size_t* failedLine = nullptr);
