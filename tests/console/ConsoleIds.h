// The console's control identifiers as the tests name them, written once here.
#pragma once

#include <vector>

enum ConsoleId : int
{
    kCancel = 2,
    kBaudrates = 1000,
    kFrameId = 1001,
    kExtended = 1002,
    kLoop = 1003,
    kDelay = 1004,
    kLength = 1005,
    kPayload0 = 1006,
    kReceiveList = 1014,
    kTransmit = 1015,
    kReceive = 1016,
    kConnect = 1017,
};

inline const std::vector<int> kTransmitControls = {1015, 1004, 1003, 1001, 1002, 1005, 1006,
                                                   1007, 1008, 1009, 1010, 1011, 1012, 1013};
inline const std::vector<int> kConnectionDependent = {1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008,
                                                      1009, 1010, 1011, 1012, 1013, 1014, 1015, 1016};
