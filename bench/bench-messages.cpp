// bench-messages: what the windowing layer's cross-thread SendMessageW costs, the step that bounds how
// many received frames per second reach the console's list. The console runs headless and connected
// (so that its list has its 50 rows); the benchmark's thread stands in for the driver's thread.
#include <benchmark/benchmark.h>

#include "ConnectedConsole.h"
#include "ReceiveView.h"

namespace {

constexpr int kReceiveList = 1014;
constexpr int kFrameIdEdit = 1001;

void ListCellFromAnotherThread(benchmark::State& state, HWND dialog)
{
    HWND list = GetDlgItem(dialog, kReceiveList);
    WCHAR text[] = L"de ad be ef 01 02 03 04 ";
    LVITEMW item{};
    item.iSubItem = 4;
    item.pszText = text;
    for (auto _ : state) {
        benchmark::DoNotOptimize(SendMessageW(list, LVM_SETITEMTEXTW, 7, reinterpret_cast<LPARAM>(&item)));
    }
    state.SetItemsProcessed(state.iterations());
}

void EditTextLengthFromAnotherThread(benchmark::State& state, HWND dialog)
{
    HWND edit = GetDlgItem(dialog, kFrameIdEdit);
    for (auto _ : state) {
        benchmark::DoNotOptimize(SendMessageW(edit, WM_GETTEXTLENGTH, 0, 0));
    }
    state.SetItemsProcessed(state.iterations());
}

// One received frame as the driver's thread delivers it: five cells, each a SendMessageW.
void ReceiveCallbackFromAnotherThread(benchmark::State& state)
{
    CanMessageDescriptor record{};
    record.id = 0x321;
    record.length = 8;
    for (auto _ : state) {
        ++record.data[0];
        ReceiveCallback(&record);
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    ConsoleProgram console;
    if (!ConnectOnBusOfItsOwn(console, "bench-messages")) {
        return 1;
    }
    HWND dialog = console.Dialog();
    benchmark::RegisterBenchmark("ListCellFromAnotherThread", ListCellFromAnotherThread, dialog)
        ->UseRealTime();
    benchmark::RegisterBenchmark("EditTextLengthFromAnotherThread", EditTextLengthFromAnotherThread, dialog)
        ->UseRealTime();
    benchmark::RegisterBenchmark("ReceiveCallbackFromAnotherThread", ReceiveCallbackFromAnotherThread)
        ->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    console.Cancel();
    return 0;
}
