// End to end: compreh.dll registered as the installer registers it, created through COM by
// shellhost as Explorer creates it, answering from the stand-in application.
#include <gtest/gtest.h>

#include <shlobj.h>
#include <wincodec.h>
#include <wrl/client.h>

#include "tests/win/appstub_process.h"
#include "tests/win/test_support.h"
#include "tools/shellhost/overlays.h"
#include "tools/shellhost/registration.h"
#include "tools/shellhost/sample_icons.h"

using namespace testing_support;

namespace {

const std::wstring kSample = L"C:\\shellhost-sample";
const std::wstring kIcons = L"C:\\icons";
const std::vector<std::wstring> kStates = {L"Synced", L"Syncing", L"Error", L"Conflict", L"Shared", L"Locked", L"Excluded"};

class ShellHost : public ::testing::Test {
protected:
    void SetUp() override {
        removeTree(kSample);
        ensureFolder(kSample + L"\\project");
        for (const wchar_t* name : {L"\\project\\plan.txt", L"\\report.docx", L"\\notes \x00e9t\x00e9.txt", L"\\scratch.tmp"})
            writeBytes(kSample + name, "x");
        writeBytes(kSample + L"\\rules.txt",
                   "C:\\shellhost-sample\\project\tSyncing\n*.docx\tSynced\n*\\notes*\tConflict\n*\tExcluded\n");
        ASSERT_TRUE(writeSampleIcons(kIcons, kStates, true));
        ASSERT_TRUE(registerExtension(moduleFolder() + L"\\compreh.dll", kIcons));
        stub_ = std::make_unique<RunningStub>(kSample, L"--rules \"" + kSample + L"\\rules.txt\" --command-folder \"" +
                                                          kSample + L"\\cmd\"");
        ASSERT_TRUE(stub_->waitUntilReady());
    }
    void TearDown() override {
        stub_.reset();
        unregisterExtension();
        removeTree(kSample);
        removeTree(kIcons);
        removeTree(settingsFolder() + L"\\statuscache-1");
    }
    std::unique_ptr<RunningStub> stub_;
};

TEST_F(ShellHost, ShowsTheOverlayOfEachItemOfAFolder) {
    const Captured run = runCaptured(L"shellhost.exe", L"overlays " + kSample);
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    const std::string expected =
        "C:\\shellhost-sample\\cmd\tExcluded\tC:\\icons\\Excluded.ico\n"
        "C:\\shellhost-sample\\journal.txt\tExcluded\tC:\\icons\\Excluded.ico\n"
        "C:\\shellhost-sample\\notes \xC3\xA9t\xC3\xA9.txt\tConflict\tC:\\icons\\Conflict.ico\n"
        "C:\\shellhost-sample\\project\tSyncing\tC:\\icons\\Syncing.ico\n"
        "C:\\shellhost-sample\\ready.txt\tExcluded\tC:\\icons\\Excluded.ico\n"
        "C:\\shellhost-sample\\report.docx\tSynced\tC:\\icons\\Synced.ico\n"
        "C:\\shellhost-sample\\rules.txt\tExcluded\tC:\\icons\\Excluded.ico\n"
        "C:\\shellhost-sample\\scratch.tmp\tExcluded\tC:\\icons\\Excluded.ico\n";
    EXPECT_EQ(run.output, expected);
}

TEST_F(ShellHost, ItemsInTheProfileOutsideDocumentsGetNoOverlay) {
    wchar_t profile[MAX_PATH], documents[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile);
    SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents);
    const std::wstring outside = std::wstring(profile) + L"\\Desktop\\a.txt";
    const std::wstring inside = std::wstring(documents) + L"\\a.txt";
    const Captured run = runCaptured(L"shellhost.exe", L"overlays \"" + outside + L"\" \"" + inside + L"\"");
    ASSERT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, narrow(outside) + "\t-\n" + narrow(inside) + "\tExcluded\tC:\\icons\\Excluded.ico\n");
}

TEST_F(ShellHost, WithoutTheApplicationNothingHasAnOverlay) {
    stub_->kill();
    const Captured run = runCaptured(L"shellhost.exe", L"overlays C:\\shellhost-sample\\report.docx");
    EXPECT_EQ(run.output, "C:\\shellhost-sample\\report.docx\t-\n");
}

// The picture's pixel at the centre of item i's overlay badge, as 0xRRGGBB.
std::uint32_t badgePixel(const std::wstring& png, int item) {
    using Microsoft::WRL::ComPtr;
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    ComPtr<IWICFormatConverter> pixels;
    const int x = item * kPictureCellWidth + (kPictureCellWidth - kPictureIconSize) / 2 + kOverlayBadgeCentre;
    const WICRect one = {x, kPictureIconTop + kPictureIconSize - kOverlayBadgeCentre, 1, 1};
    std::uint32_t pixel = 0;
    const bool read =
        SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory))) &&
        SUCCEEDED(factory->CreateDecoderFromFilename(png.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                                     &decoder)) &&
        SUCCEEDED(decoder->GetFrame(0, &frame)) && SUCCEEDED(factory->CreateFormatConverter(&pixels)) &&
        SUCCEEDED(pixels->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0,
                                     WICBitmapPaletteTypeCustom)) &&
        SUCCEEDED(pixels->CopyPixels(&one, 4, 4, reinterpret_cast<BYTE*>(&pixel)));
    return read ? pixel & 0xFFFFFF : 0xDEADBEEF;
}

TEST_F(ShellHost, ThePictureShowsEachItemWithItsOverlayOverItsIcon) {
    const std::wstring png = kSample + L"\\overlays.png";
    const Captured run = runCaptured(L"shellhost.exe", L"overlays --picture " + png + L" " + kSample + L"\\project " +
                                                           kSample + L"\\report.docx " + kSample + L"\\scratch.tmp");
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(badgePixel(png, 0), sampleIconColor(L"Syncing"));
    EXPECT_EQ(badgePixel(png, 1), sampleIconColor(L"Synced"));
    EXPECT_EQ(badgePixel(png, 2), sampleIconColor(L"Excluded"));
    CoUninitialize();
}

}  // namespace
