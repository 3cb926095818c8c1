// Drag and drop between the two lists and from the desktop, in a real window
// against real servers. Drops are driven with the data objects a drag really
// offers, handed over as the toolkit hands them to a drop target, at the
// points of real rows; one drag is made with the mouse itself. What counts is
// what arrives on the disk and on the server, whether the other list was
// listed again, and where the panes are afterwards.
#include "app/DragDrop.h"
#include "platform/ui/EntryDrag.h"
#include "platform/ui/PathCombo.h"
#include "resources/Commands.h"
#include "sites/SiteManagerDlg.h"
#include "tests/FrameFixture.h"
#include "tests/ftp/FtpServers.h"
#include "transfer/ReplaceDlg.h"

#include <wx/button.h>
#include <wx/frame.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// What the toolkit does between a drag and a drop target: the first format
// the drag offers (in its order) that the target takes, with the bytes the
// drag gives for it.
bool Deliver(const wxDataObject& from, wxDataObject& to) {
    size_t count = from.GetFormatCount(wxDataObject::Get);
    std::vector<wxDataFormat> formats(count);
    from.GetAllFormats(formats.data(), wxDataObject::Get);
    for (const wxDataFormat& format : formats) {
        if (!to.IsSupported(format, wxDataObject::Set))
            continue;
        size_t size = from.GetDataSize(format);
        std::vector<char> bytes(size + 1, '\0');
        return from.GetDataHere(format, bytes.data()) && to.SetData(format, size, bytes.data());
    }
    return false;
}

// What a list's drop target receives from `from`.
ui::DropPayload Received(const wxDataObject& from, bool acceptFiles) {
    ui::CDropData data(acceptFiles);
    Deliver(from, data);
    return data.Payload();
}

void MouseDrag(wxPoint from, wxPoint to, bool escape = false,
               const CFileListCtrl* source = nullptr);
wxPoint OnScreen(CFileListCtrl* list, wxPoint inner);

std::string Cwd() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? buf : "";
}

class DndTest : public FrameTest, public ::testing::WithParamInterface<ServerKind> {
protected:
    std::unique_ptr<FtpServer> server;
    std::string local; // the local pane's folder
    std::string pub;   // the server's /pub on disk
    int markers = 0;
    std::vector<std::string> questions;
    std::function<void()> duringQuestion; // runs while a batch waits for the answer
    int answerButton = wxID_OK;           // Replace

    void SetUp() override {
        FrameTest::SetUp();
        server = std::make_unique<FtpServer>(GetParam());
        ASSERT_TRUE(server->ok()) << server->error();
        pub = server->root() + "/pub";
        fs::create_directories(pub + "/tree/deeper");
        fs::create_directories(pub + "/F");
        for (const char* name : {"a.txt", "b.txt", "c.txt", "file.txt"})
            std::ofstream(pub + "/" + name) << "server " << name;
        std::ofstream(pub + "/tree/t1.txt") << "one";
        std::ofstream(pub + "/tree/deeper/t2.txt") << "two";
        server->Share();
        local = dir.path() + "/local";
        fs::create_directories(local + "/LF");
        std::ofstream(local + "/lfile.txt") << "local file";
        for (const char* name : {"s1.txt", "s2.txt", "f1.txt", "f2.txt", "f3.txt"})
            std::ofstream(local + "/" + name) << "local " << name;
        for (const char* name : {"d1", "d2"}) {
            fs::create_directories(local + "/" + name + "/sub");
            std::ofstream(local + "/" + name + "/x.txt") << "x of " << name;
            std::ofstream(local + "/" + name + "/sub/y.txt") << "y of " << name;
        }
        dialogAnswer = [this](wxDialog& d) -> int {
            auto* q = dynamic_cast<CReplaceDlg*>(&d);
            if (!q)
                return wxID_CANCEL;
            questions.push_back(q->m_strFirst);
            if (duringQuestion)
                duringQuestion();
            wxCommandEvent click(wxEVT_BUTTON, answerButton);
            q->FindWindow(answerButton)->ProcessWindowEvent(click);
            return q->GetReturnCode();
        };
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
    }
    void TearDown() override {
        if (frame) { // a test may have closed it
            frame->OnStop();
            frame->m_pEngine->WaitIdle(10000);
            Pump(50);
            frame->OnDisconnect();
            right()->WaitIdle(5000);
        }
        FrameTest::TearDown();
        if (chdir("/") != 0)
            ADD_FAILURE() << "chdir";
    }

    void Connect() {
        CSiteManagerDlg dlg(frame);
        dlg.m_strHost = "127.0.0.1";
        dlg.m_strUser = FtpServer::User();
        dlg.m_strPassword = FtpServer::Password();
        dlg.m_nPort = server->port();
        dlg.m_strRemoteDir = "/pub";
        dlg.m_strLocalDir = local;
        dlg.m_bPassive = 1;
        frame->ConnectToSite(dlg);
        ASSERT_TRUE(
            PumpUntil([&] { return frame->m_bConnected != 0 && right()->m_bBusy == 0; }, 20000));
        Settle();
        ASSERT_EQ(right()->m_strCurrentPath, "/pub");
        ASSERT_EQ(left()->m_strCurrentDir, local);
        status()->m_wndLog->Clear();
    }
    void Settle() {
        ASSERT_TRUE(PumpUntil([&] { return right()->m_bBusy == 0; }, 20000));
        Pump(30);
    }
    static void Select(CFileListCtrl* list, const std::vector<CFileRow>& rows,
                       const std::vector<std::string>& names) {
        for (size_t i = 0; i < rows.size(); ++i) {
            bool want = std::find(names.begin(), names.end(), rows[i].name) != names.end();
            list->SetItemState(static_cast<long>(i), want ? wxLIST_STATE_SELECTED : 0,
                               wxLIST_STATE_SELECTED);
        }
    }
    static long RowOf(const std::vector<CFileRow>& rows, const std::string& name) {
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i].name == name)
                return static_cast<long>(i);
        return -1;
    }
    static bool Has(const std::vector<CFileRow>& rows, const std::string& name) {
        return RowOf(rows, name) >= 0;
    }
    // A point of the list below its last row.
    static wxPoint EmptyPoint(CFileListCtrl* list) {
        wxSize size = list->GetTargetWindow()->GetClientSize();
        return wxPoint(10, size.y - 6);
    }
    wxPoint Point(CFileListCtrl* list, const std::vector<CFileRow>& rows, const std::string& row) {
        if (row.empty()) {
            wxPoint p = EmptyPoint(list);
            EXPECT_EQ(list->HitRow(p), -1);
            return p;
        }
        long item = RowOf(rows, row);
        EXPECT_GE(item, 0) << row;
        wxPoint p = list->RowPoint(item);
        EXPECT_EQ(list->HitRow(p), item) << row;
        return p;
    }
    int Ended() { return right()->m_nBatchesEnded + left()->m_nBatchesEnded; }

    struct Outcome {
        bool started = false;   // the drop started a batch
        bool refreshed = false; // the other list was listed again at its end
    };
    // Drags `selection` of the local list and drops it on the remote list at
    // `row` ("" for empty space); waits for the batch and its refresh.
    Outcome Upload(const std::vector<std::string>& selection, const std::string& row) {
        return Upload(selection, row, true);
    }
    Outcome UploadNoPathCheck(const std::vector<std::string>& selection, const std::string& row) {
        return Upload(selection, row, false);
    }
    Outcome Upload(const std::vector<std::string>& selection, const std::string& row,
                   bool checkPath) {
        std::string marker = "marker" + std::to_string(++markers);
        std::ofstream(pub + "/" + marker) << "shown only by a new listing";
        server->Share();
        Select(left()->m_wndList, left()->Rows(), selection);
        std::unique_ptr<wxDataObject> drag = left()->m_wndList->NewDragData();
        EXPECT_TRUE(drag);
        Outcome out;
        if (!drag)
            return out;
        ui::DropPayload payload = Received(*drag, true);
        wxPoint at = Point(right()->m_wndList, right()->Rows(), row);
        std::string cwd = Cwd();
        int before = Ended();
        out.started = right()->m_wndList->OnDrop(payload, at);
        EXPECT_EQ(right()->m_strCurrentPath, "/pub");
        if (out.started) {
            EXPECT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
        }
        Settle();
        EXPECT_EQ(Cwd(), cwd);
        if (checkPath) {
            EXPECT_EQ(right()->m_strCurrentPath, "/pub");
            EXPECT_EQ(right()->m_wndPath->GetItemText(right()->m_wndPath->GetCurSel()), "pub");
        }
        out.refreshed = Has(right()->Rows(), marker);
        return out;
    }
    // Drags `selection` of the remote list and drops it on the local list.
    Outcome Download(const std::vector<std::string>& selection, const std::string& row) {
        std::string marker = "lmarker" + std::to_string(++markers);
        std::ofstream(local + "/" + marker) << "shown only by a new listing";
        Select(right()->m_wndList, right()->Rows(), selection);
        std::unique_ptr<wxDataObject> drag = right()->m_wndList->NewDragData();
        EXPECT_TRUE(drag);
        Outcome out;
        if (!drag)
            return out;
        ui::DropPayload payload = Received(*drag, false);
        wxPoint at = Point(left()->m_wndList, left()->Rows(), row);
        std::string cwd = Cwd();
        int before = Ended();
        out.started = left()->m_wndList->OnDrop(payload, at);
        // The pane keeps showing, and acting on, its own folder meanwhile.
        EXPECT_EQ(left()->m_strCurrentDir, local);
        if (out.started) {
            EXPECT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
        }
        Settle();
        EXPECT_EQ(Cwd(), cwd);
        EXPECT_EQ(left()->m_strCurrentDir, local);
        EXPECT_EQ(left()->m_wndFolderCombo->GetItemText(left()->m_wndFolderCombo->GetCurSel()),
                  "local");
        out.refreshed = Has(left()->Rows(), marker);
        return out;
    }
};

// ---- drops on the remote list: upload ----

TEST_P(DndTest, UploadDroppedOnEmptySpaceGoesToTheCurrentFolder) {
    std::string fifo = local + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0); // no plain file: its send fails
    Connect();

    Outcome o = Upload({"s1.txt", "s2.txt"}, "");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(pub + "/s1.txt"), "local s1.txt");
    EXPECT_EQ(ReadAll(pub + "/s2.txt"), "local s2.txt");
    EXPECT_TRUE(o.refreshed);
    EXPECT_TRUE(Has(right()->Rows(), "s2.txt"));

    o = Upload({"d1"}, "");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(pub + "/d1/x.txt"), "x of d1");
    EXPECT_EQ(ReadAll(pub + "/d1/sub/y.txt"), "y of d1");
    EXPECT_TRUE(o.refreshed);

    status()->m_wndLog->Clear();
    o = Upload({"f1.txt"}, "");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(pub + "/f1.txt"), "local f1.txt");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Uploading f1.txt", "Done"}));
    EXPECT_TRUE(o.refreshed);

    // One file whose send fails: no new listing.
    status()->m_wndLog->Clear();
    o = Upload({"pipe"}, "");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Uploading pipe", "Error Uploading pipe",
                                                    local + "/pipe is not a file"}));
    EXPECT_FALSE(o.refreshed);
}

TEST_P(DndTest, UploadDroppedOnAServerFolderGoesIntoIt) {
    Connect();
    Outcome o = Upload({"s1.txt", "s2.txt"}, "F");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(pub + "/F/s1.txt"), "local s1.txt");
    EXPECT_EQ(ReadAll(pub + "/F/s2.txt"), "local s2.txt");
    EXPECT_FALSE(fs::exists(pub + "/s1.txt"));
    EXPECT_FALSE(o.refreshed);

    // What that drop asked of its end is over: the Upload command that
    // follows refreshes the list as it always does.
    Select(left()->m_wndList, left()->Rows(), {"lfile.txt"});
    int before = Ended();
    left()->OnUpload();
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(pub + "/lfile.txt"), "local file");
    EXPECT_TRUE(Has(right()->Rows(), "lfile.txt"));

    o = Upload({"d2"}, "F");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(pub + "/F/d2/x.txt"), "x of d2");
    EXPECT_EQ(ReadAll(pub + "/F/d2/sub/y.txt"), "y of d2");
    EXPECT_FALSE(fs::exists(pub + "/d2"));
    EXPECT_FALSE(o.refreshed);

    o = Upload({"f2.txt"}, "F");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(pub + "/F/f2.txt"), "local f2.txt");
    EXPECT_FALSE(fs::exists(pub + "/f2.txt"));
    EXPECT_TRUE(o.refreshed);
}

// The row is a file: what was dropped goes into the folder the list shows,
// and the list shows it afterwards.
TEST_P(DndTest, UploadDroppedOnAServerFileGoesToTheCurrentFolderAndShowsThere) {
    Connect();
    Outcome o = Upload({"s1.txt", "s2.txt"}, "file.txt");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(pub + "/s1.txt"), "local s1.txt");
    EXPECT_EQ(ReadAll(pub + "/s2.txt"), "local s2.txt");
    EXPECT_EQ(ReadAll(pub + "/file.txt"), "server file.txt");
    EXPECT_TRUE(o.refreshed);
    EXPECT_TRUE(Has(right()->Rows(), "s1.txt"));
    EXPECT_TRUE(Has(right()->Rows(), "s2.txt"));

    o = Upload({"d1"}, "file.txt");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(pub + "/d1/x.txt"), "x of d1");
    EXPECT_TRUE(o.refreshed);
    EXPECT_TRUE(Has(right()->Rows(), "d1"));

    o = Upload({"f3.txt"}, "file.txt");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(pub + "/f3.txt"), "local f3.txt");
    EXPECT_TRUE(o.refreshed);
}

// A folder made on the server is shown at the end of the batch, even when
// nothing was sent into it: by the command, dropped on empty space, and
// dragged with the mouse onto a file row.
TEST_P(DndTest, AnUploadedEmptyFolderShowsInTheServerList) {
    for (const char* name : {"empty1", "empty2", "empty3"})
        fs::create_directories(local + "/" + name);
    Connect();
    Select(left()->m_wndList, left()->Rows(), {"empty1"});
    int before = Ended();
    ASSERT_TRUE(left()->UploadSelectionInto({}));
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_TRUE(fs::is_directory(pub + "/empty1"));
    EXPECT_TRUE(Has(right()->Rows(), "empty1"));

    Outcome o = Upload({"empty2"}, "");
    EXPECT_TRUE(o.started);
    EXPECT_TRUE(fs::is_directory(pub + "/empty2"));
    EXPECT_TRUE(Has(right()->Rows(), "empty2"));

    frame->Raise();
    Pump(100);
    CFileListCtrl* from = left()->m_wndList;
    CFileListCtrl* to = right()->m_wndList;
    Select(from, left()->Rows(), {});
    before = Ended();
    MouseDrag(OnScreen(from, from->RowPoint(RowOf(left()->Rows(), "empty3"))),
              OnScreen(to, to->RowPoint(RowOf(right()->Rows(), "file.txt"))));
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_TRUE(fs::is_directory(pub + "/empty3"));
    EXPECT_TRUE(Has(right()->Rows(), "empty3"));

    // Two files dragged by one of them onto the file row.
    Select(from, left()->Rows(), {"f1.txt", "f2.txt"});
    before = Ended();
    MouseDrag(OnScreen(from, from->RowPoint(RowOf(left()->Rows(), "f2.txt"))),
              OnScreen(to, to->RowPoint(RowOf(right()->Rows(), "file.txt"))));
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(pub + "/f1.txt"), "local f1.txt");
    EXPECT_TRUE(Has(right()->Rows(), "f1.txt"));
    EXPECT_TRUE(Has(right()->Rows(), "f2.txt"));
}

// ---- drops on the local list: download ----

TEST_P(DndTest, DownloadDroppedOnEmptySpaceGoesToTheCurrentFolder) {
    Connect();
    Outcome o = Download({"a.txt", "b.txt"}, "");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(local + "/a.txt"), "server a.txt");
    EXPECT_EQ(ReadAll(local + "/b.txt"), "server b.txt");
    EXPECT_TRUE(o.refreshed);

    status()->m_wndLog->Clear();
    o = Download({"c.txt"}, "");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(local + "/c.txt"), "server c.txt");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Downloading  c.txt", "Done"}));
    EXPECT_TRUE(o.refreshed);

    // One folder: made here and mirrored, its contents relative to itself.
    o = Download({"tree"}, "");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(local + "/tree/t1.txt"), "one");
    EXPECT_EQ(ReadAll(local + "/tree/deeper/t2.txt"), "two");
    EXPECT_FALSE(fs::exists(local + "/tree/tree"));
    EXPECT_TRUE(o.refreshed);
}

TEST_P(DndTest, DownloadDroppedOnALocalFolderGoesIntoItAndThePaneStays) {
    Connect();
    Outcome o = Download({"a.txt", "b.txt", "c.txt"}, "LF");
    EXPECT_TRUE(o.started);
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
        EXPECT_EQ(ReadAll(local + "/LF/" + name), std::string("server ") + name);
        EXPECT_FALSE(fs::exists(local + "/" + name));
    }
    EXPECT_TRUE(o.refreshed);

    o = Download({"file.txt"}, "LF");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(local + "/LF/file.txt"), "server file.txt");
    EXPECT_TRUE(o.refreshed);

    o = Download({"tree"}, "LF");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(local + "/LF/tree/t1.txt"), "one");
    EXPECT_EQ(ReadAll(local + "/LF/tree/deeper/t2.txt"), "two");
    EXPECT_FALSE(fs::exists(local + "/tree"));
    EXPECT_TRUE(o.refreshed);
}

TEST_P(DndTest, DownloadDroppedOnALocalFileGoesToTheCurrentFolder) {
    Connect();
    Outcome o = Download({"a.txt", "b.txt"}, "lfile.txt");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(local + "/a.txt"), "server a.txt");
    EXPECT_EQ(ReadAll(local + "/b.txt"), "server b.txt");
    EXPECT_EQ(ReadAll(local + "/lfile.txt"), "local file");
    EXPECT_TRUE(o.refreshed);

    o = Download({"c.txt"}, "lfile.txt");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(local + "/c.txt"), "server c.txt");
    EXPECT_TRUE(o.refreshed);

    o = Download({"tree"}, "lfile.txt");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(local + "/tree/deeper/t2.txt"), "two");
}

// ---- drops that do nothing ----

TEST_P(DndTest, OnlyADragFromTheOtherListOfThisWindowIsTaken) {
    std::string odd = std::string("bad\nname.txt");
    std::ofstream(local + "/" + odd) << "a name no command can carry";
    Connect();
    Select(left()->m_wndList, left()->Rows(), {"f1.txt"});
    Select(right()->m_wndList, right()->Rows(), {"a.txt"});
    ui::DropPayload fromLocal = Received(*left()->m_wndList->NewDragData(), true);
    ui::DropPayload fromRemote = Received(*right()->m_wndList->NewDragData(), false);
    ASSERT_EQ(fromLocal.kind, ui::DropPayload::Kind::Entry);
    ASSERT_EQ(fromLocal.entry.name, "f1.txt");
    wxPoint remoteEmpty = EmptyPoint(right()->m_wndList);
    wxPoint localEmpty = EmptyPoint(left()->m_wndList);
    std::vector<std::pair<std::string, bool>> refused;
    auto tryDrop = [&](const std::string& what, CFileListCtrl* list, const ui::DropPayload& p,
                       wxPoint at) { refused.emplace_back(what, list->OnDrop(p, at)); };

    // Dropped on the list it came from (during its drag, and as data alone).
    tryDrop("local on local", left()->m_wndList, fromLocal, localEmpty);
    tryDrop("remote on remote", right()->m_wndList, fromRemote, remoteEmpty);
    right()->m_wndList->m_bDragSource = 1;
    tryDrop("during its own drag", right()->m_wndList, fromLocal, remoteEmpty);
    right()->m_wndList->m_bDragSource = 0;

    // Text from another program: never a name (it would name the folder itself).
    wxTextDataObject text("f1.txt");
    tryDrop("text on remote", right()->m_wndList, Received(text, true), remoteEmpty);
    tryDrop("text on local", left()->m_wndList, Received(wxTextDataObject("a.txt"), false),
            localEmpty);
    tryDrop("empty text", right()->m_wndList, Received(wxTextDataObject(""), true), remoteEmpty);

    // Our format, but not from this window, not the dragged row, or empty.
    ui::EntryDrag forged = fromLocal.entry;
    forged.origin = "another-process:1";
    tryDrop("other window", right()->m_wndList,
            Received(*ui::NewEntryDataObject(forged, "f1.txt"), true), remoteEmpty);
    forged = fromLocal.entry;
    forged.name = "f2.txt"; // not the selection
    tryDrop("not selected", right()->m_wndList,
            Received(*ui::NewEntryDataObject(forged, "f2.txt"), true), remoteEmpty);
    forged.name = "";
    tryDrop("empty name", right()->m_wndList, Received(*ui::NewEntryDataObject(forged, ""), true),
            remoteEmpty);
    // Files from the desktop are no download.
    wxFileDataObject files;
    files.AddFile(wxString::FromUTF8(local + "/f1.txt"));
    tryDrop("files on local", left()->m_wndList, Received(files, false), localEmpty);

    // A name no server command can carry never becomes a path.
    Select(left()->m_wndList, left()->Rows(), {odd});
    tryDrop("unsafe name", right()->m_wndList, Received(*left()->m_wndList->NewDragData(), true),
            remoteEmpty);

    Pump(100);
    for (const auto& [what, started] : refused)
        EXPECT_FALSE(started) << what;
    EXPECT_FALSE(frame->m_pEngine->IsBusy());
    EXPECT_TRUE(LogLines().empty()) << ::testing::PrintToString(LogLines());
    EXPECT_FALSE(fs::exists(pub + "/f1.txt"));
    EXPECT_FALSE(fs::exists(pub + "/f2.txt"));
    EXPECT_FALSE(fs::exists(pub + "/local"));
    EXPECT_FALSE(fs::exists(local + "/a.txt"));
    EXPECT_FALSE(fs::exists(local + "/pub"));

    // The refused drops left nothing behind: the Upload command that follows
    // sends and lists the server folder afresh, as ever.
    std::ofstream(pub + "/listed-again") << "shown only by a new listing";
    server->Share();
    Select(left()->m_wndList, left()->Rows(), {"f2.txt"});
    int before = Ended();
    left()->OnUpload();
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(pub + "/f2.txt"), "local f2.txt");
    EXPECT_TRUE(Has(right()->Rows(), "f2.txt"));
    EXPECT_TRUE(Has(right()->Rows(), "listed-again"));
    EXPECT_EQ(right()->m_strCurrentPath, "/pub");

    // Not connected: nothing either.
    Select(left()->m_wndList, left()->Rows(), {"f1.txt"});
    ui::DropPayload again = Received(*left()->m_wndList->NewDragData(), true);
    frame->OnDisconnect();
    EXPECT_FALSE(right()->m_wndList->OnDrop(again, remoteEmpty));
    EXPECT_FALSE(right()->m_wndList->OnDrop(Received(files, true), remoteEmpty));
    EXPECT_FALSE(frame->m_pEngine->IsBusy());
}

// A drop while a batch runs on connections of its own is taken: its batch
// waits its turn and runs after, and the running batch still ends as its
// own drop asked.
TEST_P(DndTest, DropsWhileABatchRunsWaitTheirTurn) {
    std::ofstream(local + "/a.txt") << "old"; // the download asks before replacing it
    Connect();
    std::vector<bool> results;
    // While the batch waits for the answer: the local selection dragged onto
    // the server's list, as a user would.
    duringQuestion = [&] {
        if (!results.empty())
            return;
        ui::DropPayload up = Received(*left()->m_wndList->NewDragData(), true);
        CFileListCtrl* r = right()->m_wndList;
        results.push_back(r->OnDrop(up, EmptyPoint(r)));
        EXPECT_FALSE(fs::exists(pub + "/f1.txt")); // not before the running batch ends
    };
    answerButton = wxID_OK; // Replace
    Select(left()->m_wndList, left()->Rows(), {"f1.txt"});
    Outcome o = Download({"a.txt"}, "");
    EXPECT_TRUE(o.started);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(results, std::vector<bool>{true});
    EXPECT_TRUE(o.refreshed);
    EXPECT_EQ(ReadAll(local + "/a.txt"), "server a.txt");
    ASSERT_TRUE(PumpUntil([&] { return !frame->m_pEngine->IsBusy(); }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(pub + "/f1.txt"), "local f1.txt");
    EXPECT_FALSE(fs::exists(local + "/LF/a.txt"));
}

// Names are the bytes the folder or the server gave, not the text shown.
TEST_P(DndTest, NamesThatAreNotUtf8ArriveByteForByte) {
    if (GetParam() == ServerKind::Pyftpdlib)
        GTEST_SKIP() << "pyftpdlib lists names as UTF-8 only";
    const std::string remoteName = "caf\xe9.txt", localName = "na\xefve.txt";
    std::ofstream(pub + "/" + remoteName) << "latin-1 on the server";
    server->Share();
    std::ofstream(local + "/" + localName) << "latin-1 here";
    Connect();
    ASSERT_TRUE(Has(right()->Rows(), remoteName));
    Outcome o = Download({remoteName}, "LF");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(local + "/LF/" + remoteName), "latin-1 on the server");
    o = Upload({localName}, "F");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(pub + "/F/" + localName), "latin-1 here");
}

// A server file named like a local folder: dropped on that folder's row it
// goes into it; dropped beside it, no question comes, one line says why, and
// the folder is kept.
TEST_P(DndTest, AFileNamedLikeALocalFolderNeverReplacesTheFolder) {
    std::ofstream(pub + "/LF") << "a file called LF";
    std::ofstream(local + "/LF/inside.txt") << "kept";
    server->Share();
    Connect();
    Outcome o = Download({"LF"}, "LF");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(ReadAll(local + "/LF/LF"), "a file called LF");

    answerButton = wxID_OK; // Replace
    status()->m_wndLog->Clear();
    o = Download({"LF"}, "");
    EXPECT_TRUE(o.started);
    EXPECT_EQ(questions.size(), 0u);
    EXPECT_TRUE(fs::is_directory(local + "/LF"));
    EXPECT_EQ(ReadAll(local + "/LF/inside.txt"), "kept");
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"A file does not replace a folder: " + local + "/LF"}));
}

// ---- what the user does while a dropped batch runs ----

// The server list shows the rows of the folder its path and its path box
// name, whatever the user did during a dropped batch.
TEST_P(DndTest, ServerListAndPathAgreeAfterNavigatingDuringADroppedUpload) {
    fs::create_directories(pub + "/F/d1");
    std::ofstream(pub + "/F/d1/x.txt") << "old"; // the batch asks before replacing it
    Connect();
    duringQuestion = [&] {
        // A double click on the server folder "tree" while the batch waits.
        Select(right()->m_wndList, right()->Rows(), {"tree"});
        right()->OnDblclkList();
        PumpUntil([&] { return right()->m_bBusy == 0; }, 10000);
    };
    Outcome o = UploadNoPathCheck({"d1"}, "F");
    EXPECT_TRUE(o.started);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(ReadAll(pub + "/F/d1/x.txt"), "x of d1");
    const std::string path = right()->m_strCurrentPath;
    const std::string box = right()->m_wndPath->GetItemText(right()->m_wndPath->GetCurSel());
    if (path == "/pub") {
        EXPECT_EQ(box, "pub");
        EXPECT_TRUE(Has(right()->Rows(), "file.txt"));
    } else {
        EXPECT_EQ(path, "/pub/tree");
        EXPECT_EQ(box, "tree");
        EXPECT_TRUE(Has(right()->Rows(), "t1.txt"));
        EXPECT_FALSE(Has(right()->Rows(), "file.txt"));
    }
}

// The local pane stays where the user took it during a dropped download.
TEST_P(DndTest, LocalPaneStaysWhereTheUserWentDuringADroppedDownload) {
    std::ofstream(local + "/LF/a.txt") << "old"; // the batch asks before replacing it
    Connect();
    duringQuestion = [&] {
        Select(left()->m_wndList, left()->Rows(), {"d1"});
        left()->OnOpenRow();
    };
    Select(right()->m_wndList, right()->Rows(), {"a.txt", "b.txt"});
    std::unique_ptr<wxDataObject> drag = right()->m_wndList->NewDragData();
    ASSERT_TRUE(drag);
    int before = Ended();
    ASSERT_TRUE(left()->m_wndList->OnDrop(Received(*drag, false),
                                          Point(left()->m_wndList, left()->Rows(), "LF")));
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(ReadAll(local + "/LF/a.txt"), "server a.txt");
    EXPECT_EQ(ReadAll(local + "/LF/b.txt"), "server b.txt");
    const std::string box =
        left()->m_wndFolderCombo->GetItemText(left()->m_wndFolderCombo->GetCurSel());
    EXPECT_EQ(left()->m_strCurrentDir, local + "/d1");
    EXPECT_EQ(box, "d1");
    EXPECT_TRUE(Has(left()->Rows(), "x.txt"));

    // Nothing of the drop is left to move the pane: the Download command
    // that follows goes into the folder shown, and the pane stays there.
    Select(right()->m_wndList, right()->Rows(), {"c.txt"});
    before = Ended();
    right()->OnDownload();
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(local + "/d1/c.txt"), "server c.txt");
    EXPECT_EQ(left()->m_strCurrentDir, local + "/d1");
    EXPECT_TRUE(Has(left()->Rows(), "c.txt"));
}

// A label edit that a dropped batch's refresh runs under renames the entry
// whose label was edited, or nothing.
TEST_P(DndTest, ARenameOpenWhileADroppedDownloadRefillsTheListRenamesItsOwnRow) {
    Connect();
    CFileListCtrl* list = left()->m_wndList;
    long row = RowOf(left()->Rows(), "s1.txt");
    ASSERT_GE(row, 0);
    list->SetFocus();
    wxTextCtrl* edit = list->EditLabel(row);
    ASSERT_TRUE(edit);
    Pump(20);
    // Downloaded names sort before the edited one.
    Outcome o = Download({"a.txt", "b.txt"}, "");
    EXPECT_TRUE(o.started);
    if (wxTextCtrl* still = list->GetEditControl()) {
        still->SetValue("renamed.txt");
        list->EndEditLabel(false);
    }
    Pump(50);
    EXPECT_EQ(ReadAll(local + "/a.txt"), "server a.txt");
    EXPECT_EQ(ReadAll(local + "/b.txt"), "server b.txt");
    EXPECT_TRUE(!fs::exists(local + "/renamed.txt") ||
                ReadAll(local + "/renamed.txt") == "local s1.txt");
    EXPECT_EQ(ReadAll(local + "/lfile.txt"), "local file");
    for (const char* name : {"s2.txt", "f1.txt", "f2.txt", "f3.txt"})
        EXPECT_EQ(ReadAll(local + "/" + name), std::string("local ") + name) << name;
    EXPECT_TRUE(fs::exists(local + "/s1.txt") || fs::exists(local + "/renamed.txt"));
}

// ---- files from the desktop ----

TEST_P(DndTest, FilesFromTheDesktopUploadWhereTheHighlightShows) {
    Connect();
    wxFileDataObject files;
    files.AddFile(wxString::FromUTF8(local + "/f1.txt"));
    files.AddFile(wxString::FromUTF8(local + "/d1"));
    CFileListCtrl* list = right()->m_wndList;

    // Over a folder row the row is highlighted; over a file row nothing is.
    wxPoint onF = Point(list, right()->Rows(), "F");
    wxPoint onFile = Point(list, right()->Rows(), "file.txt");
    list->OnDragOver(onFile, true);
    EXPECT_EQ(list->m_nDropHilite, -1);
    // Copied, never moved: the file manager keeps its files.
    EXPECT_EQ(list->OnDragOver(onF, true), wxDragCopy);
    EXPECT_EQ(list->m_nDropHilite, RowOf(right()->Rows(), "F"));

    std::string marker = pub + "/shown-after";
    std::ofstream(marker) << "x";
    server->Share();
    int before = Ended();
    ASSERT_TRUE(list->OnDrop(Received(files, true), onF));
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(pub + "/F/f1.txt"), "local f1.txt");
    EXPECT_EQ(ReadAll(pub + "/F/d1/x.txt"), "x of d1");
    EXPECT_EQ(ReadAll(pub + "/F/d1/sub/y.txt"), "y of d1");
    EXPECT_TRUE(Has(right()->Rows(), "shown-after")); // the Upload command's refresh
    std::vector<std::string> lines = LogLines();
    EXPECT_EQ(lines.front(), "Uploading f1.txt");

    // Again into F: the replace question, as for the Upload command.
    status()->m_wndLog->Clear();
    answerButton = CReplaceDlg::IDC_SKIP_ALL;
    before = Ended();
    ASSERT_TRUE(list->OnDrop(Received(files, true), Point(list, right()->Rows(), "F")));
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(questions.size(), 1u);
    EXPECT_TRUE(LogLines().empty()) << ::testing::PrintToString(LogLines());

    // On a file row and on empty space: the current folder. A file on
    // another machine, or no file at all, is left out.
    wxFileDataObject more;
    more.AddFile(wxString::FromUTF8(local + "/f2.txt"));
    ui::DropPayload payload = Received(more, true);
    payload.files.push_back("relative/path");
    before = Ended();
    ASSERT_TRUE(list->OnDrop(payload, Point(list, right()->Rows(), "file.txt")));
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(pub + "/f2.txt"), "local f2.txt");
    EXPECT_EQ(ReadAll(pub + "/file.txt"), "server file.txt");
    EXPECT_TRUE(Has(right()->Rows(), "f2.txt"));

    std::string uris = "file://elsewhere.example/etc/passwd\r\nhttp://example.com/x\r\n";
    wxCustomDataObject foreign{wxDataFormat(wxDF_FILENAME)};
    foreign.SetData(uris.size(), uris.data());
    EXPECT_FALSE(list->OnDrop(Received(foreign, true), EmptyPoint(list)));
    wxFileDataObject three;
    three.AddFile(wxString::FromUTF8(local + "/f3.txt"));
    before = Ended();
    ASSERT_TRUE(list->OnDrop(Received(three, true), EmptyPoint(list)));
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(pub + "/f3.txt"), "local f3.txt");
    EXPECT_FALSE(fs::exists(pub + "/passwd"));
}

// ---- the highlight ----

TEST_P(DndTest, TheRowUnderTheCursorCarriesTheHighlightAndTheSelectionStays) {
    Connect();
    CFileListCtrl* list = right()->m_wndList;
    const auto& rows = right()->Rows();
    long a = RowOf(rows, "a.txt"), b = RowOf(rows, "b.txt"), c = RowOf(rows, "c.txt");
    Select(list, rows, {"c.txt"});
    auto selected = [&](long i) { return list->GetItemState(i, wxLIST_STATE_SELECTED) != 0; };
    auto onlyC = [&] {
        return list->GetSelectedItemCount() == 1 && selected(c) && !selected(a) && !selected(b);
    };
    EXPECT_EQ(list->OnDragOver(list->RowPoint(a), false), wxDragMove);
    EXPECT_EQ(list->m_nDropHilite, a);
    EXPECT_TRUE(onlyC());
    list->OnDragOver(list->RowPoint(b), false);
    EXPECT_EQ(list->m_nDropHilite, b);
    EXPECT_TRUE(onlyC());
    list->OnDragOver(EmptyPoint(list), false);
    EXPECT_EQ(list->m_nDropHilite, -1);
    list->OnDragOver(list->RowPoint(a), false);
    // Over its own list a drag changes nothing.
    list->m_bDragSource = 1;
    EXPECT_EQ(list->OnDragOver(list->RowPoint(b), false), wxDragMove);
    list->m_bDragSource = 0;
    EXPECT_EQ(list->m_nDropHilite, a);
    // Leaving the list ends the highlight.
    list->ClearDropHilite();
    EXPECT_EQ(list->m_nDropHilite, -1);
    EXPECT_TRUE(onlyC());
}

// ---- with the mouse ----

// Presses on `from` (screen coordinates), moves in small steps, then onto
// each of `via` in turn, and releases (after Escape, if asked), from another
// thread while this one keeps the window running.
// A drag with the mouse from `from` over the points of `via`, dropped at the
// last. With `escape`, Escape is pressed before the button is let go, once
// the drag has begun (`source` says so): on a busy machine the drag may begin
// only some moves later, and an Escape before it would cancel nothing. The
// drag runs a loop of its own inside the event handler that began it, so the
// steps after the moves wait on a timer's word, not on this thread.
void MouseDragVia(wxPoint from, const std::vector<wxPoint>& via, bool escape = false,
                  const CFileListCtrl* source = nullptr) {
    std::string moves = "xdotool mousemove " + std::to_string(from.x) + " " +
                        std::to_string(from.y) + " sleep 0.2 mousedown 1 sleep 0.1";
    for (int i = 1; i <= 5; ++i)
        moves += " mousemove " + std::to_string(from.x + 4 * i) + " " +
                 std::to_string(from.y + 2 * i) + " sleep 0.05";
    for (wxPoint to : via) {
        moves += " mousemove " + std::to_string(to.x) + " " + std::to_string(to.y) + " sleep 0.2";
        moves += " mousemove " + std::to_string(to.x + 3) + " " + std::to_string(to.y + 3) +
                 " sleep 0.2";
    }
    std::atomic<bool> began{!escape || !source};
    std::atomic<bool> ended{false};
    wxTimer watch;
    watch.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        if (source && source->m_bDragSource != 0)
            began = true;
        else if (source && began)
            ended = true;
    });
    watch.Start(10);
    std::atomic<bool> done{false};
    std::thread mouse([&] {
        auto run = [](const std::string& cmd) {
            int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
            (void)rc;
        };
        if (!escape) {
            run(moves + " mouseup 1");
        } else {
            run(moves);
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (!began && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            // The button stays down until the drag has ended: an Escape that
            // reaches the X server before the drag holds the keyboard is lost,
            // and a release then would drop. A lost Escape is sent again; one
            // that never ends the drag lets the release drop, and the test fails.
            for (int tries = 0; tries < 3 && !(source && ended); ++tries) {
                run("xdotool key Escape");
                until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
                while (source && !ended && std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            run("xdotool sleep 0.2 mouseup 1");
        }
        done = true;
    });
    PumpUntil([&] { return done.load(); }, 20000);
    mouse.join();
    watch.Stop();
}

void MouseDrag(wxPoint from, wxPoint to, bool escape, const CFileListCtrl* source) {
    MouseDragVia(from, {to}, escape, source);
}

wxPoint OnScreen(CFileListCtrl* list, wxPoint inner) {
    return list->GetTargetWindow()->ClientToScreen(inner);
}

TEST_P(DndTest, ARealDragWithTheMouseMovesAFileEachWay) {
    Connect();
    frame->Raise();
    Pump(100);
    // A local file onto the remote list's empty space.
    CFileListCtrl* from = left()->m_wndList;
    CFileListCtrl* to = right()->m_wndList;
    Select(from, left()->Rows(), {});
    int before = Ended();
    MouseDrag(OnScreen(from, from->RowPoint(RowOf(left()->Rows(), "f1.txt"))),
              OnScreen(to, EmptyPoint(to)));
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(pub + "/f1.txt"), "local f1.txt");
    EXPECT_TRUE(Has(right()->Rows(), "f1.txt"));
    EXPECT_EQ(from->m_bDragSource, 0);

    // A server file onto the local folder row LF.
    Select(to, right()->Rows(), {});
    before = Ended();
    MouseDrag(OnScreen(to, to->RowPoint(RowOf(right()->Rows(), "b.txt"))),
              OnScreen(from, from->RowPoint(RowOf(left()->Rows(), "LF"))));
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(local + "/LF/b.txt"), "server b.txt");
    EXPECT_EQ(left()->m_strCurrentDir, local);

    // Two selected local files, dragged by one of them onto a server folder.
    Select(from, left()->Rows(), {"s1.txt", "s2.txt"});
    before = Ended();
    MouseDrag(OnScreen(from, from->RowPoint(RowOf(left()->Rows(), "s2.txt"))),
              OnScreen(to, to->RowPoint(RowOf(right()->Rows(), "F"))));
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(pub + "/F/s1.txt"), "local s1.txt");
    EXPECT_EQ(ReadAll(pub + "/F/s2.txt"), "local s2.txt");
}

// In report view (a header above the rows) and scrolled down, the row under
// the mouse is the row dropped on.
TEST_P(DndTest, ARealDragOntoAScrolledListInReportViewLandsOnTheRowUnderTheMouse) {
    for (int i = 0; i < 80; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "dir%02d", i);
        fs::create_directories(local + "/" + name);
    }
    Connect();
    left()->SetViewMode(1);
    right()->SetViewStyle(1);
    frame->Raise();
    Pump(100);
    CFileListCtrl* from = right()->m_wndList;
    CFileListCtrl* to = left()->m_wndList;
    ASSERT_TRUE(to->IsReportView());
    long last = RowOf(left()->Rows(), "dir79");
    ASSERT_GE(last, 0);
    to->EnsureVisible(last);
    Pump(50);
    ASSERT_GT(to->GetScrollPos(wxVERTICAL), 0);
    long target = RowOf(left()->Rows(), "dir75");
    wxPoint at = to->RowPoint(target);
    ASSERT_EQ(to->HitRow(at), target);
    Select(from, right()->Rows(), {});
    int before = Ended();
    MouseDrag(OnScreen(from, from->RowPoint(RowOf(right()->Rows(), "c.txt"))), OnScreen(to, at));
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(local + "/dir75/c.txt"), "server c.txt");
    EXPECT_FALSE(fs::exists(local + "/c.txt"));

    // The other way, in list view, onto the server folder "tree".
    left()->SetViewMode(2);
    right()->SetViewStyle(2);
    Pump(50);
    ASSERT_FALSE(from->IsReportView());
    Select(to, left()->Rows(), {});
    long f2 = RowOf(left()->Rows(), "f2.txt");
    to->EnsureVisible(f2);
    Pump(50);
    before = Ended();
    MouseDrag(OnScreen(to, to->RowPoint(f2)),
              OnScreen(from, from->RowPoint(RowOf(right()->Rows(), "tree"))));
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(pub + "/tree/f2.txt"), "local f2.txt");
}

TEST_P(DndTest, EscapeDuringARealDragDropsNothing) {
    Connect();
    frame->Raise();
    Pump(100);
    CFileListCtrl* from = left()->m_wndList;
    CFileListCtrl* to = right()->m_wndList;
    Select(from, left()->Rows(), {});
    int before = Ended();
    bool dragged = false;
    wxTimer watch;
    watch.Bind(wxEVT_TIMER, [&](wxTimerEvent&) { dragged = dragged || from->m_bDragSource; });
    watch.Start(10);
    MouseDrag(OnScreen(from, from->RowPoint(RowOf(left()->Rows(), "f1.txt"))),
              OnScreen(to, EmptyPoint(to)), true, from);
    watch.Stop();
    Pump(200);
    EXPECT_TRUE(dragged);
    EXPECT_EQ(from->m_bDragSource, 0);
    EXPECT_EQ(Ended(), before);
    EXPECT_FALSE(frame->m_pEngine->IsBusy());
    EXPECT_FALSE(fs::exists(pub + "/f1.txt"));
    EXPECT_TRUE(LogLines().empty()) << ::testing::PrintToString(LogLines());

    // The next drag works as ever.
    before = Ended();
    MouseDrag(OnScreen(from, from->RowPoint(RowOf(left()->Rows(), "f1.txt"))),
              OnScreen(to, EmptyPoint(to)));
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(pub + "/f1.txt"), "local f1.txt");
}

// However a real drag ends, the rows it passed over are not left selected:
// the Delete that follows asks about, and removes, what the user picked.
TEST_P(DndTest, ADragEndingAnyWayLeavesEveryListWithTheSelectionItHadBefore) {
    enum class End { Escape, Drop, LeaveWindow };
    struct Case {
        const char* what;
        End end;
        std::vector<std::string> dragged; // the local selection, dragged by its last
    };
    const Case cases[] = {
        {"cancelled with Escape", End::Escape, {"f1.txt"}},
        {"dropped on a folder row", End::Drop, {"s1.txt", "s2.txt"}},
        {"released outside the window", End::LeaveWindow, {"f2.txt"}},
    };
    Connect();
    frame->Raise();
    Pump(100);
    CFileListCtrl* from = left()->m_wndList;
    CFileListCtrl* to = right()->m_wndList;
    auto selection = [](CFileListCtrl* list) {
        std::vector<long> items;
        for (long i = list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); i >= 0;
             i = list->GetNextItem(i, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED))
            items.push_back(i);
        return items;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Select(to, right()->Rows(), {"c.txt"});
        Select(from, left()->Rows(), c.dragged);
        std::vector<long> remoteBefore = selection(to), localBefore = selection(from);
        long a = RowOf(right()->Rows(), "a.txt");
        wxPoint start = OnScreen(from, from->RowPoint(RowOf(left()->Rows(), c.dragged.back())));
        std::vector<wxPoint> via = {OnScreen(to, to->RowPoint(a))};
        if (c.end == End::Drop)
            via.push_back(OnScreen(to, to->RowPoint(RowOf(right()->Rows(), "F"))));
        if (c.end == End::LeaveWindow) {
            wxRect outside = frame->GetScreenRect();
            via.push_back(wxPoint(std::min(outside.GetRight() + 60, 1270),
                                  std::min(outside.GetBottom() + 60, 1010)));
        }
        bool highlighted = false;
        wxTimer watch;
        watch.Bind(wxEVT_TIMER,
                   [&](wxTimerEvent&) { highlighted = highlighted || to->m_nDropHilite == a; });
        watch.Start(10);
        int before = Ended();
        MouseDragVia(start, via, c.end == End::Escape, from);
        watch.Stop();
        if (c.end == End::Drop) {
            ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
            Settle();
            EXPECT_EQ(ReadAll(pub + "/F/s2.txt"), "local s2.txt");
        } else {
            Pump(200);
            EXPECT_EQ(Ended(), before);
        }
        EXPECT_TRUE(highlighted); // the row passed over showed where a drop would go
        EXPECT_EQ(from->m_bDragSource, 0);
        EXPECT_EQ(to->m_nDropHilite, -1);
        EXPECT_EQ(from->m_nDropHilite, -1);
        EXPECT_EQ(selection(to), remoteBefore);
        EXPECT_EQ(selection(from), localBefore);

        // Delete on the server pane asks about the file the user picked.
        asked.clear();
        answers.push_back(c.end == End::Escape ? ui::kYes : ui::kNo);
        frame->SetActiveView(right());
        frame->RouteCommand(cmd::ID_DELETE);
        Settle();
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].text, "Delete \"c.txt\" from the server?");
        EXPECT_EQ(fs::exists(pub + "/c.txt"), c.end != End::Escape);
        EXPECT_TRUE(fs::exists(pub + "/a.txt"));
        if (c.end == End::Escape) { // c.txt is gone: bring it back for the next case
            std::ofstream(pub + "/c.txt") << "server c.txt";
            server->Share();
            right()->OnRefresh();
            Settle();
        }
    }
}

// A window of another kind offering a file list, as a file manager does: the
// drag starts when the mouse moves with the button down.
class CFileSource : public wxFrame {
public:
    explicit CFileSource(std::vector<std::string> paths)
        : wxFrame(nullptr, wxID_ANY, "files", wxPoint(900, 700), wxSize(200, 150)),
          m_paths(std::move(paths)) {
        m_pad = new wxWindow(this, wxID_ANY);
        m_pad->Bind(wxEVT_MOTION, [this](wxMouseEvent& e) {
            if (!e.LeftIsDown() || m_started)
                return;
            m_started = true;
            wxFileDataObject files;
            for (const std::string& p : m_paths)
                files.AddFile(wxString::FromUTF8(p));
            wxDropSource source(files, m_pad);
            m_result = source.DoDragDrop(wxDrag_AllowMove);
        });
    }
    wxWindow* m_pad;
    bool m_started = false;
    wxDragResult m_result = wxDragNone;

private:
    std::vector<std::string> m_paths;
};

TEST_P(DndTest, ARealDragOfFilesFromAnotherWindowUploadsIntoTheFolderRow) {
    Connect();
    auto* source = new CFileSource({local + "/f1.txt", local + "/d1"});
    source->Show();
    Pump(200);
    CFileListCtrl* to = right()->m_wndList;
    int before = Ended();
    MouseDrag(source->m_pad->ClientToScreen(wxPoint(40, 40)),
              OnScreen(to, to->RowPoint(RowOf(right()->Rows(), "F"))));
    EXPECT_TRUE(source->m_started);
    ASSERT_TRUE(PumpUntil([&] { return Ended() > before; }, 30000));
    Settle();
    EXPECT_EQ(ReadAll(pub + "/F/f1.txt"), "local f1.txt");
    EXPECT_EQ(ReadAll(pub + "/F/d1/sub/y.txt"), "y of d1");
    EXPECT_EQ(source->m_result, wxDragCopy); // the originals stay
    EXPECT_TRUE(fs::exists(local + "/f1.txt"));
    source->Destroy();
    Pump(50);
}

// The window goes while one of its lists drags: the drag ends, nothing is
// sent, and nothing of the window is used after it has gone. The toolkit
// starts no further drag in a process whose drag source went mid-drag, so
// this runs once, as the last drag of the process.
TEST_P(DndTest, TheWindowClosedDuringARealDragEndsItCleanly) {
    if (GetParam() != ServerKind::Pyftpdlib)
        GTEST_SKIP() << "one run per process";
    Connect();
    frame->Raise();
    Pump(100);
    CFileListCtrl* from = left()->m_wndList;
    CFileListCtrl* to = right()->m_wndList;
    Select(from, left()->Rows(), {});
    wxPoint start = OnScreen(from, from->RowPoint(RowOf(left()->Rows(), "f1.txt")));
    wxPoint end = OnScreen(to, EmptyPoint(to));
    bool closed = false;
    wxTimer watch;
    watch.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        if (!closed && from->m_bDragSource) {
            closed = true;
            frame->Destroy();
        }
    });
    watch.Start(10);
    MouseDrag(start, end);
    watch.Stop();
    ASSERT_TRUE(closed);
    frame = nullptr;
    Pump(200);
    EXPECT_FALSE(fs::exists(pub + "/f1.txt"));
}

INSTANTIATE_TEST_SUITE_P(Servers, DndTest,
                         ::testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd),
                         [](const auto& info) { return std::string(KindName(info.param)); });

// ---- what a drag carries ----

TEST(EntryDragTest, TheRecordKeepsEveryByteOfTheNameAndRefusesForeignBytes) {
    ui::EntryDrag drag{"token:1f", 1007, std::string("caf\xe9\n\r\0x.txt", 11)};
    std::string bytes = ui::EncodeEntryDrag(drag);
    std::optional<ui::EntryDrag> back = ui::DecodeEntryDrag(bytes.data(), bytes.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->origin, drag.origin);
    EXPECT_EQ(back->list, 1007);
    EXPECT_EQ(back->name, drag.name);
    for (std::string foreign :
         {std::string("a.txt"), std::string(""), std::string("orvane-entry 1\nno-list"),
          std::string("orvane-entry 1\nx\n12ab\nname")})
        EXPECT_FALSE(ui::DecodeEntryDrag(foreign.data(), foreign.size())) << foreign;
}

TEST(EntryDragTest, AUriListGivesTheLocalPathsOnly) {
    std::string list = "# a comment\r\nfile:///tmp/a%20b/caf%E9.txt\r\nfile://localhost/srv/x\r\n"
                       "file://other.example/etc/passwd\r\nhttp://example.com/y\r\n"
                       "file:///last-without-end";
    EXPECT_EQ(ui::ParseUriList(list.data(), list.size()),
              (std::vector<std::string>{"/tmp/a b/caf\xe9.txt", "/srv/x", "/last-without-end"}));
}

} // namespace
