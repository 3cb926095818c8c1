// Parsing of FTP directory listings: MLSD facts, Unix "ls -l" variants,
// MS-DOS/IIS lines and EPLF. A line that is not understood is skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace ftp {

struct FindData {
    std::string name;
    bool isDirectory = false;
    bool isLink = false;
    // A link in a Unix LIST line: the text after the first " -> ". The link's
    // own name may hold that arrow too; see MarkLinks.
    std::string linkTarget;
    std::uint64_t size = 0;
    // Seconds since 1970. When `modifiedIsUtc` is false the server gave a
    // wall-clock time without a zone; it is kept as given (read it as UTC to
    // get the server's own figures back). 0: unknown.
    std::int64_t modified = 0;
    bool modifiedIsUtc = false;
    // "." or "..".
    bool isDots = false;
    // False for a name that must never become a local path or be walked: empty,
    // ".", "..", or containing "/", "\" or NUL.
    bool safe = true;
};

// Marks `isDots` and `safe` from the name.
void ClassifyName(FindData& entry);

// One line of an MLSD reply ("fact=value;...; name").
bool ParseMlsdLine(std::string_view line, FindData* out);
// One line of a LIST reply in any of the known formats. `now` decides the year
// of Unix dates given without one.
bool ParseListLine(std::string_view line, std::time_t now, FindData* out);

// How a folder listing shows links. Some servers' MLSD follows links and
// shows a link to a folder as the folder and a link to a file as the file,
// and leaves out a link leading nowhere; LIST shows links as links, but
// hides files whose names begin with "." on many servers and cannot always
// tell a link's name from its target's.
enum class Links {
    AsListed,   // as the listing has them (MLSD where offered)
    NotEntered, // no link shows as a folder: where MLSD shows a folder, a
                // LIST of the same folder says which entries are links
    All,        // every link shows as a link, also those MLSD leaves out
};

// Marks as links (files, not folders) the entries of an MLSD listing that a
// LIST of the same folder shows as links, and adds the links LIST shows that
// MLSD left out (a link leading nowhere). A LIST line "a -> b -> c" may be the
// link "a" or the link "a -> b": the MLSD names decide. A folder to MLSD that
// LIST does not show as a folder is marked as a link too: never entered.
void MarkLinks(std::vector<FindData>* mlsdEntries, const std::vector<FindData>& listEntries);

// A whole listing, lines separated by CRLF or LF.
std::vector<FindData> ParseListing(std::string_view text, bool mlsd, std::time_t now);
// The same into `out`, stopping at `maxEntries`: false when the listing holds
// more entries than that (`out` then holds the first `maxEntries`).
bool ParseListing(std::string_view text, bool mlsd, std::time_t now, size_t maxEntries,
                  std::vector<FindData>* out);

} // namespace ftp
