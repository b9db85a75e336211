// Reading a standard in-memory dialog template: the DLGTEMPLATE header, menu, class, caption and font,
// then the items on DWORD boundaries with their class, caption and creation data. Texts are UTF-16.
#include <cstring>

#include "ControlClasses.h"
#include "Dialog.h"
#include "winbase.h"

namespace {

constexpr WORD kOrdinalMarker = 0xFFFF;
constexpr WORD kExtendedTemplateSignature = 0xFFFF;
constexpr size_t kTemplateHeaderSize = 18;
constexpr size_t kItemHeaderSize = 18;

class TemplateReader
{
public:
    explicit TemplateReader(const BYTE* start) : m_start(start), m_offset(0) {}

    WORD Word()
    {
        WORD value;
        std::memcpy(&value, m_start + m_offset, sizeof(value));
        m_offset += sizeof(value);
        return value;
    }

    DWORD Dword()
    {
        DWORD low = Word();
        return low | (static_cast<DWORD>(Word()) << 16);
    }

    short Short() { return static_cast<short>(Word()); }

    // A null-terminated UTF-16 string; surrogate pairs become one wide character.
    std::wstring String()
    {
        std::wstring text;
        for (WORD unit = Word(); unit != 0; unit = Word()) {
            WORD next = PeekWord();
            // A high surrogate pairs only with a low one: a lone one before the terminator stays as it is.
            if (unit >= 0xD800 && unit < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
                Word();
                text += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
            } else {
                text += static_cast<wchar_t>(unit);
            }
        }
        return text;
    }

    // An array that is either 0xFFFF and an ordinal, or a string.
    bool OrdinalOrString(WORD& ordinal, std::wstring& text)
    {
        WORD first = PeekWord();
        if (first == kOrdinalMarker) {
            Word();
            ordinal = Word();
            return true;
        }
        text = String();
        return false;
    }

    std::vector<BYTE> Bytes(size_t count)
    {
        std::vector<BYTE> bytes(m_start + m_offset, m_start + m_offset + count);
        m_offset += count;
        return bytes;
    }

    // Items start on DWORD boundaries of the template.
    void AlignToDword() { m_offset = (m_offset + 3) & ~static_cast<size_t>(3); }
    void AlignToWord() { m_offset = (m_offset + 1) & ~static_cast<size_t>(1); }

private:
    WORD PeekWord() const
    {
        WORD value;
        std::memcpy(&value, m_start + m_offset, sizeof(value));
        return value;
    }

    const BYTE* m_start;
    size_t m_offset;
};

bool Refuse(const wchar_t* reason)
{
    NKDbgPrintfW(L"windowing: cannot use the dialog template: %ls\r\n", reason);
    return false;
}

bool ReadHeader(TemplateReader& reader, DialogDescription& dialog, WORD& itemCount)
{
    dialog.style = reader.Dword();
    dialog.exStyle = reader.Dword();
    itemCount = reader.Word();
    dialog.x = reader.Short();
    dialog.y = reader.Short();
    dialog.cx = reader.Short();
    dialog.cy = reader.Short();
    WORD ordinal = 0;
    std::wstring name;
    if (reader.OrdinalOrString(ordinal, name) || !name.empty()) {
        return Refuse(L"menus are not implemented");
    }
    if (reader.OrdinalOrString(ordinal, name) || (!name.empty() && name != kDialogClassName)) {
        return Refuse(L"dialog classes other than the default one are not implemented");
    }
    dialog.caption = reader.String();
    if ((dialog.style & DS_SETFONT) != 0) {
        dialog.fontSize = reader.Word();
        dialog.fontName = reader.String();
    }
    return true;
}

bool ReadItem(TemplateReader& reader, DialogItemDescription& item)
{
    reader.AlignToDword();
    item.style = reader.Dword();
    item.exStyle = reader.Dword();
    item.x = reader.Short();
    item.y = reader.Short();
    item.cx = reader.Short();
    item.cy = reader.Short();
    item.id = reader.Word();
    WORD atom = 0;
    if (reader.OrdinalOrString(atom, item.className)) {
        item.className = ClassNameOfAtom(atom);
        if (item.className.empty()) {
            return Refuse(L"an item names an unknown class atom");
        }
    }
    WORD resource = 0;
    if (reader.OrdinalOrString(resource, item.caption)) {
        // A resource caption (an icon of a static) has no text; icons are not drawn here.
        item.caption.clear();
    }
    reader.AlignToWord();
    // The first word of the creation data is its size in bytes, that word included.
    WORD dataSize = reader.Word();
    if (dataSize > sizeof(WORD)) {
        item.creationData = reader.Bytes(dataSize - sizeof(WORD));
    }
    return true;
}

} // namespace

static_assert(sizeof(DLGTEMPLATE) == kTemplateHeaderSize, "DLGTEMPLATE is packed to 18 bytes");
static_assert(sizeof(DLGITEMTEMPLATE) == kItemHeaderSize, "DLGITEMTEMPLATE is packed to 18 bytes");

std::optional<DialogDescription> ParseDialogTemplate(LPCDLGTEMPLATEW dialogTemplate)
{
    if (dialogTemplate == nullptr) {
        Refuse(L"there is no template");
        return std::nullopt;
    }
    const BYTE* start = reinterpret_cast<const BYTE*>(dialogTemplate);
    TemplateReader probe(start);
    WORD version = probe.Word();
    if (version == 1 && probe.Word() == kExtendedTemplateSignature) {
        Refuse(L"extended templates (DLGTEMPLATEEX) are not implemented");
        return std::nullopt;
    }
    DialogDescription dialog;
    TemplateReader reader(start);
    WORD itemCount = 0;
    if (!ReadHeader(reader, dialog, itemCount)) {
        return std::nullopt;
    }
    dialog.items.resize(itemCount);
    for (DialogItemDescription& item : dialog.items) {
        if (!ReadItem(reader, item)) {
            return std::nullopt;
        }
    }
    return dialog;
}
