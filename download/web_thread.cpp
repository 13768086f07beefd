#include "download/web_thread.h"

#include <windows.h>
#include <wininet.h>

#include <array>

#include "common/win_error.h"
#include "download/url_rules.h"

namespace tallowfin {

namespace {

constexpr std::uint32_t kReadSize = 4096;

}  // namespace

TWebThread::TWebThread(MainThreadDoor& door, InternetLayer& internet) : TThread(door), internet_(internet) {}

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
        for (std::size_t i = 0; i < count; ++i) Fetch(*FRecords[i]);
        FSession.reset();
        ReportStatus(wsDisconnected, "Disconnected");
    } catch (...) {
        const DWORD code = GetLastError();
        // Nothing half-written may stay behind to be mistaken for a download.
        DiscardPartialFile();
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

void TWebThread::Fetch(TUpdateRec& record)
{
    const std::string url = ResolveUrl(FBaseUrl, record.Url);
    FFileSize = 0;
    FBytesRead = 0;

    FUrlHandle = InternetHandle(internet_, internet_.OpenUrl(FSession.get(), url.c_str()));
    if (!FUrlHandle) {
        ReportStatus(wsFileError, "Could not start transferring remote file");
        return;
    }
    ReportStatus(wsTransferring, "Start transferring");

    const std::uint32_t size = internet_.BodyLength(FUrlHandle.get());
    if (size == InternetLayer::kNoLength) {
        ReportStatus(wsFileError, "File " + url + " does not exist");
        FUrlHandle.reset();
        return;
    }
    FFileSize = static_cast<std::int32_t>(size);
    SetStatus(wsTransferring, "Downloading " + record.Description);
    internet_.Rewind(FUrlHandle.get());
    Synchronize([this] { DispatchStatus(); });

    // The code of the last call that failed; 0 while all went well.
    DWORD failure = 0;
    char tempDir[MAX_PATH + 1] = {};
    char tempName[MAX_PATH + 1] = {};
    if (GetTempPathA(sizeof tempDir, tempDir) == 0 || GetTempFileNameA(tempDir, "~wu", 0, tempName) == 0)
        failure = GetLastError();
    partialPath_ = tempName;
    partialHandle_.reset(CreateFileA(tempName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!partialHandle_) failure = GetLastError();

    std::array<char, kReadSize> buffer{};
    std::uint64_t received = 0;
    for (;;) {
        std::uint32_t got = 0;
        if (!internet_.Read(FUrlHandle.get(), buffer.data(), kReadSize, got)) {
            failure = GetLastError();
            got = 0;
        }
        // A body longer than its announced length is not the file that was
        // announced: the transfer fails at once, before the bytes past the
        // length are kept or counted (in 64 bits, so no count can wrap).
        if (received + got > size) {
            failure = ERROR_INVALID_DATA;
            break;
        }
        received += got;
        if (got != 0) {
            DWORD written = 0;
            if (!WriteFile(partialHandle_.get(), buffer.data(), got, &written, nullptr)) failure = GetLastError();
            else if (written != got) failure = ERROR_WRITE_FAULT;
        }
        FBytesRead += static_cast<std::int32_t>(got);
        ReportStatus(wsProgress, "");
        if (got == 0) break;
    }
    if (partialHandle_ && !partialHandle_.reset()) failure = GetLastError();
    // A body that ends before its announced length was cut off: the file is
    // incomplete and must not be installed.
    if (failure == 0 && FBytesRead != FFileSize) failure = ERROR_INTERNET_CONNECTION_ABORTED;

    if (failure != 0) {
        SetStatus(wsFileError, "Error retrieving remote file: " + SystemErrorText(failure));
        DiscardPartialFile();
        Synchronize([this] { DispatchStatus(); });
        FUrlHandle.reset();
        return;
    }
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
