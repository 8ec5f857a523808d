// End to end: compreh.dll registered as the installer registers it, created through COM by
// shellhost as Explorer creates it, answering from the stand-in application.
#include <gtest/gtest.h>

#include <shlobj.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>

#include "common/handles.h"
#include "tests/win/appstub_process.h"
#include "tests/win/test_support.h"
#include "tools/shellhost/overlays.h"
#include "tools/shellhost/registration.h"
#include "tools/shellhost/sample_icons.h"

using namespace testing_support;

namespace {

const std::wstring kSample = L"C:\\shellhost-sample";
const std::wstring kIcons = L"C:\\icons";
const std::vector<std::wstring> kStates = {L"Synced", L"Syncing", L"Error",   L"Conflict",
                                           L"Shared", L"Locked",  L"Excluded"};

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
        // Both word sizes' libraries where the other one is at hand (the 32-bit tree), as installed.
        std::vector<std::wstring> dlls{moduleFolder() + L"\\compreh.dll"};
        if (const std::wstring win64 = win64Program(L"compreh.dll"); !win64.empty()) dlls.push_back(win64);
        ASSERT_TRUE(registerExtension(dlls, kIcons));
        stub_ = std::make_unique<RunningStub>(kSample,
                                              L"--rules \"" + kSample + L"\\rules.txt\" " + commandFolder_);
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
    std::wstring commandFolder_ = L"--command-folder \"" + kSample + L"\\cmd\"";
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

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool hasLine(const Captured& run, const std::string& wanted) {
    const std::vector<std::string> lines = linesOf(run.output);
    return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

bool hasLineStarting(const Captured& run, const std::string& start) {
    for (const std::string& line : linesOf(run.output))
        if (line.rfind(start, 0) == 0) return true;
    return false;
}

// An installation as the installer leaves it, with the stand-in application running and
// publishing its servers where the application does.
class Doctor : public ShellHost {
protected:
    void SetUp() override {
        config_.set(L"tavrel", moduleFolder() + L"\\Tavrel.exe");
        config_.set(L"executable", moduleFolder() + L"\\recorder.exe");
        commandFolder_.clear();
        ShellHost::SetUp();
    }
    void TearDown() override {
        ShellHost::TearDown();
        removeTree(settingsFolder() + L"\\9.9.9-test");
    }
    ScopedConfig config_{L"9.9.9-test", kSample};
};

TEST_F(Doctor, PassesAHealthyInstallationAndFailsWhenTheApplicationStops) {
    config_.set(L"state-share-timeout", L"250");
    config_.set(L"state-connections", L"8");
    const Captured healthy = runCaptured(L"shellhost.exe", L"doctor");
    EXPECT_NE(healthy.output.find("state-share-timeout=250"), std::string::npos) << healthy.output;
    EXPECT_NE(healthy.output.find("state-connections=8"), std::string::npos);
    EXPECT_FALSE(hasLineStarting(healthy, "WARN 64-bit configuration: value"));
    config_.set(L"state-connections", L"0");
    EXPECT_TRUE(hasLine(runCaptured(L"shellhost.exe", L"doctor"),
                        "WARN 64-bit configuration: value state-connections '0' is not a number from 1 to 16: the "
                        "default of 4 connections applies"));
    config_.set(L"state-connections", L"8");
    EXPECT_TRUE(hasLine(healthy, "OK   64-bit overlay Synced: entry '   QuorvaneSynced' is number 6 of 7 in the "
                                 "order Windows loads them")) << healthy.output;
    EXPECT_TRUE(hasLineStarting(healthy, "OK   command server: port " + std::to_string(stub_->commandPort)));
    EXPECT_TRUE(hasLine(healthy, "OK   64-bit Explorer-command class " + narrow(explorerCommandClassId()) +
                                     " is registered"));
    EXPECT_FALSE(hasLineStarting(healthy, "FAIL 64-bit")) << healthy.output;
    EXPECT_FALSE(hasLineStarting(healthy, "FAIL command server"));

    stub_->kill();  // its lock file goes with it; the port file stays
    const std::wstring portFile = settingsFolder() + L"\\9.9.9-test\\" + hostName() + L".port";
    writeFile(portFile + L".lock", "");  // a stale lock: the extension's rule deletes it when it looks
    const Captured stopped = runCaptured(L"shellhost.exe", L"doctor");
    EXPECT_EQ(stopped.exitCode, 1u);
    EXPECT_TRUE(hasLine(stopped, "FAIL command server: not running; " + narrow(portFile) +
                                     " is left from an earlier run (no lock file held)")) << stopped.output;
    EXPECT_TRUE(hasLineStarting(stopped, "verdict: broken ("));
    EXPECT_TRUE(fileExists(portFile));
    EXPECT_FALSE(fileExists(portFile + L".lock"));

    // A read-only lock cannot be deleted: held, by the extension's rule, so the port is probed.
    writeFile(portFile + L".lock", "");
    SetFileAttributesW((portFile + L".lock").c_str(), FILE_ATTRIBUTE_READONLY);
    const Captured readOnly = runCaptured(L"shellhost.exe", L"doctor");
    SetFileAttributesW((portFile + L".lock").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(hasLineStarting(readOnly, "FAIL command server: port " + std::to_string(stub_->commandPort) + " from " +
                                              narrow(portFile) + " does not answer")) << readOnly.output;
}

TEST_F(Doctor, WarnsAboutTheTraceLogsErrorLinesOnly) {
    const std::string line = "12/10/26 02:00:00 [00000000-0000-0000-0000-000000000000] ";
    writeFile(logPath(), line + "Comprehension::IsMemberOf: C:\\errors\\failed.txt\r\n" + line + "  State: Error\r\n" +
                             line + "get-states failed: connection closed by the state server\r\n" + line +
                             "Statuscache does not respond due to error: connect/select timed out\r\n");
    const Captured run = runCaptured(L"shellhost.exe", L"doctor");
    DeleteFileW(logPath().c_str());
    std::vector<std::string> warned;
    for (const std::string& found : linesOf(run.output))
        if (found.rfind("WARN trace log: ", 0) == 0) warned.push_back(found.substr(16 + line.size()));
    EXPECT_EQ(warned, (std::vector<std::string>{"get-states failed: connection closed by the state server",
                                                "Statuscache does not respond due to error: connect/select timed out"}))
        << run.output;
}

TEST_F(Doctor, NamesTheOverlaysBeyondTheFifteenWindowsUsesAndWhatIsAheadOfThem) {
    const std::wstring handlers =
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers\\";
    // Twelve other entries ahead of ours: more leading blanks, or a lower-case name that comes
    // first only when letter case is ignored, as Windows orders them.
    std::vector<std::wstring> names;
    for (wchar_t letter = L'A'; letter <= L'K'; ++letter) names.push_back(std::wstring(L"    Rival") + letter);
    names.push_back(L"   quorvaneAhead");
    std::vector<std::unique_ptr<ScopedKey>> rivals;
    std::string ahead;
    for (const std::wstring& name : names) {
        rivals.push_back(std::make_unique<ScopedKey>(HKEY_LOCAL_MACHINE, handlers + name,
                                                     L"{00000000-1111-2222-3333-444444444444}"));
        ahead += (ahead.empty() ? "'" : ", '") + narrow(name) + "'";
    }

    const Captured run = runCaptured(L"shellhost.exe", L"doctor");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(hasLine(run, "OK   64-bit overlay Excluded: entry '   QuorvaneExcluded' is number 15 of 19 in the "
                             "order Windows loads them")) << run.output;
    EXPECT_TRUE(hasLine(run, "FAIL 64-bit overlay Locked: entry '   QuorvaneLocked' is number 16 of 19 in the order "
                             "Windows loads them, beyond the 15 that Windows uses; ahead of it: " + ahead));
    EXPECT_TRUE(hasLineStarting(run, "FAIL 64-bit overlay Syncing: entry '   QuorvaneSyncing' is number 19 of 19"));
}

TEST_F(Doctor, FailsAMissingOrBrokenIconAndADllOfTheWrongWordSize) {
    DeleteFileW((kIcons + L"\\Locked.ico").c_str());
    writeBytes(kIcons + L"\\Shared.ico", "not an icon");
    std::ifstream in(std::filesystem::path(moduleFolder() + L"\\compreh.dll"), std::ios::binary);
    std::string dll((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::uint32_t header = *reinterpret_cast<const std::uint32_t*>(dll.data() + 0x3C);
    *reinterpret_cast<std::uint16_t*>(dll.data() + header + 4) = IMAGE_FILE_MACHINE_I386;
    const std::wstring wrongDll = kSample + L"\\compreh32.dll";
    writeBytes(wrongDll, dll);
    // Registration would put it into the 32-bit view, where it belongs: written over by hand.
    for (int i = 0; i < 8; ++i) {
        const std::wstring classId = i == 0 ? contextMenuClassId() : overlayClasses()[i - 1].classId;
        RegKey server;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + classId + L"\\InprocServer32").c_str(), 0,
                                KEY_SET_VALUE | KEY_WOW64_64KEY, server.put()),
                  ERROR_SUCCESS);
        RegSetValueExW(server.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(wrongDll.c_str()),
                       static_cast<DWORD>((wrongDll.size() + 1) * sizeof(wchar_t)));
    }

    // An icon value naming a huge file or a pipe that never sends must not be read.
    const std::wstring huge = kSample + L"\\huge.ico";
    {
        FileHandle file(CreateFileW(huge.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        LARGE_INTEGER size;
        size.QuadPart = 100LL << 20;
        ASSERT_TRUE(SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()));
    }
    const std::wstring pipe = L"\\\\.\\pipe\\quorvane-doctor-test";
    const FileHandle pipeServer(CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr));
    const std::pair<int, std::wstring> icons[] = {{3, huge}, {4, pipe}};
    for (const auto& [index, icon] : icons) {
        RegKey key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + overlayClasses()[index - 1].classId).c_str(), 0,
                                KEY_SET_VALUE | KEY_WOW64_64KEY, key.put()),
                  ERROR_SUCCESS);
        RegSetValueExW(key.get(), L"icon", 0, REG_SZ, reinterpret_cast<const BYTE*>(icon.c_str()),
                       static_cast<DWORD>((icon.size() + 1) * sizeof(wchar_t)));
    }
    DeleteFileW(logPath().c_str());

    const Captured run = runCaptured(L"shellhost.exe", L"doctor");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_FALSE(fileExists(logPath()));  // the doctor only looks: not even its probes leave a line
    EXPECT_TRUE(hasLineStarting(run, "OK   trace log: ")) << run.output;
    for (const char* state : {"(Error): icon C:\\shellhost-sample\\huge.ico ", "(Conflict): icon \\\\.\\pipe\\"})
        EXPECT_NE(run.output.find(state), std::string::npos) << state;
    const std::string classes = "FAIL 64-bit overlay class {5B7E2A4";
    EXPECT_TRUE(hasLine(run, classes + "6-9C13-4D8F-B6A2-71E4C09D35F8} (Locked): icon C:\\icons\\Locked.ico does not "
                                       "exist")) << run.output;
    EXPECT_TRUE(hasLine(run, classes + "5-9C13-4D8F-B6A2-71E4C09D35F8} (Shared): icon C:\\icons\\Shared.ico is not an "
                                       "icon file"));
    EXPECT_TRUE(hasLine(run, "FAIL 64-bit classes: C:\\shellhost-sample\\compreh32.dll is a 32-bit (x86) DLL; 64-bit "
                             "programs can only load a 64-bit (x64) one"));
}

bool keyIn(REGSAM view, HKEY hive, const std::wstring& path) {
    RegKey key;
    return RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

// Each word size loads its DLL from its own registry view: a DLL goes into the view of its word
// size only, nothing else is taken for one, the configuration goes into both views, and removal
// clears both, also what a registration from the other word size left there.
TEST(Registration, EachDllGoesIntoItsOwnViewAndRemovalClearsBothViews) {
    const REGSAM own = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    const REGSAM other = own == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    const std::wstring menuClass = L"CLSID\\" + contextMenuClassId();
    EXPECT_FALSE(registerExtension({moduleFolder() + L"\\missing.dll"}, L"C:\\icons"));
    writeBytes(L"C:\\not-a-dll.dll", "MZ but nothing more");
    EXPECT_FALSE(registerExtension({L"C:\\not-a-dll.dll"}, L"C:\\icons"));
    DeleteFileW(L"C:\\not-a-dll.dll");

    ASSERT_TRUE(registerExtension({moduleFolder() + L"\\compreh.dll"}, L"C:\\icons"));
    EXPECT_TRUE(keyIn(own, HKEY_CLASSES_ROOT, menuClass + L"\\InprocServer32"));
    EXPECT_TRUE(keyIn(own, HKEY_CLASSES_ROOT, L"CLSID\\" + explorerCommandClassId() + L"\\InprocServer32"));
    EXPECT_FALSE(keyIn(other, HKEY_CLASSES_ROOT, menuClass));
    ASSERT_TRUE(configureApplication(L"1.0-views", L"C:\\views", {L"debug-logging=true"}));
    for (const REGSAM view : {own, other}) EXPECT_TRUE(keyIn(view, HKEY_LOCAL_MACHINE, L"Software\\Quorvane\\1.0-views"));

    RegKey left;
    RegCreateKeyExW(HKEY_CLASSES_ROOT, (menuClass + L"\\InprocServer32").c_str(), 0, nullptr, 0, KEY_WRITE | other,
                    nullptr, left.put(), nullptr);
    left.reset();
    unregisterExtension();
    unconfigureApplication();
    for (const REGSAM view : {own, other}) {
        EXPECT_FALSE(keyIn(view, HKEY_CLASSES_ROOT, menuClass));
        EXPECT_FALSE(keyIn(view, HKEY_CLASSES_ROOT, L"CLSID\\" + explorerCommandClassId()));
        EXPECT_FALSE(keyIn(view, HKEY_LOCAL_MACHINE, L"Software\\Quorvane"));
    }
}

// The installation with the full menu and the example command tree.
class Commands : public Doctor {
protected:
    void SetUp() override {
        config_.set(L"shell-integration-full", L"true");
        Doctor::SetUp();
        config_.remove(L"tavrel");  // a started Tavrel would outlive the test, holding its output
        writeBytes(kSample + L"\\commands.txt",
                   "quick-commands\t2\nc1\tFirst\ttrue\nc2\tSecond\tfalse\n"
                   "group\t3\tg1\tGroup one\nc3\tThird\ttrue\ngroup\t2\tg2\tNested\nc5\tFifth\ttrue\nc6\tSixth\ttrue\n"
                   "c4\tFourth\ttrue\n");
        ensureFolder(kSample + L"\\lib\\icons");
        ASSERT_TRUE(writeSampleIcons(kSample + L"\\lib\\icons", {L"c1"}, false));
        stub_.reset();  // again, with the commands
        stub_ = std::make_unique<RunningStub>(kSample, L"--commands \"" + kSample + L"\\commands.txt\"");
        ASSERT_TRUE(stub_->waitUntilReady());
    }
};

TEST_F(Commands, ShowTheTreeAsWindows11WouldAndInvokeOneByItsTitles) {
    const std::wstring selection = kSample + L"\\report.docx " + kSample + L"\\project";
    const Captured run = runCaptured(L"shellhost.exe", L"commands --invoke \"Quorvane/Group one/Fifth\" " + selection);
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(run.output,
              "GetState(fOkToBeSlow=FALSE): E_PENDING\n"
              "GetState(fOkToBeSlow=TRUE): S_OK\n"
              "> Quorvane  [enabled]\n"
              "  First  [enabled]  [icon C:\\shellhost-sample\\lib\\icons\\c1.ico]\n"
              "  Second  [disabled]\n"
              "  > Group one  [enabled]\n"
              "    Third  [enabled]\n"
              "    ----\n"
              "    Fifth  [enabled]\n"
              "Invoke Quorvane/Group one/Fifth: S_OK\n"
              "    Sixth  [enabled]\n"
              "    Fourth  [enabled]\n");
    EXPECT_TRUE(appearsInFile(kSample + L"\\journal.txt",
                              "c5\t" + narrow(kSample) + "\\report.docx\t" + narrow(kSample) + "\\project"));
    EXPECT_EQ(runCaptured(L"shellhost.exe", L"commands --invoke \"Quorvane/Missing\" " + selection).exitCode, 1u);
}

// Only in the 64-bit tree: the package names the 64-bit DLL, which Explorer loads.
#ifdef _WIN64
std::set<std::string> attributeValues(const std::string& text, const std::string& element, const std::string& name) {
    std::set<std::string> values;
    const std::regex pattern("<" + element + "\\b[^>]*\\b" + name + "=\"([^\"]*)\"");
    for (auto match = std::sregex_iterator(text.begin(), text.end(), pattern); match != std::sregex_iterator(); ++match)
        values.insert((*match)[1]);
    return values;
}

// The sparse package must name the class, the DLL and the item types that the installation
// registers, or Windows 11 shows nothing (or another DLL).
TEST(SparseManifest, NamesTheClassDllAndItemTypesThatRegistrationWrites) {
    std::ifstream in(std::filesystem::path(QV_SPARSE_MANIFEST), std::ios::binary);
    const std::string manifest((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(manifest.empty());
    const std::string ours = narrow(explorerCommandClassId().substr(1, 36));
    EXPECT_EQ(attributeValues(manifest, "desktop5:Verb", "Clsid"), std::set<std::string>{ours});
    EXPECT_EQ(attributeValues(manifest, "com:Class", "Id"), std::set<std::string>{ours});
    EXPECT_EQ(attributeValues(manifest, "com:Class", "ThreadingModel"), std::set<std::string>{"STA"});  // Apartment
    std::set<std::string> itemTypes;
    for (const std::wstring& type : contextMenuItemTypes()) itemTypes.insert(narrow(type));
    EXPECT_EQ(attributeValues(manifest, "desktop5:ItemType", "Type"), itemTypes);

    const std::set<std::string> dll = attributeValues(manifest, "com:Class", "Path");
    ASSERT_EQ(dll.size(), 1u);
    const std::wstring install = L"C:\\sparse-install";
    ensureFolder(install + L"\\bin");
    const std::string relative = *dll.begin();
    const std::wstring installed = install + L"\\" + std::wstring(relative.begin(), relative.end());
    CopyFileW((moduleFolder() + L"\\compreh.dll").c_str(), installed.c_str(), FALSE);
    ASSERT_TRUE(registerExtension({install + L"\\bin\\compreh.dll"}, L"C:\\icons"));  // the installation's layout
    RegKey server;
    wchar_t registered[MAX_PATH] = {};
    DWORD bytes = sizeof registered;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + explorerCommandClassId() + L"\\InprocServer32").c_str(),
                            0, KEY_READ | KEY_WOW64_64KEY, server.put()),
              ERROR_SUCCESS);
    RegQueryValueExW(server.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(registered), &bytes);
    EXPECT_EQ(std::wstring(registered), installed);
    server.reset();
    unregisterExtension();
    removeTree(install);
}
#endif

}  // namespace
