// ReceiveCallback with arbitrary 32-byte records and with null, through the running console: the fake
// driver hands each record to the registered function as its receive thread would, from a heap block of
// exactly 32 bytes, so a read of byte 32 or beyond is a heap overflow AddressSanitizer reports; a write
// past g_cellText runs into the redzone of that global. The row the record went to must show what the
// display rules give, computed here by a formatter of its own, and the rows before it keep theirs.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "ConsoleGlobals.h"
#include "FakeDriverControl.h"
#include "FuzzConsole.h"

namespace {

constexpr size_t kRecordSize = 32;
constexpr uint32_t kRows = 50;
constexpr int kColumns = 5;
constexpr size_t kShownDataBytes = 8;

using RowTexts = std::array<std::wstring, kColumns>;

// What each row of the receive list should show. Fuzzing thread only.
std::array<RowTexts, kRows> expectedRows;

uint32_t Little32(const uint8_t* bytes)
{
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::wstring Hexadecimal(uint32_t value, size_t minimumDigits)
{
    std::wstring digits;
    do {
        digits.insert(digits.begin(), L"0123456789abcdef"[value % 16]);
        value /= 16;
    } while (value != 0);
    while (digits.size() < minimumDigits) {
        digits.insert(digits.begin(), L'0');
    }
    return digits;
}

std::wstring Decimal(uint32_t value)
{
    std::wstring digits;
    do {
        digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

// The display rules, read straight from the record's bytes at their documented offsets.
RowTexts ReferenceRow(const uint8_t* record)
{
    uint32_t extended = Little32(record + 0);
    uint32_t id = Little32(record + 4);
    uint32_t length = record[12] | record[13] << 8;
    uint32_t timestamp = Little32(record + 16);
    std::wstring payload;
    for (size_t i = 0; i < length && i < kShownDataBytes; ++i) {
        payload += Hexadecimal(record[24 + i], 2) + L" ";
    }
    return {Hexadecimal(id, 1), extended == 1 ? L"Yes" : L"No", Hexadecimal(timestamp, 1), Decimal(length),
            payload};
}

void ExpectRow(ConsoleProgram& console, uint32_t row, const char* when)
{
    for (int column = 0; column < kColumns; ++column) {
        std::wstring shown = console.Cell(static_cast<int>(row), column);
        if (shown != expectedRows[row][column]) {
            FailFuzzCheck("%s: row %u column %d shows %s, the rules give %s", when, row, column,
                          Printable(shown).c_str(), Printable(expectedRows[row][column]).c_str());
        }
    }
}

void DeliverRecord(ConsoleProgram& console, const uint8_t* data, size_t size)
{
    // Exactly 32 bytes on the heap: nothing readable follows the record.
    std::unique_ptr<uint8_t[]> record(new uint8_t[kRecordSize]);
    memset(record.get(), 0, kRecordSize);
    memcpy(record.get(), data, std::min(size, kRecordSize));

    uint32_t row = g_nextRow; // the callback runs on this thread, inside Deliver
    expectedRows[row] = ReferenceRow(record.get());
    FakeDriver::Deliver(reinterpret_cast<CanMessageDescriptor*>(record.get()));
    if (g_nextRow != (row + 1) % kRows) {
        FailFuzzCheck("after a record for row %u the next row is %u", row, g_nextRow);
    }
    ExpectRow(console, row, "the row just written");
    ExpectRow(console, (row + kRows - 1) % kRows, "the row written before");
}

void DeliverNull(ConsoleProgram& console)
{
    uint32_t row = g_nextRow;
    FakeDriver::Deliver(nullptr);
    if (g_nextRow != row) {
        FailFuzzCheck("a null record moved the next row from %u to %u", row, g_nextRow);
    }
    ExpectRow(console, row, "the next row after a null record");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ConsoleProgram& console = ConnectedConsole();
    if (size > 0) {
        DeliverRecord(console, data, size);
    }
    DeliverNull(console);
    return 0;
}
