#include "platform/remote/RemoteFs.h"

namespace remote {

void IRemoteFs::DeleteFiles(const std::vector<std::string>& paths, std::vector<Result>* each) {
    each->clear();
    for (const std::string& path : paths)
        each->push_back(DeleteFile(path));
}

} // namespace remote
