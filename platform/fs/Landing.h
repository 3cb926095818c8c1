// What a transfer keeps between its tries, whatever the protocol: the part
// of a download that already arrived (held in a temporary file beside the
// target, never in the target itself), and what an upload knows of the part
// the server kept.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace ftp {
class Session;
}

namespace files {

// A download that survives lost connections. The bytes that arrived stay in
// the temporary file beside the target (still not the target: a file lands
// whole or not at all), held open here; the next GetFile with this state goes
// on from where it stopped. The temporary file goes with this object unless
// the download completed.
class PartialDownload {
public:
    PartialDownload() = default;
    ~PartialDownload();
    PartialDownload(const PartialDownload&) = delete;
    PartialDownload& operator=(const PartialDownload&) = delete;
    // Bytes kept from earlier tries.
    std::uint64_t Have() const { return m_have; }

private:
    friend class ftp::Session;
    void Discard();
    std::FILE* m_file = nullptr;
    std::unique_ptr<char[]> m_buffer; // m_file's
    std::string m_tempPath;
    std::string m_remote, m_target; // what it is a part of
    std::uint64_t m_have = 0;
    std::int64_t m_total = -1; // the whole file's size, once the server told it
    // The file's modification stamp on the server when the first try began
    // (MDTM, or MLST's modify fact; "" unknown).
    std::string m_stamp;
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
