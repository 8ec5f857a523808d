#include "link/port_files.h"

#include <algorithm>

#include "common/decimal.h"
#include "common/handles.h"

namespace {

enum class LockState { Deleted, Absent, Held };

LockState tryDeleteLock(const std::wstring& path) {
    if (DeleteFileW(path.c_str())) return LockState::Deleted;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? LockState::Absent : LockState::Held;
}

std::wstring hexBytes(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::wstring text;
    for (const char c : bytes.substr(0, 8)) {
        const auto byte = static_cast<unsigned char>(c);
        if (!text.empty()) text += L' ';
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

bool startsWith(std::string_view bytes, std::string_view start) { return bytes.substr(0, start.size()) == start; }

std::wstring problemBefore(std::string_view bytes) {
    if (bytes.empty()) return L"is empty";
    if (startsWith(bytes, "\xEF\xBB\xBF")) return L"starts with a UTF-8 byte order mark (EF BB BF)";
    if (startsWith(bytes, "\xFF\xFE") || startsWith(bytes, "\xFE\xFF"))
        return L"is UTF-16 text (byte order mark " + hexBytes(bytes.substr(0, 2)) + L")";
    return L"does not start with a number: its first bytes are " + hexBytes(bytes);
}

}  // namespace

bool serverLockHeld(const std::wstring& portFile) {
    switch (tryDeleteLock(portFile + L".postlock")) {
        case LockState::Deleted: return false;
        case LockState::Held: return true;
        case LockState::Absent: return tryDeleteLock(portFile + L".lock") == LockState::Held;
    }
    return false;
}

PortFileText readPortFileText(std::string_view bytes) {
    const std::wstring text(bytes.begin(), bytes.end());
    const std::optional<std::int32_t> number = parseDecimal(text);
    if (!number) return {0, problemBefore(bytes)};
    if (*number <= 0 || *number > 65535)
        return {0, L"holds " + std::to_wstring(*number) + L", which is not a TCP port (1 to 65535)"};
    // Plain: digits first, and nothing after them but a line end.
    const std::size_t digitsEnd = std::min(bytes.find_first_not_of("0123456789"), bytes.size());
    if (digitsEnd == 0 || bytes.find_first_not_of("\r\n", digitsEnd) != std::string_view::npos)
        return {*number, L"holds more than the number: its first bytes are " + hexBytes(bytes)};
    return {*number, L""};
}

std::optional<PortFileText> readPortFile(const std::wstring& path) {
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    char bytes[64];
    DWORD got = 0;
    if (!ReadFile(file.get(), bytes, sizeof bytes, &got, nullptr)) got = 0;
    return readPortFileText(std::string_view(bytes, got));
}
