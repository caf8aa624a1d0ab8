// The text box's editing logic without a display: typing, the caret and the
// selection by keys and mouse, the length limit, and scrolling.
#include "editor/TextField.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

constexpr double kCharWidth = 7.0;

// A fixed-pitch font, and one where '1' is narrow, to find carets by x.
const TextField::Measure monospace = [](std::string_view s) { return kCharWidth * static_cast<double>(s.size()); };
const TextField::Measure proportional = [](std::string_view s) {
    double width = 0;
    for (char c : s)
        width += c == '1' ? 3.0 : 9.0;
    return width;
};

TextField withText(const char* text)
{
    TextField field;
    field.setText(text);
    return field;
}

}  // namespace

TEST(TextField, TypingReplacesTheSelectionAndKeepsPrintableAsciiOnly)
{
    TextField field = withText("15 14 12");
    EXPECT_EQ(field.caret(), 0u);
    field.end(false);
    EXPECT_TRUE(field.insert(" 0"));
    EXPECT_EQ(field.text(), "15 14 12 0");
    field.home(false);
    field.moveRight(true);
    field.moveRight(true);
    EXPECT_EQ(field.selectedText(), "15");
    EXPECT_TRUE(field.insert("9\t\x01\xc3\xa9"));
    EXPECT_EQ(field.text(), "9 14 12 0");
    EXPECT_EQ(field.caret(), 1u);
    EXPECT_FALSE(field.hasSelection());
    // A pasted second line is not part of a one-line box.
    EXPECT_TRUE(field.insert("| 1\n2 3"));
    EXPECT_EQ(field.text(), "9| 1 14 12 0");
    EXPECT_FALSE(field.insert("\x7f"));
}

TEST(TextField, BackspaceAndDeleteTakeOneCharacterOrTheSelection)
{
    TextField field = withText("0 1 2");
    EXPECT_FALSE(field.backspace());
    EXPECT_TRUE(field.deleteForward());
    EXPECT_EQ(field.text(), " 1 2");
    field.end(false);
    EXPECT_FALSE(field.deleteForward());
    EXPECT_TRUE(field.backspace());
    EXPECT_EQ(field.text(), " 1 ");
    field.moveLeft(true);
    field.moveLeft(true);
    EXPECT_EQ(field.selectedText(), "1 ");
    EXPECT_TRUE(field.deleteForward());
    EXPECT_EQ(field.text(), " ");
    field.selectAll();
    EXPECT_TRUE(field.backspace());
    EXPECT_EQ(field.text(), "");
    EXPECT_FALSE(field.eraseSelection());
}

TEST(TextField, ArrowsCollapseASelectionAndShiftExtendsIt)
{
    TextField field = withText("abcdef");
    field.moveRight(false);
    field.moveRight(true);
    field.moveRight(true);
    EXPECT_EQ(field.anchor(), 1u);
    EXPECT_EQ(field.caret(), 3u);
    field.moveLeft(false);
    EXPECT_EQ(field.caret(), 1u) << "to the selection's start";
    field.end(true);
    EXPECT_EQ(field.selectedText(), "bcdef");
    field.moveRight(false);
    EXPECT_EQ(field.caret(), 6u) << "to the selection's end";
    field.moveRight(false);
    EXPECT_EQ(field.caret(), 6u);
    field.home(true);
    EXPECT_EQ(field.selectionStart(), 0u);
    EXPECT_EQ(field.selectionEnd(), 6u);
    field.moveLeft(false);
    field.moveLeft(false);
    EXPECT_EQ(field.caret(), 0u);
}

TEST(TextField, KeepsAtMostThe1023CharactersAProgramHolds)
{
    TextField field = withText(std::string(2000, '1').c_str());
    EXPECT_EQ(field.text().size(), TextField::kMaxLength);
    field.end(false);
    EXPECT_FALSE(field.insert("2"));
    field.home(false);
    field.moveRight(true);
    field.moveRight(true);
    EXPECT_TRUE(field.insert("345"));
    EXPECT_EQ(field.text().size(), TextField::kMaxLength);
    EXPECT_EQ(field.text().substr(0, 3), "341") << "the third pasted character no longer fits";
}

TEST(TextField, ClickPlacesTheCaretAtTheNearestBoundary)
{
    TextField field = withText("1 22");  // boundaries at 0, 3, 12, 21, 30 in the proportional font
    const double x[] = {-5, 1, 2, 7, 8, 13, 20, 29, 100};
    const size_t expected[] = {0, 0, 1, 1, 2, 2, 3, 4, 4};
    for (size_t i = 0; i < std::size(x); ++i)
        EXPECT_EQ(field.positionAt(x[i], proportional), expected[i]) << "x " << x[i];

    field.press(8, false, proportional);
    field.drag(29, proportional);
    EXPECT_EQ(field.selectedText(), "22");
    field.drag(0, proportional);
    EXPECT_EQ(field.selectedText(), "1 ") << "the anchor stays where the press was";
    field.press(29, true, proportional);
    EXPECT_EQ(field.selectedText(), "22") << "Shift+click moves the caret only";
}

TEST(TextField, DoubleClickSelectsAWordOrARunOfSpaces)
{
    TextField field = withText("0 0 |  -12 5");
    field.doubleClick(8.5 * kCharWidth, monospace);  // inside "-12"
    EXPECT_EQ(field.selectedText(), "-12");
    field.doubleClick(5.6 * kCharWidth, monospace);
    EXPECT_EQ(field.selectedText(), "  ");
    field.doubleClick(100 * kCharWidth, monospace);
    EXPECT_EQ(field.selectedText(), "5");
    TextField empty;
    empty.doubleClick(3, monospace);
    EXPECT_FALSE(empty.hasSelection());
}

TEST(TextField, ScrollingKeepsTheCaretInViewAndClicksFollowIt)
{
    constexpr double kView = 70.0;  // ten characters
    TextField field = withText("0123456789abcdefghij");
    field.end(false);
    field.scrollToCaret(kView, monospace);
    EXPECT_DOUBLE_EQ(field.scrollOffset(), 70.0);
    EXPECT_EQ(field.positionAt(0, monospace), 10u) << "x is counted from the visible start";
    for (int i = 0; i < 15; ++i)
        field.moveLeft(false);
    field.scrollToCaret(kView, monospace);
    EXPECT_DOUBLE_EQ(field.scrollOffset(), 35.0);
    field.selectAll();
    field.insert("xy");
    field.scrollToCaret(kView, monospace);
    EXPECT_DOUBLE_EQ(field.scrollOffset(), 0.0) << "nothing left to scroll";
    field.setText("new");
    EXPECT_DOUBLE_EQ(field.scrollOffset(), 0.0);
}

TEST(TextField, RandomEditsKeepCaretSelectionAndLengthInRange)
{
    std::mt19937 random(7);
    TextField field;
    for (int step = 0; step < 20000; ++step) {
        const bool shift = random() % 2;
        switch (random() % 11) {
        case 0:
            field.insert(std::string(random() % 300, static_cast<char>(random() % 256)));
            break;
        case 1:
            field.backspace();
            break;
        case 2:
            field.deleteForward();
            break;
        case 3:
            field.moveLeft(shift);
            break;
        case 4:
            field.moveRight(shift);
            break;
        case 5:
            field.home(shift);
            break;
        case 6:
            field.end(shift);
            break;
        case 7:
            field.selectWordAt(random() % 1100);
            break;
        case 8:
            field.press(static_cast<double>(random() % 9000) - 100, shift, monospace);
            break;
        case 9:
            field.drag(static_cast<double>(random() % 9000) - 100, proportional);
            break;
        default:
            field.eraseSelection();
            break;
        }
        field.scrollToCaret(475, monospace);
        ASSERT_LE(field.text().size(), TextField::kMaxLength);
        ASSERT_LE(field.caret(), field.text().size());
        ASSERT_LE(field.anchor(), field.text().size());
        ASSERT_GE(field.scrollOffset(), 0.0);
        for (char c : field.text())
            ASSERT_TRUE(c >= ' ' && c <= '~');
    }
}
