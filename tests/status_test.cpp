// The log pane: what appending, typing, resizing and appending from threads do.
#include "tests/FrameFixture.h"

#include <wx/clipbrd.h>
#include <wx/splitter.h>
#include <wx/uiaction.h>

#include <gtk/gtk.h>

#include <map>
#include <thread>

namespace {

TEST_F(FrameTest, LogStartsWithAnEmptyLineAndShowsTheNewestLineAtTheTop) {
    status()->AddLine("Connecting to localhost as anonymous");
    EXPECT_EQ(status()->m_wndLog->GetValue(), "\nConnecting to localhost as anonymous");
    for (int i = 0; i < 40; ++i)
        status()->AddLine("line " + std::to_string(i));
    int last = status()->m_wndLog->GetLineCount() - 1;
    EXPECT_EQ(last, 41);
    bool ok = PumpUntil([&] { return status()->m_wndLog->GetFirstVisibleLine() == last; });
    EXPECT_TRUE(ok) << status()->m_wndLog->GetFirstVisibleLine();
    // Also when the user had scrolled back to the start.
    status()->m_wndLog->ShowPosition(0);
    Pump(50);
    status()->AddLine("newest");
    EXPECT_TRUE(PumpUntil([&] { return status()->m_wndLog->GetFirstVisibleLine() == last + 1; }));
}

// A paragraph or line separator in a server's name is a line break to the
// text view: it is shown escaped, so one entry stays one line.
TEST_F(FrameTest, ASeparatorCharacterInALineForgesNoLine) {
    int before = status()->m_wndLog->GetLineCount();
    status()->AddLine("Deleting a\xE2\x80\xA9"
                      "Connection successful ");
    status()->AddLine("Deleting b\xE2\x80\xA8"
                      "forged");
    EXPECT_EQ(status()->m_wndLog->GetLineCount(), before + 2);
    std::string text = status()->m_wndLog->GetValue().utf8_string();
    EXPECT_EQ(text.find("\xE2\x80\xA9"), std::string::npos);
    EXPECT_EQ(text.find("\xE2\x80\xA8"), std::string::npos);
    EXPECT_NE(text.find("Deleting a\\xE2\\x80\\xA9Connection successful "), std::string::npos)
        << text;
}

TEST_F(FrameTest, TypingIntoTheLogChangesNothingButDeleteStillDeletes) {
    status()->AddLine("abc");
    CStatusEdit* log = status()->m_wndLog;
    if (wxTheClipboard->Open()) {
        wxTheClipboard->SetData(new wxTextDataObject("pasted"));
        wxTheClipboard->Close();
    }
    log->SetFocus();
    log->SetInsertionPoint(1);
    Pump(50);
    EXPECT_EQ(frame->GetActiveView(), status());
    wxUIActionSimulator sim;
    sim.Text("xyz");
    sim.Char(WXK_BACK);
    sim.Char(WXK_RETURN);
    sim.Char('v', wxMOD_CONTROL);
    Pump(100);
    EXPECT_EQ(log->GetValue(), "\nabc");
    // Delete is not a character: it removes the "a" after the caret.
    sim.Char(WXK_DELETE);
    Pump(100);
    EXPECT_EQ(log->GetValue(), "\nbc");
    // And it stayed in the log: no file command was forwarded (no question asked).
    EXPECT_TRUE(asked.empty());
}

TEST_F(FrameTest, LongLinesWrapAndTheLogFillsItsPaneWhenResized) {
    CStatusEdit* log = status()->m_wndLog;
    std::string words;
    for (int i = 0; i < 150; ++i)
        words += "word ";
    status()->AddLine(words);
    Pump(50);
    GtkTextView* view = GTK_TEXT_VIEW(log->GetConnectWidget());
    GtkTextIter line;
    gtk_text_buffer_get_iter_at_line(gtk_text_view_get_buffer(view), &line, 1);
    int y = 0, height = 0;
    gtk_text_view_get_line_yrange(view, &line, &y, &height);
    EXPECT_GE(height, 3 * log->GetCharHeight());

    frame->m_wndSplitter->SetSashPosition(200);
    Pump(100);
    EXPECT_EQ(status()->GetSize().y, 200);
    EXPECT_EQ(log->GetSize(), status()->GetClientSize());
}

TEST_F(FrameTest, LinesFromManyThreadsArriveWholeAndInEachThreadsOrder) {
    constexpr int kThreads = 4, kLines = 250;
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([this, t] {
            for (int i = 0; i < kLines; ++i)
                status()->AddLine("thread " + std::to_string(t) + " line " + std::to_string(i));
        });
    // The UI thread keeps running while the workers append.
    for (int i = 0; i < 10; ++i) {
        status()->AddLine("ui " + std::to_string(i));
        Pump(1);
    }
    for (auto& w : workers)
        w.join();
    ASSERT_TRUE(PumpUntil([&] { return LogLines().size() == kThreads * kLines + 10; }));
    std::map<std::string, int> next;
    for (const std::string& l : LogLines()) {
        size_t space = l.rfind(' ');
        std::string who = l.substr(0, l.find(' ', l.find(' ') + 1));
        if (l.rfind("ui ", 0) == 0)
            who = "ui";
        int seq = std::stoi(l.substr(space + 1));
        EXPECT_EQ(seq, next[who]) << l;
        next[who] = seq + 1;
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(next["thread " + std::to_string(t)], kLines);
}

} // namespace
