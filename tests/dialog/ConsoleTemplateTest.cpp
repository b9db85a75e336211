// The console's template 101: its bytes, and the dialog and controls the platform creates from it.
#include <cstring>

#include <gtest/gtest.h>

#include "ConsoleLayout.h"
#include "DialogTestSupport.h"

namespace {

constexpr WORD kNone = 0xFFFF;
constexpr WORD kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082, kListBox = 0x0083, kByName = 0;

struct ControlRow
{
    WORD id;
    WORD atom;          // class atom, or kByName
    const wchar_t* cls; // the class name the window reports
    const wchar_t* caption;
    short x, y, cx, cy;
    DWORD style;
    DWORD exStyle;
    bool shown;
};

// The console's controls in template order, row by row as the layout table gives them.
const ControlRow kControls[] = {
    {2, kButton, L"Button", L"Cancel", 89, 10, 34, 11, 0x50010000, 0, true},
    {kNone, kStatic, L"Static", L"Baudrate", 8, 15, 32, 9, 0x50020000, 0, true},
    {1000, kListBox, L"ListBox", L"", 39, 14, 35, 11, 0x50A10101, 0, true},
    {1017, kButton, L"Button", L"Connect", 89, 22, 35, 12, 0x50010000, 0x200, true},
    {kNone, kButton, L"Button", L"CAN Params", 5, 5, 138, 30, 0x50000007, 0, true},
    {1003, kButton, L"Button", L"Loop", 84, 13, 31, 10, 0x40010003, 0, false},
    {kNone, kStatic, L"Static", L"Delay", 84, 26, 20, 10, 0x40020000, 0, false},
    {1004, kEdit, L"Edit", L"", 104, 23, 36, 12, 0x40812080, 0, false},
    {kNone, kButton, L"Button", L"Timing", 81, 5, 62, 23, 0x40000007, 0, false},
    {1001, kEdit, L"Edit", L"", 39, 86, 40, 12, 0x50812080, 0, true},
    {kNone, kStatic, L"Static", L"Frame ID", 7, 87, 31, 10, 0x50020000, 0, true},
    {1002, kButton, L"Button", L"Extended Frame", 61, 43, 69, 10, 0x50010003, 0, true},
    {kNone, kStatic, L"Static", L"Length", 7, 43, 25, 10, 0x50020000, 0, true},
    {1005, kListBox, L"ListBox", L"", 34, 41, 23, 12, 0x50A10103, 0, true},
    {1006, kEdit, L"Edit", L"", 8, 56, 20, 14, 0x50812080, 0, true},
    {1007, kEdit, L"Edit", L"", 30, 56, 20, 14, 0x50812080, 0, true},
    {1008, kEdit, L"Edit", L"", 52, 56, 20, 14, 0x50812080, 0, true},
    {1009, kEdit, L"Edit", L"", 73, 56, 20, 14, 0x50812080, 0, true},
    {1010, kEdit, L"Edit", L"", 8, 71, 20, 14, 0x50812080, 0, true},
    {1011, kEdit, L"Edit", L"", 30, 71, 20, 14, 0x50812080, 0, true},
    {1012, kEdit, L"Edit", L"", 52, 71, 20, 14, 0x50812080, 0, true},
    {1013, kEdit, L"Edit", L"", 73, 71, 20, 14, 0x50812080, 0, true},
    {1015, kButton, L"Button", L"Start", 95, 56, 35, 14, 0x50010000, 0x200, true},
    {kNone, kButton, L"Button", L"Send", 5, 34, 138, 65, 0x50000007, 0, true},
    {1014, kByName, L"SysListView32", L"List1", 6, 107, 137, 43, 0x50810001, 0, true},
    {1016, kButton, L"Button", L"Start", 54, 105, 50, 11, 0x40010000, 0x200, false},
    {kNone, kButton, L"Button", L"Receive", 2, 99, 141, 51, 0x50000007, 0, true},
};

// Reads the template the way a resource reader does, independently of the platform's own reader.
class Reader
{
public:
    explicit Reader(const std::vector<uint8_t>& bytes) : m_bytes(bytes) {}
    WORD Word()
    {
        WORD value = static_cast<WORD>(m_bytes.at(m_offset) | (m_bytes.at(m_offset + 1) << 8));
        m_offset += 2;
        return value;
    }
    DWORD Dword()
    {
        DWORD low = Word();
        return low | (static_cast<DWORD>(Word()) << 16);
    }
    short Short() { return static_cast<short>(Word()); }
    std::wstring String()
    {
        std::wstring text;
        for (WORD unit = Word(); unit != 0; unit = Word()) {
            text += static_cast<wchar_t>(unit);
        }
        return text;
    }
    size_t Offset() const { return m_offset; }
    void AlignToDword() { m_offset = (m_offset + 3) & ~size_t{3}; }

private:
    const std::vector<uint8_t>& m_bytes;
    size_t m_offset = 0;
};

class ConsoleTemplate : public testing::Test
{
protected:
    void SetUp() override { PrepareConsole(); }
};

TEST_F(ConsoleTemplate, IsResource101OfType5InLanguage1031OfExactly1032Bytes)
{
    HMODULE program = GetModuleHandleW(nullptr);
    HRSRC resource = FindResourceExW(program, RT_DIALOG, MAKEINTRESOURCEW(101), 1031);
    ASSERT_NE(resource, nullptr);
    EXPECT_EQ(SizeofResource(program, resource), 1032u);
    EXPECT_EQ(FindResourceW(program, MAKEINTRESOURCEW(101), RT_DIALOG), resource);
    EXPECT_EQ(ConsoleTemplateFromResource(), ConsoleTemplateBytes());
    EXPECT_EQ(ConsoleTemplateBytes().size(), 1032u);
}

TEST_F(ConsoleTemplate, HeaderDescribesTheWindow)
{
    std::vector<uint8_t> bytes = ConsoleTemplateFromResource();
    Reader read(bytes);
    EXPECT_EQ(read.Dword(),
              0x90C00A40u); // WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_CENTER | DS_SETFOREGROUND | DS_SETFONT
    EXPECT_EQ(read.Dword(), 0u);
    EXPECT_EQ(read.Word(), 27);
    EXPECT_EQ(read.Short(), 0);
    EXPECT_EQ(read.Short(), 0);
    EXPECT_EQ(read.Short(), 145);
    EXPECT_EQ(read.Short(), 153);
    EXPECT_EQ(read.Word(), 0) << "no menu";
    EXPECT_EQ(read.Word(), 0) << "the default dialog class";
    EXPECT_EQ(read.String(), L"CAN - Check");
    EXPECT_EQ(read.Word(), 6);
    EXPECT_EQ(read.String(), L"System");
}

TEST_F(ConsoleTemplate, ItemsFollowTheControlTableOnDwordBoundaries)
{
    std::vector<uint8_t> bytes = ConsoleTemplateFromResource();
    Reader read(bytes);
    read.Dword();
    read.Dword();
    read.Word();
    for (int i = 0; i < 4; ++i) {
        read.Short();
    }
    read.Word();
    read.Word();
    read.String();
    read.Word();
    read.String();
    for (const ControlRow& row : kControls) {
        SCOPED_TRACE(testing::Message() << "control " << (&row - kControls) + 1);
        read.AlignToDword();
        EXPECT_EQ(read.Offset() % 4, 0u);
        EXPECT_EQ(read.Dword(), row.style);
        EXPECT_EQ(read.Dword(), row.exStyle);
        EXPECT_EQ(read.Short(), row.x);
        EXPECT_EQ(read.Short(), row.y);
        EXPECT_EQ(read.Short(), row.cx);
        EXPECT_EQ(read.Short(), row.cy);
        EXPECT_EQ(read.Word(), row.id);
        if (row.atom != kByName) {
            EXPECT_EQ(read.Word(), 0xFFFF);
            EXPECT_EQ(read.Word(), row.atom);
        } else {
            EXPECT_EQ(read.String(), row.cls);
        }
        EXPECT_EQ(read.String(), row.caption);
        EXPECT_EQ(read.Word(), 0) << "no creation data";
    }
    read.AlignToDword();
    EXPECT_EQ(read.Offset(), bytes.size());
}

TEST_F(ConsoleTemplate, DialogIsTheCaptionedWindowOfTheTemplateSize)
{
    TestDialog test;
    ModalDialog dialog(ConsoleTemplateFromResource(), TestDialogProc, reinterpret_cast<LPARAM>(&test),
                       L"CAN - Check");
    HWND window = dialog.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(ClassName(window), L"#32770");
    EXPECT_EQ(WindowText(window), L"CAN - Check");
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)), 0x90C00A40u);
    EXPECT_EQ(GetWindowLongW(window, GWL_EXSTYLE), 0);
    RECT client = {};
    GetClientRect(window, &client);
    RECT expected = {0, 0, 145, 153};
    MapDialogRect(window, &expected);
    EXPECT_EQ(client.right, expected.right);
    EXPECT_EQ(client.bottom, expected.bottom);
}

TEST_F(ConsoleTemplate, ControlsFollowTheControlTable)
{
    TestDialog test;
    ModalDialog dialog(ConsoleTemplateFromResource(), TestDialogProc, reinterpret_cast<LPARAM>(&test),
                       L"CAN - Check");
    HWND window = dialog.Window();
    ASSERT_NE(window, nullptr);
    HWND control = GetWindow(window, GW_CHILD);
    for (const ControlRow& row : kControls) {
        SCOPED_TRACE(testing::Message() << "control " << (&row - kControls) + 1);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(GetDlgCtrlID(control), row.id);
        EXPECT_EQ(ClassName(control), row.cls);
        EXPECT_EQ(WindowText(control), row.caption);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE)), row.style);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(control, GWL_EXSTYLE)), row.exStyle);
        EXPECT_EQ(IsWindowVisible(control) != FALSE, row.shown);
        RECT actual = {};
        GetWindowRect(control, &actual);
        MapWindowPoints(nullptr, window, reinterpret_cast<LPPOINT>(&actual), 2);
        RECT expected = {row.x, row.y, row.x + row.cx, row.y + row.cy};
        MapDialogRect(window, &expected);
        EXPECT_EQ(actual.left, expected.left);
        EXPECT_EQ(actual.top, expected.top);
        EXPECT_EQ(actual.right, expected.right);
        EXPECT_EQ(actual.bottom, expected.bottom);
        control = GetWindow(control, GW_HWNDNEXT);
    }
    EXPECT_EQ(control, nullptr) << "exactly 27 controls";
}

} // namespace
