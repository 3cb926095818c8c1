// Transfers in the window, against real servers: Download and Upload through
// the toolbar, the context menu and the keys, the replace question in a real
// batch, one batch at a time, Stop in the middle of a large file, graying and
// navigation while a batch runs, progress shown and cleared, and the other
// list refreshed at the end.
#include "platform/ui/PathCombo.h"
#include "resources/Commands.h"
#include "sites/SiteManagerDlg.h"
#include "sites/SiteStore.h"
#include "tests/FrameFixture.h"
#include "tests/ftp/FtpServers.h"
#include "transfer/BatchEnd.h"
#include "transfer/PaneHost.h"
#include "transfer/ReplaceDlg.h"
#include "transfer/TransferList.h"
#include "transfer/TransferListView.h"

#include <wx/bmpbuttn.h>
#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/menu.h>
#include <wx/splitter.h>
#include <wx/statusbr.h>
#include <wx/uiaction.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace cmd;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Bytes 0..255 over and over: a text-mode transfer would change them.
std::string Binary(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return data;
}

class TransferUiTest : public FrameTest, public ::testing::WithParamInterface<ServerKind> {
protected:
    std::unique_ptr<FtpServer> server;
    std::string local; // the local pane's folder
    std::vector<std::string> questions;
    std::function<void(CReplaceDlg&)> onQuestion; // runs while the batch waits
    int answerButton = wxID_OK;

    void SetUp() override {
        FrameTest::SetUp();
        server = std::make_unique<FtpServer>(GetParam());
        ASSERT_TRUE(server->ok()) << server->error();
        fs::create_directories(server->root() + "/pub/tree/deeper");
        std::ofstream(server->root() + "/pub/a.bin", std::ios::binary) << Binary(70000);
        std::ofstream(server->root() + "/pub/b.txt") << "bee\r\nline\n";
        std::ofstream(server->root() + "/pub/tree/t1.txt") << "one";
        std::ofstream(server->root() + "/pub/tree/deeper/t2.bin", std::ios::binary) << Binary(3000);
        server->Share();
        local = dir.path() + "/local";
        fs::create_directories(local);
        dialogAnswer = [this](wxDialog& d) -> int {
            auto* q = dynamic_cast<CReplaceDlg*>(&d);
            if (!q)
                return wxID_CANCEL;
            questions.push_back(q->m_strFirst + " | " + q->m_strSecond);
            if (onQuestion)
                onQuestion(*q);
            wxCommandEvent click(wxEVT_BUTTON, answerButton);
            q->FindWindow(answerButton)->ProcessWindowEvent(click);
            return q->GetReturnCode();
        };
    }
    void TearDown() override {
        frame->OnStop();
        frame->m_pEngine->WaitIdle(10000);
        Pump(50);
        frame->OnDisconnect();
        right()->WaitIdle(5000);
        FrameTest::TearDown();
    }

    void Connect(const std::string& remoteDir) {
        CSiteManagerDlg dlg(frame);
        dlg.m_strHost = "127.0.0.1";
        dlg.m_strUser = FtpServer::User();
        dlg.m_strPassword = FtpServer::Password();
        dlg.m_nPort = server->port();
        dlg.m_strRemoteDir = remoteDir;
        dlg.m_strLocalDir = local;
        dlg.m_bPassive = 1;
        frame->ConnectToSite(dlg);
        ASSERT_TRUE(
            PumpUntil([&] { return frame->m_bConnected != 0 && right()->m_bBusy == 0; }, 20000));
        Pump(50);
        status()->m_wndLog->Clear();
    }
    // Waits for the listings of the remote pane.
    void Settle() {
        ASSERT_TRUE(PumpUntil([&] { return right()->m_bBusy == 0; }, 20000));
        Pump(30);
    }
    static void Select(CFileListCtrl* list, const std::vector<std::string>& names) {
        for (long i = 0; i < list->GetItemCount(); ++i) {
            bool want = std::find(names.begin(), names.end(), list->GetItemText(i).utf8_string()) !=
                        names.end();
            list->SetItemState(i, want ? wxLIST_STATE_SELECTED : 0, wxLIST_STATE_SELECTED);
        }
    }
    std::vector<std::string> RemoteNames() {
        std::vector<std::string> names;
        for (const auto& r : right()->Rows())
            names.push_back(r.name);
        return names;
    }
    std::vector<std::string> LocalNames() {
        std::vector<std::string> names;
        for (const auto& r : left()->Rows())
            names.push_back(r.name);
        return names;
    }
    // Runs `start` and waits until the batch it starts has ended, end steps
    // and the remote refresh included.
    bool Batch(const std::function<void()>& start, int timeoutMs = 30000) {
        int before = right()->m_nBatchesEnded + left()->m_nBatchesEnded;
        start();
        bool ended = PumpUntil(
            [&] { return right()->m_nBatchesEnded + left()->m_nBatchesEnded > before; }, timeoutMs);
        Settle();
        return ended;
    }
    bool HasLine(const std::string& line) {
        auto lines = LogLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::string StatusText() { return frame->m_wndStatusBar->GetStatusText(0).utf8_string(); }
    // The commands a context menu would offer now, "-" for grayed.
    std::string Offered(wxMenu* menu, std::initializer_list<int> ids) {
        std::unique_ptr<wxMenu> owned(menu);
        std::string out;
        for (int id : ids)
            out += menu->IsEnabled(ToWx(id)) ? "+" : "-";
        return out;
    }
    void MenuCommand(wxWindow* pane, int command) {
        wxCommandEvent e(wxEVT_MENU, ToWx(command));
        pane->ProcessWindowEvent(e); // as the pane's context menu sends it
    }
};

TEST_P(TransferUiTest, DownloadFromTheToolbarKeysAndContextMenuRefreshesTheLocalList) {
    Connect("/pub");
    ASSERT_EQ(left()->m_strCurrentDir, local);
    EXPECT_TRUE(LocalNames().empty());

    // Toolbar Download with the remote pane active.
    Select(right()->m_wndList, {"a.bin"});
    frame->SetActiveView(right());
    ASSERT_TRUE(Batch([&] { frame->RouteCommand(ID_DOWNLOAD_TOOLBAR); }));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Downloading  a.bin", "Done"}));
    EXPECT_EQ(ReadAll(local + "/a.bin"), Binary(70000));
    EXPECT_EQ(LocalNames(), std::vector<std::string>{"a.bin"});
    EXPECT_TRUE(right()->m_wndUp->IsEnabled());
    EXPECT_TRUE(right()->m_wndPath->IsEnabled());
    EXPECT_EQ(StatusText(), "Ready");

    // The context menu's Download: a folder, mirrored with its sub-folders.
    status()->m_wndLog->Clear();
    Select(right()->m_wndList, {"tree", "b.txt"});
    ASSERT_TRUE(Batch([&] { MenuCommand(right(), ID_DOWNLOAD); }));
    EXPECT_EQ(ReadAll(local + "/tree/t1.txt"), "one");
    EXPECT_EQ(ReadAll(local + "/tree/deeper/t2.bin"), Binary(3000));
    EXPECT_EQ(ReadAll(local + "/b.txt"), "bee\r\nline\n"); // binary: line ends kept
    std::vector<std::string> lines = LogLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Done"), 3) << ::testing::PrintToString(lines);
    EXPECT_EQ(LocalNames(), (std::vector<std::string>{"tree", "a.bin", "b.txt"}));

    // Ctrl+D from the keyboard.
    fs::remove(local + "/b.txt");
    status()->m_wndLog->Clear();
    int rc = std::system(("xdotool search --name '" + frame->GetTitle().utf8_string() +
                          "' windowfocus --sync >/dev/null 2>&1")
                             .c_str());
    (void)rc;
    right()->m_wndList->SetFocus();
    Select(right()->m_wndList, {"b.txt"});
    ASSERT_TRUE(PumpUntil([&] { return frame->GetActiveView() == right(); }, 2000));
    wxUIActionSimulator sim;
    ASSERT_TRUE(Batch([&] { sim.Char('d', wxMOD_CONTROL); }, 10000));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Downloading  b.txt", "Done"}));
    EXPECT_TRUE(fs::exists(local + "/b.txt"));
}

TEST_P(TransferUiTest, DownloadAndUploadGoOnlyToTheirPaneAndOnlyWhenConnected) {
    std::ofstream(local + "/up.txt") << "up";
    left()->FillFileList(local);
    Select(left()->m_wndList, {"up.txt"});
    // Not connected: nothing happens in either pane.
    frame->SetActiveView(left());
    frame->RouteCommand(ID_UPLOAD_TOOLBAR);
    MenuCommand(left(), ID_UPLOAD);
    frame->SetActiveView(right());
    frame->RouteCommand(ID_DOWNLOAD_TOOLBAR);
    Pump(100);
    EXPECT_FALSE(frame->m_pEngine->IsBusy());
    EXPECT_TRUE(LogLines().empty());

    Connect("/pub");
    Select(left()->m_wndList, {"up.txt"});
    Select(right()->m_wndList, {"b.txt"});
    // The wrong pane active: Upload with the remote pane, Download with the local one.
    frame->SetActiveView(right());
    frame->RouteCommand(ID_UPLOAD_TOOLBAR);
    frame->SetActiveView(left());
    frame->RouteCommand(ID_DOWNLOAD_TOOLBAR);
    MenuCommand(left(), ID_DOWNLOAD); // grayed there, and never from this pane
    Pump(100);
    EXPECT_FALSE(frame->m_pEngine->IsBusy());
    EXPECT_TRUE(LogLines().empty());
    EXPECT_FALSE(fs::exists(local + "/b.txt"));
    EXPECT_FALSE(fs::exists(server->root() + "/pub/up.txt"));

    // Upload from the toolbar: the remote list shows the new file afterwards.
    frame->SetActiveView(left());
    ASSERT_TRUE(Batch([&] { frame->RouteCommand(ID_UPLOAD_TOOLBAR); }));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Uploading up.txt", "Done"}));
    EXPECT_EQ(ReadAll(server->root() + "/pub/up.txt"), "up");
    auto names = RemoteNames();
    EXPECT_NE(std::find(names.begin(), names.end(), "up.txt"), names.end());

    // Ctrl+U from the keyboard, the local list focused.
    std::ofstream(local + "/keyed.txt") << "by key";
    left()->FillFileList(local);
    status()->m_wndLog->Clear();
    int rc = std::system(("xdotool search --name '" + frame->GetTitle().utf8_string() +
                          "' windowfocus --sync >/dev/null 2>&1")
                             .c_str());
    (void)rc;
    left()->m_wndList->SetFocus();
    Select(left()->m_wndList, {"keyed.txt"});
    ASSERT_TRUE(PumpUntil([&] { return frame->GetActiveView() == left(); }, 2000));
    wxUIActionSimulator sim;
    ASSERT_TRUE(Batch([&] { sim.Char('u', wxMOD_CONTROL); }, 10000));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Uploading keyed.txt", "Done"}));
    EXPECT_EQ(ReadAll(server->root() + "/pub/keyed.txt"), "by key");
}

TEST_P(TransferUiTest, UploadOfAFolderFromTheContextMenu) {
    fs::create_directories(local + "/data/img");
    std::ofstream(local + "/data/a.txt") << "a";
    std::ofstream(local + "/data/img/b.png", std::ios::binary) << Binary(5000);
    Connect("/pub");
    left()->FillFileList(local);
    Select(left()->m_wndList, {"data"});
    ASSERT_TRUE(Batch([&] { MenuCommand(left(), ID_UPLOAD); }));
    EXPECT_EQ(ReadAll(server->root() + "/pub/data/a.txt"), "a");
    EXPECT_EQ(ReadAll(server->root() + "/pub/data/img/b.png"), Binary(5000));
    std::vector<std::string> lines = LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Creating Directory /pub/data/img"),
              lines.end())
        << ::testing::PrintToString(lines);
    auto names = RemoteNames();
    EXPECT_NE(std::find(names.begin(), names.end(), "data"), names.end());
}

TEST_P(TransferUiTest, NothingSelectedEndsAtOnceWithoutLinesOrRefresh) {
    Connect("/pub");
    Select(right()->m_wndList, {});
    std::ofstream(local + "/later.txt") << "x"; // shown only by a refresh
    frame->SetActiveView(right());
    frame->RouteCommand(ID_DOWNLOAD_TOOLBAR);
    ASSERT_TRUE(PumpUntil([&] { return !frame->m_pEngine->IsBusy() && right()->m_bBusy == 0; }));
    Pump(50);
    EXPECT_TRUE(LogLines().empty());
    EXPECT_TRUE(LocalNames().empty());
    EXPECT_TRUE(right()->m_wndUp->IsEnabled());
    EXPECT_TRUE(right()->m_wndPath->IsEnabled());

    // Upload: nothing sent, the remote list not listed again.
    size_t rows = RemoteNames().size();
    fs::create_directories(server->root() + "/pub/new-on-server");
    Select(left()->m_wndList, {});
    frame->SetActiveView(left());
    frame->RouteCommand(ID_UPLOAD_TOOLBAR);
    ASSERT_TRUE(
        PumpUntil([&] { return !frame->m_pEngine->IsBusy() && left()->m_bUploading == 0; }));
    Settle();
    EXPECT_TRUE(LogLines().empty());
    EXPECT_EQ(RemoteNames().size(), rows);
}

TEST_P(TransferUiTest, TheReplaceQuestionInABatchAndAnotherBatchWaitingItsTurn) {
    std::ofstream(local + "/a.bin") << std::string(3000, 'x');
    std::ofstream(local + "/b.txt") << "old";
    std::ofstream(local + "/other.txt") << "to upload";
    Connect("/pub");
    left()->FillFileList(local);
    Select(left()->m_wndList, {"other.txt"});

    // While the batch waits for the answer (on a connection of its own): the
    // panes' commands and navigation stay, the File menu greys, and an
    // upload asked for waits its turn.
    std::string whileAsking;
    onQuestion = [&](CReplaceDlg&) {
        if (!whileAsking.empty())
            return;
        left()->OnUpload();
        whileAsking = Offered(right()->CreateContextMenu(), {ID_DOWNLOAD, ID_REFRESH}) + " " +
                      Offered(left()->CreateContextMenu(), {ID_UPLOAD, ID_REFRESH, ID_VIEW_REPORT});
        frame->OnInitMenu();
        whileAsking += frame->GetMenuBar()->IsEnabledTop(0) ? " file" : " no-file";
        whileAsking +=
            right()->m_wndUp->IsEnabled() || right()->m_wndPath->IsEnabled() ? " nav" : " no-nav";
    };
    Select(right()->m_wndList, {"a.bin", "b.txt"});
    frame->SetActiveView(right());
    answerButton = wxID_CANCEL; // Skip, then the second existing file asks again
    int uploadsBefore = left()->m_nBatchesEnded;
    ASSERT_TRUE(Batch([&] { right()->OnDownload(); }));
    ASSERT_TRUE(PumpUntil([&] { return left()->m_nBatchesEnded > uploadsBefore; }));
    Settle();
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0], "a.bin    Size : 3 KB | a.bin    Size : 69 KB");
    EXPECT_EQ(whileAsking, "++ +++ no-file nav");
    // Skipped: no lines of the download; the upload ran after it.
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Uploading other.txt", "Done"}));
    EXPECT_EQ(ReadAll(local + "/b.txt"), "old");
    EXPECT_EQ(ReadAll(server->root() + "/pub/other.txt"), "to upload");
    // After the batches everything is offered again (the upload listed the
    // server folder afresh: the selection is made again).
    Select(right()->m_wndList, {"a.bin", "b.txt"});
    EXPECT_EQ(Offered(right()->CreateContextMenu(), {ID_DOWNLOAD, ID_REFRESH}), "++");
    frame->OnInitMenu();
    EXPECT_TRUE(frame->GetMenuBar()->IsEnabledTop(0));
    EXPECT_TRUE(right()->m_wndUp->IsEnabled());

    // Replace All at the first: both fetched, one question.
    onQuestion = nullptr;
    questions.clear();
    answerButton = CReplaceDlg::IDC_REPLACE_ALL;
    ASSERT_TRUE(Batch([&] { right()->OnDownload(); }));
    EXPECT_EQ(questions.size(), 1u);
    EXPECT_EQ(ReadAll(local + "/a.bin"), Binary(70000));
    EXPECT_EQ(ReadAll(local + "/b.txt"), "bee\r\nline\n");
}

TEST_P(TransferUiTest, StopAbandonsALargeFileShowsNoDoneAndClearsTheProgress) {
    // A large file the server reads quickly (a sparse one); the local copy is
    // stopped long before it is whole.
    { std::ofstream big(server->root() + "/pub/big.iso"); }
    fs::resize_file(server->root() + "/pub/big.iso", 8ull << 30);
    server->Share();
    std::ofstream(local + "/big.iso") << "the old one";
    Connect("/pub");
    Select(right()->m_wndList, {"big.iso"});
    answerButton = wxID_OK; // Replace
    frame->SetActiveView(right());
    int before = right()->m_nBatchesEnded;
    frame->RouteCommand(ID_DOWNLOAD_TOOLBAR);
    // Progress shows: name, bytes, percent; the gauge is up.
    ASSERT_TRUE(PumpUntil(
        [&] {
            return StatusText().find("Downloading big.iso") == 0 &&
                   StatusText().find(" of 8.0 GB") != std::string::npos;
        },
        20000))
        << StatusText();
    EXPECT_TRUE(frame->m_wndGauge->IsShown());
    EXPECT_NE(StatusText().find("%"), std::string::npos);
    EXPECT_NE(StatusText().find("(0 files done)"), std::string::npos) << StatusText();
    // Meanwhile an upload asked for waits its turn; the Stop ends it before
    // it begins.
    std::ofstream(local + "/up.txt") << "u";
    left()->FillFileList(local);
    Select(left()->m_wndList, {"up.txt"});
    EXPECT_EQ(Offered(left()->CreateContextMenu(), {ID_UPLOAD}), "+");
    left()->OnUpload();

    auto stopAt = std::chrono::steady_clock::now();
    frame->RouteCommand(ID_STOP);
    ASSERT_TRUE(PumpUntil([&] { return right()->m_nBatchesEnded > before; }, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(1));
    Settle();
    std::vector<std::string> lines = LogLines();
    EXPECT_EQ(lines.front(), "Downloading  big.iso");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Done"), 0) << ::testing::PrintToString(lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Uploading up.txt"), 0);
    EXPECT_EQ(ReadAll(local + "/big.iso"), "the old one"); // kept whole
    EXPECT_EQ(StatusText(), "Ready");
    EXPECT_FALSE(frame->m_wndGauge->IsShown());
    EXPECT_TRUE(right()->m_wndUp->IsEnabled());
    EXPECT_FALSE(fs::exists(server->root() + "/pub/up.txt"));
    // Nothing half-written is left beside it either.
    for (const auto& e : fs::directory_iterator(local))
        EXPECT_TRUE(e.path().filename() == "big.iso" || e.path().filename() == "up.txt")
            << e.path();

    // The next batch runs normally.
    status()->m_wndLog->Clear();
    Select(right()->m_wndList, {"b.txt"});
    ASSERT_TRUE(Batch([&] { right()->OnDownload(); }));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Downloading  b.txt", "Done"}));
}

// A batch from the window runs on the site's simultaneous transfers. A server
// that takes fewer connections than asked costs no file: the batch goes on
// with those it got, and the next batches of the session ask for no more.
TEST_P(TransferUiTest, ABatchUsesTheSitesTransfersAndKeepsToWhatTheServerTakes) {
    // The browsing session and two more: a third connection of the batch is refused.
    server = std::make_unique<FtpServer>(GetParam(), Tls::Off, 3);
    ASSERT_TRUE(server->ok()) << server->error();
    fs::create_directories(server->root() + "/pub");
    for (int i = 0; i < 6; ++i)
        std::ofstream(server->root() + "/pub/f" + std::to_string(i) + ".bin", std::ios::binary)
            << Binary(20000 + i);
    server->Share();
    Connect("/pub");
    ASSERT_EQ(RemoteNames().size(), 6u) << ::testing::PrintToString(RemoteNames());
    right()->m_nTransfers = 4;
    int asked = 0;
    right()->BatchSessions(&asked);
    EXPECT_EQ(asked, 4);
    Select(right()->m_wndList, {"f0.bin", "f1.bin", "f2.bin", "f3.bin", "f4.bin", "f5.bin"});
    ASSERT_TRUE(Batch([&] { right()->OnDownload(); }));
    std::vector<std::string> lines = LogLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Done"), 6) << ::testing::PrintToString(lines);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(ReadAll(local + "/f" + std::to_string(i) + ".bin"), Binary(20000 + i));
    right()->BatchSessions(&asked);
    // What the server took beside the pane's session (vsftpd may still count
    // a connection just closed): fewer than asked, never none.
    EXPECT_GE(asked, 1);
    EXPECT_LT(asked, 4);
    // A new connect forgets it: the limit may have changed.
    frame->OnDisconnect();
    right()->WaitIdle(5000);
    Connect("/pub");
    right()->BatchSessions(&asked);
    EXPECT_EQ(asked, sites::kDefaultTransfers); // the site's own again
}

// Disconnect in the middle of a large file: the batch ends on its own, the
// existing target stays whole and the window is ready for the next session.
TEST_P(TransferUiTest, DisconnectDuringALargeFileEndsTheBatchCleanly) {
    { std::ofstream big(server->root() + "/pub/big.iso"); }
    fs::resize_file(server->root() + "/pub/big.iso", 8ull << 30);
    server->Share();
    Connect("/pub");
    Select(right()->m_wndList, {"big.iso"});
    int before = right()->m_nBatchesEnded;
    right()->OnDownload();
    ASSERT_TRUE(
        PumpUntil([&] { return StatusText().find(" of 8.0 GB") != std::string::npos; }, 20000));
    frame->OnDisconnect();
    ASSERT_TRUE(PumpUntil([&] { return right()->m_nBatchesEnded > before; }, 5000));
    Settle();
    std::vector<std::string> lines = LogLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Done"), 0) << ::testing::PrintToString(lines);
    EXPECT_FALSE(fs::exists(local + "/big.iso")); // nothing half-written under its name
    EXPECT_EQ(StatusText(), "Ready");
    EXPECT_TRUE(right()->m_wndUp->IsEnabled());
    EXPECT_FALSE(frame->m_pEngine->IsBusy());
    EXPECT_EQ(right()->m_bBusy, 0);

    // Connected again, the next batch runs.
    Connect("/pub");
    Select(right()->m_wndList, {"b.txt"});
    ASSERT_TRUE(Batch([&] { right()->OnDownload(); }));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Downloading  b.txt", "Done"}));
}

// The window goes while a large file is in flight: the batch ends first,
// nothing it posts reaches the destroyed panes, and nothing hangs.
TEST_P(TransferUiTest, TheWindowGoingDuringABatchEndsItFirst) {
    { std::ofstream big(server->root() + "/pub/big.iso"); }
    fs::resize_file(server->root() + "/pub/big.iso", 8ull << 30);
    server->Share();
    Connect("/pub");
    Select(right()->m_wndList, {"big.iso"});
    right()->OnDownload();
    ASSERT_TRUE(
        PumpUntil([&] { return StatusText().find(" of 8.0 GB") != std::string::npos; }, 20000));
    std::shared_ptr<CTransferEngine> engine = frame->m_pEngine;
    auto start = std::chrono::steady_clock::now();
    delete frame; // as the session ending takes the window away
    frame = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_FALSE(engine->IsBusy());
    Pump(100); // what the batch posted finds its panes gone
    EXPECT_FALSE(fs::exists(local + "/big.iso"));
    // A fresh window for the rest of the test's life.
    frame = new CMainFrame;
    frame->m_quit = [this](int code) { quitCodes.push_back(code); };
    frame->Show();
    Pump(30);
}

// Batches a drop builds: the items carry their own targets, and what the drop
// asked of the end travels with the batch: the folder each pane shows
// afterwards and whether its list is listed afresh.
TEST_P(TransferUiTest, DroppedBatchesEndInTheFolderTheirDropAskedFor) {
    Connect("/pub");
    std::string elsewhere = dir.path() + "/elsewhere";
    fs::create_directories(elsewhere);
    // A download into a folder of its own, asked to show the local folder
    // again, from a pane that has gone elsewhere meanwhile.
    left()->m_strCurrentDir = elsewhere;
    std::ofstream(local + "/here.txt") << "shown only by a new listing";
    ASSERT_TRUE(Batch([&] {
        EXPECT_TRUE(right()->StartDownloadThread(
            {CTransferItem("/pub/b.txt", elsewhere + "/b.txt", "b.txt", 0, 0)},
            BatchEnd{Refill::Always, local, {}}));
    }));
    EXPECT_EQ(ReadAll(elsewhere + "/b.txt"), "bee\r\nline\n");
    EXPECT_EQ(left()->m_strCurrentDir, local); // back, and listed afresh
    EXPECT_EQ(LocalNames(), (std::vector<std::string>{"here.txt"}));

    // An upload dropped on the folder row "tree" of the remote list: the
    // server path it found comes back, listed since the dropped file arrived.
    std::ofstream(local + "/up.txt") << "dropped";
    std::ofstream(server->root() + "/pub/marker.txt") << "shown only by a new listing";
    server->Share();
    right()->m_strCurrentPath = "/pub/tree";
    status()->m_wndLog->Clear();
    ASSERT_TRUE(Batch([&] {
        EXPECT_TRUE(left()->StartUploadThread(
            {CTransferItem(local + "/up.txt", "/pub/tree/up.txt", "up.txt", 0)},
            BatchEnd{Refill::IfShownChanged, "/pub", {}}));
    }));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Uploading up.txt", "Done"}));
    EXPECT_EQ(ReadAll(server->root() + "/pub/tree/up.txt"), "dropped");
    EXPECT_EQ(right()->m_strCurrentPath, "/pub");
    auto names = RemoteNames();
    EXPECT_NE(std::find(names.begin(), names.end(), "tree"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "marker.txt"), names.end());

    // Without a session a dropped upload is discarded.
    frame->OnDisconnect();
    EXPECT_FALSE(left()->StartUploadThread(
        {CTransferItem(local + "/up.txt", "/pub/up.txt", "up.txt", 0)}, BatchEnd{}));
    EXPECT_FALSE(frame->m_pEngine->IsBusy());
    Pump(50);
    EXPECT_FALSE(fs::exists(server->root() + "/pub/up.txt"));
}

// While a batch moves a file on connections of its own, the server pane is
// browsed, a download asked for meanwhile waits its turn in the transfer
// list, one job is stopped from the list, and the list goes once cleared.
TEST_P(TransferUiTest, TheServerIsBrowsedWhileABatchRunsAndTheListTakesMoreWork) {
    std::string huge = server->root() + "/pub/huge.bin"; // 3 GiB, holes on disk
    std::ofstream{huge};
    fs::resize_file(huge, 3LL << 30);
    Connect("/pub");
    EXPECT_FALSE(frame->m_wndListSplitter->IsSplit()); // empty: no room taken
    Select(right()->m_wndList, {"huge.bin"});
    frame->SetActiveView(right());
    frame->RouteCommand(ID_DOWNLOAD_TOOLBAR);
    CTransferList& list = *frame->m_pTransfers;
    ASSERT_TRUE(PumpUntil([&] {
        return !list.Empty() && list.Rows()[0].state == JobState::Moving &&
               !frame->m_pEngine->BorrowsSession();
    }));
    EXPECT_TRUE(frame->m_wndListSplitter->IsSplit());
    // Browsing: the pane's session is free.
    EXPECT_TRUE(right()->m_wndUp->IsEnabled());
    Select(right()->m_wndList, {"tree"});
    right()->OnDblclkList();
    ASSERT_TRUE(PumpUntil([&] {
        auto names = RemoteNames();
        return std::find(names.begin(), names.end(), "t1.txt") != names.end();
    }));
    // The folder the batch reads is not deleted under it.
    right()->OnUpOneLevel();
    ASSERT_TRUE(PumpUntil([&] {
        auto names = RemoteNames();
        return std::find(names.begin(), names.end(), "huge.bin") != names.end();
    }));
    Select(right()->m_wndList, {"huge.bin"});
    right()->OnDelete();
    EXPECT_TRUE(HasLine("Not deleted while a transfer uses it: huge.bin"));
    // A download asked for meanwhile waits in the list.
    Select(right()->m_wndList, {"b.txt"});
    frame->RouteCommand(ID_DOWNLOAD_TOOLBAR);
    ASSERT_EQ(list.Rows().size(), 2u);
    EXPECT_EQ(StateText(list.Rows()[1]), "Queued");
    EXPECT_EQ(list.Rows()[1].name, "b.txt");
    // Stop the big one from the list: the waiting download goes next.
    frame->m_wndTransfers->Select(0);
    frame->m_wndTransfers->RunCommand(CTransferListView::kStop);
    ASSERT_TRUE(PumpUntil([&] {
        return !frame->m_pEngine->IsBusy() && list.Rows().size() == 2 &&
               list.Rows()[1].state == JobState::Done;
    }));
    EXPECT_EQ(StateText(list.Rows()[0]), "Stopped");
    EXPECT_EQ(ReadAll(local + "/b.txt"), "bee\r\nline\n");
    EXPECT_FALSE(fs::exists(local + "/huge.bin"));
    EXPECT_TRUE(HasLine("Stopped Downloading  huge.bin"));
    frame->m_wndTransfers->RunCommand(CTransferListView::kClearFinished);
    EXPECT_TRUE(list.Empty());
    EXPECT_FALSE(frame->m_wndListSplitter->IsSplit());
}

INSTANTIATE_TEST_SUITE_P(Servers, TransferUiTest,
                         ::testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd),
                         [](const auto& info) { return std::string(KindName(info.param)); });

// Progress updates reach the UI thread coalesced: however often the batch
// reports, at most one update waits on the UI thread, showing the latest.
// The plan's parts and the job changes reach the window in the order they
// came, however many were gathered into one post: a change never comes before
// the part that holds its job.
TEST(PaneHostTest, PartsOfThePlanAndJobChangesKeepTheirOrder) {
    std::vector<std::string> seen;
    bool ended = false;
    CPaneHost::Handlers h;
    h.planned = [&](const JobList& jobs, std::size_t first) {
        seen.push_back("plan " + std::to_string(first) + "+" + std::to_string(jobs.size()));
    };
    h.jobs = [&](const std::vector<JobChange>& changes) {
        for (const JobChange& c : changes)
            seen.push_back("job " + std::to_string(c.index));
    };
    h.uiEnded = [&](const BatchResult&) { ended = true; };
    auto host = CPaneHost::Create(h);
    std::thread worker([&] {
        host->OnPlanned(JobList(2), 0);
        host->OnJobChanged({0, JobState::Moving, {}});
        host->OnPlanned(JobList(3), 2);
        host->OnJobChanged({3, JobState::Moving, {}});
        host->OnJobChanged({0, JobState::Done, {}});
        host->OnBatchEnd(BatchResult{});
    });
    worker.join();
    ASSERT_TRUE(PumpUntil([&] { return ended; }, 3000));
    EXPECT_EQ(seen, (std::vector<std::string>{"plan 0+2", "job 0", "plan 2+3", "job 3", "job 0"}));
}

TEST(PaneHostTest, ProgressIsCoalescedAndTheEndClearsIt) {
    std::vector<std::uint64_t> shown;
    int cleared = 0, ended = 0;
    CPaneHost::Handlers h;
    h.progress = [&](const TransferProgress* p) {
        if (p)
            shown.push_back(p->done);
        else
            ++cleared;
    };
    h.uiEnded = [&](const BatchResult&) { ++ended; };
    auto host = CPaneHost::Create(h);
    std::thread worker([&] {
        TransferProgress p;
        p.name = "f";
        p.total = 100000;
        for (std::uint64_t i = 1; i <= 100000; ++i) {
            p.done = i;
            host->OnProgress(p);
        }
        host->OnBatchEnd(BatchResult{});
    });
    worker.join();
    PumpUntil([&] { return ended == 1; }, 3000);
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(cleared, 1);
    EXPECT_LE(host->PostedProgress(), 2); // nothing ran the UI thread meanwhile
    ASSERT_FALSE(shown.empty());
    EXPECT_LE(shown.size(), 2u);

    // Detached: nothing more reaches the windows.
    host->Detach();
    host->OnProgress(TransferProgress{});
    host->OnBatchEnd(BatchResult{});
    Pump(50);
    EXPECT_EQ(ended, 1);
}

// A batch of small files reports at every file; the window shows a few
// updates a second however fast the UI thread takes them.
TEST(PaneHostTest, ProgressReachesTheWindowAFewTimesASecond) {
    int shownCount = 0;
    std::uint64_t lastShown = 0;
    CPaneHost::Handlers h;
    h.progress = [&](const TransferProgress* p) {
        if (p) {
            ++shownCount;
            lastShown = p->done;
        }
    };
    auto host = CPaneHost::Create(h);
    std::atomic<bool> done{false};
    auto start = std::chrono::steady_clock::now();
    std::thread worker([&] {
        TransferProgress p;
        // Reports for 0.6 s, one a millisecond, as 600 tiny files would.
        for (std::uint64_t i = 1;
             std::chrono::steady_clock::now() - start < std::chrono::milliseconds(600); ++i) {
            p.done = i;
            host->OnProgress(p);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        done = true;
    });
    PumpUntil([&] { return done.load(); }, 5000); // the UI thread takes every update at once
    worker.join();
    Pump(20);
    EXPECT_GE(shownCount, 2);
    EXPECT_LE(host->PostedProgress(), 600 / 200 + 2);
    EXPECT_GT(lastShown, 0u);
}

TEST(PaneHostTest, ProgressTextSaysNameBytesPercentSpeedTimeLeftAndFiles) {
    TransferProgress p;
    p.name = "disk.img";
    p.done = 512ull << 20;
    p.total = 2ull << 30;
    p.bytesPerSecond = 128.0 * (1 << 20);
    p.filesDone = 3;
    EXPECT_EQ(FormatProgress(p),
              "disk.img  512.0 MB of 2.0 GB  25%  128.0 MB/s  0:12 left  (3 files done)");
    p.total = 0; // size unknown: no percent, no time left
    p.filesDone = 1;
    EXPECT_EQ(FormatProgress(p), "disk.img  512.0 MB  128.0 MB/s  (1 file done)");
    p.done = 100;
    p.total = 100;
    p.bytesPerSecond = 0;
    EXPECT_EQ(FormatProgress(p), "disk.img  100 B of 100 B  100%  (1 file done)");
    EXPECT_EQ(FormatBytes(5.0 * (1ull << 40) * 1024), "5120.0 TB");
    // A name that is not UTF-8 and holds a line break shows escaped, in full.
    p.name = "bad\xE9\r\nname";
    EXPECT_EQ(FormatProgress(p), "bad\\xE9\\x0D\\x0Aname  100 B of 100 B  100%  (1 file done)");
}

} // namespace
