// Small dialogs for the tests of the dialog manager and the controls, built with the template builder.
#pragma once

#include <cstdint>
#include <vector>

// "Dialog manager": a hidden and a disabled button and a label before the first tab stop "First" (10),
// then an edit (14, ES_NUMBER), an auto check box (15), a list box (16, LBS_NOTIFY) and Cancel (2).
// No IDOK button and no default push button. The dialog's template has no WS_VISIBLE.
constexpr int kFirstButton = 10, kHiddenButton = 11, kDisabledButton = 12, kLabel = 13, kNumberEdit = 14,
              kCheckBox = 15, kList = 16;
std::vector<uint8_t> DialogManagerTemplate();

// "Controls": a sorted list box (20), an unsorted one (21), an edit (22, ES_NUMBER), an auto check box
// (23), a report list view (24).
constexpr int kSortedList = 20, kUnsortedList = 21, kEdit = 22, kAutoCheckBox = 23, kListView = 24;
std::vector<uint8_t> ControlsTemplate();

// A dialog with only a Cancel button, captioned as given.
std::vector<uint8_t> PlainTemplate(const wchar_t* caption);
