// The replace question of a batch: the five flags, when to ask, the two texts
// the question shows and how each answer moves the flags. Plain logic: the
// asking itself is a function the caller supplies (a dialog in the program, a
// scripted answerer in tests).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// The question's two texts: the existing file, then the incoming one.
struct ReplaceQuestion {
    std::string first, second;
};

enum class ReplaceAnswer { Replace, Skip, ReplaceAll, SkipAll };

using ReplaceAsker = std::function<ReplaceAnswer(const ReplaceQuestion&)>;

class CReplaceState {
public:
    int m_bAsk = 1;
    int m_bReplace = 0;
    int m_bSkip = 0;
    int m_bSkipAll = 0;
    int m_bReplaceAll = 0;

    // Every batch starts here: ask, no answer.
    void Reset();
    // The dialog's answer copied into the flags, then adjusted: Replace All
    // turns asking off, Replace keeps asking.
    void TakeAnswer(ReplaceAnswer answer);

    // Asks when `strTarget` exists on the local disk: first = its name and
    // size text, second = strName + strSizeText. Flags unchanged otherwise.
    // Returns whether the question was asked.
    bool ConfirmDownloadReplace(const std::string& strTarget, const std::string& strName,
                                const std::string& strSizeText, const ReplaceAsker& ask);
    // Asks when the server holds the file (`remoteSize` set): first = the
    // server name and size, second = the same name with the local file's size.
    bool ConfirmUploadReplace(const std::string& strLocalPath, const std::string& remoteName,
                              std::optional<std::uint64_t> remoteSize, const ReplaceAsker& ask);

    // The worker's steps after the question, download side: true when this
    // file is skipped. A Skip puts the batch back into "ask"; Skip All skips
    // every later existing target and fetches missing ones.
    bool DownloadSkips(bool targetExists);
    // Upload side: Skip stays set until the next answer and skips only files
    // the server holds.
    bool UploadSkips(bool remoteExists);
};
