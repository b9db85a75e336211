// The saturated-bus case of bench-receive: the console connected at 1000 kbit/s with wire timing on,
// a peer process keeping the bus saturated with 0-byte standard frames (about 20,800 a second, the
// wire's limit), optionally with busy loops the benchmark starts beside it on the same processors.
// Prints the frames on the bus (read from the ring by a follower that wakes every 20 ms), the frames
// that reached the receive list (payload cells written), the difference, the console's processor time
// (its dialog thread and the driver's receive thread) over the measured seconds, and the lag from each
// frame's end on the wire to its payload cell's write, frames matched in order; then, with the bus
// saturated again, how long the program takes to end on Cancel (what Esc presses).
#pragma once

// The benchmark's side; program is argv[0], for the peer and the busy loops it starts.
int RunSaturatedBus(const char* program, double seconds, int busyLoops);
// The children it starts: the peer (sends for seconds) and a busy loop (until killed).
int RunSaturatingPeer(double seconds);
int RunBusyLoop();
