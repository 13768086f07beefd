// The error box's full stop: appended at most once, only after a character
// that sorts after ".", and never inside a double-byte character.
#include "control/error_text.h"
#include "fuzz/fuzz_support.h"

#include <string>
#include <string_view>

using tallowfin::ErrorBoxText;
using tallowfin::IsCp949LeadByte;
using tallowfin::LeadBytePredicate;
using tallowfin::fuzz::Cp949Text;
using tallowfin::fuzz::Shown;

namespace {

// The first byte of the last character, found by stepping over the text
// from its start as the system steps over ANSI text.
unsigned char LastCharacterLead(std::string_view text, LeadBytePredicate isLead)
{
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        start = i;
        const bool pair = isLead != nullptr && isLead(static_cast<unsigned char>(text[i])) && i + 1 < text.size();
        i += pair ? 2 : 1;
    }
    return static_cast<unsigned char>(text[start]);
}

void CheckMessage(const std::string& message, LeadBytePredicate isLead)
{
    const std::string shown = ErrorBoxText(message, isLead);
    if (message.empty()) {
        FUZZ_CHECK(shown.empty());
        return;
    }
    const bool stop = LastCharacterLead(message, isLead) > '.';
    FUZZ_CHECK_SAID(shown == (stop ? message + "." : message), Shown(message) + " -> " + Shown(shown));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::string any(reinterpret_cast<const char*>(bytes), size);
    CheckMessage(any, nullptr);
    CheckMessage(any, IsCp949LeadByte);
    if (!any.empty()) {
        // Without double-byte characters only the last byte counts.
        const bool stop = static_cast<unsigned char>(any.back()) > '.';
        FUZZ_CHECK(ErrorBoxText(any, nullptr).size() == any.size() + (stop ? 1 : 0));
    }

    // Messages of whole characters, as the system writes them: once the full
    // stop is there, showing the text again adds nothing.
    FuzzedDataProvider data(bytes, size);
    const std::string message = Cp949Text(data, 200, "", ' ');
    const std::string once = ErrorBoxText(message, IsCp949LeadByte);
    FUZZ_CHECK_SAID(ErrorBoxText(once, IsCp949LeadByte) == once, Shown(message));
    FUZZ_CHECK(once.starts_with(message) && once.size() <= message.size() + 1);
    return 0;
}
