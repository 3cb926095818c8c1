#include "platform/fs/Landing.h"

#include "platform/fs/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace files {

namespace {

// What a download writes to its local file at a time, at most.
constexpr size_t kWriteBuffer = 1 << 20;

mode_t DefaultFileMode() {
    static const mode_t mode = [] {
        mode_t mask = umask(022);
        umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

std::string CannotWrite() {
    return "Cannot write the local file: " + std::string(std::strerror(errno));
}

} // namespace

Landing::~Landing() {
    Discard();
}

bool Landing::Open(const std::string& source, const std::string& target, std::int64_t expectedSize,
                   std::string* why) {
    // What an earlier try kept belongs to this file only.
    if (m_file && (m_source != source || m_target != target))
        Discard();
    m_expected = expectedSize;
    m_wentOn = m_file != nullptr;
    if (m_file) {
        // Only what was written whole counts: the file is cut back to it
        // (bytes still buffered go out first, so that none land past it).
        std::fflush(m_file);
        if (ftruncate(fileno(m_file), static_cast<off_t>(m_have)) != 0 ||
            fseeko(m_file, static_cast<off_t>(m_have), SEEK_SET) != 0) {
            *why = CannotWrite();
            Discard();
            return false;
        }
        return true;
    }
    std::string folder = Parent(target);
    std::string base = BaseName(target);
    if (base == "/")
        base.clear(); // the root names no file: the rename below refuses it
    std::string name = Join(folder, ".orvane-" + base.substr(0, 40) + "-XXXXXX");
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        *why = "Cannot create a file in " + folder + ": " + std::strerror(errno);
        return false;
    }
    fchmod(fd, DefaultFileMode());
    std::FILE* file = fdopen(fd, "wb");
    if (!file) {
        *why = CannotWrite();
        close(fd);
        unlink(name.c_str());
        return false;
    }
    // glibc takes a buffer size only together with a buffer: without one it
    // keeps 4 KiB, and a gigabyte arriving in TLS records of 16 KiB went out
    // in two writes a record. A small file needs no more than its size.
    size_t bufferSize = kWriteBuffer;
    if (expectedSize >= 0 && static_cast<std::uint64_t>(expectedSize) < kWriteBuffer)
        bufferSize = std::max<size_t>(4096, static_cast<size_t>(expectedSize) + 1);
    m_buffer.reset(new char[bufferSize]);
    std::setvbuf(file, m_buffer.get(), _IOFBF, bufferSize);
    m_file = file;
    m_tempPath = name;
    m_source = source;
    m_target = target;
    m_have = 0;
    m_total = expectedSize;
    return true;
}

bool Landing::BeginAnew(std::string* why) {
    m_total = m_expected;
    m_stamp.clear();
    // Bytes still buffered go out before the cut: written after it (the seek
    // flushes them where the last try stopped), they would stay past the end
    // of a shorter file.
    if (m_file)
        std::fflush(m_file);
    if (m_file && ftruncate(fileno(m_file), 0) == 0 && fseeko(m_file, 0, SEEK_SET) == 0)
        return true;
    *why = CannotWrite();
    return false;
}

SizeCheck Landing::Check(const TrySizes& s) const {
    SizeCheck check;
    check.arrived = s.from + s.received;
    auto got = static_cast<std::int64_t>(check.arrived);
    if (s.from) {
        std::int64_t wrong = -1;
        if (m_total >= 0 && m_total != got)
            wrong = m_total;
        else if (s.sized >= 0 && s.sized != got)
            wrong = s.sized;
        else if (s.announced >= 0 && s.announced != got &&
                 s.announced != static_cast<std::int64_t>(s.received))
            wrong = s.announced;
        if (wrong >= 0) {
            check.arrival = Arrival::Disagrees;
            check.text = "The server gave " + std::to_string(wrong) +
                         " bytes as the size of the file, and " + std::to_string(got) +
                         " bytes arrived";
        }
        return check;
    }
    std::int64_t want = s.announced >= 0 ? s.announced : s.expected;
    if (want < 0 || got == want)
        return check;
    if (got < want) {
        check.arrival = Arrival::Short;
        check.text = "The download ended early: " + std::to_string(got) + " of " +
                     std::to_string(want) + " bytes arrived";
    } else {
        check.arrival = Arrival::Long;
        check.text = "The server sent " + std::to_string(got) + " bytes where " +
                     std::to_string(want) + " were announced";
    }
    return check;
}

bool Landing::Keep(std::string* why) {
    off_t at = m_file && std::fflush(m_file) == 0 ? ftello(m_file) : -1;
    if (at >= 0) {
        m_have = static_cast<std::uint64_t>(at);
        return true;
    }
    *why = CannotWrite();
    Discard();
    return false;
}

bool Landing::Land(std::string* why) {
    if (!m_file) {
        *why = "Cannot write the local file: " + std::string(std::strerror(EBADF));
        return false;
    }
    std::FILE* file = m_file;
    m_file = nullptr;
    bool ok = true;
    if (std::fclose(file) != 0) {
        ok = false;
        *why = CannotWrite();
    }
    m_buffer.reset(); // in use until the file is closed
    if (ok && std::rename(m_tempPath.c_str(), m_target.c_str()) != 0) {
        ok = false;
        *why = "Cannot replace " + m_target + ": " + std::strerror(errno);
    }
    if (!ok)
        unlink(m_tempPath.c_str());
    Discard();
    return ok;
}

void Landing::Discard() {
    if (m_file) {
        std::fclose(m_file);
        unlink(m_tempPath.c_str());
    }
    m_file = nullptr;
    m_buffer.reset();
    m_tempPath.clear();
    m_have = 0;
    m_total = -1;
    m_stamp.clear();
    m_wentOn = false;
}

} // namespace files
