// The emulated drop-down list: its items, the notifications a click or a key makes, where
// keys go while it has the focus, and the open list floating over the window's pixels.
#include "platform/portable/backend.h"
#include "recorder.h"

namespace {

constexpr Colour BACKGROUND = MakeColour(18, 24, 50);
constexpr Colour HIGHLIGHT = MakeColour(0, 120, 215);
constexpr Colour WHITE = MakeColour(255, 255, 255);
constexpr int LIST_ID = 9;
constexpr int LIST_X = 100, LIST_Y = 5, LIST_W = 200, LIST_H = 20;
// The list's top in the main window: the toolbar's client area starts below its divider.
constexpr int LIST_TOP = LIST_Y + 2;

class ComboTest : public PortableTest {
protected:
    WindowRef main_window = nullptr;
    WindowRef toolbar = nullptr;
    WindowRef list = nullptr;

    void SetUp() override {
        PortableTest::SetUp();
        main_window = MakeMain(800, 720);
        SetWindowBackground(main_window, BACKGROUND);
        toolbar = MakeToolbar(main_window);
        ASSERT_NE(toolbar, nullptr);
        list = CreateDropDownList(toolbar, LIST_ID, LIST_X, LIST_Y, LIST_W, LIST_H);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(ListAddItem(list, "Default input device"), 0);
        EXPECT_EQ(ListAddItem(list, "Line in"), 1);
        EXPECT_EQ(ListAddItem(list, "Microphone"), 2);
        ListSelect(list, 0);
        Recorded().clear();
    }

    // Top of item `index` of the open list, in the main window's client coordinates.
    int ItemY(int index) { return LIST_TOP + LIST_H + 1 + index * 15; }

    void Click(int x, int y) {
        InjectMouseButton(main_window, x, y, true);
        InjectMouseButton(main_window, x, y, false);
    }

    // Every WM_COMMAND came from the list, through the toolbar, to the main window.
    void ExpectCommandsFromList() {
        for (const RecordedMessage& m : RecordedOf(WM_COMMAND)) {
            EXPECT_EQ(m.window, main_window);
            EXPECT_EQ(m.wparam & 0xFFFF, (uintptr_t)LIST_ID);
            EXPECT_EQ(m.lparam, (intptr_t)list);
        }
    }
};

TEST_F(ComboTest, ItemsKeepTextDataAndSelection) {
    EXPECT_EQ(ListItemCount(list), 3);
    char text[8];
    ASSERT_TRUE(ListGetItemText(list, 2, text, sizeof text));
    EXPECT_STREQ(text, "Microph");  // cut to the buffer
    EXPECT_FALSE(ListGetItemText(list, 3, text, sizeof text));
    ListSetItemData(list, 1, -1);
    ListSetItemData(list, 2, 5);
    EXPECT_EQ(ListGetItemData(list, 1), -1);
    EXPECT_EQ(ListGetItemData(list, 2), 5);
    ListSelect(list, 2);
    EXPECT_EQ(ListSelection(list), 2);
    ListSelect(list, 7);
    EXPECT_EQ(ListSelection(list), -1);
    EXPECT_TRUE(RecordedOf(WM_COMMAND).empty());  // selecting in code notifies no one
}

TEST_F(ComboTest, ClosedListIsAWhiteFieldWithABorderAndTheSelectedText) {
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X, LIST_TOP), MakeColour(122, 122, 122));
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X + LIST_W - 1, LIST_TOP + LIST_H - 1), MakeColour(122, 122, 122));
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X + 1, LIST_TOP + 1), WHITE);
    // The selected item's text leaves dark pixels at the field's left.
    int dark = 0;
    for (int y = LIST_TOP + 2; y < LIST_TOP + LIST_H - 2; ++y)
        for (int x = LIST_X + 2; x < LIST_X + 60; ++x) dark += ColourRed(HeadlessPixel(main_window, x, y)) < 128;
    EXPECT_GT(dark, 20);
    // Nothing is drawn below the closed field: the flat toolbar shows the window's background.
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X + 10, LIST_TOP + LIST_H + 2), BACKGROUND);
}

TEST_F(ComboTest, ChoosingAnotherItemNotifiesInWindowsOrder) {
    Click(LIST_X + 50, LIST_TOP + 10);
    EXPECT_EQ(CommandCodes(), (std::vector<int>{CBN_SETFOCUS, CBN_DROPDOWN}));
    EXPECT_EQ(GetKeyboardFocus(), list);
    // The open list: the selected item highlighted, the others white.
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X + LIST_W - 5, ItemY(0) + 7), HIGHLIGHT);
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X + LIST_W - 5, ItemY(1) + 7), WHITE);
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X + LIST_W - 5, ItemY(2) + 7), WHITE);
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X + LIST_W - 5, ItemY(3) + 7), BACKGROUND);  // only 3 items tall
    Recorded().clear();
    Click(LIST_X + 50, ItemY(2) + 7);
    EXPECT_EQ(CommandCodes(), (std::vector<int>{CBN_SELENDOK, CBN_CLOSEUP, CBN_SELCHANGE}));
    ExpectCommandsFromList();
    EXPECT_EQ(ListSelection(list), 2);
    // What the list covered is back.
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X + LIST_W - 5, ItemY(1) + 7), BACKGROUND);
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X + 50, ItemY(2) + 7), BACKGROUND);
}

TEST_F(ComboTest, ChoosingTheSameItemDoesNotReportAChange) {
    Click(LIST_X + 50, LIST_TOP + 10);
    Recorded().clear();
    Click(LIST_X + 50, ItemY(0) + 3);
    EXPECT_EQ(CommandCodes(), (std::vector<int>{CBN_SELENDOK, CBN_CLOSEUP}));
    EXPECT_EQ(ListSelection(list), 0);
}

TEST_F(ComboTest, ClickingElsewhereCancelsAndMovesTheFocusToTheMainWindow) {
    Click(LIST_X + 50, LIST_TOP + 10);
    Recorded().clear();
    Click(600, 600);
    EXPECT_EQ(CommandCodes(), (std::vector<int>{CBN_SELENDCANCEL, CBN_CLOSEUP, CBN_KILLFOCUS}));
    ExpectCommandsFromList();
    EXPECT_EQ(GetKeyboardFocus(), main_window);
    EXPECT_EQ(ListSelection(list), 0);
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X + LIST_W - 5, ItemY(1) + 7), BACKGROUND);
    // A second click elsewhere has nothing more to say.
    Recorded().clear();
    Click(600, 600);
    EXPECT_TRUE(CommandCodes().empty());
}

TEST_F(ComboTest, ClickingTheOpenListsFieldOnlyClosesIt) {
    Click(LIST_X + 50, LIST_TOP + 10);
    Recorded().clear();
    Click(LIST_X + 50, LIST_TOP + 10);
    EXPECT_EQ(CommandCodes(), (std::vector<int>{CBN_SELENDCANCEL, CBN_CLOSEUP}));
    EXPECT_EQ(GetKeyboardFocus(), list);
    Recorded().clear();
    Click(LIST_X + 50, LIST_TOP + 10);  // already focused: opens without a focus notification
    EXPECT_EQ(CommandCodes(), (std::vector<int>{CBN_DROPDOWN}));
}

TEST_F(ComboTest, KeysToAFocusedListNeverReachTheMainWindow) {
    Click(LIST_X + 50, LIST_TOP + 10);
    Recorded().clear();
    HeadlessKeyAt(1, VK_ESCAPE);
    HeadlessRunUntil(1);
    EXPECT_EQ(CommandCodes(), (std::vector<int>{CBN_SELENDCANCEL, CBN_CLOSEUP}));
    EXPECT_TRUE(RecordedOf(WM_KEYDOWN).empty());
    EXPECT_EQ(GetKeyboardFocus(), list);
    // Escape again, list closed: nothing at all happens, and still nothing reaches the main window.
    Recorded().clear();
    HeadlessKeyAt(2, VK_ESCAPE);
    HeadlessRunUntil(2);
    EXPECT_TRUE(Recorded().empty());
    // Down and Up move the selection and report each change.
    HeadlessKeyAt(3, VK_DOWN);
    HeadlessKeyAt(4, VK_DOWN);
    HeadlessKeyAt(5, VK_DOWN);  // already at the last item
    HeadlessRunUntil(5);
    EXPECT_EQ(CommandCodes(), (std::vector<int>{CBN_SELCHANGE, CBN_SELCHANGE}));
    EXPECT_EQ(ListSelection(list), 2);
    Recorded().clear();
    HeadlessKeyAt(6, VK_UP);
    HeadlessRunUntil(6);
    EXPECT_EQ(CommandCodes(), (std::vector<int>{CBN_SELCHANGE}));
    EXPECT_EQ(ListSelection(list), 1);
    EXPECT_TRUE(RecordedOf(WM_KEYDOWN).empty());
    // Once the main window has the focus again, keys go to it.
    Click(600, 600);
    Recorded().clear();
    HeadlessKeyAt(7, VK_ESCAPE);
    HeadlessRunUntil(7);
    ASSERT_EQ(RecordedOf(WM_KEYDOWN).size(), 1u);
    EXPECT_EQ(RecordedOf(WM_KEYDOWN)[0].window, main_window);
}

TEST_F(ComboTest, OpenListStaysAboveWhatTheWindowDrawsUnderIt) {
    Click(LIST_X + 50, LIST_TOP + 10);
    ASSERT_TRUE(BeginDrawingWindow(main_window));
    FillBox(0, 0, 800, 720, MakeColour(0, 200, 0));
    EndDrawing();
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X + LIST_W - 5, ItemY(0) + 7), HIGHLIGHT);
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X + LIST_W - 5, ItemY(1) + 7), WHITE);
    EXPECT_EQ(HeadlessPixel(main_window, 500, 500), MakeColour(0, 200, 0));
    HeadlessKeyAt(1, VK_ESCAPE);
    HeadlessRunUntil(1);
    // Closed: the window's own drawing shows where the list was.
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X + LIST_W - 5, ItemY(1) + 7), MakeColour(0, 200, 0));
}

TEST_F(ComboTest, HiddenListTakesNoClick) {
    ShowControl(list, false);
    EXPECT_EQ(HeadlessPixel(main_window, LIST_X + 1, LIST_TOP + 1), BACKGROUND);
    Click(LIST_X + 50, LIST_TOP + 10);
    EXPECT_TRUE(CommandCodes().empty());
    EXPECT_EQ(GetKeyboardFocus(), main_window);
}

TEST_F(ComboTest, FocusMovesBetweenTwoLists) {
    WindowRef other = CreateDropDownList(toolbar, 6, 400, 4, 58, 20);
    ListAddItem(other, "Mono");
    Click(LIST_X + 50, LIST_TOP + 10);
    Recorded().clear();
    Click(420, 10);
    // The open list is cancelled and loses the focus before the other one takes it and opens.
    std::vector<std::pair<int, int>> seen;
    for (const RecordedMessage& m : RecordedOf(WM_COMMAND)) seen.emplace_back((int)(m.wparam & 0xFFFF), (int)(m.wparam >> 16));
    std::vector<std::pair<int, int>> expected{{9, CBN_SELENDCANCEL}, {9, CBN_CLOSEUP}, {9, CBN_KILLFOCUS},
                                              {6, CBN_SETFOCUS},     {6, CBN_DROPDOWN}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(GetKeyboardFocus(), other);
}

TEST_F(ComboTest, ScriptedChoiceGoesThroughTheWholeClickSequence) {
    HeadlessChooseListItemAt(10, list, 1);
    HeadlessRunUntil(10);
    EXPECT_EQ(CommandCodes(), (std::vector<int>{CBN_SETFOCUS, CBN_DROPDOWN, CBN_SELENDOK, CBN_CLOSEUP, CBN_SELCHANGE}));
    EXPECT_EQ(ListSelection(list), 1);
    Recorded().clear();
    HeadlessClickListAt(20, list);
    HeadlessClickListAt(30, list);
    HeadlessRunUntil(30);
    EXPECT_EQ(CommandCodes(), (std::vector<int>{CBN_DROPDOWN, CBN_SELENDCANCEL, CBN_CLOSEUP}));
}

}  // namespace
