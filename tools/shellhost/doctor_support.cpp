#include "tools/shellhost/doctor_support.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/handles.h"
#include "common/text_error.h"
#include "wire/line_socket.h"

namespace {

constexpr std::uintmax_t kLargestIconFile = 1 << 20;

#pragma pack(push, 2)
struct IconDirectory {
    WORD reserved, type, count;
};
struct IconEntry {
    BYTE width, height, colors, reserved;
    WORD planes, bitCount;
    DWORD bytes, offset;
};
#pragma pack(pop)

RegKey openKey(HKEY hive, const std::wstring& key, const View& view, REGSAM access) {
    RegKey opened;
    if (RegOpenKeyExW(hive, key.c_str(), 0, access | view.flag, opened.put()) != ERROR_SUCCESS) opened.reset();
    return opened;
}

std::wstring expand(const std::wstring& text) {
    const DWORD units = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    std::wstring expanded(units, L'\0');
    if (units == 0 || ExpandEnvironmentStringsW(text.c_str(), expanded.data(), units) != units) return text;
    expanded.resize(units - 1);
    return expanded;
}

}  // namespace

void Report::add(int kind, const wchar_t* label, const std::wstring& text) {
    ++counts_[kind];
    out_ << label << text << L'\n';
}

int Report::verdict() {
    const std::wstring counts = std::to_wstring(counts_[2]) + L" FAIL, " + std::to_wstring(counts_[1]) + L" WARN, " +
                                std::to_wstring(counts_[0]) + L" OK";
    if (counts_[2] > 0)
        out_ << L"verdict: broken (" << counts << L"): the FAIL lines say what keeps overlays or menu entries away\n";
    else if (counts_[1] > 0)
        out_ << L"verdict: working, with warnings (" << counts << L")\n";
    else
        out_ << L"verdict: healthy (" << counts << L")\n";
    return counts_[2] > 0 ? 1 : 0;
}

std::wstring hostName() {
    try {
        LineSocket guard;  // holds Windows Sockets up for the host name
        return LineSocket::localHostName();
    } catch (const TextError&) {
        return L"";
    }
}

std::vector<View> viewsToCheck() {
    BOOL emulated = FALSE;
    IsWow64Process(GetCurrentProcess(), &emulated);
    if (sizeof(void*) == 4 && !emulated) return {{0, L"32-bit", IMAGE_FILE_MACHINE_I386, true}};
    return {{KEY_WOW64_64KEY, L"64-bit", IMAGE_FILE_MACHINE_AMD64, true},
            {KEY_WOW64_32KEY, L"32-bit", IMAGE_FILE_MACHINE_I386, false}};
}

RegistryValue readValue(HKEY hive, const std::wstring& key, const wchar_t* name, const View& view) {
    RegistryValue value;
    const RegKey opened = openKey(hive, key, view, KEY_QUERY_VALUE);
    value.keyFound = static_cast<bool>(opened);
    DWORD bytes = 0;
    if (!opened || RegQueryValueExW(opened.get(), name, nullptr, &value.type, nullptr, &bytes) != ERROR_SUCCESS)
        return value;
    std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(opened.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &bytes) !=
        ERROR_SUCCESS)
        return value;
    value.found = true;
    value.text = data.substr(0, data.find(L'\0'));
    if (value.type == REG_EXPAND_SZ) value.text = expand(value.text);
    return value;
}

std::vector<std::pair<std::wstring, std::wstring>> subkeys(HKEY hive, const std::wstring& key, const View& view) {
    std::vector<std::pair<std::wstring, std::wstring>> found;
    const RegKey opened = openKey(hive, key, view, KEY_ENUMERATE_SUB_KEYS);
    wchar_t name[256];
    for (DWORD i = 0, units = 256; opened && RegEnumKeyExW(opened.get(), i, name, &units, nullptr, nullptr, nullptr,
                                                           nullptr) == ERROR_SUCCESS;
         ++i, units = 256)
        found.emplace_back(name, readValue(hive, key + L"\\" + name, nullptr, view).text);
    return found;
}

std::vector<std::wstring> valueNames(HKEY hive, const std::wstring& key, const View& view) {
    std::vector<std::wstring> names;
    const RegKey opened = openKey(hive, key, view, KEY_QUERY_VALUE);
    wchar_t name[16384];
    for (DWORD i = 0, units = 16384;
         opened && RegEnumValueW(opened.get(), i, name, &units, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, units = 16384)
        names.emplace_back(name);
    return names;
}

bool fileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool folderExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<WORD> machineOf(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    IMAGE_DOS_HEADER dos = {};
    DWORD signature = 0;
    IMAGE_FILE_HEADER header = {};
    if (!in.read(reinterpret_cast<char*>(&dos), sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        !in.seekg(dos.e_lfanew) || !in.read(reinterpret_cast<char*>(&signature), sizeof signature) ||
        signature != IMAGE_NT_SIGNATURE || !in.read(reinterpret_cast<char*>(&header), sizeof header))
        return std::nullopt;
    return header.Machine;
}

std::wstring machineName(WORD machine) {
    switch (machine) {
        case IMAGE_FILE_MACHINE_AMD64: return L"64-bit (x64)";
        case IMAGE_FILE_MACHINE_I386: return L"32-bit (x86)";
        case IMAGE_FILE_MACHINE_ARM64: return L"64-bit (ARM64)";
        default: return L"machine type " + std::to_wstring(machine);
    }
}

namespace {

// The bytes of a regular file of at most kLargestIconFile bytes, checked before anything is read:
// an "icon" value may name a huge file, a pipe or a device, which would be read for ever.
std::optional<std::string> readSmallFile(const std::wstring& path) {
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.get(), &size) ||
        size.QuadPart > static_cast<LONGLONG>(kLargestIconFile))
        return std::nullopt;
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() && !ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr))
        return std::nullopt;
    bytes.resize(got);
    return bytes;
}

}  // namespace

std::wstring iconProblem(const std::wstring& path) {
    if (!fileExists(path)) return L"does not exist";
    const std::optional<std::string> read = readSmallFile(path);
    if (!read) return L"is not a regular file of at most 1 MiB: not an icon file";
    const std::string& bytes = *read;
    IconDirectory directory = {};
    if (bytes.size() < sizeof directory) return L"is not an icon file";
    std::memcpy(&directory, bytes.data(), sizeof directory);
    if (directory.reserved != 0 || directory.type != 1 || directory.count == 0 ||
        bytes.size() < sizeof directory + directory.count * sizeof(IconEntry))
        return L"is not an icon file";
    for (WORD i = 0; i < directory.count; ++i) {
        IconEntry entry;
        std::memcpy(&entry, bytes.data() + sizeof directory + i * sizeof entry, sizeof entry);
        if (std::uintmax_t{entry.offset} + entry.bytes > bytes.size()) return L"is cut short";
    }
    const IconHandle icon(static_cast<HICON>(LoadImageW(nullptr, path.c_str(), IMAGE_ICON, 0, 0, LR_LOADFROMFILE)));
    return icon ? L"" : L"cannot be loaded as an icon";
}

bool sameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::wstring quoted(const std::wstring& text) { return L"'" + text + L"'"; }
