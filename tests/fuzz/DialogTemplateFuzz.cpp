// DialogBoxIndirectParamW with arbitrary template bytes. A template carries no size: its extent is what
// its own fields say (header, menu, class, caption, font, then each item on a DWORD boundary with its
// class, caption and creation data). This target measures that extent with a reader of its own, treating
// bytes past the input as zeros (which complete any template), copies exactly that many bytes into a heap
// block of that size and hands it over: a read outside the template is a heap overflow AddressSanitizer
// reports. The call must return -1 or run the dialog, whose procedure ends it at WM_INITDIALOG.
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "platform.h"

#include "FuzzCheck.h"

namespace {

constexpr INT_PTR kRanResult = 7;
constexpr WORD kOrdinalMarker = 0xFFFF;
constexpr size_t kHeaderBytes = 18;
constexpr size_t kItemHeaderBytes = 18;
constexpr size_t kExtendedHeaderBytes = 26;
constexpr size_t kLargestTemplate = 64 * 1024; // larger ones only slow the fuzzer down
constexpr DWORD kSetFont = 0x40;               // DS_SETFONT

// Reads the input as the start of an endless run of bytes whose tail is zero.
class ZeroPaddedReader
{
public:
    ZeroPaddedReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    size_t Offset() const { return m_offset; }
    uint8_t Byte(size_t at) const { return at < m_size ? m_data[at] : 0; }
    WORD Word(size_t at) const { return static_cast<WORD>(Byte(at) | Byte(at + 1) << 8); }

    WORD NextWord()
    {
        WORD value = Word(m_offset);
        m_offset += 2;
        return value;
    }
    void Skip(size_t bytes) { m_offset += bytes; }
    void AlignTo(size_t boundary) { m_offset = (m_offset + boundary - 1) / boundary * boundary; }

    // A zero-terminated string of UTF-16 units; false when it runs past the size limit.
    bool SkipString()
    {
        while (m_offset <= kLargestTemplate) {
            if (NextWord() == 0) {
                return true;
            }
        }
        return false;
    }
    // 0xFFFF and an ordinal, or a string (an empty one is just its terminator).
    bool SkipOrdinalOrString()
    {
        if (Word(m_offset) == kOrdinalMarker) {
            m_offset += 4;
            return true;
        }
        return SkipString();
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_offset = 0;
};

// The byte length of the template, or nothing when it is larger than the fuzzer should bother with.
std::optional<size_t> TemplateExtent(const uint8_t* data, size_t size)
{
    ZeroPaddedReader reader(data, size);
    if (reader.Word(0) == 1 && reader.Word(2) == 0xFFFF) {
        // An extended template: the layer refuses it on its signature, so only its fixed header is
        // handed over.
        return kExtendedHeaderBytes;
    }
    DWORD style = reader.Word(0) | static_cast<DWORD>(reader.Word(2)) << 16;
    WORD itemCount = reader.Word(8);
    reader.Skip(kHeaderBytes);
    bool complete = reader.SkipOrdinalOrString() && reader.SkipOrdinalOrString() && reader.SkipString();
    if (complete && (style & kSetFont) != 0) {
        reader.Skip(2);
        complete = reader.SkipString();
    }
    for (WORD item = 0; complete && item < itemCount; ++item) {
        reader.AlignTo(4);
        reader.Skip(kItemHeaderBytes);
        complete = reader.SkipOrdinalOrString() && reader.SkipOrdinalOrString();
        reader.AlignTo(2);
        // The creation data's first word is its size in bytes, that word included.
        WORD dataSize = reader.NextWord();
        reader.Skip(dataSize > 2 ? dataSize - 2 : 0);
        complete = complete && reader.Offset() <= kLargestTemplate;
    }
    if (!complete || reader.Offset() > kLargestTemplate) {
        return std::nullopt;
    }
    return reader.Offset();
}

INT_PTR CALLBACK EndAtOnce(HWND dialog, UINT message, WPARAM, LPARAM)
{
    if (message == WM_INITDIALOG) {
        EndDialog(dialog, kRanResult);
        return TRUE;
    }
    return FALSE;
}

void RegisterControlClasses()
{
    static const bool registered = [] {
        SilenceDebugOutput();
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES};
        return InitCommonControlsEx(&controls) != FALSE;
    }();
    (void)registered;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    RegisterControlClasses();
    std::optional<size_t> extent = TemplateExtent(data, size);
    if (!extent) {
        return -1; // not worth keeping in the corpus
    }
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[*extent]);
    memset(bytes.get(), 0, *extent);
    memcpy(bytes.get(), data, std::min(size, *extent));
    auto* dialogTemplate = reinterpret_cast<LPCDLGTEMPLATEW>(bytes.get());
    INT_PTR result =
        DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialogTemplate, nullptr, EndAtOnce, 0);
    if (result != -1 && result != kRanResult) {
        FailFuzzCheck("DialogBoxIndirectParamW returned %ld, neither -1 nor the dialog's result",
                      static_cast<long>(result));
    }
    return 0;
}
