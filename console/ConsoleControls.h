// The console's control identifiers and its two named control sets, in the order they are switched.
#pragma once

#include <algorithm>
#include <array>

#include "platform.h"

constexpr int kCancelButton = IDCANCEL;
constexpr int kBaudrateList = 1000;
constexpr int kFrameIdEdit = 1001;
constexpr int kExtendedCheckBox = 1002;
constexpr int kLoopCheckBox = 1003;
constexpr int kDelayEdit = 1004;
constexpr int kLengthList = 1005;
constexpr int kPayloadByte0Edit = 1006;
constexpr int kPayloadByte1Edit = 1007;
constexpr int kPayloadByte2Edit = 1008;
constexpr int kPayloadByte3Edit = 1009;
constexpr int kPayloadByte4Edit = 1010;
constexpr int kPayloadByte5Edit = 1011;
constexpr int kPayloadByte6Edit = 1012;
constexpr int kPayloadByte7Edit = 1013;
constexpr int kReceiveList = 1014;
constexpr int kTransmitButton = 1015;
constexpr int kReceiveButton = 1016;
constexpr int kConnectButton = 1017;

// Data bytes 0 to 7, in identifier order.
constexpr std::array<int, 8> kPayloadEdits = {kPayloadByte0Edit, kPayloadByte1Edit, kPayloadByte2Edit,
                                              kPayloadByte3Edit, kPayloadByte4Edit, kPayloadByte5Edit,
                                              kPayloadByte6Edit, kPayloadByte7Edit};

// The transmit button, the delay edit, the loop check box, the frame-id edit, the extended-frame check
// box, the length list, then the payload edits in byte order.
constexpr std::array<int, 14> kTransmitControls = {
    kTransmitButton,   kDelayEdit,        kLoopCheckBox,     kFrameIdEdit,      kExtendedCheckBox,
    kLengthList,       kPayloadByte0Edit, kPayloadByte1Edit, kPayloadByte2Edit, kPayloadByte3Edit,
    kPayloadByte4Edit, kPayloadByte5Edit, kPayloadByte6Edit, kPayloadByte7Edit};

// Identifiers 1001 to 1016 in ascending order: the transmit controls, the receive list and the
// receive button.
constexpr std::array<int, 16> kConnectionDependentControls = {
    kFrameIdEdit,      kExtendedCheckBox, kLoopCheckBox,     kDelayEdit,
    kLengthList,       kPayloadByte0Edit, kPayloadByte1Edit, kPayloadByte2Edit,
    kPayloadByte3Edit, kPayloadByte4Edit, kPayloadByte5Edit, kPayloadByte6Edit,
    kPayloadByte7Edit, kReceiveList,      kTransmitButton,   kReceiveButton};
static_assert(std::ranges::is_sorted(kConnectionDependentControls));

// Sets a control's text by WM_SETTEXT; the result is not examined.
void SetControlText(HWND hDlg, int id, LPCWSTR text);

// Enables or disables each control of a set, one call per control, in the set's order.
void EnableTransmitControls(HWND hDlg, BOOL enable);
void EnableConnectionDependentControls(HWND hDlg, BOOL enable);
