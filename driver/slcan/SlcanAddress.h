// Where a device mapped to a serial-line CAN adapter finds it: the value of RVCAN32CE_CANn when it starts
// with "slcan:".
//
//   slcan:PORT[@SPEED]
//
//   PORT   the adapter's serial port: a device path on Linux (/dev/ttyACM0, /dev/ttyUSB0,
//          /dev/serial/by-id/usb-...), COM5 or \\.\COM12 on Windows
//   @SPEED the serial line's speed in bit/s, for an adapter behind a real UART (default 115200); USB
//          adapters (CDC ACM: CANable, USBtin) ignore it. One of kSlcanLineSpeedsText.
//
// Examples: slcan:/dev/ttyACM0, slcan:/dev/ttyUSB0@921600, slcan:COM5.
#pragma once

#include <cstdint>
#include <string>

struct SlcanAddress
{
    static constexpr uint32_t kDefaultSpeed = 115200;

    std::string port; // as the user wrote it, for messages
    uint32_t speed = kDefaultSpeed;
};

inline constexpr const char kSlcanScheme[] = "slcan:";
inline constexpr const char kSlcanLineSpeedsText[] =
    "9600, 19200, 38400, 57600, 115200, 230400, 460800, 500000, 576000, 921600, 1000000, 2000000, 3000000";

bool IsSlcanMapping(const std::string& value);
// False, with error saying what is wrong and showing the syntax, for anything else.
bool ParseSlcanAddress(const std::string& value, SlcanAddress& address, std::string& error);
// The name Windows opens a port by: COM5 is \\.\COM5 (needed from COM10 on); anything else as it is.
std::string WindowsPortPath(const std::string& port);
