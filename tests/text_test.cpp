// What a window shows for a name's bytes, and cutting text to a byte count.
#include "platform/ui/Text.h"

#include <gtest/gtest.h>

namespace {

TEST(DisplayText, ValidTextStaysAndBadBytesAndControlsAreEscaped) {
    EXPECT_EQ(ui::DisplayText("plain name.txt"), "plain name.txt");
    EXPECT_EQ(ui::DisplayText("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"),
              "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(ui::DisplayText("a\\b"), "a\\b"); // a backslash is no escape
    // Latin-1 bytes, one by one.
    EXPECT_EQ(ui::DisplayText("caf\xE9.txt"), "caf\\xE9.txt");
    EXPECT_EQ(ui::DisplayText("d\xE9j\xE0"), "d\\xE9j\\xE0");
    // A character cut short, an overlong form, a surrogate, past U+10FFFF.
    EXPECT_EQ(ui::DisplayText("x\xE2\x82"), "x\\xE2\\x82");
    EXPECT_EQ(ui::DisplayText("\xC0\xAF"), "\\xC0\\xAF");
    EXPECT_EQ(ui::DisplayText("\xED\xA0\x80"), "\\xED\\xA0\\x80");
    EXPECT_EQ(ui::DisplayText("\xF4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");
    // Control characters cannot break a line or move the text.
    EXPECT_EQ(ui::DisplayText("one\r\nDELE x\t\x7F"), "one\\x0D\\x0ADELE x\\x09\\x7F");
    EXPECT_EQ(ui::DisplayText("a\xC2\x85z"), "a\\xC2\\x85z"); // NEL
    EXPECT_EQ(ui::DisplayText(std::string("n\0ul", 4)), "n\\x00ul");
    // The result is always text a widget takes.
    EXPECT_FALSE(ui::ToWx("caf\xE9").empty());
    EXPECT_EQ(ui::ToWx("caf\xE9").utf8_string(), "caf\\xE9");
}

// Valid characters that end a line in a text view or turn the text around
// ("txt.exe" shown as "exe.txt") are shown escaped, byte by byte.
TEST(DisplayText, LineAndParagraphSeparatorsAndDirectionControlsAreEscaped) {
    EXPECT_EQ(ui::DisplayText("a\xE2\x80\xA8"
                              "b"),
              "a\\xE2\\x80\\xA8b"); // U+2028
    EXPECT_EQ(ui::DisplayText("a\xE2\x80\xA9"
                              "b"),
              "a\\xE2\\x80\\xA9b");                                                // U+2029
    EXPECT_EQ(ui::DisplayText("x\xE2\x80\xAEtxt.exe"), "x\\xE2\\x80\\xAEtxt.exe"); // U+202E
    EXPECT_EQ(ui::DisplayText("\xE2\x81\xA6"
                              "a\xE2\x81\xA9"),
              "\\xE2\\x81\\xA6a\\xE2\\x81\\xA9"); // U+2066, U+2069
    EXPECT_EQ(ui::DisplayText("\xE2\x80\x8F\xD8\x9C\xEF\xBB\xBF"),
              "\\xE2\\x80\\x8F\\xD8\\x9C\\xEF\\xBB\\xBF"); // U+200F, U+061C, U+FEFF
    // Their neighbours are ordinary text.
    EXPECT_EQ(ui::DisplayText("\xE2\x80\x94 \xE2\x80\xB0 \xE2\x81\xB0"),
              "\xE2\x80\x94 \xE2\x80\xB0 \xE2\x81\xB0"); // em dash, per mille, superscript 0
}

TEST(KeptBytes, GivesBackTheStoredBytesUntilTheFieldIsChanged) {
    ui::KeptBytes kept;
    // UTF-8 is shown as it is, line breaks too (a comment may have several lines).
    EXPECT_EQ(kept.Show("two\nlines \xE2\x82\xAC").utf8_string(), "two\nlines \xE2\x82\xAC");
    EXPECT_EQ(kept.Get(wxString::FromUTF8("two\nlines \xE2\x82\xAC")), "two\nlines \xE2\x82\xAC");
    // Bytes that are not UTF-8 are shown readably and come back unchanged.
    wxString shown = kept.Show(std::string("/d\xE9j\xE0\0x", 7));
    EXPECT_EQ(shown.utf8_string(), "/d\\xE9j\\xE0\\x00x");
    EXPECT_EQ(kept.Get(shown), std::string("/d\xE9j\xE0\0x", 7));
    // Once edited, the field holds what was typed.
    EXPECT_EQ(kept.Get(shown + "y"), "/d\\xE9j\\xE0\\x00xy");
    EXPECT_EQ(kept.Get(""), "");
}

TEST(CutAtCharBoundary, NeverEndsInsideACharacter) {
    EXPECT_EQ(ui::CutAtCharBoundary("short", 10), "short");
    EXPECT_EQ(ui::CutAtCharBoundary("abcdef", 3), "abc");
    std::string e60;
    for (int i = 0; i < 60; ++i)
        e60 += "\xC3\xA9"; // é
    std::string cut = ui::CutAtCharBoundary(e60, 99);
    EXPECT_EQ(cut, e60.substr(0, 98));
    EXPECT_EQ(ui::CutAtCharBoundary(e60, 98), e60.substr(0, 98));
    // Three- and four-byte characters, cut at each of their bytes.
    std::string euro = "ab\xE2\x82\xAC";
    EXPECT_EQ(ui::CutAtCharBoundary(euro, 3), "ab");
    EXPECT_EQ(ui::CutAtCharBoundary(euro, 4), "ab");
    EXPECT_EQ(ui::CutAtCharBoundary(euro + "c", 5), euro);
    std::string smile = "\xF0\x9F\x98\x80z";
    for (size_t n = 0; n < 4; ++n)
        EXPECT_EQ(ui::CutAtCharBoundary(smile, n), "") << n;
    EXPECT_EQ(ui::CutAtCharBoundary(smile, 4), "\xF0\x9F\x98\x80");
    // Bytes that form no character are cut where the count ends.
    EXPECT_EQ(ui::CutAtCharBoundary("\xE9\xE9\xE9\xE9", 3), "\xE9\xE9\xE9");
    EXPECT_EQ(ui::CutAtCharBoundary("ab\x82\x82\x82\x82", 4), "ab\x82\x82");
}

} // namespace
