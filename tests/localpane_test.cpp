// The local pane and its file operations, driven as a user would.
#include "app/Commands.h"
#include "local/LeftView.h"
#include "platform/ui/MarkerStrip.h"
#include "platform/ui/PathCombo.h"
#include "tests/FrameFixture.h"

#include <wx/menu.h>
#include <wx/stattext.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class LocalPaneTest : public FrameTest {
protected:
    std::string base; // a folder of the test's own
    CLeftView* pane = nullptr;

    void SetUp() override {
        FrameTest::SetUp();
        base = dir.path() + "/base";
        fs::create_directories(base + "/a/b/c/d");
        pane = left();
    }
    std::vector<std::string> Combo() {
        std::vector<std::string> items;
        for (unsigned i = 0; i < pane->m_wndFolderCombo->GetCount(); ++i)
            items.push_back(std::string(pane->m_wndFolderCombo->GetIndent(i), '>') +
                            pane->m_wndFolderCombo->GetItemText(i));
        return items;
    }
    std::string Selected() {
        int s = pane->m_wndFolderCombo->GetCurSel();
        return s < 0 ? "" : pane->m_wndFolderCombo->GetItemText(s);
    }
    // The chain the combo shows for `path` below the drive "/".
    std::vector<std::string> Chain(const std::string& path) {
        std::vector<std::string> items{"/"};
        int depth = 0;
        for (const auto& part : fs::path(path).relative_path())
            items.push_back(std::string(++depth, '>') + part.string());
        return items;
    }
    std::vector<std::string> ListNames() {
        std::vector<std::string> names;
        for (long i = 0; i < pane->m_wndList->GetItemCount(); ++i)
            names.push_back(pane->m_wndList->GetItemText(i).utf8_string());
        return names;
    }
    void Select(const std::vector<std::string>& names) {
        for (long i = 0; i < pane->m_wndList->GetItemCount(); ++i) {
            bool want = std::find(names.begin(), names.end(),
                                  pane->m_wndList->GetItemText(i).utf8_string()) != names.end();
            pane->m_wndList->SetItemState(i, want ? wxLIST_STATE_SELECTED : 0,
                                          wxLIST_STATE_SELECTED);
        }
    }
};

TEST_F(LocalPaneTest, StartsAtTheRootAndTheComboFollowsEveryMove) {
    EXPECT_EQ(pane->m_strCurrentDir, "/");
    EXPECT_EQ(Combo(), std::vector<std::string>{"/"});

    pane->ChangeDirectory(base + "/a/b/");
    EXPECT_EQ(pane->m_strCurrentDir, base + "/a/b");
    EXPECT_EQ(Combo(), Chain(base + "/a/b"));
    EXPECT_EQ(Selected(), "b");
    EXPECT_EQ(pane->m_nDepth, static_cast<int>(Chain(base).size()) + 1);
    EXPECT_EQ(ListNames(), std::vector<std::string>{"c"});

    // Double-click descends; Up climbs; Up at the drive does nothing.
    Select({"c"});
    pane->OnOpenRow();
    EXPECT_EQ(pane->m_strCurrentDir, base + "/a/b/c");
    EXPECT_EQ(Combo(), Chain(base + "/a/b/c"));
    pane->OnUpOneLevel();
    EXPECT_EQ(pane->m_strCurrentDir, base + "/a/b");
    EXPECT_EQ(Combo(), Chain(base + "/a/b"));

    // Picking "a" removes the deeper items and shows it.
    pane->ChangeDirectory(base + "/a/b/c/d");
    int a = static_cast<int>(Chain(base).size()) + 0; // index of "a"
    ASSERT_EQ(pane->m_wndFolderCombo->GetItemText(a), "a");
    pane->OnSelchangeFolder(a);
    EXPECT_EQ(pane->m_strCurrentDir, base + "/a");
    EXPECT_EQ(Combo(), Chain(base + "/a"));
    EXPECT_EQ(ListNames(), std::vector<std::string>{"b"});
    // Picking the drive shows the root.
    pane->OnSelchangeFolder(0);
    EXPECT_EQ(pane->m_strCurrentDir, "/");
    EXPECT_EQ(Combo(), std::vector<std::string>{"/"});
    pane->OnUpOneLevel();
    EXPECT_EQ(pane->m_strCurrentDir, "/");

    // A folder that cannot be entered leads to the root, once.
    pane->ChangeDirectory(base + "/missing");
    EXPECT_EQ(pane->m_strCurrentDir, "/");
    pane->m_strDefaultDir = base + "/a/";
    pane->HandleCommand(cmd::ID_DEFAULT_DIRECTORY);
    EXPECT_EQ(pane->m_strCurrentDir, base + "/a");
}

TEST_F(LocalPaneTest, ColumnsSortWithADirectionKeptPerKeyAndViewsSwitch) {
    std::ofstream(base + "/x.txt") << std::string(3000, 'x');
    std::ofstream(base + "/y.dat") << "y";
    std::ofstream(base + "/z.bin") << std::string(100, 'z');
    pane->ChangeDirectory(base);
    // Name is the current key: its first click sorts descending.
    pane->SortBy(0);
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"a", "z.bin", "y.dat", "x.txt"}));
    pane->SortBy(2);
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"a", "y.dat", "z.bin", "x.txt"}));
    pane->SortBy(2);
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"a", "x.txt", "z.bin", "y.dat"}));
    pane->SortBy(0); // back to Name, in the direction Name was left in
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"a", "z.bin", "y.dat", "x.txt"}));

    pane->SetViewMode(1);
    EXPECT_TRUE(pane->m_wndList->IsReportView());
    EXPECT_EQ(pane->m_wndList->GetColumnCount(), 4);
    EXPECT_EQ(pane->m_wndList->GetItemText(1), "z.bin");
    EXPECT_EQ(pane->m_wndList->GetItemText(0, 2), "File Folder");
    EXPECT_EQ(pane->m_wndList->GetItemText(3, 1), "3 KB"); // x.txt
    pane->SetViewMode(cmd::ID_VIEW_SMALL);
    EXPECT_FALSE(pane->m_wndList->IsReportView());
    EXPECT_EQ(ListNames().size(), 4u);
}

TEST_F(LocalPaneTest, SelectionCommandsAndTheContextMenuFollowTheRules) {
    for (int i = 0; i < 300; ++i)
        std::ofstream(base + "/f" + std::to_string(1000 + i));
    pane->ChangeDirectory(base);
    pane->SetViewMode(1);
    Pump(50);
    auto selected = [&] { return pane->m_wndList->GetSelectedItemCount(); };
    pane->HandleCommand(cmd::ID_SELECT_PAGE);
    int page = selected();
    EXPECT_GT(page, 5);
    EXPECT_LT(page, 300);
    pane->HandleCommand(cmd::ID_INVERT_SELECTION);
    EXPECT_EQ(selected(), 301 - page);
    pane->HandleCommand(cmd::ID_SELECT_ALL);
    EXPECT_EQ(selected(), 301);

    Select({});
    std::unique_ptr<wxMenu> menu(pane->CreateContextMenu());
    EXPECT_EQ(menu->FindItem(cmd::ToWx(cmd::ID_UPLOAD))->GetItemLabel(),
              "&Upload          Ctrl + U");
    for (int id : {cmd::ID_DOWNLOAD, cmd::ID_UPLOAD, cmd::ID_PROPERTIES, cmd::ID_EXECUTE,
                   cmd::ID_DELETE, cmd::ID_RENAME})
        EXPECT_FALSE(menu->IsEnabled(cmd::ToWx(id))) << id;
    EXPECT_TRUE(menu->IsEnabled(cmd::ToWx(cmd::ID_REFRESH)));
    Select({"f1000"});
    pane->m_bUploading = 1;
    menu.reset(pane->CreateContextMenu());
    for (int id : {cmd::ID_REFRESH, cmd::ID_NEW_FOLDER, cmd::ID_DEFAULT_DIRECTORY,
                   cmd::ID_UP_ONE_LEVEL, cmd::ID_DELETE})
        EXPECT_FALSE(menu->IsEnabled(cmd::ToWx(id))) << id;
    EXPECT_TRUE(menu->IsEnabled(cmd::ToWx(cmd::ID_SELECT_ALL)));
    pane->m_bUploading = 0;
}

TEST_F(LocalPaneTest, NewFolderAndRenameNeverReplaceAnything) {
    pane->ChangeDirectory(base);
    pane->OnNewFolder();
    EXPECT_TRUE(fs::is_directory(base + "/New Folder"));
    ASSERT_TRUE(pane->m_wndList->GetEditControl());
    pane->m_wndList->EndEditLabel(true);
    EXPECT_TRUE(asked.empty());
    pane->OnNewFolder(); // again: it exists
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].text, "Unable to Create New Directory");
    EXPECT_EQ(asked[0].caption, "Orvane");
    EXPECT_EQ(asked[0].icon, ui::kIconStop);
    pane->m_wndList->EndEditLabel(true);

    std::ofstream(base + "/keep.txt") << "keep";
    std::ofstream(base + "/other.txt") << "other";
    pane->FillFileList(base);
    auto rename = [&](const std::string& from, const std::string& to, bool cancel = false) {
        Select({from});
        pane->OnRename();
        wxTextCtrl* edit = pane->m_wndList->GetEditControl();
        ASSERT_TRUE(edit);
        EXPECT_EQ(pane->m_bEditingLabel, 1);
        edit->SetValue(wxString::FromUTF8(to));
        pane->m_wndList->EndEditLabel(cancel);
        Pump(20);
        EXPECT_EQ(pane->m_bEditingLabel, 0);
    };
    rename("other.txt", "keep.txt"); // taken: refused, nothing replaced
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1].text, "Unable to rename the file");
    EXPECT_EQ(asked[1].caption, "Error");
    std::ifstream keep(base + "/keep.txt");
    std::string content((std::istreambuf_iterator<char>(keep)), {});
    EXPECT_EQ(content, "keep");
    EXPECT_TRUE(fs::exists(base + "/other.txt"));
    rename("other.txt", "../escaped.txt"); // not a name of this folder
    EXPECT_EQ(asked.size(), 3u);
    EXPECT_FALSE(fs::exists(dir.path() + "/escaped.txt"));
    rename("other.txt", "");        // empty: refused quietly
    rename("other.txt", "x", true); // cancelled
    EXPECT_EQ(asked.size(), 3u);
    rename("other.txt", "renamed.txt");
    EXPECT_TRUE(fs::exists(base + "/renamed.txt"));
    EXPECT_FALSE(fs::exists(base + "/other.txt"));
    EXPECT_NE(std::find(ListNames().begin(), ListNames().end(), "renamed.txt"), ListNames().end());
}

TEST_F(LocalPaneTest, DeleteAsksOnceThenUsesTheTrashAndNothingWhileANameIsEdited) {
    std::ofstream(base + "/one.txt") << "1";
    std::ofstream(base + "/two.txt") << "2";
    pane->ChangeDirectory(base);
    Select({"one.txt", "two.txt", "a"});
    answers = {ui::kNo};
    pane->OnDelete();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].text, "Move these 3 items to the Trash?");
    EXPECT_TRUE(fs::exists(base + "/one.txt"));
    Select({"one.txt", "two.txt", "a"});
    answers = {ui::kYes};
    pane->OnDelete();
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_FALSE(fs::exists(base + "/one.txt") || fs::exists(base + "/a"));
    EXPECT_TRUE(fs::exists(g_dataHome + "/Trash/files/one.txt"));
    EXPECT_TRUE(fs::exists(g_dataHome + "/Trash/files/a/b/c/d"));
    EXPECT_TRUE(ListNames().empty());

    std::ofstream(base + "/three.txt") << "3";
    pane->FillFileList(base);
    Select({"three.txt"});
    pane->OnRename();
    pane->OnDelete(); // the Delete key while naming
    EXPECT_EQ(asked.size(), 2u);
    pane->m_wndList->EndEditLabel(true);
    EXPECT_TRUE(fs::exists(base + "/three.txt"));
}

TEST_F(LocalPaneTest, PropertiesCountWhatIsBelowWithoutFollowingLinks) {
    fs::create_directories(base + "/p/empty");
    std::ofstream(base + "/p/one") << std::string(100, '1');
    std::ofstream(base + "/p/two") << std::string(2000, '2');
    fs::create_directory_symlink(base + "/p", base + "/p/loop");
    std::ofstream(base + "/empty.txt");
    pane->ChangeDirectory(base);
    std::vector<std::string> shown;
    dialogAnswer = [&](wxDialog& d) {
        for (int id : {1031, 1032, 1033, 1034})
            shown.push_back(
                dynamic_cast<wxStaticText*>(d.FindWindow(id))->GetLabelText().utf8_string());
        return wxID_OK;
    };
    Select({"p"});
    pane->OnProperties();
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[0], "File Folder");
    EXPECT_EQ(shown[1], base + "/p");
    EXPECT_EQ(shown[2], "3 KB");
    // The link counts as one more file (it is one), not as the folder again.
    EXPECT_EQ(shown[3], "3 Files   :   1 Folders");
    shown.clear();
    Select({"empty.txt"});
    pane->OnProperties();
    EXPECT_EQ(shown, (std::vector<std::string>{"File", base + "/empty.txt", "0 KB",
                                               "1 Files   :   0 Folders"}));
}

TEST_F(LocalPaneTest, ExecuteOpensEverySelectedRowInListOrder) {
    std::string bin = dir.path() + "/bin", record = dir.path() + "/opened.txt";
    fs::create_directories(bin);
    // Each opener notes its process id: the openers run side by side, so the
    // order in which they write says nothing, the order they started in does.
    std::ofstream(bin + "/xdg-open") << "#!/bin/sh\necho \"$$|$1|$(pwd)\" >> '" << record << "'\n";
    fs::permissions(bin + "/xdg-open", fs::perms::owner_all);
    std::string oldPath = getenv("PATH");
    setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
    for (const char* f : {"c.txt", "a.txt", "b.txt"})
        std::ofstream(base + "/" + f);
    pane->ChangeDirectory(base);
    pane->SortBy(CLocalDirectory::kName); // descending: the list shows c, b, a
    ASSERT_EQ(ListNames(), (std::vector<std::string>{"a", "c.txt", "b.txt", "a.txt"}));
    Select({"a.txt", "b.txt", "c.txt"});
    pane->OnExecute();
    std::vector<std::string> lines;
    PumpUntil([&] {
        lines.clear();
        std::ifstream in(record);
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        return lines.size() == 3;
    });
    ASSERT_EQ(lines.size(), 3u);
    std::vector<std::pair<long, std::string>> started;
    for (const std::string& l : lines)
        started.emplace_back(std::stol(l.substr(0, l.find('|'))), l.substr(l.find('|') + 1));
    std::sort(started.begin(), started.end());
    std::vector<std::string> opened;
    for (const auto& [pid, what] : started)
        opened.push_back(what);
    EXPECT_EQ(opened, (std::vector<std::string>{base + "/c.txt|" + base, base + "/b.txt|" + base,
                                                base + "/a.txt|" + base}));
    setenv("PATH", oldPath.c_str(), 1);
}

TEST_F(LocalPaneTest, NamesThatAreNotUtf8AreShownEscapedAndActedOnByTheirBytes) {
    const std::string file = "caf\xE9.txt", folder = "d\xE9j\xE0";
    fs::create_directories(base + "/" + folder + "/inner");
    std::ofstream(base + "/" + file) << "latin-1";
    std::ofstream(base + "/keep.txt") << "k";
    pane->ChangeDirectory(base);
    std::vector<std::string> names;
    for (const auto& r : pane->Rows())
        names.push_back(r.name);
    EXPECT_EQ(names, (std::vector<std::string>{"a", folder, file, "keep.txt"}));
    EXPECT_EQ(ListNames(),
              (std::vector<std::string>{"a", "d\\xE9j\\xE0", "caf\\xE9.txt", "keep.txt"}));
    Select({"caf\\xE9.txt", "keep.txt"});
    EXPECT_EQ(pane->SelectedNames(), (std::vector<std::string>{file, "keep.txt"}));

    // Delete acts on that entry only.
    Select({"caf\\xE9.txt"});
    answers = {ui::kYes};
    pane->OnDelete();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].text, "Move \"caf\\xE9.txt\" to the Trash?");
    EXPECT_FALSE(fs::exists(base + "/" + file));
    EXPECT_TRUE(fs::exists(g_dataHome + "/Trash/files/" + file));
    EXPECT_TRUE(fs::exists(base + "/keep.txt"));
    EXPECT_TRUE(fs::exists(base + "/" + folder + "/inner"));
    EXPECT_TRUE(fs::exists(base));

    // Double-click enters the folder of that name; the box keeps its bytes.
    Select({"d\\xE9j\\xE0"});
    pane->OnOpenRow();
    EXPECT_EQ(pane->m_strCurrentDir, base + "/" + folder);
    EXPECT_EQ(ListNames(), std::vector<std::string>{"inner"});
    EXPECT_EQ(Selected(), folder);
    EXPECT_EQ(pane->m_wndFolderCombo->GetString(pane->m_wndFolderCombo->GetCurSel()).utf8_string(),
              "d\\xE9j\\xE0");
    // Up and a pick in the box go back by the same bytes.
    pane->OnUpOneLevel();
    EXPECT_EQ(pane->m_strCurrentDir, base);
    pane->ChangeDirectory(base + "/" + folder + "/inner");
    EXPECT_EQ(Combo(), Chain(base + "/" + folder + "/inner"));
    int s = pane->m_wndFolderCombo->GetCurSel() - 1;
    pane->m_wndFolderCombo->SetCurSel(s);
    pane->OnSelchangeFolder(s);
    EXPECT_EQ(pane->m_strCurrentDir, base + "/" + folder);

    // Renaming: confirming the shown text unchanged keeps the name.
    pane->ChangeDirectory(base);
    Select({"d\\xE9j\\xE0"});
    pane->OnRename();
    ASSERT_NE(pane->m_wndList->GetEditControl(), nullptr);
    pane->m_wndList->EndEditLabel(false);
    Pump(20);
    EXPECT_TRUE(fs::exists(base + "/" + folder + "/inner"));
    EXPECT_EQ(asked.size(), 1u); // no failed rename reported
}

TEST_F(LocalPaneTest, ARelativeDefaultFolderLeadsToTheRootAsAMissingOneDoes) {
    fs::create_directories(dir.path() + "/victim/sub");
    std::string oldCwd = fs::current_path();
    fs::current_path(dir.path()); // where the relative path would lead
    pane->ChangeDirectory(base);
    pane->m_strDefaultDir = "victim/sub/";
    pane->OnDefaultDirectory();
    EXPECT_EQ(pane->m_strCurrentDir, "/");
    EXPECT_EQ(Combo(), std::vector<std::string>{"/"});
    pane->ChangeDirectory("victim");
    EXPECT_EQ(pane->m_strCurrentDir, "/");
    EXPECT_EQ(Combo(), std::vector<std::string>{"/"});
    fs::current_path(oldCwd);
}

TEST_F(LocalPaneTest, PropertiesShowAnAmpersandInThePathAsItIs) {
    fs::create_directories(base + "/R&D & more");
    pane->ChangeDirectory(base);
    std::string location;
    dialogAnswer = [&](wxDialog& d) {
        location = dynamic_cast<wxStaticText*>(d.FindWindow(1032))->GetLabelText().utf8_string();
        return wxID_OK;
    };
    Select({"R&D & more"});
    pane->OnProperties();
    EXPECT_EQ(location, base + "/R&D & more");
}

TEST_F(LocalPaneTest, TheMarkerShowsWhichPaneIsActive) {
    EXPECT_FALSE(pane->m_wndMarker->GetBitmap().IsOk()); // nothing before the first activation
    pane->MarkActive();
    EXPECT_EQ(pane->m_wndMarker->GetBitmap().GetSize(), wxSize(14, 8));
    EXPECT_EQ(right()->m_wndMarker->GetBitmap().GetSize(), wxSize(15, 5));
    right()->MarkActive();
    EXPECT_EQ(pane->m_wndMarker->GetBitmap().GetSize(), wxSize(15, 5));
    EXPECT_EQ(right()->m_wndMarker->GetBitmap().GetSize(), wxSize(14, 8));
}

} // namespace
