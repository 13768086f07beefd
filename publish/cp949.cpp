#include "publish/cp949.h"

#include "publish/utf8.h"

#include <algorithm>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <iconv.h>
#endif

namespace tallowfin::publish {

namespace {

std::size_t CharacterLength(unsigned char lead)
{
    return lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 4;
}

#ifdef _WIN32

// Windows converts with best-fit mappings unless told not to ("é" would quietly
// become "e"), so the round trip is compared as well as the default flag.
class Converter {
public:
    bool RoundTrips(std::string_view utf8) const
    {
        const std::wstring wide = Widen(CP_UTF8, utf8);
        if (wide.empty()) return utf8.empty();
        BOOL usedDefault = FALSE;
        const int size = WideCharToMultiByte(949, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                             nullptr, 0, nullptr, &usedDefault);
        if (size <= 0 || usedDefault) return false;
        std::string narrow(static_cast<std::size_t>(size), '\0');
        WideCharToMultiByte(949, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), narrow.data(), size,
                            nullptr, &usedDefault);
        return !usedDefault && Widen(949, narrow) == wide;
    }

private:
    static std::wstring Widen(UINT codePage, std::string_view text)
    {
        if (text.empty()) return {};
        const int size = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                             nullptr, 0);
        if (size <= 0) return {};
        std::wstring wide(static_cast<std::size_t>(size), L'\0');
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(),
                            size);
        return wide;
    }
};

#else

class Iconv {
public:
    Iconv(const char* to, const char* from) : handle_(iconv_open(to, from))
    {
        if (handle_ == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error(std::string("this system cannot convert ") + from + " to " + to + " (iconv)");
    }
    ~Iconv() { iconv_close(handle_); }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    // Nothing when the text holds a character the target lacks.
    std::optional<std::string> Convert(std::string_view text) const
    {
        iconv(handle_, nullptr, nullptr, nullptr, nullptr);
        std::string out(text.size() * 4 + 16, '\0');
        char* in = const_cast<char*>(text.data());
        std::size_t inLeft = text.size();
        char* outPointer = out.data();
        std::size_t outLeft = out.size();
        if (iconv(handle_, &in, &inLeft, &outPointer, &outLeft) == static_cast<std::size_t>(-1)) return std::nullopt;
        if (iconv(handle_, nullptr, nullptr, &outPointer, &outLeft) == static_cast<std::size_t>(-1)) return std::nullopt;
        out.resize(out.size() - outLeft);
        return out;
    }

private:
    iconv_t handle_;
};

class Converter {
public:
    bool RoundTrips(std::string_view utf8) const
    {
        const auto narrow = toCp949_.Convert(utf8);
        if (!narrow) return false;
        const auto back = fromCp949_.Convert(*narrow);
        return back && *back == utf8;
    }

private:
    Iconv toCp949_{"CP949", "UTF-8"};
    Iconv fromCp949_{"UTF-8", "CP949"};
};

#endif

}  // namespace

std::optional<std::string> FirstCharacterNotInCp949(std::string_view utf8)
{
    if (!IsValidUtf8(utf8)) {
        for (std::size_t i = 0; i < utf8.size(); ++i) {
            const std::size_t length = std::min(CharacterLength(static_cast<unsigned char>(utf8[i])), utf8.size() - i);
            if (!IsValidUtf8(utf8.substr(i, length))) return std::string(utf8.substr(i, 1));
            i += length - 1;
        }
    }
    const Converter converter;
    if (converter.RoundTrips(utf8)) return std::nullopt;
    // Code page 949 keeps no state between characters, so the culprit is the
    // first character that fails on its own.
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t length = CharacterLength(static_cast<unsigned char>(utf8[i]));
        const std::string_view character = utf8.substr(i, length);
        if (!converter.RoundTrips(character)) return std::string(character);
        i += length;
    }
    return std::string(utf8);
}

}  // namespace tallowfin::publish
