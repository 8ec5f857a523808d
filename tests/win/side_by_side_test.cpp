// A 64-bit host (Explorer) and a 32-bit host (a 32-bit program's file dialog) at the same time,
// for one user and one application: each loads the compreh.dll of its own word size from its own
// registry view, both answer alike, and one Tavrel serves both whichever of them started it.
// Built in the 32-bit tree, whose prefix runs both word sizes, with the 64-bit tree's programs.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>

#include "common/handles.h"
#include "tests/win/appstub_process.h"
#include "tests/win/test_support.h"
#include "tools/shellhost/registration.h"
#include "wire/line_socket.h"

using namespace testing_support;

namespace {

const std::wstring kRoot = L"C:\\side-by-side";
const std::wstring kReport = kRoot + L"\\report.docx";
const std::string kReportOverlay = "C:\\side-by-side\\report.docx\tSynced\tC:\\side-by-side\\Synced.ico\n";

struct Host {
    const char* wordSize;
    std::wstring program;
};
const Host k64 = {"64-bit", win64Program(L"shellhost.exe")};
const Host k32 = {"32-bit", L"shellhost.exe"};

std::vector<DWORD> tavrels() { return tavrelProcesses(false); }

void endTavrels() {
    for (DWORD id : tavrels()) {
        KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        if (process && TerminateProcess(process.get(), 99)) WaitForSingleObject(process.get(), 5000);
    }
}

class SideBySide : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(!k64.program.empty() && fileExists(k64.program)) << "no 64-bit programs: build the win64 tree first";
        ASSERT_TRUE(tavrels().empty()) << "a Tavrel from elsewhere runs in this prefix";
        removeTree(kRoot);
        ensureFolder(kRoot + L"\\project");
        writeBytes(kReport, "x");
        writeBytes(kRoot + L"\\rules.txt", "C:\\side-by-side\\project\tSyncing\n*.docx\tSynced\n");
        writeBytes(kRoot + L"\\commands.txt", "quick-commands\t1\nshare\tShare link\ttrue\n"
                                              "group\t1\thistory\tHistory\nlog\tShow log\ttrue\n");
        // What an installer of both word sizes writes; Tavrel is the installation's one program.
        ASSERT_TRUE(registerExtension({win64Program(L"compreh.dll"), moduleFolder() + L"\\compreh.dll"}, kRoot));
        ASSERT_TRUE(configureApplication(kVersion, kRoot,
                                         {L"shell-integration-full=true", L"notify-logging=true",
                                          L"tavrel=" + win64Program(L"Tavrel.exe")}));
        clearLog();
        stub_ = std::make_unique<RunningStub>(kRoot,
                                              L"--rules " + kRoot + L"\\rules.txt --commands " + kRoot + L"\\commands.txt");
        ASSERT_TRUE(stub_->waitUntilReady());
    }
    void TearDown() override {
        endTavrels();
        stub_.reset();
        unregisterExtension();
        unconfigureApplication();
        removeTree(kRoot);
        removeTree(settingsFolder() + L"\\statuscache-1");
        removeTree(settingsFolder() + L"\\" + kVersion);
    }

    // A changed path pushed by the application arrives at Tavrel, which tells the shell.
    bool pushReachesTheShell(const std::wstring& path) {
        if (!exchange(*connectLocal(stub_->commandPort), L"appstub-push", {path}).empty()) return false;
        const std::string received = "Notifier::_tWinMain received line: " + narrow(path);
        for (int i = 0; i < 250; ++i, Sleep(20)) {
            const std::vector<std::string> log = logMessages();
            if (std::find(log.begin(), log.end(), received) != log.end()) return true;
        }
        return false;
    }

    static inline const std::wstring kVersion = L"9.9.9-side-by-side";
    std::unique_ptr<RunningStub> stub_;
};

TEST_F(SideBySide, BothWordSizesShowTheSameOverlaysAndMenuAtOnce) {
    const std::vector<Captured> overlays =
        runTogether({{k64.program, L"overlays " + kRoot}, {k32.program, L"overlays " + kRoot}});
    const std::wstring selection = kRoot + L"\\project " + kReport;
    const std::vector<Captured> menus =
        runTogether({{k64.program, L"menu " + selection}, {k32.program, L"menu " + selection}});
    for (const Captured& run : {overlays[0], overlays[1], menus[0], menus[1]}) EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(overlays[0].output.find(kReportOverlay), std::string::npos) << overlays[0].output;
    EXPECT_NE(overlays[0].output.find("C:\\side-by-side\\project\tSyncing\t"), std::string::npos);
    EXPECT_EQ(overlays[1].output, overlays[0].output);
    EXPECT_NE(menus[0].output.find("Show log"), std::string::npos) << menus[0].output;
    EXPECT_EQ(menus[1].output, menus[0].output);

    EXPECT_EQ(tavrels().size(), 1u);
    EXPECT_TRUE(pushReachesTheShell(kRoot + L"\\project\\plan.txt"));
}

TEST_F(SideBySide, OneTavrelServesBothWhicheverHostStartsIt) {
    int round = 0;
    for (const auto& [first, second] : {std::pair{k32, k64}, std::pair{k64, k32}}) {
        SCOPED_TRACE(std::string(first.wordSize) + " host first");
        endTavrels();
        EXPECT_EQ(runCaptured(first.program, L"overlays " + kReport).output, kReportOverlay);
        const std::vector<DWORD> started = tavrels();
        EXPECT_EQ(started.size(), 1u);
        EXPECT_EQ(runCaptured(second.program, L"overlays " + kReport).output, kReportOverlay);
        EXPECT_EQ(tavrels(), started);
        EXPECT_TRUE(pushReachesTheShell(kRoot + L"\\pushed-" + std::to_wstring(++round) + L".txt"));
    }
}

}  // namespace
