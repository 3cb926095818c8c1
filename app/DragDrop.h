// Drops on the two file lists. An entry dragged from the remote list and
// dropped on the local list downloads; one dragged from the local list and
// dropped on the remote list uploads; files and folders dragged from the
// desktop onto the remote list upload. A drop takes its name only from a
// drag of the other list of the same window (never from text), refuses while
// any batch runs, and makes no folder test that could change the process's
// current folder or hold the window on the network: the server-side folder
// tests run on the batch's worker. A drop finds its target row by the point
// it landed on and leaves the selection of both lists as it was. What a drop
// asks of its batch's end (the folder the other list shows, when that list is
// listed afresh) travels with the batch as a BatchEnd.
#pragma once

#include "platform/ui/EntryDrag.h"

#include <wx/gdicmn.h>

class CLeftView;
class CRightView;

namespace dnd {

// Drop on the local list at `point` (coordinates of its rows' window). True
// when a download started.
bool DropOnLocalList(CLeftView& local, CRightView& remote, const ui::DropPayload& data,
                     wxPoint point);
// Drop on the remote list. True when an upload started.
bool DropOnRemoteList(CLeftView& local, CRightView& remote, const ui::DropPayload& data,
                      wxPoint point);

// Makes both lists hand their drops to the functions above.
void Attach(CLeftView& local, CRightView& remote);

} // namespace dnd
