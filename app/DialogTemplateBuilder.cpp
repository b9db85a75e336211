#include "DialogTemplateBuilder.h"

namespace {

class TemplateWriter
{
public:
    void Word(uint16_t value)
    {
        m_bytes.push_back(static_cast<uint8_t>(value & 0xFF));
        m_bytes.push_back(static_cast<uint8_t>(value >> 8));
    }

    void Dword(uint32_t value)
    {
        Word(static_cast<uint16_t>(value & 0xFFFF));
        Word(static_cast<uint16_t>(value >> 16));
    }

    void Short(short value) { Word(static_cast<uint16_t>(value)); }

    // Null-terminated UTF-16; characters beyond the basic plane become surrogate pairs.
    void String(LPCWSTR text)
    {
        for (const WCHAR* c = text; *c != 0; ++c) {
            auto code = static_cast<uint32_t>(*c);
            if (code >= 0x10000) {
                Word(static_cast<uint16_t>(0xD800 + ((code - 0x10000) >> 10)));
                Word(static_cast<uint16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
            } else {
                Word(static_cast<uint16_t>(code));
            }
        }
        Word(0);
    }

    void AlignToDword()
    {
        while (m_bytes.size() % 4 != 0) {
            m_bytes.push_back(0);
        }
    }

    std::vector<uint8_t> Take() { return std::move(m_bytes); }

private:
    std::vector<uint8_t> m_bytes;
};

void WriteHeader(TemplateWriter& out, const DialogLayout& layout)
{
    out.Dword(layout.style);
    out.Dword(layout.exStyle);
    out.Word(static_cast<uint16_t>(layout.items.size()));
    out.Short(layout.x);
    out.Short(layout.y);
    out.Short(layout.cx);
    out.Short(layout.cy);
    out.Word(0); // no menu
    out.Word(0); // the default dialog class
    out.String(layout.caption);
    if ((layout.style & DS_SETFONT) != 0) {
        out.Word(layout.fontSize);
        out.String(layout.fontName);
    }
}

void WriteItem(TemplateWriter& out, const DialogItemLayout& item)
{
    out.AlignToDword();
    out.Dword(item.style);
    out.Dword(item.exStyle);
    out.Short(item.x);
    out.Short(item.y);
    out.Short(item.cx);
    out.Short(item.cy);
    out.Word(item.id);
    if (item.classAtom != 0) {
        out.Word(0xFFFF);
        out.Word(item.classAtom);
    } else {
        out.String(item.className);
    }
    out.String(item.caption);
    out.Word(0); // no creation data
}

} // namespace

std::vector<uint8_t> BuildDialogTemplate(const DialogLayout& layout)
{
    TemplateWriter out;
    WriteHeader(out, layout);
    for (const DialogItemLayout& item : layout.items) {
        WriteItem(out, item);
    }
    out.AlignToDword();
    return out.Take();
}
