// The list view class exists only after InitCommonControlsEx with ICC_LISTVIEW_CLASSES. A program of its
// own, so that no other test has registered the class before.
#include <gtest/gtest.h>

#include "DialogTestSupport.h"
#include "TestTemplates.h"

namespace {

TEST(ListViewClass, IsRegisteredOnlyByInitCommonControlsExWithTheListViewFlag)
{
    std::vector<uint8_t> bytes = ControlsTemplate();
    TestDialog test;
    auto dialogTemplate = reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data());
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, dialogTemplate, nullptr, TestDialogProc,
                                      reinterpret_cast<LPARAM>(&test)),
              -1);

    INITCOMMONCONTROLSEX withoutListView = {sizeof(withoutListView), 0x2014};
    EXPECT_TRUE(InitCommonControlsEx(&withoutListView));
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, dialogTemplate, nullptr, TestDialogProc,
                                      reinterpret_cast<LPARAM>(&test)),
              -1);

    INITCOMMONCONTROLSEX listView = {sizeof(listView), ICC_LISTVIEW_CLASSES};
    EXPECT_TRUE(InitCommonControlsEx(&listView));
    ModalDialog dialog(bytes, TestDialogProc, reinterpret_cast<LPARAM>(&test), L"Controls");
    ASSERT_NE(dialog.Window(), nullptr);
    EXPECT_EQ(ClassName(GetDlgItem(dialog.Window(), kListView)), L"SysListView32");
    SendMessageW(dialog.Window(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(dialog.Result(), IDCANCEL);
}

} // namespace
