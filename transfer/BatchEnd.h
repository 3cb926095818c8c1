// What a batch asks of its end, and the decision its end step takes. Whoever
// starts a batch (a command, a drop) hands in a BatchEnd; it travels with the
// batch and comes back, with the batch's result, to the pane on the other
// side, which then shows a folder and lists it afresh, or not. Plain code.
#pragma once

#include "transfer/TransferHost.h"

#include <optional>
#include <string>

// When the other side's list is listed afresh at the end of a batch.
enum class Refill {
    // The commands: when a file was fetched (download), or a file sent or a
    // server folder made (upload).
    IfTransferred,
    // A download dropped on the local list: the list shows what arrived,
    // whatever the batch did.
    Always,
    // An upload dropped on a row of the server's list: what went into the
    // row's folder does not show in the folder listed, so only a dropped
    // file that arrived, or anything that came into the folder shown, is
    // worth a new listing.
    IfShownChanged,
};

struct BatchEnd {
    Refill refill = Refill::IfTransferred;
    // The folder the other list shows at the end; empty: the one it shows
    // then. A drop on the server's list keeps the path it found there.
    std::string restore;
    // The folder the other list showed when the batch was asked for (set by
    // the pane that starts it). A user who went elsewhere meanwhile stays
    // there; the list is listed afresh when the batch changed anything.
    std::optional<std::string> startedIn;
};

// What the pane on the other side does once the batch has ended.
struct AfterBatch {
    std::string folder;  // the folder it shows
    bool refill = false; // listed afresh
};

// The end step's decision. `shown`: the folder the other list shows now (the
// local folder after a download, the server path after an upload).
AfterBatch DecideAfterBatch(const BatchResult& result, const BatchEnd& end,
                            const std::string& shown);
