// Runs the real programs under Wine, as a user's machine would: an installed
// product in a scratch folder, a local update server reached through the proxy
// setting, and the updater started as its own process. Helpers find and work
// its windows (message boxes, the notification-area icon, the menu).
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/handle.h"
#include "tests/support/http_server.h"
#include "tests/support/tls_proxy.h"
#include "tests/support/win_util.h"

namespace tallowfin::test {

namespace fs = std::filesystem;

// Paths of the built programs, as this process sees them.
fs::path UpdaterExe();
// The same updater built with "https://update.tallowfin.example/software/Tallowfin/" as its base.
fs::path HttpsUpdaterExe();
// The same updater built with the test keys "a" and "b" (see
// tests/support/make-test-keys.sh): it takes only signed lists.
fs::path SignedUpdaterExe();
fs::path HelperExe();
fs::path StandInExe();
fs::path TestComDll();
fs::path PublishExe();

class Process {
public:
    Process() = default;
    Process(KernelHandle process, DWORD id) : process_(std::move(process)), id_(id) {}
    Process(Process&&) = default;
    Process& operator=(Process&&) = default;
    ~Process();  // kills a process that is still running

    DWORD Id() const { return id_; }
    HANDLE Handle() const { return process_.get(); }
    bool Running() const;
    // The exit code once the process has ended in time; nothing otherwise.
    std::optional<DWORD> WaitExit(std::chrono::milliseconds limit = std::chrono::seconds(30));
    void Kill();

private:
    KernelHandle process_;
    DWORD id_ = 0;
};

// Starts `exe` with `arguments` (the text after the program's quoted name) in
// `directory`, with these variables added to this process's environment.
Process Start(const fs::path& exe, const std::string& arguments, const fs::path& directory,
              const std::map<std::string, std::string>& environment = {});

std::vector<HWND> WindowsOf(DWORD processId, const char* className = nullptr);
// Describes a process's windows, for the message of a test that failed.
std::string DescribeWindows(DWORD processId);
// Ends every process whose executable lies under `folder`: helpers the
// updater started must not outlive the test that made them.
void EndProcessesUnder(const fs::path& folder);
// Names the processes whose executable lies under `folder`, for messages.
std::string DescribeProcessesUnder(const fs::path& folder);
// Waits until no process whose executable lies under `folder` runs.
bool WaitForProcessesUnder(const fs::path& folder, std::chrono::milliseconds limit);
HWND WaitForWindow(DWORD processId, const char* className, std::chrono::milliseconds limit = std::chrono::seconds(20));
// The text of a message box, and pressing its OK button.
std::string MessageBoxText(HWND box);
void PressOk(HWND box);

// The icon an application put into the notification area (under Wine's
// standalone tray), found by the pixels it shows.
struct TrayColors {
    int appIcon = 0;    // pixels of the application's icon
    int retryIcon = 0;  // pixels of the picture of the image list
};
TrayColors ReadTrayColors();
std::vector<HWND> TrayIconWindows();
// A right click on every icon in the tray.
void RightClickTray();

// An installed product and an update server, each in a scratch folder.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();

    const fs::path& Install() const { return install_; }
    const fs::path& Temp() const { return temp_; }
    fs::path Served(const std::string& relative) const;
    const fs::path& ServedRoot() const { return served_; }
    HttpServer& Server() { return server_; }
    fs::path Updater() const { return install_ / "TallowfinUpdate.exe"; }

    // Installs another build of the updater in place of the default one.
    void InstallUpdater(const fs::path& exe);
    // Serves the same folder over HTTPS too: from now on the updater's proxy
    // is one that answers CONNECT for these hosts with these certificates
    // (see TlsProxy) and passes the requests on to Server(); plain requests
    // still reach Server() through it.
    TlsProxy& ServeHttps(const std::map<std::string, std::string>& certificates);

    // Puts a file on the server under "/software/Tallowfin/".
    void Publish(const std::string& relative, const std::string& bytes);
    // Writes the list from its entries, with their patches (each attribute
    // written as given, where given).
    struct Patch {
        std::string url;
        std::optional<std::string> base, baseSha256, size, sha256;
    };
    struct Entry {
        std::string path, name, hash, downurl;
        std::optional<std::string> regist;
        std::optional<std::string> sha256{};
        std::optional<std::uint64_t> size{};
        std::vector<Patch> patches{};
    };
    // With a serial, the document element carries it, as a signed list's
    // does; and with an expiry, that too.
    void PublishList(const std::vector<Entry>& entries, const std::optional<std::string>& serial = std::nullopt,
                     const std::optional<std::string>& expires = std::nullopt);
    // Signs the list as it is served now with test key `key` ("a", "b" or
    // "c"), putting the signature beside it.
    void SignList(const std::string& key = "a");
    // An entry for a file published under its name, installed in %PROGRAM%.
    Entry Changed(const std::string& name, const std::string& bytes);
    // Puts a patch from `base` to `result` (PatchBytes) on the server under
    // `relative` and returns how an entry lists it: with its size and base,
    // and with both SHA-256 digests when `withSha256` (as a signed list must).
    Patch PublishPatch(const std::string& relative, const std::string& base, const std::string& result,
                       bool withSha256 = false);

    // Starts the updater with the proxy and temporary-folder settings, and
    // these variables besides.
    Process StartUpdater(const std::string& arguments = "", std::optional<fs::path> directory = std::nullopt,
                         const std::map<std::string, std::string>& environment = {});
    // What the main program's stand-in recorded in the installation.
    std::vector<std::string> StandInLog() const;
    // Temporary files the worker left, as full paths: in this sandbox's
    // temporary folder, and the whole downloads beside the kept parts.
    std::vector<std::string> LeftTemporaryFiles() const;
    // Where the updater keeps, for this installation, its digest cache and
    // the last list it fetched (in the prefix's local application data;
    // removed with the sandbox).
    fs::path CacheFolder() const;
    fs::path DigestCacheFile() const;
    fs::path KeptListFile() const;
    // Where it keeps the parts of transfers that ended early.
    fs::path PartsFolder() const;
    // The kept parts there ("<digest>.part"), by digest name, with their sizes.
    std::map<std::string, std::uint64_t> KeptParts() const;
    // Where the updater keeps, in the installation, the highest serial of a
    // signed list it accepted there.
    fs::path InstallationSerialFile() const;

private:
    ScratchDir root_;
    fs::path install_;
    fs::path served_;
    fs::path temp_;
    HttpServer server_;
    std::unique_ptr<TlsProxy> tls_;
};

// A patch in the updater's format that turns `base` into `result`: one
// section whose one record adds the difference over the bytes both have and
// copies the rest. What the updater applies, made without the publisher's
// matching; for files of less than 1 MiB.
std::string PatchBytes(const std::string& base, const std::string& result);
std::string Md5Hex(const std::string& bytes);
std::string Sha256Hex(const std::string& bytes);
// The DER signature over `bytes` with test key `key`, as openssl writes it;
// signed by the system's CNG, which openssl's signatures are checked by too.
std::string SignatureWith(const std::string& key, const std::string& bytes);
// Forgets the highest list serial this user accepted: a test starts where a
// fresh installation does, whatever tests before it accepted.
void ForgetAcceptedSerial();
// A file's size, asked without opening it (an open handle, even one that
// shares everything, makes a rename over the file fail under Wine); none
// when it does not exist.
std::optional<std::uint64_t> SizeOf(const fs::path& path);
// Whether a file holds exactly these bytes; false while it cannot be read
// (under Wine an open fails now and then while a rename over the file is
// under way, as it does while the helper replaces the updater).
bool HoldsBytes(const fs::path& path, const std::string& bytes);
// Whether a name is one the updater gives what it makes beside the product's
// files or in the temporary folder.
bool IsUpdatersOwnName(const std::string& name);

}  // namespace tallowfin::test
