#include "control/document_type.h"

#include <cstdint>

namespace tallowfin {

namespace {

// The document's characters, one code unit at a time.
class Units {
public:
    explicit Units(std::string_view bytes) : bytes_(bytes) { ChooseEncoding(); }

    bool AtEnd() const { return at_ + width_ > bytes_.size(); }
    std::uint32_t Peek(std::size_t ahead = 0) const
    {
        const std::size_t at = at_ + ahead * width_;
        if (at + width_ > bytes_.size()) return 0xFFFFFFFF;
        std::uint32_t unit = 0;
        for (std::size_t i = 0; i < width_; ++i) {
            const auto byte = static_cast<unsigned char>(bytes_[at + (bigEndian_ ? i : width_ - 1 - i)]);
            unit = (unit << 8) | byte;
        }
        return unit;
    }
    bool LooksAt(std::string_view text) const
    {
        for (std::size_t i = 0; i < text.size(); ++i)
            if (Peek(i) != static_cast<unsigned char>(text[i])) return false;
        return true;
    }
    void Skip(std::size_t units) { at_ += units * width_; }
    // Steps past the next `end`; false when the document ends first.
    bool SkipPast(std::string_view end)
    {
        while (!AtEnd()) {
            if (LooksAt(end)) {
                Skip(end.size());
                return true;
            }
            Skip(1);
        }
        return false;
    }

private:
    bool Starts(std::string_view prefix) const { return bytes_.substr(0, prefix.size()) == prefix; }

    void ChooseEncoding()
    {
        using namespace std::string_view_literals;
        if (Starts("\x00\x00\xFE\xFF"sv)) Use(4, true, 4);
        else if (Starts("\xFF\xFE\x00\x00"sv)) Use(4, false, 4);
        else if (Starts("\xFE\xFF"sv)) Use(2, true, 2);
        else if (Starts("\xFF\xFE"sv)) Use(2, false, 2);
        else if (Starts("\xEF\xBB\xBF"sv)) Use(1, true, 3);
        // Without a mark, the zero bytes around the first character ("<" or
        // a blank) show the width and the order.
        else if (bytes_.size() >= 4 && bytes_[0] == 0 && bytes_[1] == 0) Use(4, true, 0);
        else if (bytes_.size() >= 4 && bytes_[1] == 0 && bytes_[2] == 0 && bytes_[3] == 0) Use(4, false, 0);
        else if (bytes_.size() >= 2 && bytes_[0] == 0) Use(2, true, 0);
        else if (bytes_.size() >= 2 && bytes_[1] == 0) Use(2, false, 0);
    }
    void Use(std::size_t width, bool bigEndian, std::size_t mark)
    {
        width_ = width;
        bigEndian_ = bigEndian;
        at_ = mark;
    }

    std::string_view bytes_;
    std::size_t width_ = 1;
    bool bigEndian_ = true;
    std::size_t at_ = 0;
};

bool IsBlank(std::uint32_t unit) { return unit == ' ' || unit == '\t' || unit == '\r' || unit == '\n'; }

}  // namespace

bool DeclaresDocumentType(std::string_view bytes)
{
    Units units(bytes);
    while (!units.AtEnd()) {
        if (IsBlank(units.Peek())) units.Skip(1);
        else if (units.LooksAt("<?")) {
            if (!units.SkipPast("?>")) return false;
        } else if (units.LooksAt("<!--")) {
            if (!units.SkipPast("-->")) return false;
        } else {
            return units.LooksAt("<!DOCTYPE");
        }
    }
    return false;
}

}  // namespace tallowfin
