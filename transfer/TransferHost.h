// What a transfer batch reports and asks, and to whom. The panes implement
// ITransferHost; every call comes on one of the batch's worker threads, one at
// a time (a batch on several connections has a worker for each; their lines
// and progress come one after another, never at once; only a replace question
// may be on its way while another worker reports), so the implementation
// posts to the UI thread (and waits only for the answer to the replace
// question).
#pragma once

#include "transfer/ReplaceState.h"
#include "transfer/TransferJob.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class TransferDirection { Download, Upload };

// The file in flight, a few times a second at most. A batch on several
// connections reports the whole batch instead (wholeBatch): done and total
// are the bytes of all its files, the speed that of all its connections
// together, and the name that of the file begun last.
struct TransferProgress {
    TransferDirection direction = TransferDirection::Download;
    std::string name;            // the file's name as the log shows it
    std::uint64_t done = 0;      // bytes of this file so far
    std::uint64_t total = 0;     // its size, 0 when unknown
    double bytesPerSecond = 0;   // of this file so far
    std::uint64_t filesDone = 0; // files of the batch finished (sent or failed)
    bool wholeBatch = false;
    int connections = 1; // connections moving files just now
    // The file jobs in flight (their index in the batch's plan) and how far
    // each has come.
    struct Moving {
        std::size_t job = 0;
        std::uint64_t done = 0, total = 0;
    };
    std::vector<Moving> moving;
};

// Where a file job of a batch stands.
enum class JobState {
    Queued,  // planned, not begun
    Moving,  // its bytes are on their way
    Done,    // arrived whole
    Failed,  // an error line said why
    Stopped, // Stop (of the batch or of this job) ended it
    Skipped, // the replace answers (or a folder in the way) left it out
    Removed, // the user took it off the list before it began
};

// A file job of the running batch changed its state (index: its place in the
// plan the batch reported).
struct JobChange {
    std::size_t index = 0;
    JobState state = JobState::Queued;
    std::string reason; // Failed: why, as the log's line gives it
};

// How the batch ended: what the panes refresh and restore.
struct BatchResult {
    TransferDirection direction = TransferDirection::Download;
    bool stopped = false; // Stop ended it
    // Download: a fetch was attempted or a drop started the batch: refresh
    // the local list.
    bool changed = false;
    // Upload: a send was attempted, or a folder was made on the server:
    // refresh the remote list unless a drop asked not to.
    bool uploaded = false;
    // Upload: a file arrived in, or a folder was made in, the folder the
    // remote list shows; the list is refreshed, whatever a drop asked.
    bool shownChanged = false;
    // Upload from a drop: at least one dropped file (not a file inside a
    // dropped folder) arrived: the remote list is refreshed.
    bool dropSent = false;
    std::uint64_t filesDone = 0;   // fetched or sent
    std::uint64_t filesFailed = 0; // error lines
    std::uint64_t filesSkipped = 0;
    // The connections the files moved on: 1 for the pane's own session; a
    // batch given more (DownloadRequest::connections) says how many of its
    // own connected.
    int connectionsUsed = 1;
    // Connections of the batch's own that could not be made (the server
    // refused more, or the login failed): not the user's concern, but when
    // above 0, connectionsUsed is what the server allowed beside the pane's.
    int connectionsRefused = 0;
};

class ITransferHost {
public:
    virtual ~ITransferHost() = default;
    // The batch begins (navigation of the remote pane goes off).
    virtual void OnBatchStart(TransferDirection) {}
    // One log line, exactly as the batch writes it.
    virtual void AddLine(const std::string& line) = 0;
    // Blocks the worker until the user answers. Must also return (Skip) when
    // the program shuts down: the engine's destructor waits for the worker.
    virtual ReplaceAnswer AskReplace(const ReplaceQuestion& question) = 0;
    virtual void OnProgress(const TransferProgress&) {}
    // The batch's plan, before its jobs run: the file jobs among them are
    // what a transfer list shows. A download's plan may come in parts while
    // its walk goes on: `first` is the index of the part's first job.
    virtual void OnPlanned(const JobList& jobs, std::size_t first) {
        (void)jobs;
        (void)first;
    }
    // A file job began, ended, or was taken off before it began.
    virtual void OnJobChanged(const JobChange&) {}
    // Once, as the batch begins: whether it got a connection of its own for
    // its walks and transfers (the session it was handed, the pane's, stays
    // free for browsing) or works on the session it was handed.
    virtual void OnSession(bool own) { (void)own; }
    // The batch is over; the engine already accepts the next one. Must not
    // wait for the UI thread (post instead).
    virtual void OnBatchEnd(const BatchResult& result) = 0;
};
