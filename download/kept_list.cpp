#include "download/kept_list.h"

#include <array>

#include "common/sealed_record.h"

namespace tallowfin {

namespace {

constexpr std::string_view kMark = "TFKL";
// Version 2 added the time the list was kept; a copy of version 1 is
// ignored, and the list fetched whole once.
constexpr std::uint32_t kFormatVersion = 2;
constexpr std::size_t kLongestUrl = 4096;

// Two digits from `at`, within [low, high].
bool Digits(std::string_view text, std::size_t at, int low, int high, int& value)
{
    const char a = text[at], b = text[at + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9') return false;
    value = (a - '0') * 10 + (b - '0');
    return value >= low && value <= high;
}

// The day of the week of a date of the Gregorian calendar, 0 for Monday
// (the count of days from 1 March of year 0, whose day is known).
int WeekdayOf(int year, int month, int day)
{
    if (month < 3) --year;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const int yearOfEra = year - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const long days = static_cast<long>(era) * 146097 + dayOfEra;  // 1 March of year 0 was a Wednesday
    return static_cast<int>(((days + 2) % 7 + 7) % 7);
}

}  // namespace

std::string KeptListBytes(const KeptList& list)
{
    RecordWriter writer(kMark, kFormatVersion);
    writer.PutText(list.url);
    writer.Put(list.keptAt, 8);
    writer.PutText(list.entityTag);
    writer.PutText(list.lastModified);
    writer.PutText(list.body);
    return std::move(writer).Seal();
}

std::optional<KeptList> ReadKeptList(std::string_view bytes)
{
    auto reader = RecordReader::Open(bytes, kMark, kFormatVersion);
    if (!reader) return std::nullopt;
    KeptList list;
    list.url = reader->GetText(kLongestUrl);
    list.keptAt = reader->Get(8);
    list.entityTag = reader->GetText(kLongestValidator);
    list.lastModified = reader->GetText(kLongestValidator);
    list.body = reader->GetText(kLargestKeptList);
    if (!reader->Done()) return std::nullopt;
    return list;
}

bool IsStrongEntityTag(std::string_view value)
{
    if (value.size() < 2 || value.size() > kLongestValidator || value.front() != '"' || value.back() != '"')
        return false;
    // Visible ASCII but the quote; the bytes above ASCII HTTP allows are left
    // out, as a header that holds them may not reach the server as sent.
    for (const char c : value.substr(1, value.size() - 2))
        if (c < 0x21 || c > 0x7E || c == '"') return false;
    return true;
}

bool IsHttpDate(std::string_view value)
{
    // "Tue, 08 Dec 2026 09:00:00 GMT": the one form servers may send.
    static constexpr std::array<std::string_view, 7> kDays = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (value.size() != 29 || value.substr(3, 2) != ", " || value[7] != ' ' || value[11] != ' ' || value[16] != ' ' ||
        value[19] != ':' || value[22] != ':' || value.substr(25) != " GMT")
        return false;
    std::size_t weekday = kDays.size();
    for (std::size_t i = 0; i < kDays.size(); ++i)
        if (value.substr(0, 3) == kDays[i]) weekday = i;
    std::size_t month = kMonths.size();
    for (std::size_t i = 0; i < kMonths.size(); ++i)
        if (value.substr(8, 3) == kMonths[i]) month = i;
    int day = 0, century = 0, yearInCentury = 0, hour = 0, minute = 0, second = 0;
    if (weekday == kDays.size() || month == kMonths.size() || !Digits(value, 5, 1, 31, day) || !Digits(value, 12, 0, 99, century) ||
        !Digits(value, 14, 0, 99, yearInCentury) || !Digits(value, 17, 0, 23, hour) ||
        !Digits(value, 20, 0, 59, minute) || !Digits(value, 23, 0, 60, second))
        return false;
    const int year = century * 100 + yearInCentury;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    static constexpr std::array<int, 12> kLongest = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    // A day that does not exist, or another day of the week than the date's,
    // is no date a server wrote.
    return day <= kLongest[month] && (month != 1 || day <= 28 || leap) &&
           static_cast<std::size_t>(WeekdayOf(year, static_cast<int>(month) + 1, day)) == weekday;
}

bool KeptListIsFresh(const KeptList& list, std::uint64_t now)
{
    return list.keptAt <= now && now - list.keptAt <= kLongestKeptSeconds;
}

std::string ConditionalHeaders(const KeptList& list)
{
    std::string headers;
    if (IsStrongEntityTag(list.entityTag)) headers += "If-None-Match: " + list.entityTag + "\r\n";
    if (IsHttpDate(list.lastModified)) headers += "If-Modified-Since: " + list.lastModified + "\r\n";
    return headers;
}

}  // namespace tallowfin
