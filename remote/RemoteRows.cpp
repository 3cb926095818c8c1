// The rows of the remote list, as a listing becomes them.
#include "remote/RightView.h"

#include "platform/fs/Paths.h"
#include "platform/ui/FileTypes.h"

#include <ctime>

namespace {

std::string ModifiedText(const remote::Entry& e) {
    if (e.modified == 0)
        return "";
    std::time_t when = static_cast<std::time_t>(e.modified);
    struct tm t;
    // Times the server gave in its own clock are shown as given; UTC times
    // in the local time of this machine.
    if (!(e.modifiedIsUtc ? localtime_r(&when, &t) : gmtime_r(&when, &t)))
        return "";
    char buf[32];
    std::strftime(buf, sizeof buf, "%m/%d/%y %H:%M:%S", &t);
    return buf;
}

} // namespace

std::vector<CRightView::Row> CRightView::RowsFromListing(const std::vector<remote::Entry>& entries,
                                                         CFileTypes* types) {
    std::vector<Row> folders, files;
    for (const remote::Entry& e : entries) {
        if (e.isDots)
            continue;
        Row r;
        r.name = e.name;
        r.folder = e.isDirectory;
        r.size = e.size == 0 ? "" : files::KbText(e.size);
        r.modified = ModifiedText(e);
        if (r.folder) {
            r.type = "File Folder";
            r.image = CFileTypes::kFolderImage;
            folders.push_back(r);
        } else {
            r.type = types ? types->TypeNameFor(e.name) : "";
            r.image = types ? types->ImageFor(e.name) : 0;
            files.push_back(r);
        }
    }
    // Each folder goes above the ones before it: reverse server order.
    std::vector<Row> rows(folders.rbegin(), folders.rend());
    rows.insert(rows.end(), files.begin(), files.end());
    return rows;
}
