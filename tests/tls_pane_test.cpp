// Connecting from the main window to servers with and without TLS: the log
// lines that say which is in use, the certificate question answered each way,
// the trusted certificates kept in the store, and files over TLS.
#include "remote/CertificateDlg.h"
#include "sites/SiteManagerDlg.h"
#include "sites/SiteStore.h"
#include "tests/FrameFixture.h"
#include "tests/TempDir.h"
#include "tests/ftp/FtpServers.h"

#include <wx/textctrl.h>

#include <fstream>
#include <utility>

namespace {

class TlsPaneTest : public FrameTest {
protected:
    std::unique_ptr<FtpServer> server;
    // What each certificate question showed.
    struct Shown {
        std::string host, fingerprint, warning, subject, trustedBefore;
        std::vector<std::string> problems;
    };
    // A fingerprint shown in lines, as it is stored.
    static std::string OneLine(std::string text) {
        for (char& c : text)
            if (c == '\n')
                c = ':';
        return text;
    }
    std::vector<Shown> questions;
    int answer = IDC_TRUST_ONCE;

    void SetUp() override {
        FrameTest::SetUp();
        server = std::make_unique<FtpServer>(ServerKind::Vsftpd, Tls::Required);
        ASSERT_TRUE(server->ok()) << server->error();
        std::ofstream(server->root() + "/hello.txt") << "over tls";
        server->Share();
        dialogAnswer = [this](wxDialog& d) {
            auto* c = dynamic_cast<CCertificateDlg*>(&d);
            if (!c)
                return static_cast<int>(wxID_CANCEL);
            questions.push_back({c->Value("Host"), OneLine(c->Value("SHA-256 fingerprint")),
                                 c->Warning(), c->Value("Subject"),
                                 OneLine(c->Value("Trusted before")), c->Problems()});
            return answer;
        };
    }
    void TearDown() override {
        if (frame) {
            frame->OnDisconnect();
            PumpUntil([this] { return right()->WaitIdle(0); }, 5000);
        }
        FrameTest::TearDown();
    }
    // Connects as the Site Manager's Connect would and waits for the worker,
    // answering its questions meanwhile.
    void Connect(int encryption, bool passive = true, int port = 0,
                 const std::string& host = "127.0.0.1") {
        CSiteManagerDlg dlg(frame);
        dlg.m_strHost = host;
        dlg.m_strUser = FtpServer::User();
        dlg.m_strPassword = FtpServer::Password();
        dlg.m_nPort = port ? port : server->port();
        dlg.m_strRemoteDir = "/";
        dlg.m_strLocalDir = "/";
        dlg.m_bPassive = passive ? 1 : 0;
        dlg.m_nEncryption = encryption;
        frame->ConnectToSite(dlg);
        ASSERT_TRUE(PumpUntil([this] { return right()->WaitIdle(0); }, 20000));
        Pump(60);
    }
    void Disconnect() {
        frame->OnDisconnect();
        ASSERT_TRUE(PumpUntil([this] { return right()->WaitIdle(0); }, 5000));
        status()->m_wndLog->Clear();
    }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (const auto& r : right()->Rows())
            names.push_back(r.name);
        return names;
    }
    std::string Key() const { return "127.0.0.1:" + std::to_string(server->port()); }
};

} // namespace

TEST_F(TlsPaneTest, AlwaysTrustKeepsTheCertificateAndLaterConnectsAreSilentAlsoAfterARestart) {
    answer = IDC_TRUST_ALWAYS;
    Connect(sites::kEncryptionIfAvailable);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].host, Key());
    EXPECT_NE(questions[0].subject.find("orvane-test-server"), std::string::npos);
    EXPECT_TRUE(questions[0].warning.empty());
    EXPECT_TRUE(questions[0].trustedBefore.empty());
    EXPECT_EQ(questions[0].fingerprint.size(), 95u);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Connecting to 127.0.0.1 as orvaneftp",
                                                    "Connection successful ",
                                                    "Encrypted connection (TLS) established"}));
    EXPECT_EQ(frame->m_bConnected, 1);
    EXPECT_EQ(Names(), std::vector<std::string>{"hello.txt"});
    EXPECT_EQ(sites::LoadTrustedCertificate(Key()), questions[0].fingerprint);

    Disconnect();
    Connect(sites::kEncryptionRequire);
    EXPECT_EQ(questions.size(), 1u) << "asked again";
    EXPECT_EQ(frame->m_bConnected, 1);

    // A new start of the program reads the store anew.
    Disconnect();
    reg::RegResetStore();
    Connect(sites::kEncryptionRequire);
    EXPECT_EQ(questions.size(), 1u) << "asked again after a restart";
    EXPECT_EQ(frame->m_bConnected, 1);
    // The trusted certificate is this server's only: none is listed as a site.
    EXPECT_TRUE(sites::ListSites().empty());
}

TEST_F(TlsPaneTest, TrustOnceIsForThisConnectOnly) {
    answer = IDC_TRUST_ONCE;
    Connect(sites::kEncryptionRequire);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(frame->m_bConnected, 1);
    EXPECT_EQ(sites::LoadTrustedCertificate(Key()), "");
    // Reconnect connects anew: asked again.
    frame->OnReconnect();
    ASSERT_TRUE(PumpUntil([this] { return right()->WaitIdle(0); }, 20000));
    Pump(60);
    EXPECT_EQ(questions.size(), 2u);
    EXPECT_EQ(frame->m_bConnected, 1);
}

TEST_F(TlsPaneTest, CancelEndsTheConnectWithALineAndNoLogin) {
    answer = wxID_CANCEL;
    Connect(sites::kEncryptionIfAvailable);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"Connecting to 127.0.0.1 as orvaneftp",
                                        "Failed to connect to 127.0.0.1 as orvaneftp",
                                        "Certificate not trusted: connection cancelled"}));
    EXPECT_EQ(frame->m_bConnected, 0);
    EXPECT_EQ(frame->GetTitle(), " Not Connected - Halvard Tremoc, Orvane  v1.0 ");
    EXPECT_EQ(server->ProtocolLog().find("USER"), std::string::npos);
    EXPECT_EQ(sites::LoadTrustedCertificate(Key()), "");
}

TEST_F(TlsPaneTest, TheQuestionListsEveryProblemOfTheCertificateOneALine) {
    // The server's self-signed certificate is made out for another name.
    answer = wxID_CANCEL;
    Connect(sites::kEncryptionRequire);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].problems,
              (std::vector<std::string>{"The certificate is for another host name.",
                                        "The certificate is self-signed."}));

    // What the dialog shows of a certificate as it is given.
    const std::string longLine = "The certificate was not verified: " + std::string(40, 'x') + " " +
                                 std::string(40, 'y') + " " + std::string(40, 'z') + ".";
    struct {
        std::vector<std::string> problems;
        std::string problem;
        std::vector<std::string> shown;
    } cases[] = {
        {{"The certificate is for another host name.", "The certificate has expired.",
          "The certificate is self-signed."},
         "joined",
         {"The certificate is for another host name.", "The certificate has expired.",
          "The certificate is self-signed."}},
        {{}, "The certificate has expired.", {"The certificate has expired."}},
        {{longLine}, "", {longLine}}, // one line, however it wraps
    };
    for (const auto& c : cases) {
        remote::Certificate certificate;
        certificate.server = "127.0.0.1:21";
        certificate.problems = c.problems;
        certificate.problem = c.problem;
        CCertificateDlg dlg(frame, certificate);
        EXPECT_EQ(dlg.Problems(), c.shown);
    }
}

TEST_F(TlsPaneTest, AChangedCertificateAsksAgainWithAWarning) {
    answer = IDC_TRUST_ALWAYS;
    Connect(sites::kEncryptionRequire);
    ASSERT_EQ(questions.size(), 1u);
    std::string first = questions[0].fingerprint;
    Disconnect();
    ASSERT_TRUE(server->Restart()) << server->error(); // same port, new certificate
    answer = wxID_CANCEL;
    Connect(sites::kEncryptionRequire);
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[1].trustedBefore, first);
    EXPECT_NE(questions[1].fingerprint, first);
    EXPECT_NE(questions[1].warning.find("has changed"), std::string::npos);
    EXPECT_EQ(frame->m_bConnected, 0);
    // Cancel keeps the old certificate as the trusted one.
    EXPECT_EQ(sites::LoadTrustedCertificate(Key()), first);
}

TEST_F(TlsPaneTest, AnActiveModeSiteIsPassiveOverTlsAndSaysSoOnce) {
    answer = IDC_TRUST_ONCE;
    Connect(sites::kEncryptionRequire, false);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "Connecting to 127.0.0.1 as orvaneftp", "Connection successful ",
                              "Encrypted connection (TLS) established",
                              "Active mode is not used over TLS: data connections are passive"}));
    EXPECT_EQ(right()->m_nMode, 2);
    EXPECT_EQ(Names(), std::vector<std::string>{"hello.txt"});
    right()->OnRefresh();
    ASSERT_TRUE(PumpUntil([this] { return right()->WaitIdle(0); }, 20000));
    EXPECT_EQ(Names(), std::vector<std::string>{"hello.txt"});
}

TEST_F(TlsPaneTest, IfAvailableFallsBackOnAPlainServerWithALineAndRequireRefuses) {
    FtpServer plain(ServerKind::Pyftpdlib);
    ASSERT_TRUE(plain.ok()) << plain.error();
    Connect(sites::kEncryptionIfAvailable, true, plain.port());
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "Connecting to 127.0.0.1 as orvaneftp", "Connection successful ",
                              "Server does not offer TLS: connection not encrypted"}));
    EXPECT_EQ(frame->m_bConnected, 1);
    Disconnect();
    Connect(sites::kEncryptionRequire, true, plain.port());
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "Failed to connect to 127.0.0.1 as orvaneftp");
    EXPECT_NE(lines[2].find("does not offer TLS"), std::string::npos) << lines[2];
    EXPECT_EQ(frame->m_bConnected, 0);
    EXPECT_TRUE(questions.empty());
    // A plain site says nothing of TLS.
    Disconnect();
    Connect(sites::kEncryptionPlain, true, plain.port());
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Connecting to 127.0.0.1 as orvaneftp",
                                                    "Connection successful "}));
}

TEST_F(TlsPaneTest, ADisconnectOrANewConnectWhileTheQuestionIsOpenLeavesOneSessionAtMost) {
    // Disconnect while the question is open, then trust: nothing connects.
    dialogAnswer = [this](wxDialog& d) {
        questions.push_back({});
        if (dynamic_cast<CCertificateDlg*>(&d))
            frame->OnDisconnect();
        return static_cast<int>(IDC_TRUST_ONCE);
    };
    Connect(sites::kEncryptionRequire);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(frame->m_bConnected, 0);
    EXPECT_EQ(server->ProtocolLog().find("USER"), std::string::npos);

    // A new connect while the question is open: the older attempt gives up,
    // the newer one asks for itself and is the one session.
    questions.clear();
    bool again = true;
    dialogAnswer = [this, &again](wxDialog& d) {
        questions.push_back({});
        if (dynamic_cast<CCertificateDlg*>(&d) && std::exchange(again, false)) {
            CSiteManagerDlg dlg(frame);
            dlg.m_strHost = "127.0.0.1";
            dlg.m_strUser = FtpServer::User();
            dlg.m_strPassword = FtpServer::Password();
            dlg.m_nPort = server->port();
            dlg.m_strRemoteDir = "/";
            dlg.m_strLocalDir = "/";
            dlg.m_bPassive = 1;
            dlg.m_nEncryption = sites::kEncryptionRequire;
            frame->ConnectToSite(dlg);
        }
        return static_cast<int>(IDC_TRUST_ONCE);
    };
    Connect(sites::kEncryptionRequire);
    ASSERT_TRUE(
        PumpUntil([this] { return frame->m_bConnected == 1 && right()->WaitIdle(0); }, 20000));
    EXPECT_EQ(questions.size(), 2u);
    EXPECT_EQ(Names(), std::vector<std::string>{"hello.txt"});
    size_t logins = 0;
    std::string log = server->ProtocolLog();
    for (size_t at = 0; (at = log.find("\"USER ", at)) != std::string::npos; ++at)
        ++logins;
    EXPECT_EQ(logins, 1u) << log;
}

TEST_F(TlsPaneTest, TheQuestionShowsAStrangersTextsAsTheyAreWithoutReorderingOrHidingThem) {
    // A subject that would read right to left from its middle on, or break
    // its line, and bytes that are no UTF-8: shown escaped, none dropped.
    remote::Certificate c;
    c.server = "127.0.0.1:21";
    c.subject = "CN = \xE2\x80\xAEgro.elpmaxe.ptf"; // U+202E before the name
    c.issuer = "O = bad \xFF\xFE bytes";
    c.validFrom = "line\xE2\x80\xA8"
                  "break"; // U+2028
    c.validUntil = "Dec  8 00:00:00 2027 GMT";
    c.fingerprint = std::string(95, 'A');
    c.trustedBefore = "garbage \x01 from the store";
    CCertificateDlg dlg(frame, c);
    EXPECT_EQ(dlg.Value("Subject"), "CN = \\xE2\\x80\\xAEgro.elpmaxe.ptf");
    EXPECT_EQ(dlg.Value("Issuer"), "O = bad \\xFF\\xFE bytes");
    EXPECT_EQ(dlg.Value("Valid from"), "line\\xE2\\x80\\xA8break");
    EXPECT_EQ(dlg.Value("Valid until"), c.validUntil);
    EXPECT_EQ(dlg.Value("Trusted before"), "garbage \\x01 from the store");
    // The fingerprint is ours: in its two lines.
    EXPECT_EQ(dlg.Value("SHA-256 fingerprint"), std::string(47, 'A') + "\n" + std::string(47, 'A'));
}

TEST_F(TlsPaneTest, ATrustKeptForAHostTypedInCapitalsServesItInAnyCaseButNoOtherServer) {
    answer = IDC_TRUST_ALWAYS;
    Connect(sites::kEncryptionRequire, true, 0, "LocalHost");
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].host, "localhost:" + std::to_string(server->port()));
    EXPECT_EQ(frame->m_bConnected, 1);
    Disconnect();
    Connect(sites::kEncryptionRequire, true, 0, "localhost");
    EXPECT_EQ(questions.size(), 1u) << "asked again";
    EXPECT_EQ(frame->m_bConnected, 1);
    // The same certificate by another name of the same machine is another
    // server as far as trust goes: asked.
    Disconnect();
    answer = wxID_CANCEL;
    Connect(sites::kEncryptionRequire, true, 0, "127.0.0.1");
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_TRUE(questions[1].trustedBefore.empty());
    EXPECT_EQ(frame->m_bConnected, 0);
}
