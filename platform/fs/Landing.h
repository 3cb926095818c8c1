// Where a download lands on the local disk, whatever the protocol, and what a
// transfer keeps between its tries. A downloaded file is written into a
// temporary file beside its target (never the target itself) and renamed
// into place only when every byte arrived and every size given for it agrees:
// an existing file is replaced whole or left as it was. Failures here are the
// local disk's; their texts are shown to the user as they are.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace files {

// How the bytes that arrived compare with the sizes given for the file.
enum class Arrival {
    Whole,     // every size given agrees (or none was given)
    Short,     // fewer bytes than announced: the rest may still come
    Long,      // more bytes than announced
    Disagrees, // going on from a part, a size given is not what arrived
};

// The sizes one try knows of the file; -1 where none was given.
struct TrySizes {
    std::uint64_t from = 0;      // where the try began: bytes the file held before it
    std::uint64_t received = 0;  // bytes the try brought, counted from `from`
    std::int64_t announced = -1; // with the transfer; going on from a part,
                                 // servers give either the rest or the whole
    std::int64_t sized = -1;     // the file's size asked with the try
    std::int64_t expected = -1;  // the caller's, from a listing
};

struct SizeCheck {
    Arrival arrival = Arrival::Whole;
    std::uint64_t arrived = 0; // the file's bytes now, from its beginning
    std::string text;          // what went wrong, for all but Whole
};

// One download's local file, across its tries. Open makes the temporary file
// beside the target, or goes on from the part an earlier try kept for the same
// source and target. The protocol writes to File(); then Land puts it in
// place, Keep holds what arrived for the next try (after a lost connection),
// or Discard removes it. A Landing that goes away removes what it still holds.
class Landing {
public:
    Landing() = default;
    ~Landing();
    Landing(const Landing&) = delete;
    Landing& operator=(const Landing&) = delete;

    // Ready to receive `source` (the name the protocol fetches) into `target`.
    // A part kept for another source or target is dropped first; one kept for
    // these is cut back to what was written whole. A new file is made with the
    // mode the umask gives, closed on exec, and written through a buffer sized
    // for `expectedSize` (-1 unknown). False with `why` when it cannot be made.
    bool Open(const std::string& source, const std::string& target, std::int64_t expectedSize,
              std::string* why);
    // Whether the last Open went on from a kept part (a later try).
    bool WentOn() const { return m_wentOn; }
    // Open and being written; null before Open and after Land, Keep or Discard
    // gave it up.
    std::FILE* File() const { return m_file; }
    // Bytes kept from earlier tries.
    std::uint64_t Have() const { return m_have; }
    const std::string& TempPath() const { return m_tempPath; }

    // Empties the file to receive it from its first byte. What was said of the
    // file no longer holds: the size is the caller's again and the stamp goes.
    bool BeginAnew(std::string* why);

    // The whole file's size, once the source told it (-1 unknown), and its
    // modification stamp when the first try began ("" unknown): a later try
    // is checked against them.
    std::int64_t Total() const { return m_total; }
    void SetTotal(std::int64_t total) { m_total = total; }
    const std::string& Stamp() const { return m_stamp; }
    void SetStamp(std::string stamp) { m_stamp = std::move(stamp); }

    // After the last byte: whether what arrived is the file the sizes
    // describe. A fresh file is measured against the announcement, else the
    // caller's size. Going on from a part, every size given must be what
    // arrived: the whole file's size kept from the first try, the size asked
    // now, and the announcement (the rest or the whole).
    SizeCheck Check(const TrySizes& sizes) const;

    // After a lost connection: every byte that arrived is written out and
    // held for the next Open. False with `why` (and nothing kept) when the
    // bytes cannot be written.
    bool Keep(std::string* why);
    // Closes the file and renames it over the target. False with `why`, and
    // nothing left behind, when the file cannot be written or put in place.
    bool Land(std::string* why);
    // Closes and removes the temporary file; the target stays as it was.
    void Discard();

private:
    std::FILE* m_file = nullptr;
    std::unique_ptr<char[]> m_buffer; // m_file's; goes only after it is closed
    std::string m_tempPath;
    std::string m_source, m_target; // what it is a part of
    std::uint64_t m_have = 0;
    std::int64_t m_expected = -1; // the caller's size, from the last Open
    std::int64_t m_total = -1;
    std::string m_stamp;
    bool m_wentOn = false;
};

// An upload across tries: the next PutFile with this state appends to what
// the server kept (APPE after SIZE) when that is known to be this file's own
// beginning, else sends the file again.
struct PartialUpload {
    int tries = 0;       // PutFile calls made with it
    bool opened = false; // the server took a STOR of this file (its old copy is gone)
    // A try ended cleanly (226) with a size on the server that is not the
    // file's: what the server holds is never appended to, only replaced.
    bool sizeDisagreed = false;
    std::uint64_t sent = 0;      // bytes handed to the server so far, at most
    std::uint64_t resumedAt = 0; // where the last try began
    // The local file as the last try found it: one changed or replaced since
    // (saved again, other bytes) is sent whole, never appended to its old part.
    struct Source {
        std::uint64_t device = 0, inode = 0, size = 0;
        std::int64_t modifiedNs = 0, changedNs = 0;
        bool operator==(const Source&) const = default;
    } source;
    // Told where a later try goes on from (0: from the start), before it
    // sends; called inside PutFile with the session held: it must not use it.
    std::function<void(std::uint64_t from)> onResume;
};

} // namespace files
