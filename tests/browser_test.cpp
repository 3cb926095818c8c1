// The remote browser without windows, against pyftpdlib and vsftpd (and the
// scripted server for a server that never greets): which connect attempt
// becomes the session, which listing is shown, what a failed listing keeps,
// a session the server closed while idle, the operations on the server; and
// the worker pool under it.
#include "platform/work/Workers.h"
#include "remote/RemoteBrowser.h"
#include "sites/SiteStore.h"
#include "tests/ftp/FtpServers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

// What the browser showed, in order, as "event argument" texts.
class RecordingView : public remote::IBrowserView {
public:
    Lines events;
    std::vector<std::string> names; // of the last listing shown
    int connectsDone = 0;
    remote::FolderCount counted;

    void OnConnectTitle(bool ok, const std::string& host, const std::string& user) override {
        events.push_back(ok ? "connected " + host + " " + user : "not connected");
    }
    void OnConnectDone() override { ++connectsDone; }
    void OnListed(const std::string& folder, const std::vector<remote::Entry>& entries) override {
        events.push_back("listed " + folder);
        names.clear();
        for (const remote::Entry& e : entries)
            if (!e.isDots)
                names.push_back(e.name);
        std::sort(names.begin(), names.end());
    }
    void OnPathBack(const std::string& folder) override { events.push_back("back " + folder); }
    void OnRootFolders(const std::vector<std::string>&, bool entered,
                       const std::string& folder) override {
        events.push_back(std::string(entered ? "root, in " : "root, not in ") + folder);
    }
    void OnEntered(const std::string& name, const std::string& target) override {
        events.push_back("entered " + name + " " + target);
    }
    void OnFolderMade(bool made, bool same) override {
        events.push_back(std::string("made ") + (made ? "yes" : "no") + (same ? "" : " later"));
    }
    void OnRenamed(const std::string& from, const std::string& to) override {
        events.push_back("renamed " + from + " " + to);
    }
    void OnDeleted(const std::string& folder) override { events.push_back("deleted " + folder); }
    void OnProperties(const remote::PropertiesTexts& texts,
                      const remote::FolderCount& count) override {
        events.push_back("properties " + texts.size);
        counted = count;
    }
};

class BrowserTest : public ::testing::TestWithParam<ServerKind> {
protected:
    FtpServer server{GetParam()};
    RecordingView view;
    std::atomic<int> busy{0};
    std::mutex mutex; // guards what workers hand over: tasks, lines, state
    std::condition_variable posted;
    std::deque<std::function<void()>> tasks; // for this thread, the browser's UI thread
    Lines lines;
    std::vector<bool> states; // every connected state said
    std::unique_ptr<remote::RemoteBrowser> browser;

    void SetUp() override {
        ASSERT_TRUE(server.ok()) << server.error();
        for (const char* d : {"pub/incoming/new", "pub/outgoing", "docs/a", "docs/b/c"})
            fs::create_directories(server.root() + "/" + d);
        std::ofstream(server.root() + "/pub/incoming/note.txt") << "hello";
        std::ofstream(server.root() + "/docs/a/one.txt") << std::string(7010, 'x');
        std::ofstream(server.root() + "/docs/b/c/two.txt") << "2";
        server.Share();
        remote::RemoteBrowser::Hooks hooks;
        hooks.post = [this](std::function<void()> task) {
            std::lock_guard lock(mutex);
            tasks.push_back(std::move(task));
            posted.notify_all();
            return true;
        };
        hooks.addLine = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        };
        hooks.setConnected = [this](bool open) {
            std::lock_guard lock(mutex);
            states.push_back(open);
        };
        browser = std::make_unique<remote::RemoteBrowser>(&view, nullptr, hooks, &busy);
    }
    void TearDown() override { browser.reset(); }

    remote::SiteConnection Site(int port) {
        remote::SiteConnection site;
        site.host = "127.0.0.1";
        site.port = port;
        site.user = FtpServer::User();
        site.password = FtpServer::Password();
        site.encryption = sites::kEncryptionPlain;
        site.connectTimeoutSec = 10;
        site.responseTimeoutSec = 10;
        return site;
    }
    // Runs what the browser posted until no worker runs and nothing is left.
    void Settle() {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        std::unique_lock lock(mutex);
        while (busy != 0 || !tasks.empty()) {
            if (tasks.empty()) {
                // A worker's end has no event of its own: look again soon.
                if (std::chrono::steady_clock::now() > until)
                    break;
                posted.wait_for(lock, std::chrono::milliseconds(5));
                continue;
            }
            std::function<void()> task = std::move(tasks.front());
            tasks.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
        ASSERT_EQ(busy, 0) << "a worker still runs";
    }
    Lines Said() {
        std::lock_guard lock(mutex);
        return lines;
    }
    void Connect(int port, const std::string& folder) {
        ASSERT_TRUE(browser->Connect(Site(port), folder));
        Settle();
        ASSERT_NE(browser->Session(), nullptr) << ::testing::PrintToString(Said());
        view.events.clear();
        std::lock_guard lock(mutex);
        lines.clear();
    }
};

INSTANTIATE_TEST_SUITE_P(Servers, BrowserTest,
                         ::testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd),
                         [](const auto& info) { return std::string(KindName(info.param)); });

TEST_P(BrowserTest, OnlyTheLatestOfTwoConnectAttemptsBecomesTheSessionAndReports) {
    ScriptedServer silent("silent"); // accepts and never greets
    ASSERT_TRUE(silent.ok());
    ASSERT_TRUE(browser->Connect(Site(silent.port()), "/"));
    ASSERT_TRUE(browser->Connect(Site(server.port()), "/pub"));
    Settle(); // the older attempt was closed: both workers end
    EXPECT_EQ(view.connectsDone, 2);
    EXPECT_EQ(view.events,
              (Lines{"connected 127.0.0.1 orvaneftp", "listed /pub", "root, in /pub"}));
    EXPECT_EQ(view.names, (Lines{"incoming", "outgoing"}));
    EXPECT_EQ(Said(), Lines{"Connection successful "});
    EXPECT_EQ(states, std::vector<bool>{true});
    EXPECT_FALSE(browser->IsConnecting());
    // The session that won works.
    ASSERT_NE(browser->Session(), nullptr);
    browser->List("/docs");
    Settle();
    EXPECT_EQ(view.names, (Lines{"a", "b"}));
}

TEST_P(BrowserTest, ADisconnectDuringAConnectLeavesNothingConnectedAndSaysNothing) {
    ScriptedServer slow("slow-greeting"); // greets after a second and a half
    ASSERT_TRUE(slow.ok());
    ASSERT_TRUE(browser->Connect(Site(slow.port()), "/"));
    EXPECT_TRUE(browser->IsConnecting());
    browser->Close();
    Settle();
    EXPECT_EQ(browser->Session(), nullptr);
    EXPECT_FALSE(browser->IsConnecting());
    EXPECT_EQ(view.connectsDone, 1);
    EXPECT_TRUE(view.events.empty()) << ::testing::PrintToString(view.events);
    EXPECT_TRUE(Said().empty()) << ::testing::PrintToString(Said());
    EXPECT_TRUE(states.empty());
}

TEST_P(BrowserTest, TheEndOfTheProgramClosesAPendingConnectAndNothingArrivesAfter) {
    ScriptedServer silent("silent");
    ASSERT_TRUE(silent.ok());
    ASSERT_TRUE(browser->Connect(Site(silent.port()), "/"));
    browser->Shutdown(); // joins the worker: it was aborted, not timed out
    EXPECT_EQ(busy, 0);
    EXPECT_EQ(browser->Session(), nullptr);
    EXPECT_FALSE(browser->Connect(Site(server.port()), "/")) << "no attempt after the end";
    Settle();
    EXPECT_EQ(view.connectsDone, 0);
    EXPECT_TRUE(view.events.empty());
    EXPECT_TRUE(Said().empty()) << ::testing::PrintToString(Said());
}

TEST_P(BrowserTest, ALaterListingWinsOverAnEarlierOne) {
    // The earlier listing is the larger one.
    for (int i = 0; i < 2000; ++i)
        std::ofstream(server.root() + "/pub/outgoing/f" + std::to_string(i));
    server.Share();
    Connect(server.port(), "/");
    browser->List("/pub/outgoing");
    browser->List("/docs");
    Settle();
    EXPECT_EQ(view.events, Lines{"listed /docs"});
    EXPECT_EQ(view.names, (Lines{"a", "b"}));
    EXPECT_EQ(browser->RowsFolder(), "/docs");
    // Entering a folder is a listing too: one started after it wins over it.
    browser->Enter("pub", "/pub");
    browser->List("/docs/b");
    Settle();
    EXPECT_EQ(view.events, (Lines{"listed /docs", "listed /docs/b"}));
    EXPECT_EQ(view.names, Lines{"c"});
}

TEST_P(BrowserTest, AFailedListingKeepsTheLastRowsAndSaysWhy) {
    Connect(server.port(), "/pub");
    ASSERT_EQ(browser->RowsFolder(), "/pub");
    browser->Folder() = "/pub/missing"; // the pane moved its path there
    browser->List("/pub/missing");
    Settle();
    EXPECT_EQ(view.events, Lines{"back /pub"}) << "the rows of /pub stay";
    EXPECT_EQ(view.names, (Lines{"incoming", "outgoing"}));
    EXPECT_EQ(browser->RowsFolder(), "/pub");
    Lines said = Said();
    ASSERT_EQ(said.size(), 1u) << ::testing::PrintToString(said);
    EXPECT_EQ(said[0].rfind("Unable to list folder /pub/missing : 550", 0), 0u) << said[0];
}

TEST_P(BrowserTest, AnIdleCloseIsFollowedByAWorkingListingAndTheReconnectedLine) {
    // Our proxy in front of the server closes a session idle for 0.3 s.
    DropProxy proxy(server.port(), {"idle_ms=300", "idle_421=1"});
    ASSERT_TRUE(proxy.ok());
    Connect(proxy.port(), "/pub");
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (proxy.Count("idle_closes") == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // another process's counter
    ASSERT_EQ(proxy.Count("idle_closes"), 1u);
    browser->Enter("incoming", "/pub/incoming");
    Settle();
    EXPECT_EQ(view.events, (Lines{"entered incoming /pub/incoming", "listed /pub/incoming"}));
    EXPECT_EQ(view.names, (Lines{"new", "note.txt"}));
    EXPECT_EQ(Said(), Lines{"Reconnected"});
    EXPECT_NE(browser->Session(), nullptr);
}

TEST_P(BrowserTest, TheOperationsOnTheServerReportWhatTheyDidAndSayWhatFailed) {
    Connect(server.port(), "/docs");
    browser->MakeFolder("/docs/New Folder");
    Settle();
    browser->MakeFolder("/docs/New Folder"); // there already
    Settle();
    EXPECT_TRUE(fs::is_directory(server.root() + "/docs/New Folder"));
    browser->Rename("/docs", "a", "renamed");
    Settle();
    EXPECT_TRUE(fs::exists(server.root() + "/docs/renamed/one.txt"));
    ASSERT_TRUE(browser->Properties("/docs", "renamed"));
    Settle();
    EXPECT_EQ(view.counted.files, 1u);
    EXPECT_EQ(view.counted.bytes, 7010u);
    ASSERT_TRUE(browser->Delete("/docs", {"b"}));
    Settle();
    EXPECT_FALSE(fs::exists(server.root() + "/docs/b"));
    EXPECT_FALSE(browser->Walking());
    EXPECT_EQ(view.events, (Lines{"made yes", "made no", "renamed a renamed", "properties 7 KB",
                                  "deleted /docs"}));
    Lines said = Said();
    ASSERT_GE(said.size(), 1u);
    EXPECT_EQ(said[0], "Unable to create folder /docs/New Folder");
    // A listing between the request and its answer: the row is the listing's.
    browser->MakeFolder("/docs/another");
    browser->List("/docs");
    Settle();
    // The two workers may end in either order.
    ASSERT_GE(view.events.size(), 2u);
    Lines last(view.events.end() - 2, view.events.end());
    std::sort(last.begin(), last.end());
    EXPECT_EQ(last, (Lines{"listed /docs", "made yes later"}));
}

TEST(WorkersTest, JoinAllWaitsForEveryTaskAndRefusesNewOnes) {
    std::atomic<int> running{0};
    std::atomic<int> done{0};
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    {
        work::Workers workers(&running);
        for (int i = 0; i < 4; ++i)
            ASSERT_TRUE(workers.Start([&] {
                std::unique_lock lock(m);
                cv.wait(lock, [&] { return release; });
                ++done;
            }));
        EXPECT_EQ(running, 4);
        EXPECT_EQ(workers.Running(), 4);
        {
            std::lock_guard lock(m);
            release = true;
        }
        cv.notify_all();
        workers.JoinAll();
        EXPECT_EQ(done, 4);
        EXPECT_EQ(running, 0);
        EXPECT_FALSE(workers.Start([&] { ++done; }));
        EXPECT_TRUE(work::WaitUntilNone(running, std::chrono::milliseconds(0)));
        std::atomic<int> one{1};
        EXPECT_FALSE(work::WaitUntilNone(one, std::chrono::milliseconds(10)));
    }
    EXPECT_EQ(done, 4);
}

} // namespace
