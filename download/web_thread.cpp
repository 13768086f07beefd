#include "download/web_thread.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>

#include "common/win_error.h"
#include "download/resume_rules.h"
#include "download/temp_files.h"
#include "download/transfer_pace.h"
#include "download/url_rules.h"

namespace tallowfin {

namespace {

constexpr unsigned kRangeNotSatisfiable = 416;
constexpr unsigned kPartialContent = 206;
// How long the worker waits for a read before it looks at the transfer's
// pace again. The pace is judged by the minute; a second is close enough.
constexpr DWORD kPaceCheckMs = 1000;
// The longest body of a refused reply that is closed, and so read to its
// end by the library under Wine (see Fetch): an error page.
constexpr std::uint64_t kLongestUnreadBody = 64 * 1024;
// The smallest file whose transfer is kept to be resumed: one read.
constexpr std::uint64_t kSmallestKeptFile = ReadThread::kLargestRead;

}  // namespace

TWebThread::TWebThread(MainThreadDoor& door, InternetLayer& internet)
    : TThread(door), internet_(internet), reader_(internet)
{
}

TWebThread::~TWebThread()
{
    FRecords.clear();  // the records themselves belong to the caller
}

void TWebThread::SetStatus(TWebStatus kind, std::string message)
{
    FMessage = std::move(message);
    FStatus = kind;
}

void TWebThread::DispatchStatus()
{
    if (OnStatus) OnStatus(this, FStatus, FMessage, FFileSize, FBytesRead);
}

void TWebThread::ReportStatus(TWebStatus kind, std::string message)
{
    SetStatus(kind, std::move(message));
    Synchronize([this] { DispatchStatus(); });
    RaiseProgressError();
}

void TWebThread::PostProgress()
{
    // The values as they are now: the worker goes on changing its own. The
    // worker outlives the call, because its last report of all is waited for
    // and the main thread runs the calls in order.
    const std::int32_t size = FFileSize, position = FBytesRead;
    Door().Post([this, size, position] {
        if (progressFailed_.load(std::memory_order_relaxed)) return;
        try {
            if (OnStatus) OnStatus(this, wsProgress, "", size, position);
        } catch (...) {
            progressError_ = std::current_exception();
            progressFailed_.store(true, std::memory_order_release);
        }
    });
}

void TWebThread::RaiseProgressError()
{
    // A handler that failed ends the run as a failed waited-for report does.
    if (progressFailed_.load(std::memory_order_acquire)) std::rethrow_exception(progressError_);
}

void TWebThread::Execute()
{
    try {
        FSession = InternetHandle(internet_, internet_.Open(kAgent));
        if (!FSession) {
            ReportStatus(wsNoNetwork, "Could not initialize network");
            return;
        }
        ReportStatus(wsConnected, "Connected");
        const std::size_t count = FRecords.size();
        for (std::size_t i = 0; i < count; ++i) {
            FCurrent = i;
            Fetch(*FRecords[i]);
        }
        FSession.reset();
        ReportStatus(wsDisconnected, "Disconnected");
    } catch (...) {
        const DWORD code = GetLastError();
        // A read under way is left to end on its own, with its request.
        if (!reader_.Finish(kPaceCheckMs)) FUrlHandle.abandon();
        // Nothing half-written may stay behind to be mistaken for a download;
        // a kept part is no download, and stays to be resumed.
        DiscardPartialFile();
        part_.reset();
        FUrlHandle.reset();
        FSession.reset();
        SetStatus(wsFailed, SystemErrorText(code));
        try {
            Synchronize([this] { DispatchStatus(); });
        } catch (...) {
            // The handler failed again; the run is over either way.
        }
    }
}

std::optional<KeptPart> TWebThread::HoldPart(const TUpdateRec& record, bool create)
{
    if (FPartsFolder.empty()) return std::nullopt;
    const auto name = PartNameOf(record);
    if (!name || partsHandedOver_.count(*name)) return std::nullopt;
    auto part = KeptPart::Hold(FPartsFolder, *name, create);
    // Kept of a file of another length than the entry now allows: another file.
    if (part && part->Info() &&
        ((record.Size && part->Info()->total != *record.Size) || part->Info()->total > record.Largest))
        part->Drop();
    return part;
}

DWORD TWebThread::OpenTarget(const TUpdateRec& record, std::uint64_t from, std::uint64_t total,
                             const std::optional<std::string>& validator)
{
    // Kept only where the next request can name this version of the file,
    // and where there is enough of it to be worth resuming: a file of less
    // than a read is fetched again whole, without a part's files to write.
    const bool keep = validator && total >= kSmallestKeptFile;
    if (keep && !part_)
        if (auto held = HoldPart(record, true)) part_.emplace(std::move(*held));
    if (keep && part_ && part_->Begin(from, {*validator, total})) return 0;
    if (from != 0) return part_ ? GetLastError() : ERROR_INVALID_DATA;
    if (part_) part_->Discard();
    part_.reset();

    partialPath_ = NewWorkerTemporaryFile();
    if (partialPath_.empty()) return GetLastError();
    partialHandle_.reset(CreateFileA(partialPath_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    return partialHandle_ ? 0 : GetLastError();
}

void TWebThread::Fetch(TUpdateRec& record)
{
    const std::string url = ResolveUrl(FBaseUrl, record.Url);
    FFileSize = 0;
    FBytesRead = 0;

    // What a transfer of this file that ended early left, and the request
    // for the rest of it.
    part_.reset();
    if (auto held = HoldPart(record, false)) part_.emplace(std::move(*held));
    std::optional<KeptPartInfo> asked;
    std::uint64_t kept = 0;
    auto request = [&] {
        std::string headers;
        asked.reset();
        kept = 0;
        if (part_ && part_->Info()) {
            asked = part_->Info();
            kept = part_->Length();
            headers = RangeHeaders(kept, asked->validator);
        }
        FUrlHandle = InternetHandle(internet_, internet_.OpenUrlWithHeaders(FSession.get(), url.c_str(), headers));
    };
    request();
    if (FUrlHandle && asked && internet_.StatusCode(FUrlHandle.get()) == kRangeNotSatisfiable) {
        // The part is all of the file or more, by the server's count: the
        // file is asked for whole.
        part_->Drop();
        FUrlHandle.reset();
        request();
    }
    if (!FUrlHandle) {
        part_.reset();
        ReportStatus(wsFileError, "Could not start transferring remote file");
        return;
    }
    ReportStatus(wsTransferring, "Start transferring");

    const unsigned status = internet_.StatusCode(FUrlHandle.get());
    const std::uint32_t length = internet_.BodyLength(FUrlHandle.get());
    const std::optional<std::uint64_t> announced =
        length == InternetLayer::kNoLength ? std::nullopt : std::optional<std::uint64_t>(length);
    const ReplyUse use = JudgeReply(status, announced,
                                    status == kPartialContent ? internet_.HeaderValue(FUrlHandle.get(), "Content-Range")
                                                              : std::string(),
                                    asked, kept);
    // A refused reply is left unread. Under Wine the library reads the rest
    // of a body when its handle is closed, for as long as bytes keep coming
    // (measured: all 200 MB of a refused reply from a local server), so a
    // reply announced longer than an error page is given up rather than
    // closed: its connection goes with the process, and the server stops
    // sending once the connection's buffers are full.
    auto refuse = [&](const std::string& message) {
        part_.reset();
        if (announced && *announced > kLongestUnreadBody) FUrlHandle.abandon();
        else FUrlHandle.reset();
        ReportStatus(wsFileError, message);
    };
    if (use == ReplyUse::kWrongPart) {
        // Whatever the server makes of ranges, the next try asks for the
        // whole file.
        if (part_) part_->Drop();
        return refuse("File " + url + " came as another part of the file than the one asked for");
    }
    if (use != ReplyUse::kWhole && use != ReplyUse::kRest) return refuse("File " + url + " does not exist");

    // Whose announced length is not the listed one, or more than is taken
    // from this address, is not read at all.
    const std::uint64_t from = use == ReplyUse::kRest ? kept : 0;
    const std::uint64_t total = from + *announced;
    record.RefusedLength = (record.Size && total != *record.Size) || total > record.Largest;
    if (record.Size && total != *record.Size)
        return refuse("File " + url + " is announced with " + std::to_string(total) + " bytes; its entry gives " +
                      std::to_string(*record.Size));
    if (total > record.Largest)
        return refuse("File " + url + " is announced with " + std::to_string(total) + " bytes, more than the " +
                      std::to_string(record.Largest) + " taken");

    FFileSize = static_cast<std::int32_t>(total);
    FBytesRead = static_cast<std::int32_t>(from);
    const std::optional<std::string> validator =
        use == ReplyUse::kRest ? asked->validator
                               : ResumeValidator(internet_.HeaderValue(FUrlHandle.get(), "ETag"),
                                                 internet_.HeaderValue(FUrlHandle.get(), "Last-Modified"));
    // The code of the last call that failed; 0 while all went well.
    DWORD failure = OpenTarget(record, from, total, validator);
    std::string reason;
    SetStatus(wsTransferring, "Downloading " + record.Description);
    internet_.Rewind(FUrlHandle.get());
    Synchronize([this] { DispatchStatus(); });
    RaiseProgressError();

    const HANDLE target = part_ ? part_->File() : partialHandle_.get();
    std::uint64_t received = from;
    TransferPace pace(FClock(), total - from);
    std::uint64_t lastProgress = FClock();
    auto judge = [&](std::uint64_t now, std::uint64_t moved) {
        switch (pace.Note(now, moved)) {
        case TransferPace::kTooSlow:
            reason = url + " came at less than " + std::to_string(kLeastBytesPerWindow / (kPaceWindowMs / 1000)) +
                     " bytes a second for " + std::to_string(kPaceWindowMs / 1000) + " s";
            return false;
        case TransferPace::kTooLong:
            reason = url + " took longer than the " + std::to_string(LongestTransferMs(total - from) / 1000) +
                     " s its length allows";
            return false;
        case TransferPace::kOnPace:
            break;
        }
        return true;
    };
    // Never more than one byte past the announced end, in all: a body longer
    // than announced is not the file that was announced, and fails at that
    // byte, before more is asked of the connection.
    if (failure == 0) reader_.Start(FUrlHandle.get(), total - from + 1, FClock);
    while (failure == 0) {
        ReadThread::Block block;
        const ReadThread::Outcome outcome = reader_.Next(kPaceCheckMs, block, failure);
        RaiseProgressError();
        if (outcome == ReadThread::Outcome::kFailed) break;
        if (outcome == ReadThread::Outcome::kWaiting) {
            if (!judge(FClock(), received - from)) failure = ERROR_INTERNET_TIMEOUT;
            continue;
        }
        // Judged by when each block arrived: the reads run ahead of the writes.
        const std::uint64_t got = block.bytes.size();
        if (received + got > total) {
            failure = ERROR_INVALID_DATA;
            break;
        }
        if (got == 0) break;
        // What arrived is written (and kept) whatever the pace says.
        if (!judge(block.at, received + got - from)) failure = ERROR_INTERNET_TIMEOUT;
        DWORD written = 0;
        if (!WriteFile(target, block.bytes.data(), static_cast<DWORD>(got), &written, nullptr)) failure = GetLastError();
        else if (written != got) failure = ERROR_WRITE_FAULT;
        received += written;
        FBytesRead = static_cast<std::int32_t>(received);
        // The file's end has a progress event of its own, below.
        if (failure == 0 && received < total && block.at - lastProgress >= kProgressIntervalMs) {
            lastProgress = block.at;
            PostProgress();
        }
    }
    // A read that does not end is left to end on its own, with its request.
    if (!reader_.Finish(kPaceCheckMs)) FUrlHandle.abandon();
    if (partialHandle_ && !partialHandle_.reset() && failure == 0) failure = GetLastError();
    // A body that ends before its announced length was cut off: the file is
    // incomplete and must not be installed.
    if (failure == 0 && received != total) failure = ERROR_INTERNET_CONNECTION_ABORTED;

    if (failure == 0) {
        // The file's last progress, waited for: the bar shows it whole.
        SetStatus(wsProgress, "");
        Synchronize([this] { DispatchStatus(); });
        RaiseProgressError();
        if (part_) {
            const auto name = PartNameOf(record);
            partialPath_ = part_->Finish();
            if (partialPath_.empty()) failure = GetLastError();
            else if (name) partsHandedOver_.insert(*name);
        }
    }
    if (failure != 0) {
        // What a kept part received stays to be resumed, unless the body ran
        // past its length: that is not the file.
        if (failure == ERROR_INVALID_DATA && part_) part_->Drop();
        part_.reset();
        SetStatus(wsFileError,
                  "Error retrieving remote file: " + (reason.empty() ? SystemErrorText(failure) : reason));
        DiscardPartialFile();
        FUrlHandle.reset();
        Synchronize([this] { DispatchStatus(); });
        RaiseProgressError();
        return;
    }
    part_.reset();
    record.TempFile = std::move(partialPath_);
    partialPath_.clear();
    ReportStatus(wsCompleted, "Transfer completed");
    FUrlHandle.reset();
}

void TWebThread::DiscardPartialFile() noexcept
{
    partialHandle_.reset();
    if (!partialPath_.empty()) DeleteFileA(partialPath_.c_str());
    partialPath_.clear();
}

}  // namespace tallowfin
