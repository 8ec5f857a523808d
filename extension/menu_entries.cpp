#include "extension/menu_entries.h"

#include "common/settings.h"
#include "link/command_tree.h"

namespace {

// A command name becomes part of a file name: one that could leave the icons folder gets no icon.
bool isPlainFileName(const std::wstring& name) {
    return !name.empty() && name != L"." && name != L".." && name.find_first_of(L"\\/:") == std::wstring::npos;
}

void appendFlattened(const CommandGroup& group, std::vector<const Command*>& entries, bool& separatorWanted) {
    if (separatorWanted) entries.push_back(nullptr);
    for (const std::unique_ptr<Command>& child : group.children()) {
        if (const auto* nested = dynamic_cast<const CommandGroup*>(child.get())) {
            appendFlattened(*nested, entries, separatorWanted);
            continue;
        }
        entries.push_back(child.get());
        separatorWanted = true;
    }
}

}  // namespace

bool fullMenuMode() { return readConfigSwitch(L"shell-integration-full"); }

std::wstring menuLabel(const Command& command) {
    std::wstring label = command.label();
    if (label.size() > kMaxLabelLength) label.resize(kMaxLabelLength);
    return label;
}

std::wstring menuIconFolder() {
    const std::wstring installFolder = readConfigValue(L"", true);
    return installFolder.empty() ? L"" : installFolder + L"\\lib\\icons\\";
}

std::wstring menuIconFile(const std::wstring& iconFolder, const Command& command) {
    const std::wstring name = command.name();
    if (iconFolder.empty() || !isPlainFileName(name)) return L"";
    return iconFolder + name + (command.enabled() ? L".ico" : L"-g.ico");
}

std::vector<const Command*> flattenGroup(const CommandGroup& group) {
    std::vector<const Command*> entries;
    bool separatorWanted = false;
    appendFlattened(group, entries, separatorWanted);
    return entries;
}
