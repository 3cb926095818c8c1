// The replace question: its window, its four answers by button, key and close
// box, and asking it from a worker while the UI thread goes on.
#include "platform/ui/Modal.h"
#include "tests/GuiTest.h"
#include "transfer/ReplaceDlg.h"

#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/stattext.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

wxButton* ButtonOf(wxDialog& d, int id) {
    return dynamic_cast<wxButton*>(d.FindWindow(id));
}

void Click(wxDialog& d, int id) {
    wxCommandEvent click(wxEVT_BUTTON, id);
    click.SetEventObject(ButtonOf(d, id));
    ButtonOf(d, id)->ProcessWindowEvent(click);
}

// The members after the dialog ended, as "replace skip skipall replaceall".
std::string Members(const CReplaceDlg& d) {
    return std::to_string(d.m_bReplace) + std::to_string(d.m_bSkip) + std::to_string(d.m_bSkipAll) +
           std::to_string(d.m_bReplaceAll);
}

// The open replace dialog, if any.
CReplaceDlg* OpenDialog() {
    for (wxWindow* w : wxTopLevelWindows)
        if (auto* d = dynamic_cast<CReplaceDlg*>(w); d && d->IsShown())
            return d;
    return nullptr;
}

class ReplaceDlgTest : public ::testing::Test {
protected:
    void TearDown() override { ui::SetDialogHook(nullptr); }
};

TEST_F(ReplaceDlgTest, ShowsBothFilesAndFourButtonsInOneRow) {
    CReplaceDlg dlg;
    EXPECT_EQ(dlg.GetTitle(), "Dialog");
    EXPECT_TRUE(dlg.HasFlag(wxCLOSE_BOX));
    EXPECT_TRUE(dlg.m_strFirst.empty());
    EXPECT_TRUE(dlg.m_strSecond.empty());
    auto* first = dynamic_cast<wxStaticText*>(dlg.FindWindow(CReplaceDlg::IDC_FIRST));
    auto* second = dynamic_cast<wxStaticText*>(dlg.FindWindow(CReplaceDlg::IDC_SECOND));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->GetLabel(), "First file information");
    EXPECT_EQ(second->GetLabel(), "Second file information");
    dlg.m_strFirst = "a.txt    Size : 3 KB";
    dlg.m_strSecond = "a.txt    Size : 0 KB";
    dlg.TransferDataToWindow();
    EXPECT_EQ(first->GetLabel(), "a.txt    Size : 3 KB");
    EXPECT_EQ(second->GetLabel(), "a.txt    Size : 0 KB");
    // Names are bytes: one that is not UTF-8 still shows, escaped.
    dlg.m_strFirst = "caf\xE9.txt    Size : 1 KB";
    dlg.TransferDataToWindow();
    EXPECT_EQ(first->GetLabel(), "caf\\xE9.txt    Size : 1 KB");
    EXPECT_EQ(dlg.m_strFirst, "caf\xE9.txt    Size : 1 KB"); // the bytes stay as given
    dlg.m_strFirst = "a.txt    Size : 3 KB";
    dlg.TransferDataToWindow();

    // The question, the first file, "With this one ?", the second file, top to bottom.
    std::vector<std::string> texts;
    for (wxWindow* c : dlg.GetChildren())
        if (auto* t = dynamic_cast<wxStaticText*>(c))
            texts.push_back(t->GetLabel().utf8_string());
    EXPECT_EQ(texts, (std::vector<std::string>{"Would you like to replace the existing one",
                                               "a.txt    Size : 3 KB", "With this one ?",
                                               "a.txt    Size : 0 KB"}));
    EXPECT_LT(first->GetPosition().y, second->GetPosition().y);

    const int ids[] = {wxID_OK, wxID_CANCEL, CReplaceDlg::IDC_REPLACE_ALL,
                       CReplaceDlg::IDC_SKIP_ALL};
    const char* captions[] = {"&Replace", "&Skip", "Replace &All", "S&kip All"};
    int x = -1;
    for (int i = 0; i < 4; ++i) {
        wxButton* b = ButtonOf(dlg, ids[i]);
        ASSERT_TRUE(b) << captions[i];
        EXPECT_EQ(b->GetLabel(), captions[i]);
        EXPECT_EQ(b->GetPosition().y, ButtonOf(dlg, wxID_OK)->GetPosition().y);
        EXPECT_GT(b->GetPosition().x, x) << captions[i];
        EXPECT_GT(b->GetPosition().y, second->GetPosition().y);
        x = b->GetPosition().x;
    }
    EXPECT_EQ(dlg.GetDefaultItem(), ButtonOf(dlg, wxID_OK));
    EXPECT_EQ(dlg.GetEscapeId(), wxID_CANCEL);
}

TEST_F(ReplaceDlgTest, EachButtonSetsItsOwnAnswerAloneAndEndsWithOk) {
    const std::pair<int, const char*> cases[] = {{wxID_OK, "1000"},
                                                 {wxID_CANCEL, "0100"},
                                                 {CReplaceDlg::IDC_SKIP_ALL, "0010"},
                                                 {CReplaceDlg::IDC_REPLACE_ALL, "0001"}};
    for (auto [id, members] : cases) {
        CReplaceDlg dlg;
        dlg.m_strFirst = "x";
        // A dialog that ran before: the last answer is the only one left.
        dlg.m_bReplace = dlg.m_bSkip = dlg.m_bSkipAll = dlg.m_bReplaceAll = 1;
        ui::SetDialogHook([id](wxDialog& d) {
            Click(d, id);
            return d.GetReturnCode();
        });
        EXPECT_EQ(ui::RunModal(dlg), wxID_OK) << id;
        EXPECT_EQ(Members(dlg), members) << id;
        EXPECT_EQ(dlg.m_strFirst, "x");
    }
    // The close box answers Skip.
    CReplaceDlg dlg;
    ui::SetDialogHook([](wxDialog& d) {
        d.Close();
        return d.GetReturnCode();
    });
    EXPECT_EQ(ui::RunModal(dlg), wxID_OK);
    EXPECT_EQ(Members(dlg), "0100");
}

// Waits (off the UI thread) until the dialog is on the display.
bool DialogOnDisplay() {
    return std::system("timeout 10 xdotool search --sync --onlyvisible --name '^Dialog$' "
                       ">/dev/null 2>&1") == 0;
}

// The dialog shown for real, answered from the keyboard. The UI thread is
// inside the dialog's own event loop meanwhile, so the keys come from outside.
ReplaceAnswer AnswerByKey(const std::string& key) {
    std::atomic<bool> done{false};
    ReplaceAnswer answer = ReplaceAnswer::ReplaceAll;
    std::thread worker([&] {
        answer = transfer::AskReplace("old", "new");
        done = true;
    });
    std::thread user([key] {
        if (DialogOnDisplay())
            std::system(("xdotool search --onlyvisible --name '^Dialog$' windowfocus --sync key "
                         "--delay 50 " +
                         key + " >/dev/null 2>&1")
                            .c_str());
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }, 10000));
    user.join();
    if (!done) // never leave the worker waiting
        if (CReplaceDlg* d = OpenDialog())
            d->OnCancel();
    PumpUntil([&] { return done.load(); }, 2000);
    worker.join();
    return answer;
}

TEST_F(ReplaceDlgTest, AWorkerAsksWhileTheUiThreadKeepsRunning) {
    std::vector<std::string> seen;
    ui::SetDialogHook([&](wxDialog& d) {
        auto& r = dynamic_cast<CReplaceDlg&>(d);
        seen.push_back(r.m_strFirst + "|" + r.m_strSecond);
        // The text is on the window before the question is answered.
        seen.push_back(dynamic_cast<wxStaticText*>(d.FindWindow(CReplaceDlg::IDC_FIRST))
                           ->GetLabel()
                           .utf8_string());
        Click(d, CReplaceDlg::IDC_SKIP_ALL);
        return d.GetReturnCode();
    });
    std::atomic<bool> done{false};
    ReplaceAnswer answer = ReplaceAnswer::Replace;
    std::thread worker([&] {
        answer = transfer::AskReplace("a    Size : 1 KB", "a    Size : 2 KB");
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }, 5000));
    worker.join();
    EXPECT_EQ(answer, ReplaceAnswer::SkipAll);
    EXPECT_EQ(seen,
              (std::vector<std::string>{"a    Size : 1 KB|a    Size : 2 KB", "a    Size : 1 KB"}));
}

TEST_F(ReplaceDlgTest, AWaitingWorkerGivesUpWhenCancelledAndTheQuestionGoes) {
    std::atomic<bool> cancel{false}, done{false};
    ReplaceAnswer answer = ReplaceAnswer::Replace;
    std::thread worker([&] {
        answer = transfer::AskReplace("old", "new", [&] { return cancel.load(); });
        done = true;
    });
    std::atomic<bool> wasWaiting{false};
    std::thread closing([&] {
        if (DialogOnDisplay()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            wasWaiting = !done;
        }
        cancel = true; // as when the window closes under a waiting transfer
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load() && OpenDialog() == nullptr; }, 3000));
    closing.join();
    worker.join();
    EXPECT_TRUE(wasWaiting);
    EXPECT_EQ(answer, ReplaceAnswer::Skip);
}

// Last: keys typed here must not reach the dialogs of other tests.
TEST_F(ReplaceDlgTest, EnterReplacesAndEscSkips) {
    EXPECT_EQ(AnswerByKey("Return"), ReplaceAnswer::Replace);
    EXPECT_EQ(AnswerByKey("Escape"), ReplaceAnswer::Skip);
}

} // namespace
