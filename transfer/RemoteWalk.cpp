#include "transfer/RemoteWalk.h"

#include "platform/ftp/FtpSession.h"

CRemoteWalk::CRemoteWalk(std::shared_ptr<ftp::Session> session, const std::atomic<int>* stop,
                         LineSink addLine)
    : m_session(std::move(session)), m_stop(stop), m_addLine(std::move(addLine)) {}

void CRemoteWalk::WalkRemote(int, const std::string&, const std::string&, int) {}

void CRemoteWalk::WalkTree(int, const std::string&, const std::string&) {}
