// Encrypted sessions (explicit FTP over TLS) against real vsftpd servers with
// and without TLS, and pyftpdlib without: what is sent before TLS is up, the
// fallback, the certificate check and its questions, passive data over TLS.
#include "platform/ftp/FtpSession.h"
#include "tests/TempDir.h"
#include "tests/ftp/FtpServers.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

using namespace ftp;

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    return s;
}

// The SHA-256 fingerprint of the certificate in `pem`, as openssl prints it.
std::string OpensslFingerprint(const std::string& pem) {
    std::string out;
    if (FILE* p =
            popen(("openssl x509 -in " + pem + " -noout -fingerprint -sha256").c_str(), "r")) {
        std::array<char, 256> buf{};
        while (fgets(buf.data(), buf.size(), p))
            out += buf.data();
        pclose(p);
    }
    size_t eq = out.find('=');
    out = eq == std::string::npos ? "" : out.substr(eq + 1);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

ConnectParams ParamsFor(const FtpServer& server, Encryption encryption) {
    ConnectParams p;
    p.host = "127.0.0.1";
    p.port = server.port();
    p.user = FtpServer::User();
    p.password = FtpServer::Password();
    p.encryption = encryption;
    p.connectTimeoutSec = 10;
    p.responseTimeoutSec = 10;
    return p;
}

// Answers every certificate question with `answer` and keeps what it was asked.
struct Answerer {
    Trust answer = Trust::Once;
    std::vector<Certificate> asked;
    CertificateQuestion Question() {
        return [this](const Certificate& c) {
            asked.push_back(c);
            std::promise<Trust> p;
            p.set_value(answer);
            return p.get_future();
        };
    }
};

// Lines of vsftpd's log that record a command received.
std::vector<std::string> Commands(const FtpServer& server) {
    std::vector<std::string> commands;
    std::string log = server.ProtocolLog();
    size_t at = 0;
    while ((at = log.find("FTP command: ", at)) != std::string::npos) {
        size_t quote = log.find(", \"", at);
        size_t end = log.find('\n', at);
        if (quote != std::string::npos && quote < end)
            commands.push_back(log.substr(quote + 3, end - quote - 4));
        at = end;
    }
    return commands;
}

bool Sent(const FtpServer& server, const std::string& verb) {
    for (const std::string& c : Commands(server))
        if (c.compare(0, verb.size(), verb) == 0)
            return true;
    return false;
}

// A download stopped in flight: the session drops its control connection and
// the next request logs in again.
void DropInMidDownload(Session& s, const FtpServer& server, const std::string& localDir) {
    std::ofstream(server.root() + "/big.bin", std::ios::binary) << Pattern(16 * 1024 * 1024);
    server.Share();
    Progress stop = [&](std::uint64_t done, std::uint64_t) {
        if (done > 0)
            s.Abort();
    };
    ASSERT_FALSE(s.GetFile("/big.bin", localDir + "/big.bin", stop));
    ASSERT_EQ(LastResponse(), "Stopped");
}

int Logins(const FtpServer& server) {
    int n = 0;
    for (const std::string& c : Commands(server))
        n += c.compare(0, 4, "USER") == 0 || c.compare(0, 4, "PASS") == 0;
    return n;
}

class TlsServerTest : public ::testing::Test {
protected:
    std::unique_ptr<FtpServer> server;
    TempDir local;
    void SetUp() override {
        server = std::make_unique<FtpServer>(ServerKind::Vsftpd, Tls::Required);
        ASSERT_TRUE(server->ok()) << server->error();
    }
};

} // namespace

TEST(PlainServerTest, RequireAgainstAPlainServerSendsNeitherUserNorPassword) {
    FtpServer plain(ServerKind::Vsftpd);
    ASSERT_TRUE(plain.ok()) << plain.error();
    Answerer answerer;
    ConnectParams p = ParamsFor(plain, Encryption::Require);
    p.askCertificate = answerer.Question();
    EXPECT_EQ(Session::Open(p), nullptr);
    EXPECT_NE(LastResponse().find("does not offer TLS"), std::string::npos) << LastResponse();
    EXPECT_TRUE(Sent(plain, "AUTH TLS")) << plain.ProtocolLog();
    EXPECT_FALSE(Sent(plain, "USER")) << plain.ProtocolLog();
    EXPECT_FALSE(Sent(plain, "PASS")) << plain.ProtocolLog();
    EXPECT_TRUE(answerer.asked.empty());
}

TEST(PlainServerTest, IfAvailableFallsBackToPlainWhereTlsIsNotOffered) {
    TempDir local;
    for (ServerKind kind : {ServerKind::Pyftpdlib, ServerKind::Vsftpd}) {
        SCOPED_TRACE(KindName(kind));
        FtpServer plain(kind);
        ASSERT_TRUE(plain.ok()) << plain.error();
        std::ofstream(plain.root() + "/a.txt") << "plain";
        plain.Share();
        ConnectParams p = ParamsFor(plain, Encryption::IfAvailable);
        p.mode = Mode::Active; // plain sessions keep the mode they were given
        auto s = Session::Open(p);
        ASSERT_TRUE(s) << LastResponse();
        EXPECT_FALSE(s->IsEncrypted());
        EXPECT_FALSE(s->PassiveForTls());
        std::vector<FindData> entries;
        ASSERT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
        ASSERT_TRUE(s->GetFile("/a.txt", local.path() + "/a.txt")) << LastResponse();
        EXPECT_EQ(Slurp(local.path() + "/a.txt"), "plain");
        if (kind == ServerKind::Vsftpd) {
            EXPECT_TRUE(Sent(plain, "EPRT") || Sent(plain, "PORT")) << plain.ProtocolLog();
        }
    }
}

TEST(PlainServerTest, PlainSitesSendNoAuth) {
    FtpServer plain(ServerKind::Vsftpd, Tls::Offered);
    ASSERT_TRUE(plain.ok()) << plain.error();
    auto s = Session::Open(ParamsFor(plain, Encryption::None));
    ASSERT_TRUE(s) << LastResponse();
    EXPECT_FALSE(s->IsEncrypted());
    EXPECT_FALSE(Sent(plain, "AUTH"));
    EXPECT_TRUE(Sent(plain, "USER"));
}

TEST_F(TlsServerTest, IfAvailableEncryptsWhereOfferedAndFilesTravelByteForByte) {
    // The server refuses a plain login: a session that logs in is encrypted.
    std::string data = Pattern(3 * 1024 * 1024 + 17);
    std::ofstream(server->root() + "/down.bin", std::ios::binary) << data;
    server->Share();
    Answerer answerer;
    ConnectParams p = ParamsFor(*server, Encryption::IfAvailable);
    p.askCertificate = answerer.Question();
    auto s = Session::Open(p);
    ASSERT_TRUE(s) << LastResponse();
    EXPECT_TRUE(s->IsEncrypted());
    std::vector<FindData> entries;
    ASSERT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "down.bin");
    EXPECT_EQ(entries[0].size, data.size());
    ASSERT_TRUE(s->GetFile("/down.bin", local.path() + "/down.bin", nullptr,
                           static_cast<std::int64_t>(data.size())))
        << LastResponse();
    EXPECT_TRUE(Slurp(local.path() + "/down.bin") == data);
    std::ofstream(local.path() + "/up.bin", std::ios::binary) << data.substr(5);
    ASSERT_TRUE(s->PutFile(local.path() + "/up.bin", "/up.bin")) << LastResponse();
    EXPECT_TRUE(Slurp(server->root() + "/up.bin") == data.substr(5));
    // Data connections are protected as well, over the one control connection.
    EXPECT_TRUE(Sent(*server, "PROT P")) << server->ProtocolLog();
    EXPECT_EQ(answerer.asked.size(), 1u);
    int logins = 0;
    for (const std::string& c : Commands(*server))
        logins += c.compare(0, 5, "USER ") == 0;
    EXPECT_EQ(logins, 1) << server->ProtocolLog();
}

TEST_F(TlsServerTest, ActiveModeOverTlsUsesPassiveDataConnections) {
    std::ofstream(server->root() + "/a.txt") << "active?";
    server->Share();
    Answerer answerer;
    ConnectParams p = ParamsFor(*server, Encryption::Require);
    p.mode = Mode::Active;
    p.askCertificate = answerer.Question();
    auto s = Session::Open(p);
    ASSERT_TRUE(s) << LastResponse();
    EXPECT_TRUE(s->IsEncrypted());
    EXPECT_TRUE(s->PassiveForTls());
    std::vector<FindData> entries;
    ASSERT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
    ASSERT_TRUE(s->GetFile("/a.txt", local.path() + "/a.txt")) << LastResponse();
    EXPECT_EQ(Slurp(local.path() + "/a.txt"), "active?");
    EXPECT_FALSE(Sent(*server, "EPRT") || Sent(*server, "PORT")) << server->ProtocolLog();
    EXPECT_TRUE(Sent(*server, "EPSV") || Sent(*server, "PASV")) << server->ProtocolLog();
}

TEST_F(TlsServerTest, AnUnverifiedCertificateIsShownBeforeAnythingIsSent) {
    Answerer answerer;
    answerer.answer = Trust::Cancel;
    ConnectParams p = ParamsFor(*server, Encryption::Require);
    p.askCertificate = answerer.Question();
    EXPECT_EQ(Session::Open(p), nullptr);
    EXPECT_EQ(LastResponse(), "Certificate not trusted: connection cancelled");
    ASSERT_EQ(answerer.asked.size(), 1u);
    const Certificate& c = answerer.asked[0];
    EXPECT_EQ(c.server, "127.0.0.1:" + std::to_string(server->port()));
    EXPECT_EQ(c.fingerprint, OpensslFingerprint(server->CertificateFile()));
    EXPECT_NE(c.subject.find("orvane-test-server"), std::string::npos) << c.subject;
    EXPECT_NE(c.issuer.find("orvane-test-server"), std::string::npos) << c.issuer;
    // Made out for "orvane-test-server", reached as 127.0.0.1.
    EXPECT_EQ(c.problems, (std::vector<std::string>{"The certificate is for another host name.",
                                                    "The certificate is self-signed."}));
    EXPECT_EQ(c.problem,
              "The certificate is for another host name. The certificate is self-signed.");
    EXPECT_NE(c.validFrom.find("GMT"), std::string::npos) << c.validFrom;
    EXPECT_NE(c.validUntil.find("GMT"), std::string::npos) << c.validUntil;
    EXPECT_TRUE(c.trustedBefore.empty());
    EXPECT_TRUE(Sent(*server, "AUTH TLS"));
    EXPECT_FALSE(Sent(*server, "USER")) << server->ProtocolLog();
    EXPECT_FALSE(Sent(*server, "PASS")) << server->ProtocolLog();

    // Without anyone to ask, such a server is refused the same way.
    EXPECT_EQ(Session::Open(ParamsFor(*server, Encryption::Require)), nullptr);
    EXPECT_NE(LastResponse().find("self-signed"), std::string::npos) << LastResponse();
    EXPECT_FALSE(Sent(*server, "USER"));
}

TEST_F(TlsServerTest, ATrustedFingerprintIsAcceptedSilentlyAndAChangedOneAsksAgain) {
    std::string fingerprint = OpensslFingerprint(server->CertificateFile());
    Answerer answerer;
    ConnectParams p = ParamsFor(*server, Encryption::Require);
    p.askCertificate = answerer.Question();
    p.trustedFingerprint = fingerprint;
    auto s = Session::Open(p);
    ASSERT_TRUE(s) << LastResponse();
    EXPECT_TRUE(answerer.asked.empty());
    std::vector<FindData> entries;
    EXPECT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
    s.reset();

    // The server now presents another certificate on the same port.
    ASSERT_TRUE(server->Restart()) << server->error();
    std::string renewed = OpensslFingerprint(server->CertificateFile());
    ASSERT_NE(renewed, fingerprint);
    answerer.answer = Trust::Once;
    s = Session::Open(p);
    ASSERT_TRUE(s) << LastResponse();
    ASSERT_EQ(answerer.asked.size(), 1u);
    EXPECT_EQ(answerer.asked[0].fingerprint, renewed);
    EXPECT_EQ(answerer.asked[0].trustedBefore, fingerprint);
    EXPECT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
}

TEST_F(TlsServerTest, ASessionTrustedOnceKeepsItsCertificateAcrossItsOwnReconnects) {
    Answerer answerer;
    ConnectParams p = ParamsFor(*server, Encryption::Require);
    p.askCertificate = answerer.Question();
    auto s = Session::Open(p);
    ASSERT_TRUE(s) << LastResponse();
    DropInMidDownload(*s, *server, local.path());
    std::vector<FindData> entries;
    EXPECT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
    EXPECT_EQ(answerer.asked.size(), 1u);
    EXPECT_EQ(Logins(*server), 4) << server->ProtocolLog(); // it did log in again
}

TEST_F(TlsServerTest, ACloseWhileTheQuestionWaitsEndsTheConnect) {
    auto unanswered = std::make_shared<std::promise<Trust>>();
    std::atomic<bool> asked{false};
    ConnectParams p = ParamsFor(*server, Encryption::Require);
    p.askCertificate = [&](const Certificate&) {
        asked = true;
        return unanswered->get_future();
    };
    auto s = Session::Create(p);
    ASSERT_TRUE(s);
    std::thread closer([&] {
        while (!asked)
            std::this_thread::yield();
        s->Close();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(s->Connect());
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(Sent(*server, "USER"));

    // A question nobody will answer (its promise gone) is a Cancel.
    p.askCertificate = [](const Certificate&) { return std::promise<Trust>().get_future(); };
    EXPECT_EQ(Session::Open(p), nullptr);
    EXPECT_EQ(LastResponse(), "Certificate not trusted: connection cancelled");
}

TEST_F(TlsServerTest, AuthoritySignedCertificatesAreCheckedForTheName) {
    // Signed by an authority the session trusts, for this address: silent.
    std::string ca, pem;
    ASSERT_TRUE(FtpServer::MakeSignedCertificate(local.path(), "127.0.0.1", &ca, &pem));
    ASSERT_TRUE(server->Restart(pem)) << server->error();
    Answerer answerer;
    ConnectParams p = ParamsFor(*server, Encryption::Require);
    p.askCertificate = answerer.Question();
    p.caFile = ca;
    auto s = Session::Open(p);
    ASSERT_TRUE(s) << LastResponse();
    EXPECT_TRUE(answerer.asked.empty());
    s.reset();

    // The same authority, but for another name: asked, as for another host.
    TempDir other;
    std::string ca2, pem2;
    ASSERT_TRUE(FtpServer::MakeSignedCertificate(other.path(), "ftp.example.org", &ca2, &pem2));
    ASSERT_TRUE(server->Restart(pem2)) << server->error();
    p.caFile = ca2;
    answerer.answer = Trust::Cancel;
    EXPECT_EQ(Session::Open(p), nullptr);
    ASSERT_EQ(answerer.asked.size(), 1u);
    EXPECT_EQ(answerer.asked[0].problem, "The certificate is for another host name.");
    EXPECT_NE(answerer.asked[0].issuer.find("Orvane-Test-CA"), std::string::npos);
}

TEST_F(TlsServerTest, TheQuestionNamesEveryProblemOfTheCertificate) {
    const std::string name = "The certificate is for another host name.";
    const std::string expired = "The certificate has expired.";
    const std::string early = "The certificate is not valid yet.";
    const std::string selfSigned = "The certificate is self-signed.";
    const std::string unknown = "The certificate is not signed by a known authority.";
    const std::string chainExpired = "A certificate of its chain has expired.";
    const char* past[] = {"20200101000000Z", "20200201000000Z"};
    const char* now[] = {"20200101000000Z", "20400101000000Z"};
    const char* future[] = {"20990101000000Z", "21000101000000Z"};
    enum Signer { Self, TrustedAuthority, UnknownAuthority };
    struct Case {
        const char* altNames;
        const char* const* dates;
        Signer signer;
        const char* const* caDates;
        std::vector<std::string> problems;
    } cases[] = {
        {"IP:127.0.0.1", now, Self, now, {selfSigned}},
        {"IP:127.0.0.1", past, Self, now, {expired, selfSigned}},
        {"DNS:ftp.example.org", past, Self, now, {name, expired, selfSigned}},
        {"DNS:ftp.example.org", future, Self, now, {name, early, selfSigned}},
        {"IP:127.0.0.1", past, TrustedAuthority, now, {expired}},
        {"DNS:ftp.example.org", past, TrustedAuthority, now, {name, expired}},
        {"IP:127.0.0.2", future, TrustedAuthority, now, {name, early}},
        {"IP:127.0.0.1", now, UnknownAuthority, now, {unknown}},
        {"DNS:ftp.example.org", past, UnknownAuthority, now, {name, expired, unknown}},
        {"IP:127.0.0.1", now, TrustedAuthority, past, {chainExpired}},
        {"DNS:ftp.example.org", past, TrustedAuthority, past, {name, expired, chainExpired}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.altNames) + " " + c.dates[0] + " signer " +
                     std::to_string(c.signer) + " ca " + c.caDates[1]);
        TempDir dir;
        FtpServer::DatedCertificate wanted;
        wanted.name = "orvane";
        wanted.altNames = c.altNames;
        wanted.notBefore = c.dates[0];
        wanted.notAfter = c.dates[1];
        wanted.selfSigned = c.signer == Self;
        wanted.caNotBefore = c.caDates[0];
        wanted.caNotAfter = c.caDates[1];
        std::string ca, pem;
        ASSERT_TRUE(FtpServer::MakeCertificate(dir.path(), wanted, &ca, &pem));
        ASSERT_TRUE(server->Restart(pem)) << server->error();
        Answerer answerer;
        answerer.answer = Trust::Cancel;
        ConnectParams p = ParamsFor(*server, Encryption::Require);
        p.askCertificate = answerer.Question();
        if (c.signer == TrustedAuthority)
            p.caFile = ca;
        int logins = Logins(*server);
        EXPECT_EQ(Session::Open(p), nullptr);
        ASSERT_EQ(answerer.asked.size(), 1u);
        EXPECT_EQ(answerer.asked[0].problems, c.problems);
        std::string joined;
        for (const std::string& line : c.problems)
            joined += (joined.empty() ? "" : " ") + line;
        EXPECT_EQ(answerer.asked[0].problem, joined);
        EXPECT_EQ(answerer.asked[0].fingerprint, OpensslFingerprint(pem));
        EXPECT_EQ(Logins(*server), logins) << server->ProtocolLog();

        // Trusted once, the same certificate logs in with all its problems.
        answerer.answer = Trust::Once;
        auto s = Session::Open(p);
        ASSERT_TRUE(s) << LastResponse();
        EXPECT_EQ(answerer.asked.size(), 2u);
        std::vector<FindData> entries;
        EXPECT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
    }
}

TEST(ServerKeyTest, NamesTheServerAsConnectedTo) {
    EXPECT_EQ(ServerKey("FTP.Example.ORG", 21), "ftp.example.org:21");
    EXPECT_EQ(ServerKey(" ftp://Host.example/pub ", 2121), "host.example:2121");
    EXPECT_EQ(ServerKey("[::1]", 21), "::1:21");
    EXPECT_EQ(ServerKey("::1", 21), "::1:21");
    EXPECT_EQ(ServerKey("[FE80::A]", 990), "fe80::a:990");
    EXPECT_NE(ServerKey("::1", 21), ServerKey("::1:21", 21)); // the port never blends in
    EXPECT_NE(ServerKey("host", 21), ServerKey("host", 990));
}

TEST(OfferedTlsTest, AnEncryptedSessionNeverLogsInAgainInTheClear) {
    // "If available" falls back to plain only on a first login: once a
    // session has spoken TLS with a server, one that stops offering it on a
    // reconnect (a stripping attacker on the path) gets no user nor password.
    FtpServer server(ServerKind::Vsftpd, Tls::Offered);
    ASSERT_TRUE(server.ok()) << server.error();
    TempDir local;
    Answerer answerer;
    ConnectParams p = ParamsFor(server, Encryption::IfAvailable);
    p.askCertificate = answerer.Question();
    auto s = Session::Open(p);
    ASSERT_TRUE(s) << LastResponse();
    ASSERT_TRUE(s->IsEncrypted());
    DropInMidDownload(*s, server, local.path());
    ASSERT_EQ(Logins(server), 2) << server.ProtocolLog();

    server.SetTls(Tls::Off);
    ASSERT_TRUE(server.Restart()) << server.error();
    std::vector<FindData> entries;
    EXPECT_FALSE(s->ListDirectory("/", &entries));
    EXPECT_NE(LastResponse().find("does not offer TLS"), std::string::npos) << LastResponse();
    EXPECT_EQ(Logins(server), 2) << server.ProtocolLog();
}

// What a session sent to a scripted server that is not what it seems.
struct ScriptedTlsCase {
    const char* scenario;
    Encryption encryption;
    bool connects;
    const char* reason;      // part of LastResponse() when the connect fails
    const char* mustNotSend; // a line of the record that must not appear
};

TEST(ScriptedTlsTest, NoLoginGoesInTheClearAfterAuthTlsWasAnswered) {
    const ScriptedTlsCase cases[] = {
        // 234, then plain text or nothing: no fallback, no user, no password.
        {"auth-then-plain", Encryption::IfAvailable, false, "SSL", "USER"},
        {"auth-then-plain", Encryption::Require, false, "SSL", "USER"},
        {"auth-then-close", Encryption::IfAvailable, false, "", "USER"},
        {"auth-then-close", Encryption::Require, false, "", "USER"},
        // AUTH TLS offered in FEAT but refused: only "if available" logs in.
        {"auth-refused", Encryption::Require, false, "does not offer TLS", "USER"},
        {"auth-refused", Encryption::IfAvailable, true, "", "PASS (tls)"},
        // The login over TLS, but the data would travel in the clear.
        {"prot-refused", Encryption::IfAvailable, false, "refuses to protect", "LIST"},
        {"prot-refused", Encryption::Require, false, "refuses to protect", "LIST"},
    };
    for (const ScriptedTlsCase& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) +
                     (c.encryption == Encryption::Require ? " required" : " if available"));
        TempDir dir;
        std::string record = dir.path() + "/commands.txt";
        setenv("ORVANE_SCRIPT_RECORD", record.c_str(), 1);
        ScriptedServer server("scripted_tls.py", c.scenario);
        unsetenv("ORVANE_SCRIPT_RECORD");
        ASSERT_TRUE(server.ok());
        ConnectParams p;
        p.host = "127.0.0.1";
        p.port = server.port();
        p.user = "someone";
        p.password = "secret";
        p.encryption = c.encryption;
        p.connectTimeoutSec = 5;
        p.responseTimeoutSec = 5;
        Answerer answerer; // trusts the scripted server's certificate once
        p.askCertificate = answerer.Question();
        auto s = Session::Open(p);
        EXPECT_EQ(s != nullptr, c.connects) << LastResponse();
        if (s) {
            EXPECT_FALSE(s->IsEncrypted());
            std::vector<FindData> entries;
            EXPECT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
        } else {
            EXPECT_NE(LastResponse().find(c.reason), std::string::npos) << LastResponse();
        }
        std::string sent = Slurp(record);
        EXPECT_NE(sent.find("AUTH TLS"), std::string::npos) << sent;
        EXPECT_EQ(sent.find(std::string(c.mustNotSend) + "\n"), std::string::npos) << sent;
        EXPECT_EQ(sent.find(std::string(c.mustNotSend) + " "), std::string::npos) << sent;
        if (c.encryption == Encryption::Require || !c.connects) {
            EXPECT_EQ(sent.find("PASS\n"), std::string::npos) << sent; // never in the clear
        }
    }
}

TEST_F(TlsServerTest, OnlyTheServersOwnCertificateIsPinnedNotOneItMerelySends) {
    // Someone without the trusted certificate's key presents a leaf of their
    // own and sends the trusted certificate along as if it were in the chain.
    std::string trusted = OpensslFingerprint(server->CertificateFile());
    std::string pem = local.path() + "/intruder.pem";
    ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "
                           "/CN=orvane-test-server -keyout " +
                           pem + ".key -out " + pem + ".crt >/dev/null 2>&1 && cat " + pem +
                           ".crt " + pem + ".key " + server->CertificateFile() + " > " + pem)
                              .c_str()),
              0);
    ASSERT_TRUE(server->Restart(pem)) << server->error();
    Answerer answerer;
    answerer.answer = Trust::Cancel;
    ConnectParams p = ParamsFor(*server, Encryption::Require);
    p.askCertificate = answerer.Question();
    p.trustedFingerprint = trusted;
    EXPECT_EQ(Session::Open(p), nullptr);
    ASSERT_EQ(answerer.asked.size(), 1u);
    EXPECT_EQ(answerer.asked[0].fingerprint, OpensslFingerprint(pem + ".crt"));
    EXPECT_EQ(answerer.asked[0].trustedBefore, trusted);
    EXPECT_FALSE(Sent(*server, "USER"));
}

// Whether `text` is well-formed UTF-8 (no overlong forms checked: enough to
// see that no stray byte is left).
static bool IsUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > text.size())
            return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

TEST_F(TlsServerTest, HostileCertificateTextsComeAsOneLineOfUtf8) {
    // Line breaks, terminal escapes, a bell and Latin-1 bytes in the names.
    std::string pem = local.path() + "/odd.pem";
    std::string subject = "/CN=evil\n\x1b[31mname\x07/O=\xff\xfe\x80";
    std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '" + subject +
                      "' -keyout " + pem + ".key -out " + pem + ".crt >/dev/null 2>&1 && cat " +
                      pem + ".crt " + pem + ".key > " + pem;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_TRUE(server->Restart(pem)) << server->error();
    Answerer answerer;
    answerer.answer = Trust::Cancel;
    ConnectParams p = ParamsFor(*server, Encryption::Require);
    p.askCertificate = answerer.Question();
    EXPECT_EQ(Session::Open(p), nullptr);
    ASSERT_EQ(answerer.asked.size(), 1u);
    for (const std::string& text : {answerer.asked[0].subject, answerer.asked[0].issuer}) {
        EXPECT_NE(text.find("evil"), std::string::npos) << text;
        EXPECT_NE(text.find("name"), std::string::npos) << text;
        for (char c : text)
            EXPECT_GE(static_cast<unsigned char>(c), 0x20) << text;
        EXPECT_TRUE(IsUtf8(text)) << text;
    }
}

TEST_F(TlsServerTest, AnAuthorityCertificateIsForTheNameTypedAndNoOther) {
    struct Case {
        const char* host;
        const char* commonName;
        const char* altNames;
        bool silent; // accepted without a question
    } cases[] = {
        {"127.0.0.1", "127.0.0.1", "IP:127.0.0.1", true},
        {"localhost", "localhost", "DNS:localhost", true},
        {"LocalHost", "localhost", "DNS:localhost", true},  // names ignore case
        {"127.0.0.1", "127.0.0.1", "DNS:127.0.0.1", false}, // an address needs an IP entry
        {"localhost", "x", "IP:127.0.0.1", false},          // a name needs a DNS entry
        {"localhost", "localhost", "-", true},              // or, without alternative names, the CN
        {"localhost", "localhost", "DNS:*.localhost", false}, // a wildcard needs a label
        {"localhost", "x", "DNS:localhost.evil.org", false},
        {"localhost", "x", "DNS:evil.org,DNS:other.org", false},
        {"127.0.0.1", "127.0.0.1", "IP:127.0.0.2", false},
        {"127.0.0.1", "127.0.0.1", "-", false}, // an address is never taken from the CN
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " / " + c.altNames);
        TempDir dir;
        std::string ca, pem;
        ASSERT_TRUE(
            FtpServer::MakeSignedCertificate(dir.path(), c.commonName, &ca, &pem, c.altNames));
        ASSERT_TRUE(server->Restart(pem)) << server->error();
        Answerer answerer;
        answerer.answer = Trust::Cancel;
        ConnectParams p = ParamsFor(*server, Encryption::Require);
        p.host = c.host;
        p.askCertificate = answerer.Question();
        p.caFile = ca;
        auto s = Session::Open(p);
        EXPECT_EQ(s != nullptr, c.silent) << LastResponse();
        EXPECT_EQ(answerer.asked.size(), c.silent ? 0u : 1u);
        if (!answerer.asked.empty()) {
            EXPECT_EQ(answerer.asked[0].problem, "The certificate is for another host name.");
        }
    }
}

TEST_F(TlsServerTest, ALeafFromAnotherIntermediateOfTheSameNameIsNotVerified) {
    // The server sends the authority's real intermediate, but its own
    // certificate was signed by a look-alike intermediate of the same name.
    const std::string d = local.path() + "/";
    const std::string q = " >/dev/null 2>&1";
    std::ofstream(d + "ca.cnf") << "basicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign\n";
    std::ofstream(d + "leaf.cnf") << "subjectAltName=IP:127.0.0.1\n";
    std::string cmd =
        "cd " + d + " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Root " +
        "-keyout root.key -out root.pem" + q +
        " && openssl req -newkey rsa:2048 -nodes -subj /CN=Intermediate -keyout ia.key -out "
        "ia.csr" +
        q +
        " && openssl x509 -req -in ia.csr -CA root.pem -CAkey root.key -CAcreateserial -days 2 "
        "-extfile ca.cnf -out ia.pem" +
        q +
        " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Intermediate "
        "-addext basicConstraints=critical,CA:TRUE -keyout ib.key -out ib.pem" +
        q +
        " && openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout leaf.key -out "
        "leaf.csr" +
        q +
        " && openssl x509 -req -in leaf.csr -CA ib.pem -CAkey ib.key -CAcreateserial -days 2 "
        "-extfile leaf.cnf -out leaf.pem" +
        q + " && cat leaf.pem leaf.key ia.pem > server.pem";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_TRUE(server->Restart(d + "server.pem")) << server->error();
    Answerer answerer;
    answerer.answer = Trust::Cancel;
    ConnectParams p = ParamsFor(*server, Encryption::Require);
    p.askCertificate = answerer.Question();
    p.caFile = d + "root.pem";
    EXPECT_EQ(Session::Open(p), nullptr);
    ASSERT_EQ(answerer.asked.size(), 1u);
    EXPECT_EQ(answerer.asked[0].fingerprint, OpensslFingerprint(d + "leaf.pem"));
    EXPECT_FALSE(Sent(*server, "USER"));

    // The same leaf with the right intermediate is silent.
    ASSERT_EQ(std::system(("cd " + d +
                           " && openssl x509 -req -in leaf.csr -CA ia.pem -CAkey ia.key "
                           "-CAcreateserial -days 2 -extfile leaf.cnf -out leaf2.pem" +
                           q + " && cat leaf2.pem leaf.key ia.pem > server2.pem")
                              .c_str()),
              0);
    ASSERT_TRUE(server->Restart(d + "server2.pem")) << server->error();
    EXPECT_NE(Session::Open(p), nullptr) << LastResponse();
    EXPECT_EQ(answerer.asked.size(), 1u);
}

TEST(ScriptedTlsTest, DataInTheClearAfterProtPWasAcceptedIsRefused) {
    TempDir dir;
    ScriptedServer server("scripted_tls.py", "data-plain");
    ASSERT_TRUE(server.ok());
    ConnectParams p;
    p.host = "127.0.0.1";
    p.port = server.port();
    p.user = "someone";
    p.password = "secret";
    p.encryption = Encryption::IfAvailable;
    p.connectTimeoutSec = 5;
    p.responseTimeoutSec = 5;
    Answerer answerer;
    p.askCertificate = answerer.Question();
    auto s = Session::Open(p);
    ASSERT_TRUE(s) << LastResponse();
    EXPECT_TRUE(s->IsEncrypted());
    std::vector<FindData> entries;
    EXPECT_FALSE(s->ListDirectory("/", &entries));
    EXPECT_TRUE(entries.empty());
    EXPECT_FALSE(s->GetFile("/clear.txt", dir.path() + "/clear.txt", nullptr, 5));
    EXPECT_NE(Slurp(dir.path() + "/clear.txt"), "clear");
}
