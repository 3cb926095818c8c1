// The jobs of a transfer batch: what the planner found to do, in the order it
// is done. Plain values: a job names its paths and sizes and nothing else, so
// a list can be kept, shown, reordered or shared among workers. Lines the
// planning walk writes (a name left out, a folder that could not be listed)
// are jobs too, so that they reach the log at their place among the
// transfers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class JobKind {
    Line,         // `line` goes to the log
    LocalFolder,  // download: make the local folder `local`
    RemoteFolder, // upload: make the server folder `remote`; when a file stands
                  // in its place, what it would hold (up to `contentsEnd`) is
                  // left out
    Download,     // fetch the server file `remote` into `local`
    Upload,       // send the local file `local` into the server folder `remote`
};

struct TransferJob {
    JobKind kind = JobKind::Line;
    std::string line;
    std::string remote; // server path (Upload: the folder the file goes into)
    std::string local;  // local path
    std::string name;   // the file's name as the server or the disk gave it
    // Download: the local folder nothing of this file may be written outside
    // of, links resolved.
    std::string root;
    // Download: the listing's size; Upload: the local file's size when it was
    // planned. Only when sizeKnown.
    std::uint64_t size = 0;
    bool sizeKnown = false;
    // Download: the size the file must arrive with (-1: the server is asked).
    std::int64_t announced = -1;
    // Selected or dropped itself (not found inside a folder): its lines differ.
    bool topLevel = false;
    // RemoteFolder: the index after the last job of what it holds.
    std::size_t contentsEnd = 0;

    static TransferJob Text(std::string text) {
        TransferJob job;
        job.line = std::move(text);
        return job;
    }
};

using JobList = std::vector<TransferJob>;
