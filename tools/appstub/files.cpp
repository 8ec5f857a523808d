#include "tools/appstub/files.h"

#include <cstdio>
#include <filesystem>

#include "common/text_error.h"
#include "wire/line_socket.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool writeNewFile(const std::wstring& path, std::string_view bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool sameStamp(const WIN32_FILE_ATTRIBUTE_DATA& a, const WIN32_FILE_ATTRIBUTE_DATA& b) {
    return CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) == 0 && a.nFileSizeLow == b.nFileSizeLow &&
           a.nFileSizeHigh == b.nFileSizeHigh;
}

void reportBadRules(const std::wstring& path, const std::vector<std::size_t>& lines) {
    for (std::size_t line : lines)
        report(path + L" line " + std::to_wstring(line) + L" is not PATTERN<TAB>STATE, ignored");
}

}  // namespace

void report(std::wstring_view message) {
    const std::string line = "appstub: " + toUtf8(message) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

std::wstring fromUtf8(std::string_view bytes) {
    if (bytes.empty()) return {};
    const int size = static_cast<int>(bytes.size());
    std::wstring text(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, text.data(), static_cast<int>(text.size()));
    return text;
}

std::string toUtf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    std::string bytes(WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, bytes.data(), static_cast<int>(bytes.size()), nullptr,
                        nullptr);
    return bytes;
}

std::optional<std::wstring> readUtf8File(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return std::nullopt;
    std::string bytes;
    char buffer[16384];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    std::wstring text = fromUtf8(bytes);
    if (!text.empty() && text.front() == 0xFEFF) text.erase(0, 1);
    return text;
}

std::vector<std::wstring> readNonEmptyLines(const std::wstring& path) {
    std::vector<std::wstring> lines;
    const std::optional<std::wstring> text = path.empty() ? std::nullopt : readUtf8File(path);
    if (!text) return lines;
    std::size_t start = 0;
    while (start < text->size()) {
        std::size_t end = text->find(L'\n', start);
        if (end == std::wstring::npos) end = text->size();
        std::wstring line = text->substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (!line.empty()) lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

bool writeFileAtomically(const std::wstring& path, std::string_view bytes) {
    const std::wstring temporary = path + L".tmp";
    return writeNewFile(temporary, bytes) && MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::optional<std::wstring> RulesFile::stateFor(std::wstring_view path) {
    std::lock_guard<std::mutex> lock(mutex_);
    reloadIfChanged();
    return stateForPath(rules_, path);
}

void RulesFile::reloadIfChanged() {
    WIN32_FILE_ATTRIBUTE_DATA now = {};
    if (path_.empty() || !GetFileAttributesExW(path_.c_str(), GetFileExInfoStandard, &now)) {
        stamp_.reset();  // a missing file means no rules; read it again when it comes back
        rules_.clear();
        return;
    }
    if (stamp_ && sameStamp(*stamp_, now)) return;
    const std::optional<std::wstring> text = readUtf8File(path_);
    ParsedRules parsed = parseStateRules(text.value_or(L""));
    reportBadRules(path_, parsed.badLines);
    rules_ = std::move(parsed.rules);
    stamp_ = now;
}

Journal::Journal(const std::wstring& path) {
    if (path.empty()) return;
    file_.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA, kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    if (!file_) throw TextError(L"cannot open the journal " + path);
}

void Journal::record(const std::wstring& name, const std::vector<std::wstring>& arguments) {
    if (!file_) return;
    std::wstring line = name;
    for (const std::wstring& argument : arguments) line += L'\t' + argument;
    const std::string bytes = toUtf8(line) + '\n';
    std::lock_guard<std::mutex> lock(mutex_);
    DWORD written = 0;
    WriteFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

Publication::Publication(const std::wstring& folder, const std::wstring& suffix, std::uint16_t port,
                         const std::string& prefix) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(folder), ignored);
    portFile_ = folder + L"\\" + LineSocket::localHostName() + suffix + L".port";
    lockFile_ = portFile_ + L".lock";
    // A deletable ".postlock" left behind by someone else would make clients ignore us.
    DeleteFileW((portFile_ + L".postlock").c_str());
    // Port file first: until the lock file exists clients do not look at it.
    if (!writeNewFile(portFile_, prefix + std::to_string(port))) throw TextError(L"cannot write " + portFile_);
    lock_.reset(CreateFileW(lockFile_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!lock_) {
        DeleteFileW(portFile_.c_str());
        throw TextError(L"cannot hold " + lockFile_);
    }
}

void Publication::withdraw() noexcept {
    if (!lock_) return;
    // Lock file first: without it clients no longer read the port file.
    lock_.reset();
    DeleteFileW(lockFile_.c_str());
    DeleteFileW(portFile_.c_str());
}
