// Turns an adapter's short, wrapping time stamps into the record's 32-bit millisecond time stamp. The
// first stamped frame gets the host's tick count; each later one moves on by what the adapter's clock
// moved since the previous, so that gaps between frames are the adapter's, to its precision. A stamp
// wraps (4 digits of ms at 60000, or at 65536 on clones that count higher; 8 digits of µs at 2^32) as
// often as the host's clock says it must have, so a gap of minutes is not folded into one of seconds.
// A frame without a stamp gets the host's tick count.
#pragma once

#include <cstdint>

#include "SlcanProtocol.h"

class cSlcanClock
{
public:
    // hostMicroseconds: a monotonic clock; hostTicks: the tick count other devices stamp frames with.
    uint32_t Timestamp(const SlcanStamp& stamp, uint64_t hostMicroseconds, uint32_t hostTicks);

private:
    bool m_started = false;
    SlcanStampKind m_kind = SlcanStampKind::None;
    uint32_t m_lastStamp = 0;
    uint64_t m_lastHostMicroseconds = 0;
    uint64_t m_microseconds = 0; // the adapter's time, unwrapped, on the host's tick scale
    bool m_wrapsAt65536 = false; // a millisecond stamp above 59999 was seen
};
