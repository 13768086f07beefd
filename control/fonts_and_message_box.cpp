#include "control/fonts_and_message_box.h"

#include <cstddef>

namespace tallowfin {

namespace {

BOOL CALLBACK SetChildFont(HWND child, LPARAM font)
{
    SendMessageA(child, WM_SETFONT, static_cast<WPARAM>(font), FALSE);
    return TRUE;
}

}  // namespace

GdiObject UnifyFonts(HWND form)
{
    LOGFONTA font{};
    NONCLIENTMETRICSA metrics{};
    // The size without the padded border: accepted by every version of the
    // system, where the full size is refused by the older ones.
    metrics.cbSize = offsetof(NONCLIENTMETRICSA, iPaddedBorderWidth);
    if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0)) font = metrics.lfMenuFont;
    else GetObjectA(GetStockObject(SYSTEM_FONT), sizeof font, &font);
    font.lfCharSet = DEFAULT_CHARSET;

    GdiObject handle(CreateFontIndirectA(&font));
    if (handle) {
        const auto value = reinterpret_cast<LPARAM>(handle.get());
        SendMessageA(form, WM_SETFONT, static_cast<WPARAM>(value), FALSE);
        EnumChildWindows(form, SetChildFont, value);
    }
    return handle;
}

int ShowMessageBox(TApplication& app, const std::string& text, UINT flags)
{
    return app.ModalMessageBox(text, flags);
}

}  // namespace tallowfin
