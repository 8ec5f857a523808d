// The version resources of compreh.dll and Tavrel.exe as Windows reads them: what Explorer's
// file properties, support and Windows Installer see.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/win/test_support.h"

using namespace testing_support;

namespace {

class VersionResource {
public:
    explicit VersionResource(const std::wstring& path) {
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        if (size == 0) return;
        data_.resize(size);
        if (!GetFileVersionInfoW(path.c_str(), 0, size, data_.data())) data_.clear();
    }
    bool present() const { return !data_.empty(); }

    // The four fields of the fixed file version, as "1.2.3.4".
    std::wstring fileVersion() {
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(data_.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed) return L"";
        return std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(fixed->dwFileVersionMS)) +
               L"." + std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
               std::to_wstring(LOWORD(fixed->dwFileVersionLS));
    }
    std::wstring text(const std::wstring& name) {
        wchar_t* value = nullptr;
        UINT length = 0;
        const std::wstring query = L"\\StringFileInfo\\040904B0\\" + name;
        if (!VerQueryValueW(data_.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) || !value) return L"";
        return value;
    }

private:
    std::vector<BYTE> data_;
};

void expectVersionResource(const std::wstring& name, const std::wstring& description) {
    SCOPED_TRACE(std::string(name.begin(), name.end()));
    VersionResource resource(moduleFolder() + L"\\" + name);
    ASSERT_TRUE(resource.present());
    EXPECT_EQ(resource.fileVersion(), QV_VERSION L".0");
    EXPECT_EQ(resource.text(L"FileVersion"), QV_VERSION L".0");
    EXPECT_EQ(resource.text(L"ProductVersion"), QV_VERSION L".0");
    EXPECT_EQ(resource.text(L"CompanyName"), L"Quorvane");
    EXPECT_EQ(resource.text(L"ProductName"), L"Quorvane Explorer integration");
    EXPECT_EQ(resource.text(L"FileDescription"), description);
    EXPECT_EQ(resource.text(L"OriginalFilename"), name);
}

TEST(VersionResources, BothDeliverablesCarryTheVersionFileAndTheirNames) {
    expectVersionResource(L"compreh.dll", L"Quorvane Explorer integration: overlays and context menu");
    expectVersionResource(L"Tavrel.exe", L"Quorvane change notifier");
}

}  // namespace
