// When the receive thread of a timed bus hands a frame over: at its end on the wire while frames come
// one by one, and in batches while they come back to back, as network drivers coalesce interrupts.
//
// A frame that starts where the one before it ended (no idle bit between them) is back to back. Once
// kBackToBackToBatch frames in a row were, the bus counts as busy: the next frame the thread has to
// wait for opens a batch and is handed over kBatchWindowNanoseconds after its end, together with every
// frame that ends by then; frames as long as the window (8 bytes at 125 kbit/s and below) never wait.
// The first frame after an idle gap is handed over at its end again. Time
// stamps stay each frame's own end; only the hand-over waits.
//
// Why: each hand-over wakes the reader, and a console that writes each frame to its list from that
// thread, and waking an idle core costs some 16-36 µs of processor time here. A saturated 1000 kbit/s
// bus carries some 20,000 frames a second; in batches of up to a millisecond it costs about 1,000
// wake-ups a second, and nobody reads a list faster than that.
#pragma once

#include <cstdint>

// How long after its end the first frame of a batch is handed over: below a millisecond, so that a
// wake-up that comes a little late still hands it over within one.
constexpr uint64_t kBatchWindowNanoseconds = 850000;
// Back-to-back frames in a row after which the bus counts as busy.
constexpr uint32_t kBackToBackToBatch = 2;
// Frames that arrive closer than this are taken as back to back where their wire times are not known:
// 8-byte frames at a saturated 1000 kbit/s bus come 111-135 µs apart, at half its load 222 µs.
constexpr uint64_t kCloseArrivalNanoseconds = 200000;

class cDeliveryPacer
{
public:
    // For each frame in wire order, with its start and end on the wire: when to hand it over, by the
    // same clock. A time not after now means at once.
    uint64_t HandOverTime(uint64_t start, uint64_t end, uint64_t now);
    // For devices whose frames come with the time they arrived, not their wire times (SocketCAN): for
    // each frame in the order of arrival, whether the thread, if this is the newest frame it read,
    // should let the next frames gather for kBatchWindowNanoseconds before it reads again. Frames that arrive
    // less than kCloseArrivalNanoseconds apart, kBackToBackToBatch times in a row, mean a busy bus.
    bool GatherNext(uint64_t arrival);
    // Reception starts again: what came before says nothing about the bus now.
    void Forget();

private:
    uint64_t m_lastEnd = 0; // the latest end, or arrival, seen
    uint32_t m_backToBack = 0;
};
