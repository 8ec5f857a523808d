// shellhost check-app against the stand-in application, the example application, and the
// stand-in made to commit each mistake that applications make.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "common/handles.h"
#include "tests/win/appstub_process.h"
#include "tests/win/test_support.h"
#include "tools/shellhost/registration.h"
#include "tools/shellhost/sample_icons.h"

using namespace testing_support;

namespace {

const std::wstring kSample = L"C:\\check-app-sample";
const std::wstring kIcons = L"C:\\check-app-icons";
const std::wstring kItems = L"\"" + kSample + L"\\docs\" \"" + kSample + L"\\docs\\plan.txt\"";

std::vector<std::string> linesStarting(const std::string& output, const std::string& start) {
    std::vector<std::string> found;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(start, 0) == 0) found.push_back(line);
    return found;
}

bool hasLineWith(const std::string& output, const std::string& start, const std::string& part) {
    for (const std::string& line : linesStarting(output, start))
        if (line.find(part) != std::string::npos) return true;
    return false;
}

// An installation with the overlay classes registered and the version configured, so that the
// extension (and check-app) look for the command server in the version folder.
class CheckApp : public ::testing::Test {
protected:
    void SetUp() override {
        removeTree(kSample);
        ensureFolder(kSample + L"\\docs");
        writeBytes(kSample + L"\\docs\\plan.txt", "x");
        std::vector<std::wstring> states;
        for (const OverlayClass& overlay : overlayClasses()) states.push_back(overlay.state);
        ASSERT_TRUE(writeSampleIcons(kIcons, states, true));
        ASSERT_TRUE(registerExtension({moduleFolder() + L"\\compreh.dll"}, kIcons));
        writeBytes(kSample + L"\\rules.txt", "C:\\check-app-sample\\docs\\plan.txt\tSyncing\n*\tSynced\n");
        writeBytes(kSample + L"\\commands.txt", "quick-commands\t1\nshare\tShare link\ttrue\n"
                                                "group\t1\thistory\tHistory\nlog\tShow log\ttrue\n");
    }
    void TearDown() override {
        stub_.reset();
        unregisterExtension();
        removeTree(kSample);
        removeTree(kIcons);
        removeTree(settingsFolder() + L"\\9.9.9-test");
        removeTree(settingsFolder() + L"\\statuscache-1");
    }

    Captured checkWithStub(const std::wstring& options, const std::wstring& checkOptions = L"") {
        stub_ = std::make_unique<RunningStub>(kSample, L"--rules \"" + kSample + L"\\rules.txt\" --commands \"" +
                                                           kSample + L"\\commands.txt\" " + options);
        if (!stub_->waitUntilReady()) return {};
        return runCaptured(L"shellhost.exe", L"check-app " + checkOptions + kItems);
    }

    ScopedConfig config_{L"9.9.9-test", kSample};
    std::unique_ptr<RunningStub> stub_;
};

TEST_F(CheckApp, TheStandInPassesAndACommandIsSentOnlyWhenNamed) {
    const Captured run = checkWithStub(L"", L"--command share ");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(linesStarting(run.output, "FAIL").empty()) << run.output;
    EXPECT_TRUE(hasLineWith(run.output, "OK   state server: get-states", "plan.txt': 'Syncing'")) << run.output;
    EXPECT_TRUE(hasLineWith(run.output, "OK   state server: ", "requests in a row on one kept connection"));
    EXPECT_TRUE(hasLineWith(run.output, "OK   get-commands: ", "follow the command-tree grammar"));
    EXPECT_TRUE(hasLineWith(run.output, "OK   command 'share' sent", ""));
    const std::vector<std::string> journal = readLines(kSample + L"\\journal.txt");
    EXPECT_EQ(std::count_if(journal.begin(), journal.end(), [](const std::string& line) { return line.rfind("share\t", 0) == 0; }), 1);
}

TEST_F(CheckApp, TheExampleApplicationPasses) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    // A 64-bit application where the 64-bit tree is at hand, as appstub (it serves on threads).
    const std::wstring win64 = win64Program(L"example_app.exe");
    std::wstring commandLine = L"\"" + (win64.empty() ? programPath(L"example_app.exe") : win64) + L"\" " + kSample +
                               L" --lifetime-ms 60000";
    ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    const KernelHandle process(info.hProcess), thread(info.hThread);
    const std::wstring lock = settingsFolder() + L"\\9.9.9-test\\" + hostName() + L".port.lock";
    for (int i = 0; i < 250 && !fileExists(lock); ++i) Sleep(20);
    const Captured run = runCaptured(L"shellhost.exe", L"check-app --command link " + kItems);
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), 5000);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(hasLineWith(run.output, "OK   command server: get-states", "plan.txt': 'Synced'")) << run.output;
}

// Each mistake an application can make, named by the line that check-app must print.
TEST_F(CheckApp, NamesEachMistake) {
    struct Mistake {
        std::wstring options;
        std::string rules, commands;  // replace the default files when not empty
        std::string start, part;
    };
    const Mistake mistakes[] = {
        {L"", "*\tsynced\n", "", "FAIL state server: get-states", "in letter case only"},
        {L"", "*\tNEW\n", "", "FAIL state server: get-states", "is no overlay class's id; the registered ids are 'Synced'"},
        {L"--raw-utf8", "", "", "FAIL state server: get-states", "raw byte c3"},
        {L"--bom", "", "", "FAIL state server: get-states", "a UTF-8 byte order mark (EF BB BF)"},
        {L"--port-file-bom", "", "", "FAIL command server: ", "starts with a UTF-8 byte order mark (EF BB BF)"},
        {L"--crlf", "", "", "WARN state server: get-states", "lines end with CR LF"},
        {L"--lower-case-path", "", "", "FAIL state server: get-states", "differs in letter case only"},
        {L"--close-after-reply", "", "", "WARN state server: ", "closes the connection after each reply"},
        {L"--delay-ms 900", "", "", "FAIL state server: get-states", "ms for each line: send a wait marker"},
        {L"--wait-markers 12", "", "", "FAIL state server: get-states", "12 wait markers in a row"},
        {L"", "", "quick-commands\t1\nshare\tShare link\tyes\n", "FAIL get-commands: line 2: enabled flag 'yes'", ""},
        {L"", "", "quick-commands\t0\n", "FAIL get-commands: the reply breaks the grammar at line 1", "at least one"},
    };
    for (const Mistake& mistake : mistakes) {
        if (!mistake.rules.empty()) writeBytes(kSample + L"\\rules.txt", mistake.rules);
        if (!mistake.commands.empty()) writeBytes(kSample + L"\\commands.txt", mistake.commands);
        const Captured run = checkWithStub(mistake.options);
        EXPECT_TRUE(hasLineWith(run.output, mistake.start, mistake.part))
            << narrow(mistake.options) << " " << mistake.start << "\n" << run.output;
        EXPECT_EQ(run.exitCode, mistake.start.rfind("FAIL", 0) == 0 ? 1u : 0u) << run.output;
        stub_.reset();
        SetUp();  // the default files again
    }
}

}  // namespace
