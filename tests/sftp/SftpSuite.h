// A suite of tests sharing one real OpenSSH server (SftpServer), each test
// with a folder of its own on it and an SFTP session connected as the
// fixture's user.
#pragma once

#include "platform/sftp/SftpFs.h"
#include "tests/sftp/SftpServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

class SftpSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_server = new SftpServer; }
    static void TearDownTestSuite() {
        delete s_server;
        s_server = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(s_server->ok()) << s_server->error();
        m_dir = s_server->root() + "/" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::create_directories(m_dir);
        sftp::ConnectParams params;
        params.ssh = s_server->Target();
        session = std::make_shared<remote::SftpFs>(params);
        remote::Result r = session->Connect();
        ASSERT_TRUE(r) << r.reply << "\n" << s_server->Log();
    }
    void TearDown() override {
        if (session)
            session->Close();
    }
    // A file or folder of this test's folder: the same path for the server.
    std::string At(const std::string& name) const { return m_dir + "/" + name; }

    inline static SftpServer* s_server = nullptr;
    std::string m_dir; // this test's folder on the server
    std::shared_ptr<remote::SftpFs> session;
};
