#include "platform/remote/RemoteFs.h"

namespace remote {

std::future<Trust> IRemoteQuestions::AskHostKey(const HostKey&) {
    std::promise<Trust> answer;
    answer.set_value(Trust::Cancel);
    return answer.get_future();
}

std::future<std::optional<std::string>> IRemoteQuestions::AskSecret(SecretKind,
                                                                    const std::string&) {
    std::promise<std::optional<std::string>> answer;
    answer.set_value(std::nullopt);
    return answer.get_future();
}

void IRemoteFs::DeleteFiles(const std::vector<std::string>& paths, std::vector<Result>* each) {
    each->clear();
    for (const std::string& path : paths)
        each->push_back(DeleteFile(path));
}

} // namespace remote
