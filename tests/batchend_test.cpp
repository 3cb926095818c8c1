// What the other pane does when a batch has ended: the folder it shows and
// whether its list is listed afresh, from what the batch's starter asked
// (a BatchEnd) and how the batch went (a BatchResult). Plain code.
#include "transfer/BatchEnd.h"

#include <gtest/gtest.h>

namespace {

struct Outcome {
    bool changed = false;      // download: a fetch was attempted
    bool uploaded = false;     // upload: a send was attempted or a folder made
    bool shownChanged = false; // upload: something came into the folder shown
    bool dropSent = false;     // upload: a dropped file itself arrived
};

BatchResult Result(TransferDirection direction, const Outcome& o) {
    BatchResult r;
    r.direction = direction;
    r.changed = o.changed;
    r.uploaded = o.uploaded;
    r.shownChanged = o.shownChanged;
    r.dropSent = o.dropSent;
    return r;
}

struct Case {
    const char* what;
    TransferDirection direction;
    BatchEnd end;
    Outcome outcome;
    const char* folder; // shown afterwards
    bool refill;
};

constexpr auto kDown = TransferDirection::Download;
constexpr auto kUp = TransferDirection::Upload;
const BatchEnd kCommand{};
const BatchEnd kDroppedDownload{Refill::Always, "", {}};
const BatchEnd kDroppedOnRow{Refill::IfShownChanged, "/saved", {}};

TEST(BatchEndTest, TheOtherListShowsTheFolderAskedForAndIsListedWhenTheBatchCalledForIt) {
    const Case cases[] = {
        // Download command: the local list is listed when something was fetched.
        {"download that fetched nothing", kDown, kCommand, {}, "/now", false},
        {"download that fetched", kDown, kCommand, {.changed = true}, "/now", true},
        {"a download is not an upload",
         kDown,
         kCommand,
         {.uploaded = true, .dropSent = true},
         "/now",
         false},
        // A download dropped on the local list: listed whatever came of it,
        // in the folder the pane shows then (the user may have gone on).
        {"dropped download that fetched nothing", kDown, kDroppedDownload, {}, "/now", true},
        {"dropped download that fetched", kDown, kDroppedDownload, {.changed = true}, "/now", true},
        {"a download asked to show a folder",
         kDown,
         {Refill::Always, "/saved", {}},
         {},
         "/saved",
         true},
        // Upload command (and drops off a row): listed when anything was
        // sent or a folder made.
        {"upload that sent nothing", kUp, kCommand, {}, "/now", false},
        {"upload that sent", kUp, kCommand, {.uploaded = true}, "/now", true},
        {"an upload is not a download", kUp, kCommand, {.changed = true}, "/now", false},
        // Dropped on a row: the path it found is shown again, listed only
        // when the folder shown would otherwise miss something.
        {"everything went into the row's folder",
         kUp,
         kDroppedOnRow,
         {.uploaded = true},
         "/saved",
         false},
        {"nothing was sent at all", kUp, kDroppedOnRow, {}, "/saved", false},
        {"a file or folder came into the folder shown",
         kUp,
         kDroppedOnRow,
         {.uploaded = true, .shownChanged = true},
         "/saved",
         true},
        {"the one dropped file arrived",
         kUp,
         kDroppedOnRow,
         {.uploaded = true, .dropSent = true},
         "/saved",
         true},
        // The user browsed to another server folder while the upload ran on
        // connections of its own: the folder stays; listed when anything
        // changed on the server.
        {"went elsewhere, the drop sent",
         kUp,
         {Refill::IfShownChanged, "/saved", "/then"},
         {.uploaded = true, .dropSent = true},
         "/now",
         true},
        {"went elsewhere, nothing sent",
         kUp,
         {Refill::Always, "/saved", "/then"},
         {},
         "/now",
         false},
        {"still where it began",
         kUp,
         {Refill::IfShownChanged, "/saved", "/now"},
         {},
         "/saved",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AfterBatch after = DecideAfterBatch(Result(c.direction, c.outcome), c.end, "/now");
        EXPECT_EQ(after.folder, c.folder);
        EXPECT_EQ(after.refill, c.refill);
    }
}

// What a drop asked holds for its own batch only: the command after it is
// decided by its own (default) request.
TEST(BatchEndTest, ADropsRequestDoesNotOutliveItsBatch) {
    BatchResult sent = Result(kUp, {.uploaded = true});
    EXPECT_FALSE(DecideAfterBatch(sent, kDroppedOnRow, "/now").refill);
    AfterBatch next = DecideAfterBatch(sent, BatchEnd{}, "/saved");
    EXPECT_TRUE(next.refill);
    EXPECT_EQ(next.folder, "/saved");
}

} // namespace
