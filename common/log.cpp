#include "common/log.h"

#include <objbase.h>

#include <cstdio>

#include "common/handles.h"
#include "common/settings.h"

namespace {

GUID g_instanceId = {};
constexpr DWORD kLogLockWaitMs = 200;

constexpr char kHex[] = "0123456789abcdef";

void appendTwoDigits(std::string& out, unsigned value) {
    out += static_cast<char>('0' + value / 10 % 10);
    out += static_cast<char>('0' + value % 10);
}

}  // namespace

const GUID& instanceId() noexcept { return g_instanceId; }

void createInstanceId() noexcept {
    GUID id;
    if (SUCCEEDED(CoCreateGuid(&id))) g_instanceId = id;
}

std::wstring formatGuid(const GUID& g) {
    wchar_t buffer[37];
    std::swprintf(buffer, 37, L"%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buffer;
}

std::wstring int64ToText(std::int64_t value) { return std::to_wstring(value); }

std::string formatLogLine(const SYSTEMTIME& t, const GUID& id, std::wstring_view message) {
    std::string line;
    line.reserve(32 + 40 + message.size() + 2);
    appendTwoDigits(line, t.wMonth);
    line += '/';
    appendTwoDigits(line, t.wDay);
    line += '/';
    appendTwoDigits(line, t.wYear % 100);
    line += ' ';
    appendTwoDigits(line, t.wHour);
    line += ':';
    appendTwoDigits(line, t.wMinute);
    line += ':';
    appendTwoDigits(line, t.wSecond);
    line += " [";
    for (wchar_t c : formatGuid(id)) line += static_cast<char>(c);
    line += "] ";
    for (wchar_t c : message) {
        const auto unit = static_cast<unsigned>(c) & 0xFFFF;
        // Control characters too: a peer's CR or LF must not start a line that looks like ours.
        if (unit >= 0x20 && unit <= 0xFF) {
            line += static_cast<char>(unit);
        } else {
            line += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) line += kHex[(unit >> shift) & 0xF];
        }
    }
    line += "\r\n";
    return line;
}

void appendLogLine(std::wstring_view message) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::wstring path = getSettingsFolder() + L"\\explorer-integration.log";
    const std::string line = formatLogLine(now, instanceId(), message);
    // Append-only access is meant to put every write at the end of the file, but not every
    // implementation of it is atomic across processes (two writers can land on one offset and
    // one line is lost). A per-user mutex, waited for briefly, keeps lines whole; when the
    // wait runs out the line is written anyway rather than holding up the caller.
    KernelHandle mutex(CreateMutexW(nullptr, FALSE, L"Quorvane::explorer-integration.log"));
    const DWORD wait = mutex ? WaitForSingleObject(mutex.get(), kLogLockWaitMs) : WAIT_FAILED;
    const bool owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    MutexOwnership ownership(owned ? mutex.get() : nullptr);
    FileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void Logger::write(std::wstring_view message) { appendLogLine(message); }
