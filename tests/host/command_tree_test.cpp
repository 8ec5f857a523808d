#include <gtest/gtest.h>

#include <algorithm>

#include "common/text_error.h"
#include "link/command_tree.h"

namespace {

using Lines = std::vector<std::wstring>;

// Replies written compactly: "|" ends a line, "," stands for the tab between tokens.
Lines reply(std::wstring text) {
    Lines lines(1);
    for (wchar_t c : text) {
        if (c == L'|') lines.emplace_back();
        else lines.back() += c == L',' ? L'\t' : c;
    }
    return lines;
}

std::wstring describe(const CommandCollection& entries);

// "name:label" for a command ("!" when disabled), "name:label{...}" for a group.
std::wstring describe(const Command& entry) {
    std::wstring text = entry.name() + L":" + entry.label();
    if (const auto* group = dynamic_cast<const CommandGroup*>(&entry)) {
        EXPECT_TRUE(group->enabled());
        return text + describe(group->children());
    }
    return entry.enabled() ? text : text + L"!";
}

std::wstring describe(const CommandCollection& entries) {
    std::wstring text = L"{";
    for (const auto& entry : entries) text += (text.size() > 1 ? L" " : L"") + describe(*entry);
    return text + L"}";
}

template <class Parse>
std::wstring errorOf(Parse parse) {
    try {
        parse();
    } catch (const TextError& e) {
        return e.text();
    }
    return L"(no error)";
}

// The tree's shape ("-" for no quick commands), or the error text.
std::wstring outcome(const Lines& lines) {
    std::wstring shape;
    const std::wstring error = errorOf([&] {
        const auto tree = parseCommandTree(lines);
        shape = tree->quickCommands ? L"quick" + describe(*tree->quickCommands) : L"-";
        for (const auto& group : tree->groups) shape += L" " + describe(*group);
    });
    return error == L"(no error)" ? shape : error;
}

// depth groups, each the only entry of the one before, around one command.
Lines nestedGroups(int depth) {
    Lines lines(depth, L"group\t1\tg\tG");
    lines.push_back(L"c\tC\ttrue");
    return lines;
}

TEST(CommandTree, RepliesGiveTreesOfTheirShape) {
    EXPECT_EQ(parseCommandTree({}), nullptr);
    EXPECT_EQ(outcome(reply(L"quick-commands,2|c1,First,true|c2,Second,false|group,2,g1,Group one|"
                            L"c3,Third,true|group,1,g2,Group two|c4,Fourth,true")),
              L"quick{c1:First c2:Second!} g1:Group one{c3:Third g2:Group two{c4:Fourth}}");
    EXPECT_EQ(outcome(reply(L"group,1,a,A|c,C,true|group,1,b,B|d,D,true")), L"- a:A{c:C} b:B{d:D}");
    EXPECT_EQ(outcome(reply(L"quick-commands,1,extra,tokens|c,C,true")), L"quick{c:C}");
    EXPECT_EQ(outcome(reply(L"quick-commands,1|a,A,true|group,1,g,G|b,B,true|quick-commands,1|c,C,true")),
              L"quick{c:C} g:G{b:B}");
    EXPECT_EQ(outcome(reply(L"quick-commands,4|a,A,True|b,B,TRUE|c,C,1|d,D,true  ")),
              L"quick{a:A! b:B! c:C! d:D}");
    EXPECT_EQ(outcome(reply(L"quick-commands,1|group,Group,true")), L"quick{group:Group}");
    EXPECT_EQ(outcome(reply(L"quick-commands,-1|group,-5,g,G|group,1,h,H|group,-2,i,I")),
              L"quick{} g:G{} h:H{i:I{}}");
}

TEST(CommandTree, GrammarErrorsHaveTheirOwnTexts) {
    EXPECT_EQ(outcome(reply(L"c1,First,true")), L"Invalid element 'c1' on first level.");
    EXPECT_EQ(outcome(reply(L"quick-commands,1|a,A,true|b,B,true")), L"Invalid element 'b' on first level.");
    EXPECT_EQ(outcome(reply(L"quick-commands,-1|c1,First,true")), L"Invalid element 'c1' on first level.");
    EXPECT_EQ(outcome(reply(L"Group,1,g,G|a,A,true")), L"Invalid element 'Group' on first level.");
    EXPECT_EQ(outcome(reply(L"")), L"Invalid element '' on first level.");
    EXPECT_EQ(outcome(reply(L"quick-commands")), L"Expected to receive at least two tokens");
    EXPECT_EQ(outcome(reply(L"group,0,g,G")), L"Command collection must contain at least one command");
    EXPECT_EQ(outcome(reply(L"quick-commands,3|a,A,true|b,B,true")), L"Unexpected end of commands/groups.");
    EXPECT_EQ(outcome(reply(L"group,2,g,G|group,1,h,H|a,A,true")), L"Unexpected end of commands/groups.");
    EXPECT_EQ(outcome(reply(L"group,1,g")), L"Expected to receive four tokens");
    EXPECT_EQ(outcome(reply(L"group,1,g,G,x")), L"Expected to receive four tokens");
    for (const wchar_t* entry : {L"grouP,1,g,G", L"group,1,g,G,x", L"c,C"})
        EXPECT_EQ(outcome(reply(L"quick-commands,1|" + std::wstring(entry))),
                  L"Expected to receive three tokens");
}

TEST(CommandTree, CountsReadLikeDecimalNumbersClampedTo32Bits) {
    EXPECT_EQ(outcome(reply(L"quick-commands,+2 entries|a,A,true|b,B,true")), L"quick{a:A b:B}");
    EXPECT_EQ(outcome({L"quick-commands\t\n\r1", L"a\tA\ttrue"}), L"quick{a:A}");
    // No digits read as 0; U+0661 is an Arabic one, not an ASCII digit.
    for (const wchar_t* zero : {L"0", L"-0", L"x1", L"- 1", L"+", L"\x0661"})
        EXPECT_EQ(outcome({L"quick-commands\t" + std::wstring(zero), L"a\tA\ttrue"}),
                  L"Command collection must contain at least one command");
    // Cut to 32 bits, 4294967297 and -4294967295 would wrap to 1.
    for (const wchar_t* huge : {L"2147483647", L"2147483648", L"4294967297", L"99999999999999999999999"})
        EXPECT_EQ(outcome(reply(L"quick-commands," + std::wstring(huge) + L"|a,A,true")),
                  L"Unexpected end of commands/groups.");
    EXPECT_EQ(outcome(reply(L"quick-commands,-2147483648|group,-4294967295,g,G")), L"quick{} g:G{}");
    EXPECT_EQ(outcome(reply(L"group,-99999999999999999999,g,G")), L"- g:G{}");
}

TEST(CommandTree, ParseFunctionsConsumeOnlyTheirOwnLines) {
    const Lines lines = reply(L"quick-commands,1|group,1,g,G|a,A,true|b,B,true");
    ReplyLines rest(lines);
    EXPECT_EQ(describe(parseCollection(rest)), L"{g:G{a:A}}");
    EXPECT_EQ(rest.remaining(), 1u);
    rest.dropFront();
    EXPECT_EQ(errorOf([&] { parseGroup(rest); }), L"Expected more lines");
    EXPECT_EQ(errorOf([&] { parseCollection(rest); }), L"Expected more lines");
}

TEST(CommandTree, GroupsNestAtMostSixtyFourDeep) {
    const std::wstring tooDeep = L"Command groups nested too deeply";
    const auto levels = [](const std::wstring& shape) { return std::count(shape.begin(), shape.end(), L'{'); };
    EXPECT_EQ(levels(outcome(nestedGroups(kMaxGroupDepth))), kMaxGroupDepth);
    EXPECT_EQ(outcome(nestedGroups(kMaxGroupDepth + 1)), tooDeep);
    EXPECT_EQ(outcome(nestedGroups(100000)), tooDeep);

    // The quick commands are no group: a group directly inside them is at level 1.
    Lines quick = nestedGroups(kMaxGroupDepth);
    quick.insert(quick.begin(), L"quick-commands\t1");
    EXPECT_EQ(levels(outcome(quick)), kMaxGroupDepth + 1);
    quick.insert(quick.begin() + 1, L"group\t1\tg\tG");
    EXPECT_EQ(outcome(quick), tooDeep);

    // A group gives its level back when it ends, so siblings do not add up.
    Lines siblings = {L"group\t" + std::to_wstring(kMaxGroupDepth + 1) + L"\tg\tG"};
    for (int i = 0; i <= kMaxGroupDepth; ++i)
        siblings.insert(siblings.end(), {L"group\t1\th\tH", L"c\tC\ttrue"});
    EXPECT_EQ(parseCommandTree(siblings)->groups.front()->children().size(), std::size_t(kMaxGroupDepth + 1));
}

}  // namespace
