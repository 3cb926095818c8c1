// The site store, byte by byte, on a temporary registry file.
#include "platform/registry/Registry.h"
#include "sites/SiteStore.h"
#include "tests/TempDir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace sites;
using namespace reg;

namespace {

class SiteStoreTest : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override {
        setenv("ORVANE_REGISTRY", (dir.path() + "/registry.db").c_str(), 1);
        RegResetStore();
    }
    void TearDown() override {
        RegResetStore();
        unsetenv("ORVANE_REGISTRY");
    }
    // The stored bytes of one value and its type.
    std::string Raw(const std::string& site, const char* value, DWORD* type = nullptr) {
        HKEY k = nullptr;
        if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, ("SOFTWARE\\Orvane\\" + site).c_str(), KEY_READ, &k) !=
            REG_OK)
            return "<no site>";
        std::string buf(1000, '?');
        DWORD size = 1000;
        LONG rc =
            RegQueryValueEx(k, value, type, reinterpret_cast<unsigned char*>(buf.data()), &size);
        RegCloseKey(k);
        if (rc != REG_OK)
            return "<absent>";
        buf.resize(size);
        return buf;
    }
    static std::string Padded(const std::string& text, size_t bytes) {
        std::string s = text;
        s.resize(bytes, '\0');
        return s;
    }
    void WriteRaw(const std::string& site, const char* value, const std::string& data) {
        HKEY k = nullptr;
        ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, ("SOFTWARE\\Orvane\\" + site).c_str(),
                                 KEY_ALL_ACCESS, &k),
                  REG_OK);
        RegSetValueEx(k, value, REG_EXPAND_SZ, data.data(), static_cast<DWORD>(data.size()));
        RegCloseKey(k);
    }
};

TEST_F(SiteStoreTest, NoProductKeyMeansNoSitesAndNothingIsCreated) {
    EXPECT_TRUE(ListSites().empty());
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_READ, &k),
              REG_ERR_NOT_FOUND);
}

TEST_F(SiteStoreTest, CreateSiteWritesTheDefaultsWithFixedSizes) {
    ASSERT_TRUE(CreateSite("My Site"));
    DWORD type = 0;
    EXPECT_EQ(Raw("My Site", "USER NAME", &type), Padded("anonymous", 100));
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(Raw("My Site", "HOST NAME"), Padded("localhost", 100));
    EXPECT_EQ(Raw("My Site", "SITE NAME"), Padded("My Site", 100));
    EXPECT_EQ(Raw("My Site", "PASSWORD"), Padded("", 100));
    EXPECT_EQ(Raw("My Site", "PORT NO"), Padded("21", 100));
    EXPECT_EQ(Raw("My Site", "DEFAULT LOCAL DIRECTORY"), Padded("/", 150));
    EXPECT_EQ(Raw("My Site", "DEFAULT REMOTE DIRECTORY"), Padded("/", 150));
    EXPECT_EQ(Raw("My Site", "COMMENTS"), Padded("Comments", 500));
    SiteRecord r = LoadSite("my site");
    EXPECT_EQ(r.host, "localhost");
    EXPECT_EQ(r.user, "anonymous");
    EXPECT_EQ(r.password, "");
    EXPECT_EQ(r.port, "21");
    EXPECT_EQ(r.localDir, "/");
    EXPECT_EQ(r.remoteDir, "/");
    EXPECT_EQ(r.comments, "Comments");
    EXPECT_EQ(ListSites(), std::vector<std::string>{"My Site"});
}

TEST_F(SiteStoreTest, SaveSiteSubstitutesDefaultsAndWritesThePortWithoutItsNul) {
    ASSERT_TRUE(CreateSite("s"));
    ASSERT_TRUE(SaveSite("s", "bob", "", "", "pw", "", "/home/bob", "/pub/", "note"));
    EXPECT_EQ(Raw("s", "HOST NAME"), Padded("localhost", 100));
    EXPECT_EQ(Raw("s", "SITE NAME"), Padded("s", 100));
    EXPECT_EQ(Raw("s", "PORT NO"), "21");                                  // two bytes, no NUL
    EXPECT_EQ(Raw("s", "DEFAULT REMOTE DIRECTORY"), Padded("/pub/", 150)); // kept as typed
    EXPECT_EQ(Raw("s", "COMMENTS"), Padded("note", 500));
    EXPECT_EQ(LoadSite("s").port, "21");
    ASSERT_TRUE(SaveSite("s", "bob", "h", "label", "pw", "2121", "/", "/", ""));
    EXPECT_EQ(Raw("s", "PORT NO"), "2121");
    EXPECT_EQ(LoadSite("s").label, "label");
    // Texts longer than a value holds are cut to 99, 149 and 499 characters.
    ASSERT_TRUE(SaveSite("s", std::string(120, 'u'), "h", "l", "p", "21", std::string(200, 'L'),
                         "/", std::string(600, 'c')));
    SiteRecord r = LoadSite("s");
    EXPECT_EQ(r.user, std::string(99, 'u'));
    EXPECT_EQ(r.localDir, std::string(149, 'L'));
    EXPECT_EQ(r.comments, std::string(499, 'c'));
    // Saving never creates a site.
    std::string error;
    EXPECT_FALSE(SaveSite("absent", "u", "h", "l", "p", "21", "/", "/", "", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Raw("absent", "USER NAME"), "<no site>");
}

TEST_F(SiteStoreTest, LoadingReadsUpToTheNulAndFillsEmptyHostAndPort) {
    WriteRaw("raw", "PORT NO", "");
    WriteRaw("raw", "HOST NAME", std::string("", 0));
    WriteRaw("raw", "USER NAME", std::string("joe\0junk", 8));
    SiteRecord r = LoadSite("raw");
    EXPECT_EQ(r.host, " ");
    EXPECT_EQ(r.port, "21");
    EXPECT_EQ(r.user, "joe");
    EXPECT_EQ(r.comments, ""); // absent
    // A value too long for its capacity reads as empty.
    WriteRaw("raw", "PASSWORD", std::string(300, 'p'));
    EXPECT_EQ(LoadSite("raw").password, "");
}

TEST_F(SiteStoreTest, TextsLongerThanAValueAreCutBetweenCharactersAndReadBackWhole) {
    auto repeat = [](const std::string& unit, int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += unit;
        return s;
    };
    const std::string zhe = "\xD0\xB6", e = "\xC3\xA9", euro = "\xE2\x82\xAC";
    ASSERT_TRUE(CreateSite("s"));
    // 250 Cyrillic letters are 500 bytes: 249 fit the comment's 499.
    ASSERT_TRUE(SaveSite("s", repeat(euro, 40), repeat(e, 60), repeat(e, 50), "pw", "21",
                         "/" + repeat(e, 80), "/" + repeat(zhe, 100), repeat(zhe, 250)));
    SiteRecord r = LoadSite("s");
    EXPECT_EQ(r.comments, repeat(zhe, 249));
    EXPECT_EQ(r.host, repeat(e, 49)); // 98 of the 99 bytes
    EXPECT_EQ(r.user, repeat(euro, 33));
    EXPECT_EQ(r.label, repeat(e, 49));
    EXPECT_EQ(r.localDir, "/" + repeat(e, 74));
    EXPECT_EQ(r.remoteDir, "/" + repeat(zhe, 74));
    // The port is written without its NUL, and cut the same way.
    ASSERT_TRUE(SaveSite("s", "u", "h", "l", "p", repeat(e, 60), "/", "/", ""));
    EXPECT_EQ(Raw("s", "PORT NO"), repeat(e, 49));
    ASSERT_TRUE(RenameSite("s", "t", "u", repeat(e, 60), "l", "p", "21"));
    EXPECT_EQ(LoadSite("t").host, repeat(e, 49));

    // A value stored cut inside its last character reads back without that
    // half character; shorter values keep all their bytes (Latin-1 ones too).
    WriteRaw("old", "HOST NAME", repeat(e, 49) + "\xC3" + std::string(1, '\0'));
    WriteRaw("old", "COMMENTS", Padded(repeat(zhe, 249) + "\xD0", 500));
    WriteRaw("old", "DEFAULT LOCAL DIRECTORY", Padded("/caf\xE9", 150));
    WriteRaw("old", "USER NAME", Padded(std::string(98, 'u') + "\xE9", 100));
    r = LoadSite("old");
    EXPECT_EQ(r.host, repeat(e, 49));
    EXPECT_EQ(r.comments, repeat(zhe, 249));
    EXPECT_EQ(r.localDir, "/caf\xE9");
    EXPECT_EQ(r.user, std::string(98, 'u')); // a lone lead byte at the very end
}

TEST_F(SiteStoreTest, RenameKeepsFoldersAndCommentsAndTakesTheTypedValues) {
    ASSERT_TRUE(CreateSite("old"));
    ASSERT_TRUE(
        SaveSite("old", "u", "h", "l", "p", "21", "/local", "/remote", std::string(499, 'c')));
    ASSERT_TRUE(RenameSite("old", "new", "u2", "", "label2", "p2", "2121"));
    EXPECT_EQ(ListSites(), std::vector<std::string>{"new"});
    EXPECT_EQ(Raw("new", "HOST NAME"), Padded("", 100)); // no default substituted
    EXPECT_EQ(Raw("new", "PORT NO"), Padded("2121", 100));
    SiteRecord r = LoadSite("new");
    EXPECT_EQ(r.host, " ");
    EXPECT_EQ(r.user, "u2");
    EXPECT_EQ(r.label, "label2");
    EXPECT_EQ(r.localDir, "/local");
    EXPECT_EQ(r.remoteDir, "/remote");
    EXPECT_EQ(r.comments, std::string(499, 'c'));
}

TEST_F(SiteStoreTest, RenamingToTheSameNameInOtherCaseKeepsTheRecord) {
    ASSERT_TRUE(CreateSite("office"));
    ASSERT_TRUE(SaveSite("office", "u", "h", "l", "p", "21", "/l", "/r", "keep me"));
    ASSERT_TRUE(RenameSite("office", "Office", "u", "h", "l", "p", "21"));
    EXPECT_EQ(ListSites(), std::vector<std::string>{"Office"});
    EXPECT_EQ(LoadSite("Office").comments, "keep me");
    EXPECT_EQ(LoadSite("Office").remoteDir, "/r");
}

TEST_F(SiteStoreTest, NamesThatWouldHarmTheStoreAreRefused) {
    ASSERT_TRUE(CreateSite("Home"));
    EXPECT_NE(CheckSiteName(""), "");
    EXPECT_NE(CheckSiteName("   "), "");
    EXPECT_NE(CheckSiteName("a\\b"), "");
    EXPECT_NE(CheckSiteName(std::string(100, 'x')), "");
    EXPECT_EQ(CheckSiteName(std::string(99, 'x')), "");
    EXPECT_NE(CheckSiteName("home"), "");         // taken, compared without case
    EXPECT_EQ(CheckSiteName("HOME", "Home"), ""); // its own name in other case
    EXPECT_NE(CheckSiteName("home", "Other"), "");
    EXPECT_EQ(CheckSiteName("Work"), "");
}

TEST_F(SiteStoreTest, DeleteRemovesTheSite) {
    ASSERT_TRUE(CreateSite("a"));
    ASSERT_TRUE(CreateSite("b"));
    ASSERT_TRUE(DeleteSite("A"));
    EXPECT_EQ(ListSites(), std::vector<std::string>{"b"});
    EXPECT_FALSE(DeleteSite("a"));
}

TEST_F(SiteStoreTest, SiteRowsWithoutANameInADamagedStoreAreNotListed) {
    // Tables made without their NOT NULL constraints, as another tool may.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((dir.path() + "/registry.db").c_str(), &raw), SQLITE_OK);
    const char* sql =
        "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER, name TEXT, uname TEXT,"
        "  UNIQUE(parent, uname));"
        "CREATE TABLE vals(key INTEGER, name TEXT, uname TEXT, type INTEGER, data BLOB,"
        "  PRIMARY KEY(key, uname));"
        "INSERT INTO keys VALUES (1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),"
        "  (2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER'), (3, 1, 'SOFTWARE', 'SOFTWARE'),"
        "  (4, 2, 'Software', 'SOFTWARE'), (5, 3, 'Orvane', 'ORVANE'),"
        "  (6, 5, NULL, NULL), (7, 5, 'work', 'WORK');";
    ASSERT_EQ(sqlite3_exec(raw, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    RegResetStore();
    EXPECT_EQ(ListSites(), std::vector<std::string>{"work"});
}

} // namespace

TEST_F(SiteStoreTest, EncryptionIsOneMoreValueAndNewSitesUseTlsIfAvailable) {
    ASSERT_TRUE(CreateSite("s"));
    EXPECT_EQ(LoadSite("s").encryption, kEncryptionIfAvailable);
    DWORD type = 0;
    EXPECT_EQ(Raw("s", "ENCRYPTION", &type), Padded("1", kShortValue));
    EXPECT_EQ(type, REG_EXPAND_SZ);
    for (int e : {kEncryptionRequire, kEncryptionPlain, kEncryptionIfAvailable}) {
        ASSERT_TRUE(SaveSite("s", "u", "h", "l", "p", "21", "/", "/", "", e));
        EXPECT_EQ(LoadSite("s").encryption, e);
        EXPECT_EQ(Raw("s", "ENCRYPTION"), Padded(std::to_string(e), kShortValue));
    }
    // The save without a choice (scripts, older callers) leaves it as stored.
    ASSERT_TRUE(SaveSite("s", "u", "h", "l", "p", "21", "/", "/", "", kEncryptionRequire));
    ASSERT_TRUE(SaveSite("s", "u2", "h", "l", "p", "21", "/", "/", ""));
    EXPECT_EQ(LoadSite("s").encryption, kEncryptionRequire);
    EXPECT_EQ(LoadSite("s").user, "u2");
    // A rename keeps it, as it keeps the folders and comments.
    ASSERT_TRUE(RenameSite("s", "t", "u", "h", "l", "p", "21"));
    EXPECT_EQ(LoadSite("t").encryption, kEncryptionRequire);
}

TEST_F(SiteStoreTest, ProtocolIsOneMoreValueAndARecordWithoutItIsFtp) {
    ASSERT_TRUE(CreateSite("s"));
    EXPECT_EQ(LoadSite("s").protocol, kProtocolFtp);
    EXPECT_EQ(Raw("s", "Protocol"), "<absent>"); // a new site has none yet: FTP
    struct Case {
        int protocol;
        const char* stored;
    } cases[] = {{kProtocolSftp, "SFTP"}, {kProtocolFtp, "FTP"}, {7, "FTP"}};
    for (const Case& c : cases) {
        ASSERT_TRUE(
            SaveSite("s", "u", "h", "l", "p", "", "/", "/", "", kEncryptionPlain, c.protocol));
        SiteRecord r = LoadSite("s");
        EXPECT_EQ(r.protocol, c.protocol == kProtocolSftp ? kProtocolSftp : kProtocolFtp);
        EXPECT_EQ(Raw("s", "Protocol"), Padded(c.stored, kShortValue));
        // An empty port is the protocol's own.
        EXPECT_EQ(r.port, c.protocol == kProtocolSftp ? "22" : "21");
    }
    // Saves without a protocol (older callers) and a rename keep it.
    ASSERT_TRUE(
        SaveSite("s", "u", "h", "l", "p", "2200", "/", "/", "", kEncryptionPlain, kProtocolSftp));
    ASSERT_TRUE(SaveSite("s", "u2", "h", "l", "p", "2200", "/", "/", ""));
    ASSERT_TRUE(SaveSite("s", "u3", "h", "l", "p", "2200", "/", "/", "", kEncryptionRequire));
    EXPECT_EQ(LoadSite("s").protocol, kProtocolSftp);
    ASSERT_TRUE(RenameSite("s", "t", "u", "h", "l", "p", "2200"));
    EXPECT_EQ(LoadSite("t").protocol, kProtocolSftp);
    // Any other stored text is FTP.
    WriteRaw("t", "Protocol", Padded("sftp ", kShortValue));
    EXPECT_EQ(LoadSite("t").protocol, kProtocolFtp);
}

TEST_F(SiteStoreTest, SimultaneousTransfersAreOneToTenAndAnythingElseIsTwo) {
    ASSERT_TRUE(CreateSite("s"));
    EXPECT_EQ(LoadSite("s").transfers, kDefaultTransfers); // none stored
    for (auto [stored, loaded] : std::vector<std::pair<std::string, int>>{
             {"1", 1}, {"7", 7}, {"10", 10}, {"0", 2}, {"11", 2}, {"-3", 2}, {"3x", 2}, {"", 2}}) {
        SCOPED_TRACE(stored);
        WriteRaw("s", "Simultaneous transfers", Padded(stored, kShortValue));
        EXPECT_EQ(LoadSite("s").transfers, loaded);
    }
    ASSERT_TRUE(
        SaveSite("s", "u", "h", "l", "p", "21", "/", "/", "", kEncryptionPlain, kProtocolFtp, 5));
    EXPECT_EQ(Raw("s", "Simultaneous transfers"), Padded("5", kShortValue));
    ASSERT_TRUE(SaveSite("s", "u", "h", "l", "p", "21", "/", "/", "", kEncryptionPlain,
                         kProtocolFtp, 42)); // out of range: the default
    EXPECT_EQ(LoadSite("s").transfers, kDefaultTransfers);
    // Saves that do not name it, and a rename, keep it.
    ASSERT_TRUE(
        SaveSite("s", "u", "h", "l", "p", "21", "/", "/", "", kEncryptionPlain, kProtocolFtp, 8));
    ASSERT_TRUE(SaveSite("s", "u2", "h", "l", "p", "21", "/", "/", ""));
    ASSERT_TRUE(
        SaveSite("s", "u3", "h", "l", "p", "21", "/", "/", "", kEncryptionRequire, kProtocolSftp));
    ASSERT_TRUE(RenameSite("s", "t", "u", "h", "l", "p", "21"));
    EXPECT_EQ(LoadSite("t").transfers, 8);
}

TEST_F(SiteStoreTest, ARecordWrittenBeforeEncryptionLoadsAsIfAvailable) {
    // The eight values of an older record, and nothing else.
    WriteRaw("old", "HOST NAME", Padded("files.example.org", kShortValue));
    WriteRaw("old", "USER NAME", Padded("bob", kShortValue));
    WriteRaw("old", "PORT NO", "2121");
    WriteRaw("old", "COMMENTS", Padded("kept", kCommentValue));
    SiteRecord r = LoadSite("old");
    EXPECT_EQ(r.encryption, kEncryptionIfAvailable);
    EXPECT_EQ(r.host, "files.example.org");
    EXPECT_EQ(r.port, "2121");
    EXPECT_EQ(r.comments, "kept");
    ASSERT_TRUE(RenameSite("old", "older", "bob", "files.example.org", "l", "", "2121"));
    EXPECT_EQ(Raw("older", "ENCRYPTION"), "<absent>");
    EXPECT_EQ(LoadSite("older").encryption, kEncryptionIfAvailable);
    // A damaged value is not read as a weaker choice than the default.
    WriteRaw("older", "ENCRYPTION", Padded("zero", kShortValue));
    EXPECT_EQ(LoadSite("older").encryption, kEncryptionIfAvailable);
}

TEST_F(SiteStoreTest, TrustedCertificatesAreKeptPerServerBesideTheSitesButNotListed) {
    ASSERT_TRUE(CreateSite("alpha"));
    ASSERT_TRUE(CreateSite("zulu"));
    std::string fp(95, 'A');
    ASSERT_TRUE(SaveTrustedCertificate("127.0.0.1:2121", fp));
    ASSERT_TRUE(SaveTrustedCertificate("ftp.example.org:21", "11:22"));
    EXPECT_EQ(LoadTrustedCertificate("127.0.0.1:2121"), fp);
    EXPECT_EQ(LoadTrustedCertificate("ftp.example.org:21"), "11:22");
    EXPECT_EQ(LoadTrustedCertificate("127.0.0.1:21"), ""); // another port, another server
    EXPECT_EQ(LoadTrustedCertificate("127.0.0.2:2121"), "");
    // Kept across a restart of the program (a new opening of the store).
    RegResetStore();
    EXPECT_EQ(LoadTrustedCertificate("127.0.0.1:2121"), fp);
    ASSERT_TRUE(SaveTrustedCertificate("127.0.0.1:2121", "BB"));
    EXPECT_EQ(LoadTrustedCertificate("127.0.0.1:2121"), "BB");
    EXPECT_EQ(ListSites(), (std::vector<std::string>{"alpha", "zulu"}));
    EXPECT_NE(CheckSiteName("certificates"), "");
    EXPECT_EQ(CheckSiteName("Certificates old"), "");
}

TEST_F(SiteStoreTest, ASiteNamedCertificatesFromBeforeStaysASite) {
    WriteRaw("Certificates", "HOST NAME", Padded("h", kShortValue));
    ASSERT_TRUE(SaveTrustedCertificate("h:21", "CC"));
    EXPECT_EQ(ListSites(), std::vector<std::string>{"Certificates"});
    EXPECT_EQ(LoadSite("Certificates").host, "h");
    EXPECT_EQ(LoadTrustedCertificate("h:21"), "CC");
}

TEST_F(SiteStoreTest, DamagedOrHugeValuesOfTheNewKindLoseNothingElse) {
    ASSERT_TRUE(CreateSite("s"));
    ASSERT_TRUE(SaveSite("s", "u", "h", "l", "p", "21", "/", "/", "c", kEncryptionRequire));
    // A megabyte, binary junk, an empty value: "if available", the rest intact.
    for (const std::string& junk : {std::string(1 << 20, '2'), std::string("\xFF\x00\x01", 3),
                                    std::string(), std::string("-1"), std::string("2junk")}) {
        WriteRaw("s", "ENCRYPTION", junk);
        SiteRecord r = LoadSite("s");
        EXPECT_EQ(r.encryption, kEncryptionIfAvailable) << junk.size();
        EXPECT_EQ(r.user, "u");
        EXPECT_EQ(r.comments, "c");
    }
    // Out-of-range choices are stored as "if available".
    ASSERT_TRUE(SaveSite("s", "u", "h", "l", "p", "21", "/", "/", "c", 7));
    EXPECT_EQ(Raw("s", "ENCRYPTION"), Padded("1", kShortValue));

    // Thousands of trusted servers and junk beside them: each one finds its own.
    for (int i = 0; i < 1500; ++i)
        ASSERT_TRUE(SaveTrustedCertificate("h" + std::to_string(i) + ":21", std::to_string(i)));
    WriteRaw("Certificates", "junk:21", std::string(1 << 20, 'x'));
    WriteRaw("Certificates", "bin:21", std::string("\x00\xFF", 2));
    EXPECT_EQ(LoadTrustedCertificate("h0:21"), "0");
    EXPECT_EQ(LoadTrustedCertificate("H1499:21"), "1499"); // names ignore case
    EXPECT_EQ(LoadTrustedCertificate("junk:21"), "");      // too long to be a fingerprint
    EXPECT_EQ(LoadTrustedCertificate("bin:21"), "");
    EXPECT_EQ(ListSites(), std::vector<std::string>{"s"});
    EXPECT_EQ(LoadSite("s").user, "u");
}
