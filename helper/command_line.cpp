#include "helper/command_line.h"

namespace tallowfin {

namespace {

class Reader {
public:
    Reader(std::string_view text, LeadBytePredicate isLeadByte) : text_(text), isLeadByte_(isLeadByte) {}

    // Reads one token; an empty result means there is none.
    std::string NextToken()
    {
        for (;;) {
            while (pos_ < text_.size() && Byte(pos_) != 0 && Byte(pos_) <= ' ') Step();
            if (At('"') && pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
                pos_ += 2;  // an empty "" at the start of a token is dropped
                continue;
            }
            break;
        }
        std::string token;
        while (pos_ < text_.size() && Byte(pos_) > ' ') {
            if (At('"')) {
                ++pos_;
                while (pos_ < text_.size() && Byte(pos_) != 0 && !At('"')) Take(token);
                if (pos_ < text_.size() && Byte(pos_) != 0) ++pos_;  // the closing quote
            } else {
                Take(token);
            }
        }
        return token;
    }

private:
    unsigned char Byte(std::size_t i) const { return static_cast<unsigned char>(text_[i]); }
    bool At(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

    std::size_t CharLength() const
    {
        if (isLeadByte_ && isLeadByte_(Byte(pos_)) && pos_ + 1 < text_.size() && Byte(pos_ + 1) != 0) return 2;
        return 1;
    }
    void Step() { pos_ += CharLength(); }
    void Take(std::string& token)
    {
        std::size_t n = CharLength();
        token.append(text_.substr(pos_, n));
        pos_ += n;
    }

    std::string_view text_;
    LeadBytePredicate isLeadByte_;
    std::size_t pos_ = 0;
};

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view commandLine, LeadBytePredicate isLeadByte)
{
    // The line ends at its first zero byte, as the system's text does.
    if (auto nul = commandLine.find('\0'); nul != std::string_view::npos) commandLine = commandLine.substr(0, nul);
    Reader reader(commandLine, isLeadByte);
    reader.NextToken();  // the program's own name
    std::vector<std::string> arguments;
    for (std::string token = reader.NextToken(); !token.empty(); token = reader.NextToken())
        arguments.push_back(std::move(token));
    return arguments;
}

}  // namespace tallowfin
