#include "transfer/PaneHost.h"

#include "platform/ui/Dispatcher.h"
#include "platform/ui/Text.h"
#include "transfer/ReplaceDlg.h"
#include "transfer/TransferList.h"

#include <cmath>
#include <cstdio>

std::shared_ptr<CPaneHost> CPaneHost::Create(Handlers handlers) {
    return std::shared_ptr<CPaneHost>(new CPaneHost(std::move(handlers)));
}

void CPaneHost::Detach() {
    *m_alive = false;
}

void CPaneHost::AddLine(const std::string& line) {
    if (*m_alive && m_handlers.addLine)
        m_handlers.addLine(line);
}

ReplaceAnswer CPaneHost::AskReplace(const ReplaceQuestion& question) {
    std::shared_ptr<std::atomic<bool>> alive = m_alive;
    std::function<bool()> cancelled = m_handlers.cancelled;
    return transfer::AskReplace(question.first, question.second, [alive, cancelled] {
        return !*alive || (cancelled && cancelled());
    });
}

void CPaneHost::OnProgress(const TransferProgress& progress) {
    {
        std::lock_guard lock(m_mutex);
        m_latest = progress;
        if (m_posted)
            return; // the update on its way shows the latest values
        // Showing costs the UI thread a relayout of the status bar: a batch of
        // small files would otherwise ask for it hundreds of times a second.
        auto now = std::chrono::steady_clock::now();
        if (now - m_lastPost < kProgressEvery)
            return; // kept: a later report shows it
        m_lastPost = now;
        m_posted = true;
    }
    ++m_nPosted;
    std::shared_ptr<CPaneHost> self = shared_from_this();
    ui::Post([self] {
        std::optional<TransferProgress> latest;
        {
            std::lock_guard lock(self->m_mutex);
            latest.swap(self->m_latest);
            self->m_posted = false;
        }
        if (*self->m_alive && latest && self->m_handlers.progress)
            self->m_handlers.progress(&*latest);
    });
}

void CPaneHost::PostAttached(std::function<void(CPaneHost&)> task) {
    std::shared_ptr<CPaneHost> self = shared_from_this();
    ui::Post([self, task = std::move(task)] {
        if (*self->m_alive)
            task(*self);
    });
}

void CPaneHost::OnPlanned(const JobList& jobs, std::size_t first) {
    if (m_handlers.planned)
        AddNews({jobs, first, true, {}});
}

void CPaneHost::OnJobChanged(const JobChange& change) {
    if (m_handlers.jobs)
        AddNews({{}, 0, false, change});
}

void CPaneHost::AddNews(JobNews news) {
    {
        std::lock_guard lock(m_mutex);
        m_news.push_back(std::move(news));
        if (m_newsPosted)
            return; // the post on its way takes this one too
        m_newsPosted = true;
    }
    PostAttached([](CPaneHost& self) {
        std::vector<JobNews> news;
        {
            std::lock_guard lock(self.m_mutex);
            news.swap(self.m_news);
            self.m_newsPosted = false;
        }
        // In the order they came: a part before the changes of its jobs.
        std::vector<JobChange> changes;
        auto flush = [&] {
            if (!changes.empty() && self.m_handlers.jobs)
                self.m_handlers.jobs(changes);
            changes.clear();
        };
        for (JobNews& n : news) {
            if (!n.isPart) {
                changes.push_back(std::move(n.change));
                continue;
            }
            flush();
            if (self.m_handlers.planned)
                self.m_handlers.planned(n.part, n.first);
        }
        flush();
    });
}

void CPaneHost::OnSession(bool own) {
    if (m_handlers.session)
        PostAttached([own](CPaneHost& self) { self.m_handlers.session(own); });
}

void CPaneHost::OnBatchEnd(const BatchResult& result) {
    if (m_handlers.ended)
        m_handlers.ended(result);
    std::shared_ptr<CPaneHost> self = shared_from_this();
    // Posted after any progress update, so the end clears what they showed.
    ui::Post([self, result] {
        {
            std::lock_guard lock(self->m_mutex);
            self->m_latest.reset();
        }
        if (!*self->m_alive)
            return;
        if (self->m_handlers.progress)
            self->m_handlers.progress(nullptr);
        if (self->m_handlers.uiEnded)
            self->m_handlers.uiEnded(result);
        self->m_endShown = true;
    });
}

void ShowInList(CPaneHost::Handlers& h, CTransferList* list, std::uint64_t batch) {
    if (!list)
        return;
    h.planned = [list, batch](const JobList& jobs, std::size_t first) {
        list->Planned(batch, jobs, first);
    };
    h.jobs = [list, batch](const std::vector<JobChange>& changes) {
        list->Changed(batch, changes);
    };
    h.progress = [list, batch, progress = std::move(h.progress)](const TransferProgress* p) {
        if (p)
            list->Progress(batch, *p);
        if (progress)
            progress(p);
    };
    h.uiEnded = [list, batch, ended = std::move(h.uiEnded)](const BatchResult& r) {
        list->Ended(batch, r.stopped);
        if (ended)
            ended(r);
    };
}

std::string FormatBytes(double bytes) {
    static const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    return text;
}

std::string FormatProgress(const TransferProgress& p) {
    // The name as bytes from the server or the disk: shown readable, a CR or
    // LF or a byte that is not UTF-8 escaped.
    std::string text = ui::DisplayText(p.name) + "  " + FormatBytes(static_cast<double>(p.done));
    if (p.total > 0) {
        std::uint64_t done = p.done > p.total ? p.total : p.done;
        text += " of " + FormatBytes(static_cast<double>(p.total));
        text += "  " + std::to_string(done * 100 / p.total) + "%";
    }
    if (p.bytesPerSecond > 0) {
        text += "  " + FormatBytes(p.bytesPerSecond) + "/s";
        if (p.total > p.done) {
            double left = static_cast<double>(p.total - p.done) / p.bytesPerSecond;
            long seconds = static_cast<long>(std::ceil(left));
            char eta[48];
            if (seconds >= 3600)
                std::snprintf(eta, sizeof eta, "  %ld:%02ld:%02ld left", seconds / 3600,
                              seconds / 60 % 60, seconds % 60);
            else
                std::snprintf(eta, sizeof eta, "  %ld:%02ld left", seconds / 60, seconds % 60);
            text += eta;
        }
    }
    text +=
        "  (" + std::to_string(p.filesDone) + (p.filesDone == 1 ? " file" : " files") + " done)";
    return text;
}
