// What the console's two lists offer, and what each selects at the start and after a disconnect.
#pragma once

#include <array>
#include <cstdint>

#include "platform.h"

#include "cCanPort.h"

struct BaudrateChoice
{
    int32_t kbitPerSecond;
    LPCWSTR text;
};

// In the order of the bit-rate list's items: a selection is an index into this table.
constexpr std::array<BaudrateChoice, 9> kBaudrateChoices = {{{10, L"10"},
                                                             {20, L"20"},
                                                             {50, L"50"},
                                                             {100, L"100"},
                                                             {125, L"125"},
                                                             {250, L"250"},
                                                             {500, L"500"},
                                                             {800, L"800"},
                                                             {1000, L"1000"}}};
constexpr WPARAM kDefaultBaudrateIndex = 4;
static_assert(kBaudrateChoices[kDefaultBaudrateIndex].kbitPerSecond == cCanPort::kDefaultBaudrate);

// The item at index n is the digit n.
constexpr std::array<LPCWSTR, 9> kLengthItems = {L"0", L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8"};
constexpr WPARAM kDefaultLengthIndex = 8;
