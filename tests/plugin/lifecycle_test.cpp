// The plug-in's start, tray toggle and quit, driven through a fake host window with recording
// stand-ins for the server, library and network operations (nothing real is started).
#include "plugin/lifecycle.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>

#include "platform/platform.h"

namespace {

std::string calls; // the recorded operations, in order, each followed by ';'

int fakeLibraryStart() {
    return calls += "libraryStart;", 0;
}
void fakeLibraryStop() {
    calls += "libraryStop;";
}
void fakeDatabaseDestroy() {
    calls += "databaseDestroy;";
}
int fakeNetStartup() {
    return calls += "netStartup;", 0;
}
void fakeNetCleanup() {
    calls += "netCleanup;";
}
void fakeStartServers() {
    calls += "startServers;";
}
void fakeStopServers() {
    calls += "stopServers;";
}
void fakeSetRestart(int flag) {
    calls += "setRestart(" + std::to_string(flag) + ");";
}
void fakeStartAddressThread(ServerOperation operation, int flag) {
    calls += std::string("startAddressThread(") + (operation == restartServers ? "restart" : "?") +
             "," + std::to_string(flag) + ");";
}
void fakeStopAddressThread() {
    calls += "stopAddressThread;";
}
// Threads the plug-in has left: each poll ends one of them while endingThreads is set.
int threadsLeft = 0;
bool endingThreads = false;
int fakeThreadsRunning() {
    int now = threadsLeft;
    if (endingThreads && threadsLeft > 0) {
        threadsLeft--;
    }
    return now;
}
void fakeShutdownConnections() {
    calls += "shutdownConnections;";
}
void fakeInterruptDeliveries() {
    calls += "interruptDeliveries;";
}
void fakeStopDeliveries() {
    calls += "stopDeliveries;";
}
int fakePinModule() {
    return calls += "pinModule;", 0;
}

const LifecycleHooks kFakes = {
    fakeLibraryStart,       fakeLibraryStop,       fakeDatabaseDestroy,     fakeNetStartup,
    fakeNetCleanup,         fakeStartServers,      fakeStopServers,         fakeSetRestart,
    fakeStartAddressThread, fakeStopAddressThread, fakeShutdownConnections, fakeInterruptDeliveries,
    fakeStopDeliveries,     fakeThreadsRunning,    fakePinModule,           0,
};

// What quit does before it waits for threads: cut deliveries and connections short, then stop
// (and join) the address thread, the servers, the watcher and the delivery thread.
const std::string kQuitSteps =
    "setRestart(0);interruptDeliveries;shutdownConnections;stopAddressThread;stopServers;"
    "libraryStop;stopDeliveries;shutdownConnections;netCleanup;";

// The fake host: answers the settings query with settingsAnswer and counts what reaches it.
PlatformLResult settingsAnswer = 0;
int hostMessages = 0;
PlatformLResult PLATFORM_CALLBACK fakeHostProc(PlatformWindow, uint32_t msg, PlatformWParam,
                                               PlatformLParam lParam) {
    if (msg == kHostMessage && lParam == kSettingsPathQuery) {
        return settingsAnswer;
    }
    hostMessages++;
    return 77;
}

class Lifecycle : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kb_lifecycle_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ini = dir + "/winamp.ini";
        settingsAnswer = reinterpret_cast<PlatformLResult>(ini.c_str());
        hostMessages = 0;
        threadsLeft = 0;
        endingThreads = false;
        calls.clear();
        window.proc = fakeHostProc;
        lifecycleReset(&kFakes);
        record = pluginRecord();
        record->hostWindow = &window;
        record->instance = &window;
    }
    void TearDown() override {
        lifecycleReset(nullptr);
        std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    std::string start() {
        testing::internal::CaptureStdout();
        EXPECT_EQ(record->init(), 0);
        return testing::internal::GetCapturedStdout();
    }
    PlatformLResult send(uint32_t msg, PlatformWParam wParam, PlatformLParam lParam) {
        return platformWindowSendMessage(&window, msg, wParam, lParam);
    }
    std::string click() {
        testing::internal::CaptureStdout();
        EXPECT_EQ(send(kTrayCallbackMessage, kTrayIconId, kLeftButtonDown), 0);
        return testing::internal::GetCapturedStdout();
    }
    std::string readIni() {
        std::ifstream in(ini);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void writeIni(const std::string& text) { std::ofstream(ini) << text; }

    PlatformHostWindow window{};
    PluginRecord* record = nullptr;
    std::string dir, ini;
};

const std::string kOnLine = "tray: disable KestrelBloom Media Server - Winamp\n";
const std::string kOffLine = "tray: enable KestrelBloom Media Server - Winamp\n";

TEST_F(Lifecycle, RecordAsTheHostExpects) {
    EXPECT_EQ(record->version, 16);
    EXPECT_STREQ(record->description, "KestrelBloom UPnP Media Server v0.9");
    EXPECT_EQ(record->init, pluginInit);
    EXPECT_EQ(record->config, pluginConfig);
    EXPECT_EQ(record->quit, pluginQuit);
    lifecycleReset(&kFakes);
    EXPECT_EQ(record->hostWindow, nullptr);
    EXPECT_EQ(record->instance, nullptr);
}

TEST_F(Lifecycle, FirstStartWithoutSettingIsOn) {
    EXPECT_EQ(start(), kOnLine);
    EXPECT_EQ(calls, "libraryStart;netStartup;startServers;startAddressThread(restart,1);");
    EXPECT_EQ(window.proc, hostWindowProc);
    EXPECT_EQ(pluginServerEnabled(), 1);
    EXPECT_EQ(pluginIsRunning(), 1);
    record->quit();
    EXPECT_NE(readIni().find("STARTED=1"), std::string::npos);
}

TEST_F(Lifecycle, StoredOffStartsNoServerButWatcherAndAddressThread) {
    writeIni("[kestrelbloom upnp media server]\nstarted=0\n");
    EXPECT_EQ(start(), kOffLine);
    EXPECT_EQ(calls, "libraryStart;netStartup;startAddressThread(restart,0);");
    record->quit();
}

TEST_F(Lifecycle, LeftClicksToggleAndOnlyTheyDo) {
    start();
    calls.clear();
    EXPECT_EQ(click(), kOffLine);
    EXPECT_EQ(calls, "setRestart(0);stopServers;");
    // Other notifications of the icon, or another icon's, reach the host unchanged.
    const PlatformLParam others[] = {0x200, 0x202, 0x203, 0x204, 0x205};
    for (PlatformLParam other : others) {
        EXPECT_EQ(send(kTrayCallbackMessage, kTrayIconId, other), 77);
    }
    EXPECT_EQ(send(kTrayCallbackMessage, kTrayIconId + 1, kLeftButtonDown), 77);
    EXPECT_EQ(send(kTrayCallbackMessage + 1, kTrayIconId, kLeftButtonDown), 77);
    EXPECT_EQ(hostMessages, 7);
    EXPECT_EQ(calls, "setRestart(0);stopServers;");
    // Only the low 16 bits of wParam and lParam are compared.
    calls.clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(send(kTrayCallbackMessage, 0x70000 | kTrayIconId, 0x50000 | kLeftButtonDown), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kOnLine);
    EXPECT_EQ(calls, "startServers;setRestart(1);");
    EXPECT_EQ(pluginServerEnabled(), 1);
    record->quit();
}

TEST_F(Lifecycle, QuitStoresStateKeepsOtherSettingsAndUnhooks) {
    writeIni("; host settings\n[Winamp]\nvolume=200\n\n[KestrelBloom UPnP Media Server]\n"
             "STARTED=1\nother=keep\n");
    start();
    click();
    calls.clear();
    testing::internal::CaptureStdout();
    record->quit();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    // Nothing that waits comes before the cuts; the address thread is stopped before the
    // servers, so it cannot restart them.
    EXPECT_EQ(calls, kQuitSteps + "databaseDestroy;");
    EXPECT_EQ(readIni(), "; host settings\n[Winamp]\nvolume=200\n\n"
                         "[KestrelBloom UPnP Media Server]\nSTARTED=0\nother=keep\n");
    EXPECT_EQ(pluginIsRunning(), 0);
    EXPECT_EQ(window.proc, fakeHostProc);
    // A click after quit goes to the host's own procedure and changes nothing.
    calls.clear();
    EXPECT_EQ(send(kTrayCallbackMessage, kTrayIconId, kLeftButtonDown), 77);
    EXPECT_EQ(calls, "");
}

TEST_F(Lifecycle, QuitWaitsForThreadsThatEndAndKeepsTheModuleForThoseThatDoNot) {
    LifecycleHooks waiting = kFakes;
    waiting.quitWaitMs = 300;
    lifecycleReset(&waiting);
    record->hostWindow = &window;
    start();

    // Three threads that end while quit waits: the catalogue is released as usual.
    threadsLeft = 3;
    endingThreads = true;
    calls.clear();
    uint32_t began = platformTickMs();
    record->quit();
    EXPECT_LT(platformTickMs() - began, 250u);
    EXPECT_EQ(threadsLeft, 0);
    EXPECT_EQ(calls, kQuitSteps + "databaseDestroy;");

    // A thread that outlasts the wait: the module is pinned and the catalogue kept for it.
    lifecycleReset(&waiting);
    record->hostWindow = &window;
    start();
    threadsLeft = 1;
    endingThreads = false;
    calls.clear();
    testing::internal::CaptureStdout();
    began = platformTickMs();
    record->quit();
    EXPECT_GE(platformTickMs() - began, 300u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "KestrelBloom: 1 thread(s) still running at quit; the module stays loaded\n");
    EXPECT_EQ(calls, kQuitSteps + "pinModule;");
}

PlatformLResult PLATFORM_CALLBACK laterHookProc(PlatformWindow window, uint32_t msg,
                                                PlatformWParam wParam, PlatformLParam lParam) {
    return hostWindowProc(window, msg, wParam, lParam);
}

TEST_F(Lifecycle, QuitLeavesAProcedureHookedAfterOursInFrontAndPinsTheModule) {
    start();
    platformWindowSetProc(&window, laterHookProc);
    calls.clear();
    testing::internal::CaptureStdout();
    record->quit();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(window.proc, laterHookProc);
    // That procedure still calls ours: the module stays loaded.
    EXPECT_EQ(calls, kQuitSteps + "pinModule;databaseDestroy;");
    // Messages still travel through the chain to the host, without toggling.
    calls.clear();
    EXPECT_EQ(send(kTrayCallbackMessage, kTrayIconId, kLeftButtonDown), 77);
    EXPECT_EQ(calls, "");
}

TEST_F(Lifecycle, SmallSettingsAnswerFallsBackToPlainName) {
    ASSERT_EQ(chdir(dir.c_str()), 0);
    settingsAnswer = 0xFFFF;
    writeIni("[KestrelBloom UPnP Media Server]\nSTARTED=0\n");
    EXPECT_EQ(start(), kOffLine); // ini is dir/winamp.ini, the same file by its plain name
    record->quit();
    EXPECT_NE(readIni().find("STARTED=0"), std::string::npos);
    ASSERT_EQ(chdir("/"), 0);
}

TEST_F(Lifecycle, ConfigDoesNothing) {
    start();
    calls.clear();
    for (int i = 0; i < 3; i++) {
        record->config();
    }
    EXPECT_EQ(calls, "");
    EXPECT_EQ(pluginServerEnabled(), 1);
    record->quit();
}

} // namespace
