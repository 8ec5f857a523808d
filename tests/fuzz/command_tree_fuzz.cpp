// Any "get-commands" reply must either give a tree or fail with a TextError; a tree that comes
// back must respect the nesting limit and keep every group enabled.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "common/text_error.h"
#include "link/command_tree.h"
#include "wire/encoding.h"

namespace {

// The received lines, or false when one of them does not decode (the transport drops those).
bool decodeLines(std::string_view bytes, std::vector<std::wstring>& lines) {
    try {
        while (!bytes.empty()) {
            const std::size_t end = std::min(bytes.find('\n'), bytes.size());
            lines.push_back(decodeLine(bytes.substr(0, end)));
            bytes.remove_prefix(std::min(end + 1, bytes.size()));
        }
    } catch (const TextError&) {
        return false;
    }
    return true;
}

void checkEntries(const CommandCollection& entries, int depth) {
    for (const auto& entry : entries) {
        if (!entry) std::abort();
        if (const auto* group = dynamic_cast<const CommandGroup*>(entry.get())) {
            if (depth + 1 > kMaxGroupDepth || !group->enabled()) std::abort();
            checkEntries(group->children(), depth + 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::wstring> lines;
    if (!decodeLines(std::string_view(reinterpret_cast<const char*>(data), size), lines)) return 0;
    std::unique_ptr<CommandTree> tree;
    try {
        tree = parseCommandTree(lines);
    } catch (const TextError&) {
        return 0;
    }
    if (!tree) {
        if (!lines.empty()) std::abort();
        return 0;
    }
    if (tree->quickCommands) checkEntries(*tree->quickCommands, 0);
    for (const auto& group : tree->groups) {
        if (!group || !group->enabled()) std::abort();
        checkEntries(group->children(), 1);
    }
    return 0;
}
