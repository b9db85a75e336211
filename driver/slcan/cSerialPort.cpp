#include "cSerialPort.h"

#include <chrono>
#include <thread>

#include "SlcanAddress.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

std::string InUse(const std::string& port)
{
    return port + " is in use by another program; to share an adapter, serve it with can-serve";
}

uint64_t NowMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

} // namespace

#if defined(_WIN32)

struct cSerialPort::Handles
{
    HANDLE port = INVALID_HANDLE_VALUE;
    DWORD writeTimeoutMs = 0; // the write timeout set last; the writer's only
    ~Handles()
    {
        if (port != INVALID_HANDLE_VALUE) {
            CloseHandle(port);
        }
    }
};

namespace {

std::string SystemText(DWORD error)
{
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                  0, text, sizeof(text), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.')) {
        text[--length] = 0;
    }
    return length > 0 ? std::string(text) : "Windows error " + std::to_string(error);
}

std::string OpenError(const std::string& port, DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return InUse(port);
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "there is no port " + port +
               "; is the adapter plugged in? (Device Manager lists it under Ports (COM & LPT))";
    }
    return "cannot open " + port + ": " + SystemText(error);
}

bool SetTimeouts(HANDLE port, DWORD writeTimeoutMs)
{
    // Synchronous reads that end 1 ms after a burst of bytes, or after kReadWaitMs with none.
    COMMTIMEOUTS timeouts{1, 0, cSerialPort::kReadWaitMs, 0, writeTimeoutMs == 0 ? 1 : writeTimeoutMs};
    return SetCommTimeouts(port, &timeouts) != 0;
}

bool Configure(HANDLE port, uint32_t speed)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port, &dcb)) {
        return false;
    }
    dcb.BaudRate = speed;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    return SetCommState(port, &dcb) != 0;
}

} // namespace

std::unique_ptr<cSerialPort> cSerialPort::Open(const std::string& port, uint32_t speed, std::string& error)
{
    std::string path = WindowsPortPath(port);
    std::wstring wide(path.begin(), path.end());
    // No sharing: a COM port has one opener at a time, as Windows grants it.
    HANDLE handle =
        CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = OpenError(port, GetLastError());
        return nullptr;
    }
    auto handles = std::make_unique<Handles>();
    handles->port = handle;
    if (!Configure(handle, speed) || !SetTimeouts(handle, 0)) {
        error = "cannot set up " + port + " as a serial port: " + SystemText(GetLastError());
        return nullptr;
    }
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return std::unique_ptr<cSerialPort>(new cSerialPort(std::move(handles)));
}

cSerialPort::~cSerialPort()
{
    for (uint64_t deadline = NowMs() + kDrainMs; NowMs() < deadline;) {
        COMSTAT status{};
        DWORD errors = 0;
        if (!ClearCommError(m_handles->port, &errors, &status) || status.cbOutQue == 0) {
            break;
        }
        Sleep(1);
    }
    PurgeComm(m_handles->port, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
}

cSerialPort::Sent cSerialPort::Write(const char* bytes, size_t size, uint32_t timeoutMs, size_t& written,
                                     std::string& error)
{
    written = 0;
    if (timeoutMs != m_handles->writeTimeoutMs) {
        m_handles->writeTimeoutMs = timeoutMs;
        SetTimeouts(m_handles->port, timeoutMs);
    }
    DWORD done = 0;
    if (!WriteFile(m_handles->port, bytes, static_cast<DWORD>(size), &done, nullptr)) {
        written = done;
        error = SystemText(GetLastError());
        return Sent::Failed;
    }
    written = done;
    if (done < size) {
        error = "the adapter took no data for " + std::to_string(timeoutMs) + " ms";
        return Sent::NoRoom;
    }
    return Sent::All;
}

cSerialPort::Wait cSerialPort::WaitReadable(uint32_t)
{
    return Wait::Readable;
}

long cSerialPort::Read(char* buffer, size_t size, std::string& error)
{
    DWORD got = 0;
    if (!ReadFile(m_handles->port, buffer, static_cast<DWORD>(size), &got, nullptr)) {
        error = SystemText(GetLastError());
        return -1;
    }
    return static_cast<long>(got);
}

// A reader's wait ends by itself within kReadWaitMs.
void cSerialPort::Wake() {}

#else

struct cSerialPort::Handles
{
    int port = -1;
    int wake = -1; // an eventfd that Wake makes readable
    ~Handles()
    {
        if (wake >= 0) {
            close(wake);
        }
        if (port >= 0) {
            close(port);
        }
    }
};

namespace {

std::string GroupOf(const std::string& port)
{
    struct stat info
    {
    };
    if (stat(port.c_str(), &info) != 0) {
        return "dialout";
    }
    group* found = getgrgid(info.st_gid);
    return found != nullptr && found->gr_gid != 0 ? found->gr_name : "dialout";
}

std::string OpenError(const std::string& port, int error)
{
    switch (error) {
    case EBUSY: return InUse(port);
    case EACCES:
    case EPERM: {
        std::string group = GroupOf(port);
        return "permission denied on " + port + ": serial ports belong to the group " + group +
               "; join it (sudo usermod -aG " + group + " $USER) and log in again";
    }
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "there is no port " + port +
               "; is the adapter plugged in? (ls /dev/ttyACM* /dev/ttyUSB* /dev/serial/by-id lists ports)";
    }
    return "cannot open " + port + ": " + strerror(error);
}

speed_t TermiosSpeed(uint32_t speed)
{
    switch (speed) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 2000000: return B2000000;
    case 3000000: return B3000000;
    }
    return B115200;
}

bool Configure(int port, uint32_t speed)
{
    termios settings{};
    if (tcgetattr(port, &settings) != 0) {
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~(CRTSCTS | CSTOPB | PARENB);
    // VMIN 1 with O_NONBLOCK: a read with nothing there says EAGAIN, so that 0 means the line hung up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return cfsetispeed(&settings, TermiosSpeed(speed)) == 0 &&
           cfsetospeed(&settings, TermiosSpeed(speed)) == 0 && tcsetattr(port, TCSANOW, &settings) == 0;
}

} // namespace

std::unique_ptr<cSerialPort> cSerialPort::Open(const std::string& port, uint32_t speed, std::string& error)
{
    auto handles = std::make_unique<Handles>();
    handles->port = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (handles->port < 0) {
        error = OpenError(port, errno);
        return nullptr;
    }
    if (!isatty(handles->port)) {
        error = port + " is not a serial port";
        return nullptr;
    }
    if (flock(handles->port, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? InUse(port) : "cannot lock " + port + ": " + strerror(errno);
        return nullptr;
    }
    if (ioctl(handles->port, TIOCEXCL) != 0 || !Configure(handles->port, speed)) {
        error = "cannot set up " + port + " as a serial port: " + strerror(errno);
        return nullptr;
    }
    tcflush(handles->port, TCIOFLUSH);
    handles->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (handles->wake < 0) {
        error = std::string("cannot make a wake-up event: ") + strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<cSerialPort>(new cSerialPort(std::move(handles)));
}

cSerialPort::~cSerialPort()
{
    for (uint64_t deadline = NowMs() + kDrainMs;; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        int queued = 0;
        if (ioctl(m_handles->port, TIOCOUTQ, &queued) != 0 || queued == 0) {
            return; // flushing now would throw away what a pseudo-terminal's other end has not read yet
        }
        if (NowMs() >= deadline) {
            tcflush(m_handles->port, TCOFLUSH);
            return;
        }
    }
}

cSerialPort::Sent cSerialPort::Write(const char* bytes, size_t size, uint32_t timeoutMs, size_t& written,
                                     std::string& error)
{
    written = 0;
    const uint64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        ssize_t count = write(m_handles->port, bytes + written, size - written);
        if (count > 0) {
            written += static_cast<size_t>(count);
            if (written == size) {
                return Sent::All;
            }
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EINTR) {
            error = strerror(errno);
            return Sent::Failed;
        }
        uint64_t now = NowMs();
        pollfd writable{m_handles->port, POLLOUT, 0};
        if (now >= deadline || poll(&writable, 1, static_cast<int>(deadline - now)) == 0) {
            error = "the adapter took no data for " + std::to_string(timeoutMs) + " ms";
            return Sent::NoRoom;
        }
    }
}

cSerialPort::Wait cSerialPort::WaitReadable(uint32_t timeoutMs)
{
    pollfd entries[2] = {{m_handles->port, POLLIN, 0}, {m_handles->wake, POLLIN, 0}};
    int ready = poll(entries, 2, static_cast<int>(timeoutMs));
    if (ready <= 0) {
        return Wait::TimedOut;
    }
    if (entries[1].revents != 0) {
        uint64_t count = 0;
        ssize_t ignored = read(m_handles->wake, &count, sizeof(count));
        (void)ignored;
        if (entries[0].revents == 0) {
            return Wait::Woken;
        }
    }
    return Wait::Readable;
}

long cSerialPort::Read(char* buffer, size_t size, std::string& error)
{
    ssize_t count = read(m_handles->port, buffer, size);
    if (count > 0) {
        return static_cast<long>(count);
    }
    if (count == 0) {
        error = "the port hung up";
        return -1;
    }
    if (errno == EAGAIN || errno == EINTR) {
        return 0;
    }
    error = strerror(errno);
    return -1;
}

void cSerialPort::Wake()
{
    uint64_t one = 1;
    ssize_t ignored = write(m_handles->wake, &one, sizeof(one));
    (void)ignored;
}

#endif

cSerialPort::cSerialPort(std::unique_ptr<Handles> handles) : m_handles(std::move(handles)) {}
