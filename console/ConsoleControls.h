// The console's control identifiers and its two named control sets, in the order they are switched.
#pragma once

#include <array>

#include "platform.h"

constexpr int kCancelButton = IDCANCEL;
constexpr int kBaudrateList = 1000;
constexpr int kFrameIdEdit = 1001;
constexpr int kExtendedCheckBox = 1002;
constexpr int kLoopCheckBox = 1003;
constexpr int kDelayEdit = 1004;
constexpr int kLengthList = 1005;
// Data bytes 0 to 7, in identifier order.
constexpr std::array<int, 8> kPayloadEdits = {1006, 1007, 1008, 1009, 1010, 1011, 1012, 1013};
constexpr int kReceiveList = 1014;
constexpr int kTransmitButton = 1015;
constexpr int kReceiveButton = 1016;
constexpr int kConnectButton = 1017;

// The transmit button, the delay edit, the loop check box, the frame-id edit, the extended-frame check
// box, the length list, then the payload edits in byte order.
constexpr std::array<int, 14> kTransmitControls = {kTransmitButton,
                                                   kDelayEdit,
                                                   kLoopCheckBox,
                                                   kFrameIdEdit,
                                                   kExtendedCheckBox,
                                                   kLengthList,
                                                   1006,
                                                   1007,
                                                   1008,
                                                   1009,
                                                   1010,
                                                   1011,
                                                   1012,
                                                   1013};

// Identifiers 1001 to 1016 in ascending order: the transmit controls, the receive list and the
// receive button.
constexpr std::array<int, 16> kConnectionDependentControls = {1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008,
                                                              1009, 1010, 1011, 1012, 1013, 1014, 1015, 1016};

// Enables or disables each control of a set, one call per control, in the set's order.
void EnableTransmitControls(HWND hDlg, BOOL enable);
void EnableConnectionDependentControls(HWND hDlg, BOOL enable);
