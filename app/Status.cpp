#include "app/Status.h"

#include "platform/ui/Dispatcher.h"
#include "platform/ui/Text.h"

#include <gtk/gtk.h>

namespace {

constexpr int kLogId = 1035;

GtkTextView* TextViewOf(const wxTextCtrl* ctrl) {
    return GTK_TEXT_VIEW(const_cast<wxTextCtrl*>(ctrl)->GetConnectWidget());
}

} // namespace

CStatusEdit::CStatusEdit(wxWindow* parent, wxWindowID id)
    : wxTextCtrl(parent, id, wxString(), wxDefaultPosition, wxDefaultSize,
                 wxTE_MULTILINE | wxTE_WORDWRAP | wxVSCROLL | wxTE_NOHIDESEL) {
    Bind(wxEVT_CHAR, &CStatusEdit::OnChar, this);
    Bind(wxEVT_SIZE, &CStatusEdit::OnSize, this);
    // Once the user scrolls or clicks, the view stays where the user put it
    // until the next line arrives.
    auto stopFollowing = [this](wxEvent& e) {
        m_bFollowNewest = false;
        e.Skip();
    };
    Bind(wxEVT_MOUSEWHEEL, stopFollowing);
    Bind(wxEVT_LEFT_DOWN, stopFollowing);
    Bind(wxEVT_KEY_DOWN, stopFollowing);
    GtkAdjustment* adj = gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(TextViewOf(this)));
    g_signal_connect(adj, "changed", G_CALLBACK(+[](GtkAdjustment*, gpointer self) {
                         auto* edit = static_cast<CStatusEdit*>(self);
                         if (edit->m_bFollowNewest)
                             edit->ScrollNewestToTop();
                     }),
                     this);
}

CStatusEdit::~CStatusEdit() {
    GtkAdjustment* adj = gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(TextViewOf(this)));
    g_signal_handlers_disconnect_matched(adj, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
}

void CStatusEdit::OnChar(wxKeyEvent& event) {
    // Characters (Backspace and the control-key shortcuts that arrive as
    // characters included) are swallowed; Delete and the keys that produce no
    // character (arrows, Home, End, Page Up/Down, Insert) act as usual.
    int code = event.GetKeyCode();
    if (code == WXK_DELETE || code == WXK_NUMPAD_DELETE || code >= WXK_START)
        event.Skip();
}

void CStatusEdit::OnSize(wxSizeEvent& event) {
    UpdateBottomMargin();
    event.Skip();
}

void CStatusEdit::ScrollNewestToTop() {
    GtkTextView* view = TextViewOf(this);
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(view);
    GtkTextIter last;
    gtk_text_buffer_get_iter_at_line(buffer, &last, gtk_text_buffer_get_line_count(buffer) - 1);
    int y = 0, height = 0;
    gtk_text_view_get_line_yrange(view, &last, &y, &height);
    GtkAdjustment* adj = gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(view));
    double top =
        std::min<double>(y, gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj));
    if (gtk_adjustment_get_value(adj) != top)
        gtk_adjustment_set_value(adj, top);
}

void CStatusEdit::UpdateBottomMargin() {
    // Room below the text, so the last line can scroll to the top of the view
    // as in the classic edit control.
    GtkTextView* view = TextViewOf(this);
    int lineHeight = GetCharHeight() + 2;
    int height = GetClientSize().y;
    gtk_text_view_set_bottom_margin(view, std::max(0, height - lineHeight));
}

int CStatusEdit::GetLineCount() const {
    return gtk_text_buffer_get_line_count(gtk_text_view_get_buffer(TextViewOf(this)));
}

int CStatusEdit::GetFirstVisibleLine() const {
    GtkTextView* view = TextViewOf(this);
    GdkRectangle rect;
    gtk_text_view_get_visible_rect(view, &rect);
    GtkTextIter iter;
    gtk_text_view_get_line_at_y(view, &iter, rect.y, nullptr);
    return gtk_text_iter_get_line(&iter);
}

CStatus::CStatus(wxWindow* parent) : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxSize(100, 70)) {
    m_wndLog = new CStatusEdit(this, kLogId);
    // Bold sans-serif, 15 pixels high, dark blue on the edit's own background.
    m_fontLog = wxFont(wxFontInfo(wxSize(0, 15)).Family(wxFONTFAMILY_SWISS).Bold());
    m_wndLog->SetFont(m_fontLog);
    m_wndLog->SetForegroundColour(wxColour(0, 0, 150));
    Bind(wxEVT_SIZE, &CStatus::OnSize, this);
}

CStatus::~CStatus() {
    // Lines still queued by workers are dropped from now on.
    *m_self = nullptr;
}

void CStatus::OnSize(wxSizeEvent& event) {
    if (m_wndLog)
        m_wndLog->SetSize(GetClientAreaOrigin().x, GetClientAreaOrigin().y,
                          event.GetSize().GetWidth(), event.GetSize().GetHeight());
}

void CStatus::AddLine(std::string line) {
    if (ui::IsUiThread()) {
        AppendOnUiThread(line);
        return;
    }
    // Workers hand the line to the UI thread; the queue keeps each thread's order.
    std::shared_ptr<CStatus*> self = m_self;
    ui::Post([self, line = std::move(line)]() {
        if (*self)
            (*self)->AppendOnUiThread(line);
    });
}

void CStatus::AppendOnUiThread(const std::string& line) {
    GtkTextView* view = TextViewOf(m_wndLog);
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(view);
    // Each line is preceded by the separator, so the log's first line is empty.
    // Appending at the end costs the same however long the log grows.
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(buffer, &end);
    // One entry is one line: names from disks and servers may hold bytes that
    // are not UTF-8 or control characters (a newline would forge a line), so
    // those are shown escaped.
    std::string body = line;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
        body.pop_back();
    std::string text = "\n" + ui::DisplayText(body);
    gtk_text_buffer_insert(buffer, &end, text.data(), static_cast<int>(text.size()));
    // Bring the newest line to the top of the view, now and again as the
    // view lays out the new text (it measures lines in the background).
    m_wndLog->UpdateBottomMargin();
    m_wndLog->m_bFollowNewest = true;
    m_wndLog->ScrollNewestToTop();
}
