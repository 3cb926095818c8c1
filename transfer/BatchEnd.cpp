#include "transfer/BatchEnd.h"

AfterBatch DecideAfterBatch(const BatchResult& result, const BatchEnd& end,
                            const std::string& shown) {
    AfterBatch after;
    if (end.startedIn && *end.startedIn != shown) {
        after.folder = shown;
        after.refill =
            result.direction == TransferDirection::Download ? result.changed : result.uploaded;
        return after;
    }
    after.folder = end.restore.empty() ? shown : end.restore;
    switch (end.refill) {
    case Refill::IfTransferred:
        after.refill =
            result.direction == TransferDirection::Download ? result.changed : result.uploaded;
        break;
    case Refill::Always:
        after.refill = true;
        break;
    case Refill::IfShownChanged:
        after.refill = result.dropSent || result.shownChanged;
        break;
    }
    return after;
}
