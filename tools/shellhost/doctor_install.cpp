// The doctor's checks of what the installer writes: configuration, classes, handler entries.
#include <algorithm>
#include <map>

#include "common/decimal.h"
#include "common/settings.h"
#include "tools/shellhost/doctor_support.h"
#include "tools/shellhost/registration.h"

namespace {

constexpr wchar_t kOverlayIdentifiers[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers";
// Windows makes overlays of the first 15 entries only; the rest are never asked.
constexpr std::size_t kOverlaysWindowsUses = 15;
// Longer values read as missing in the extension (260 UTF-16 units with the terminator).
constexpr std::size_t kLongestValue = 259;

const std::map<std::wstring, const wchar_t*> kTimeouts = {
    {L"recv-timeout", L"500"}, {L"send-timeout", L"1"}, {L"retry-timeout", L"1000"}, {L"state-share-timeout", L"500"}};
// The extension never lets one state answer serve the overlay classes for longer than this.
constexpr std::int32_t kLongestStateShareMs = 1000;
// How many kept connections may carry state requests at once, and the extension's default.
constexpr std::int32_t kMostStateConnections = 16;
constexpr wchar_t kDefaultStateConnections[] = L"4";
const wchar_t* const kSwitches[] = {L"debug-logging", L"socket-logging", L"shell-integration-full", L"console",
                                    L"notify-logging"};
const wchar_t* const kPaths[] = {L"executable", L"tavrel"};

std::wstring in(const View& view, const std::wstring& text) { return view.name + L" " + text; }

// What is wrong with one named value under the version key, as the extension would read it.
std::wstring valueProblem(const std::wstring& name, const RegistryValue& value) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return L"is not text (REG_SZ): it reads as garbage";
    if (value.text.size() > kLongestValue) return L"is longer than 259 characters: it reads as missing";
    const auto timeout = kTimeouts.find(name);
    const std::optional<std::int32_t> ms = parseDecimal(value.text);
    if (timeout != kTimeouts.end() && !value.text.empty() && !ms)
        return L"is not a number of milliseconds: the default " + std::wstring(timeout->second) + L" ms applies";
    if (name == L"state-share-timeout" && ms && *ms > kLongestStateShareMs)
        return L"is more than 1000: one answer serves the other overlay classes for 1000 ms at most";
    if (name == L"state-connections") {
        if (!value.text.empty() && (!ms || *ms < 1 || *ms > kMostStateConnections))
            return L"is not a number from 1 to 16: the default of " + std::wstring(kDefaultStateConnections) +
                   L" connections applies";
        return L"";
    }
    const bool isSwitch = std::find(std::begin(kSwitches), std::end(kSwitches), name) != std::end(kSwitches);
    if (isSwitch && value.text != L"true" && value.text != L"false" && !value.text.empty())
        return L"is neither 'true' nor 'false': the switch is off, as only the exact text true turns it on";
    const bool isPath = std::find(std::begin(kPaths), std::end(kPaths), name) != std::end(kPaths);
    if (timeout == kTimeouts.end() && !isSwitch && !isPath) return L"is not a value the extension reads";
    return L"";
}

void checkValues(const View& view, const std::wstring& versionKey, Report& report) {
    std::wstring set;
    for (const std::wstring& name : valueNames(HKEY_LOCAL_MACHINE, versionKey, view)) {
        if (name.empty()) continue;
        const RegistryValue value = readValue(HKEY_LOCAL_MACHINE, versionKey, name.c_str(), view);
        const std::wstring problem = valueProblem(name, value);
        if (!problem.empty())
            report.warn(in(view, L"configuration: value " + name + L" " + quoted(value.text) + L" " + problem));
        set += (set.empty() ? L"" : L", ") + name + L"=" + value.text;
    }
    report.ok(in(view, L"configuration: values set: " + (set.empty() ? L"none (defaults everywhere)" : set)));
}

void checkProgram(const View& view, const std::wstring& versionKey, const wchar_t* name, const std::wstring& fallback,
                  const std::wstring& purpose, Report& report) {
    const std::wstring configured = readValue(HKEY_LOCAL_MACHINE, versionKey, name, view).text;
    const std::wstring path = configured.empty() ? fallback : configured;
    if (fileExists(path))
        report.ok(in(view, L"configuration: " + std::wstring(name) + L" program " + path + L" exists"));
    else
        report.fail(
            in(view, L"configuration: " + std::wstring(name) + L" program " + path + L" does not exist: " + purpose));
}

void checkDll(const View& view, const std::wstring& dll, Report& report) {
    const std::optional<WORD> machine = machineOf(dll);
    if (!fileExists(dll))
        report.fail(in(view, L"classes: " + dll + L" does not exist"));
    else if (!machine)
        report.fail(in(view, L"classes: " + dll + L" is not a Windows DLL"));
    else if (*machine != view.machine)
        report.fail(in(view, L"classes: " + dll + L" is a " + machineName(*machine) + L" DLL; " + view.name +
                                 L" programs can only load a " + machineName(view.machine) + L" one"));
    else
        report.ok(in(view, L"classes: " + dll + L" is a " + machineName(*machine) + L" DLL"));
}

// False when the class is not registered at all.
bool checkClass(const View& view, const std::wstring& classId, const std::wstring& label, Report& report,
                std::vector<std::wstring>& dlls) {
    const std::wstring key = L"CLSID\\" + classId;
    const RegistryValue dll = readValue(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", nullptr, view);
    if (!dll.found || dll.text.empty()) {
        report.fail(in(view, L"class " + label + L" " + classId + L" is not registered (no InprocServer32)"));
        return false;
    }
    if (std::none_of(dlls.begin(), dlls.end(), [&](const std::wstring& seen) { return sameText(seen, dll.text); }))
        dlls.push_back(dll.text);
    const std::wstring model = readValue(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel", view).text;
    if (!sameText(model, L"Apartment") && !sameText(model, L"Both"))
        report.warn(in(view, L"class " + label + L": ThreadingModel " + quoted(model) + L", not Apartment"));
    return true;
}

void checkOverlayClass(const View& view, const OverlayClass& overlay, Report& report) {
    const std::wstring key = L"CLSID\\" + overlay.classId;
    const RegistryValue id = readValue(HKEY_CLASSES_ROOT, key, L"id", view);
    const RegistryValue icon = readValue(HKEY_CLASSES_ROOT, key, L"icon", view);
    const std::wstring label = L"overlay class " + overlay.classId;
    if (id.text.empty()) return report.fail(in(view, label + L" has no \"id\": it never shows"));
    if (icon.text.empty()) return report.fail(in(view, label + L" (" + id.text + L") has no \"icon\": it never shows"));
    const std::wstring problem = iconProblem(icon.text);
    if (!problem.empty())
        return report.fail(in(view, label + L" (" + id.text + L"): icon " + icon.text + L" " + problem));
    report.ok(in(view, label + L": id " + id.text + L", icon " + icon.text));
}

bool isOurs(const std::wstring& name, const std::wstring& classId, const std::wstring& ours) {
    return sameText(classId, ours) || sameText(name, ours);
}

// The other products' entries among the first count, quoted, in order.
std::wstring othersAhead(const std::vector<std::pair<std::wstring, std::wstring>>& entries, std::ptrdiff_t count) {
    std::wstring ahead;
    for (auto entry = entries.begin(); entry != entries.begin() + count; ++entry) {
        const bool oneOfOurs = std::any_of(overlayClasses().begin(), overlayClasses().end(), [&](const auto& ours) {
            return isOurs(entry->first, entry->second, ours.classId);
        });
        if (!oneOfOurs) ahead += (ahead.empty() ? L"" : L", ") + quoted(entry->first);
    }
    return ahead;
}

}  // namespace

bool anythingInstalled(const View& view) {
    if (readValue(HKEY_LOCAL_MACHINE, kProductKey, nullptr, view).keyFound) return true;
    return readValue(HKEY_CLASSES_ROOT, L"CLSID\\" + contextMenuClassId() + L"\\InprocServer32", nullptr, view).found;
}

void checkConfiguration(const View& view, Report& report) {
    const RegistryValue version = readValue(HKEY_LOCAL_MACHINE, kProductKey, nullptr, view);
    if (version.text.empty() || version.text.size() > kLongestValue)
        return report.fail(in(view, L"configuration: no program version in HKLM\\" + std::wstring(kProductKey)));
    const std::wstring versionKey = std::wstring(kProductKey) + L"\\" + version.text;
    const RegistryValue folder = readValue(HKEY_LOCAL_MACHINE, versionKey, nullptr, view);
    if (!folder.keyFound)
        return report.fail(
            in(view, L"configuration: program version " + version.text + L", but no key HKLM\\" + versionKey));
    report.ok(in(view, L"configuration: program version " + version.text));
    if (folder.text.empty())
        report.fail(in(view, L"configuration: no installation folder (default value of HKLM\\" + versionKey + L")"));
    else if (!folderExists(folder.text))
        report.fail(in(view, L"configuration: installation folder " + folder.text + L" does not exist"));
    else
        report.ok(in(view, L"configuration: installation folder " + folder.text));
    checkValues(view, versionKey, report);
    checkProgram(view, versionKey, L"tavrel", folder.text + L"\\bin\\Tavrel.exe",
                 L"changes never reach Explorer", report);
    checkProgram(view, versionKey, L"executable", folder.text + L"\\bin\\quorvane.exe",
                 L"\"Launch Quorvane\" cannot start the application", report);
}

void checkClasses(const View& view, Report& report) {
    std::vector<std::wstring> dlls;
    if (checkClass(view, contextMenuClassId(), L"context menu", report, dlls))
        report.ok(in(view, L"context-menu class " + contextMenuClassId() + L" is registered"));
    // Windows 11's first menu creates it for the sparse package; Windows 10 never asks for it.
    if (checkClass(view, explorerCommandClassId(), L"Explorer command", report, dlls))
        report.ok(in(view, L"Explorer-command class " + explorerCommandClassId() + L" is registered"));
    for (const OverlayClass& overlay : overlayClasses())
        if (checkClass(view, overlay.classId, L"overlay " + overlay.state, report, dlls))
            checkOverlayClass(view, overlay, report);
    for (const std::wstring& dll : dlls) checkDll(view, dll, report);
}

void checkOverlayOrder(const View& view, Report& report) {
    auto entries = subkeys(HKEY_LOCAL_MACHINE, kOverlayIdentifiers, view);
    // The registry's own order of key names: letter case ignored, so " x" before "A" before "b".
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return CompareStringOrdinal(a.first.c_str(), -1, b.first.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    for (const OverlayClass& overlay : overlayClasses()) {
        const auto mine = std::find_if(entries.begin(), entries.end(), [&](const auto& entry) {
            return isOurs(entry.first, entry.second, overlay.classId);
        });
        const std::wstring label = L"overlay " + overlay.state + L": ";
        if (mine == entries.end()) {
            report.fail(in(view, label + L"no entry in ShellIconOverlayIdentifiers, so Windows never asks it"));
            continue;
        }
        const std::size_t place = static_cast<std::size_t>(mine - entries.begin()) + 1;
        const std::wstring where = L"entry " + quoted(mine->first) + L" is number " + std::to_wstring(place) +
                                   L" of " + std::to_wstring(entries.size()) + L" in the order Windows loads them";
        if (place <= kOverlaysWindowsUses) {
            report.ok(in(view, label + where));
            continue;
        }
        const std::wstring ahead = othersAhead(entries, mine - entries.begin());
        report.fail(in(view, label + where + L", beyond the " + std::to_wstring(kOverlaysWindowsUses) +
                                 L" that Windows uses; ahead of it: " + ahead));
    }
}

void checkMenuHandlers(const View& view, Report& report) {
    const std::pair<const wchar_t*, const wchar_t*> parents[] = {
        {L"*", L"files"}, {L"Directory", L"folders"}, {L"Directory\\Background", L"folder backgrounds"}};
    for (const auto& [parent, what] : parents) {
        const std::wstring key = std::wstring(parent) + L"\\shellex\\ContextMenuHandlers";
        const auto handlers = subkeys(HKEY_CLASSES_ROOT, key, view);
        const bool found = std::any_of(handlers.begin(), handlers.end(), [](const auto& entry) {
            return isOurs(entry.first, entry.second, contextMenuClassId());
        });
        if (found)
            report.ok(in(view, L"context-menu handler for " + std::wstring(what) + L" (HKCR\\" + key + L")"));
        else
            report.fail(in(view, L"no context-menu handler for " + std::wstring(what) + L" in HKCR\\" + key));
    }
}
