// One serial port, the same on Linux (termios, poll, an eventfd) and Windows (the communications API):
// the only place where the slcan device touches a port. It moves bytes and never parses them.
//
// - Exclusive: an adapter's port belongs to one program. Linux: TIOCEXCL, which refuses later openers
//   (but root), and an flock, which refuses every later opener that takes one too (pyserial's
//   exclusive=True does); Windows opens COM ports exclusively by itself.
// - Raw 8N1 at the given speed, no flow control, no modem lines awaited (USB adapters have none).
// - Reading never blocks for long: Linux reads what is there after a poll that Wake ends at once;
//   Windows reads synchronously with an interval timeout of 1 ms and a total one of kReadWaitMs, which
//   also works on a Linux pseudo-terminal under Wine (where "return at the first byte" waits the whole
//   total and an overlapped WaitCommEvent ends at once), so a receive thread looks at its stop flag
//   every kReadWaitMs there.
// - Closing gives unsent bytes kDrainMs to leave, then drops them, so that it never waits for an
//   adapter that takes nothing (a tty's close would wait 30 s).
//
// Threads: one thread may wait and read while another writes; any thread may Wake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class cSerialPort
{
public:
    static constexpr uint32_t kReadWaitMs = 10;
    static constexpr uint32_t kDrainMs = 100;

    enum class Wait
    {
        Readable, // data, or the port's end: Read tells which (Windows: always; Read waits itself)
        Woken,
        TimedOut,
    };
    enum class Sent
    {
        All,
        NoRoom, // the port took not all of it within the wait
        Failed, // the port is gone; error says how
    };

    // Null, with error saying what the user can do (plug the adapter in, join the port's group, close the
    // program that holds it), when the port cannot be opened.
    static std::unique_ptr<cSerialPort> Open(const std::string& port, uint32_t speed, std::string& error);
    ~cSerialPort();

    cSerialPort(const cSerialPort&) = delete;
    cSerialPort& operator=(const cSerialPort&) = delete;

    // Writes size bytes in one write where the port takes them, waiting at most timeoutMs for room;
    // written says how many went out.
    Sent Write(const char* bytes, size_t size, uint32_t timeoutMs, size_t& written, std::string& error);
    Wait WaitReadable(uint32_t timeoutMs);
    // Bytes read (> 0); 0 when none came; -1 when the port is gone, said in error.
    long Read(char* buffer, size_t size, std::string& error);
    void Wake();

private:
    struct Handles;
    explicit cSerialPort(std::unique_ptr<Handles> handles);

    std::unique_ptr<Handles> m_handles; // the port and the wake handle, owned
};
