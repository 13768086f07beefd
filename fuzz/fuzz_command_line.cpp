// The helper's command-line reader on arbitrary lines, and on lines written by
// quoting chosen arguments, which must read back exactly.
#include "fuzz/fuzz_support.h"
#include "helper/command_line.h"

#include <string>
#include <string_view>
#include <vector>

using tallowfin::IsCp949LeadByte;
using tallowfin::LeadBytePredicate;
using tallowfin::SplitCommandLine;
using tallowfin::fuzz::Choices;
using tallowfin::fuzz::Shown;

namespace {

bool NoLeadBytes(unsigned char) { return false; }

// The characters of a text as the reader steps over them. A token is built
// of whole characters and a lone lead byte can only be the line's last byte,
// so stepping over a token from its start finds the same characters.
std::vector<std::string_view> Characters(std::string_view text, LeadBytePredicate isLead)
{
    std::vector<std::string_view> out;
    for (std::size_t i = 0; i < text.size();) {
        const bool pair = isLead && isLead(static_cast<unsigned char>(text[i])) && i + 1 < text.size() && text[i + 1] != 0;
        const std::size_t n = pair ? 2 : 1;
        out.push_back(text.substr(i, n));
        i += n;
    }
    return out;
}

bool IsSubsequence(std::string_view part, std::string_view whole)
{
    std::size_t at = 0;
    for (const char c : part) {
        at = whole.find(c, at);
        if (at == std::string_view::npos) return false;
        ++at;
    }
    return true;
}

std::string Joined(const std::vector<std::string>& args)
{
    std::string out = "[";
    for (const auto& a : args) out += Shown(a) + " ";
    return out + "]";
}

void CheckAnyLine(std::string_view line, LeadBytePredicate isLead)
{
    const auto args = SplitCommandLine(line, isLead);
    FUZZ_CHECK(args == SplitCommandLine(line, isLead));

    const std::string_view visible = line.substr(0, line.find('\0'));
    FUZZ_CHECK(args == SplitCommandLine(visible, isLead));

    std::string all;
    for (const auto& arg : args) {
        FUZZ_CHECK_SAID(!arg.empty(), Joined(args));
        FUZZ_CHECK(arg.find('\0') == std::string::npos);
        // Quotes only group; one can reach an argument only as the second
        // byte of a double-byte character.
        for (const auto c : Characters(arg, isLead)) FUZZ_CHECK_SAID(c != "\"", Shown(line) + " -> " + Joined(args));
        all += arg;
    }
    // Reading drops quotes and separators and never invents or reorders bytes.
    FUZZ_CHECK_SAID(IsSubsequence(all, visible), Shown(line) + " -> " + Joined(args));
}

// An argument as a caller would pass it: not empty, without quotes or zero
// bytes, and with whole characters only (a caller's text never ends in half
// a double-byte character).
std::string ArgumentText(FuzzedDataProvider& data, LeadBytePredicate isLead)
{
    std::string text = data.ConsumeRandomLengthString(40);
    std::erase(text, '"');
    std::erase(text, '\0');
    if (!text.empty()) {
        const auto characters = Characters(text, isLead);
        const auto last = characters.back();
        if (last.size() == 1 && isLead && isLead(static_cast<unsigned char>(last[0]))) text.pop_back();
    }
    if (text.empty()) text = "a";
    return text;
}

// Writes an argument with quotes opening and closing at character
// boundaries: every blank or control character inside quotes, the others
// inside or outside at random, and now and then an empty "" pair, which reads
// as nothing wherever it stands.
std::string Quote(const std::string& arg, LeadBytePredicate isLead, Choices& choose, bool mayLeaveOpen, bool& leftOpen)
{
    std::string out;
    bool open = false;
    for (const auto c : Characters(arg, isLead)) {
        if (choose.OneIn(8)) out += "\"\"";
        const bool mustQuote = c.size() == 1 && static_cast<unsigned char>(c[0]) <= ' ';
        if ((mustQuote && !open) || (!mustQuote && choose.OneIn(4))) {
            out.push_back('"');
            open = !open;
        }
        out.append(c);
    }
    leftOpen = false;
    if (open) {
        // An unterminated quote runs to the end of the line.
        if (mayLeaveOpen && choose.OneIn(2)) leftOpen = true;
        else out.push_back('"');
    }
    return out;
}

std::string Separators(Choices& choose, unsigned atLeast)
{
    std::string out;
    const unsigned count = atLeast + choose.Below(3);
    for (unsigned i = 0; i < count; ++i) out.push_back(static_cast<char>(1 + choose.Below(32)));
    // A "" standing alone between tokens is dropped with the separators
    // around it: it is not an empty argument.
    if (atLeast > 0 && choose.OneIn(6)) out += "\"\"" + Separators(choose, 1);
    return out;
}

void CheckQuotedArguments(FuzzedDataProvider& data, LeadBytePredicate isLead)
{
    Choices choose(data.ConsumeIntegral<std::uint64_t>());
    const std::string program = ArgumentText(data, isLead);
    std::vector<std::string> expected(data.ConsumeIntegralInRange<std::size_t>(0, 6));
    for (auto& arg : expected) arg = ArgumentText(data, isLead);

    bool open = false;
    std::string line = Separators(choose, 0) + Quote(program, isLead, choose, expected.empty(), open);
    for (std::size_t i = 0; i < expected.size(); ++i)
        line += Separators(choose, 1) + Quote(expected[i], isLead, choose, i + 1 == expected.size(), open);
    if (!open) line += Separators(choose, 0);

    const auto args = SplitCommandLine(line, isLead);
    FUZZ_CHECK_SAID(args == expected, Shown(line) + " -> " + Joined(args) + " expected " + Joined(expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(bytes), size);
    CheckAnyLine(line, nullptr);
    CheckAnyLine(line, IsCp949LeadByte);

    // Without a lead byte in the text the code page makes no difference, and
    // a predicate that never answers yes is the same as none.
    FUZZ_CHECK(SplitCommandLine(line, nullptr) == SplitCommandLine(line, NoLeadBytes));
    bool anyLead = false;
    for (const char c : line) anyLead |= IsCp949LeadByte(static_cast<unsigned char>(c));
    if (!anyLead) FUZZ_CHECK(SplitCommandLine(line, nullptr) == SplitCommandLine(line, IsCp949LeadByte));

    FuzzedDataProvider data(bytes, size);
    const bool korean = data.ConsumeBool();
    CheckQuotedArguments(data, korean ? IsCp949LeadByte : nullptr);
    return 0;
}
