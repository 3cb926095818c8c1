#include "platform/fs/Landing.h"

#include <unistd.h>

namespace files {

PartialDownload::~PartialDownload() {
    Discard();
}

void PartialDownload::Discard() {
    if (m_file) {
        std::fclose(m_file);
        unlink(m_tempPath.c_str());
    }
    m_file = nullptr;
    m_buffer.reset();
    m_tempPath.clear();
    m_have = 0;
    m_total = -1;
}

} // namespace files
