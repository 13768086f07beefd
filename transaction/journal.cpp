#include "transaction/journal.h"

#include "common/sealed_record.h"

namespace tallowfin {

namespace {

constexpr char kMark[] = "TFTJ";
constexpr std::uint32_t kVersion = 1;
// Paths and digest texts: no path the system takes is longer.
constexpr std::size_t kLongestText = 32 * 1024;

}  // namespace

std::string JournalBytes(const Journal& journal)
{
    RecordWriter writer(kMark, kVersion);
    writer.Put(static_cast<std::uint32_t>(journal.phase), 4);
    writer.PutText(journal.list);
    writer.Put(journal.entries.size(), 4);
    for (const JournalEntry& entry : journal.entries) {
        writer.PutText(entry.target);
        writer.PutText(entry.staged);
        writer.PutText(entry.aside);
        writer.PutText(entry.md5);
        writer.PutText(entry.sha256);
        writer.Put((entry.selfUpdate ? 1u : 0u) | (entry.registers ? 2u : 0u) | (entry.hadOld ? 4u : 0u), 1);
    }
    writer.Put(journal.registrations.size(), 4);
    for (const JournalRegistration& registration : journal.registrations) {
        writer.PutText(registration.path);
        writer.PutText(registration.md5);
        writer.Put(registration.attempts, 4);
    }
    return std::move(writer).Seal();
}

std::optional<Journal> ReadJournal(std::string_view bytes)
{
    if (bytes.size() > kLargestJournal) return std::nullopt;
    auto reader = RecordReader::Open(bytes, kMark, kVersion);
    if (!reader) return std::nullopt;
    Journal journal;
    const std::uint64_t phase = reader->Get(4);
    if (phase < 1 || phase > 3) return std::nullopt;
    journal.phase = static_cast<JournalPhase>(phase);
    journal.list = reader->GetText(kLongestText);
    // Each count is bounded by the bytes left, so a damaged count cannot make
    // the reader reserve more than the file could hold.
    const std::uint64_t entries = reader->Get(4);
    if (entries > reader->Left()) return std::nullopt;
    for (std::uint64_t i = 0; i < entries && !reader->Failed(); ++i) {
        JournalEntry entry;
        entry.target = reader->GetText(kLongestText);
        entry.staged = reader->GetText(kLongestText);
        entry.aside = reader->GetText(kLongestText);
        entry.md5 = reader->GetText(kLongestText);
        entry.sha256 = reader->GetText(kLongestText);
        const std::uint64_t flags = reader->Get(1);
        if (flags > 7) reader->Fail();
        entry.selfUpdate = (flags & 1) != 0;
        entry.registers = (flags & 2) != 0;
        entry.hadOld = (flags & 4) != 0;
        journal.entries.push_back(std::move(entry));
    }
    const std::uint64_t registrations = reader->Get(4);
    if (registrations > reader->Left()) return std::nullopt;
    for (std::uint64_t i = 0; i < registrations && !reader->Failed(); ++i) {
        JournalRegistration registration;
        registration.path = reader->GetText(kLongestText);
        registration.md5 = reader->GetText(kLongestText);
        registration.attempts = static_cast<std::uint32_t>(reader->Get(4));
        journal.registrations.push_back(std::move(registration));
    }
    if (!reader->Done()) return std::nullopt;
    return journal;
}

}  // namespace tallowfin
