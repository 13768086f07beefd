#include "tests/win/updater_fixture.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <thread>

#include <tlhelp32.h>
#include <zlib.h>

#include "common/md5.h"
#include "common/path_rules.h"
#include "digestcache/cache_location.h"
#include "digestcache/user_cache_folder.h"
#include "patch/format.h"
#include "trust/accepted_serial.h"
#include "trust/cng.h"
#include "trust/der.h"
#include "trust/installation_serial.h"

namespace tallowfin::test {

namespace {

constexpr char kBaseUrl[] = "http://update.tallowfin.example/software/Tallowfin/";
constexpr char kHttpsBaseUrl[] = "https://update.tallowfin.example/software/Tallowfin/";

// Build paths are Linux paths; under Wine they lie on drive Z:.
fs::path FromBuild(const char* linuxPath)
{
    std::string path = std::string("Z:") + linuxPath;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string EnvironmentBlock(const std::map<std::string, std::string>& overrides)
{
    std::map<std::string, std::string, std::less<>> variables;
    if (char* block = GetEnvironmentStringsA()) {
        for (const char* p = block; *p; p += std::strlen(p) + 1) {
            std::string entry = p;
            auto equals = entry.find('=', 1);  // names like "=C:" begin with '='
            if (equals == std::string::npos) continue;
            variables[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
        FreeEnvironmentStringsA(block);
    }
    for (auto& [name, value] : overrides) {
        // Names are compared without regard to case.
        for (auto it = variables.begin(); it != variables.end();)
            it = _stricmp(it->first.c_str(), name.c_str()) == 0 ? variables.erase(it) : std::next(it);
        variables[name] = value;
    }
    std::string result;
    for (auto& [name, value] : variables) result += name + "=" + value + '\0';
    result += '\0';
    return result;
}

struct WindowQuery {
    DWORD processId;
    const char* className;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param)
{
    auto& query = *reinterpret_cast<WindowQuery*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != query.processId) return TRUE;
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    if (!query.className || std::string_view(name) == query.className) query.found.push_back(window);
    return TRUE;
}

bool Near(COLORREF pixel, int r, int g, int b)
{
    return std::abs(GetRValue(pixel) - r) < 8 && std::abs(GetGValue(pixel) - g) < 8 &&
           std::abs(GetBValue(pixel) - b) < 8;
}

}  // namespace

fs::path UpdaterExe() { return FromBuild(TALLOWFIN_UPDATER_EXE); }
fs::path HttpsUpdaterExe() { return FromBuild(TALLOWFIN_HTTPS_UPDATER_EXE); }
fs::path SignedUpdaterExe() { return FromBuild(TALLOWFIN_SIGNED_UPDATER_EXE); }
fs::path HelperExe() { return FromBuild(TALLOWFIN_HELPER_EXE); }
fs::path StandInExe() { return FromBuild(TALLOWFIN_STANDIN_EXE); }
fs::path TestComDll() { return FromBuild(TALLOWFIN_TEST_COM_DLL); }
fs::path PublishExe() { return FromBuild(TALLOWFIN_PUBLISH_EXE); }

Process::~Process()
{
    if (Running()) Kill();
}

bool Process::Running() const
{
    return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

std::optional<DWORD> Process::WaitExit(std::chrono::milliseconds limit)
{
    if (!process_) return std::nullopt;
    if (WaitForSingleObject(process_.get(), static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

void Process::Kill()
{
    if (!process_) return;
    TerminateProcess(process_.get(), 99);
    WaitForSingleObject(process_.get(), 10000);
}

Process Start(const fs::path& exe, const std::string& arguments, const fs::path& directory,
              const std::map<std::string, std::string>& environment)
{
    std::string commandLine = '"' + exe.string() + '"';
    if (!arguments.empty()) commandLine.append(" ").append(arguments);
    std::string block = EnvironmentBlock(environment);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // Under load Wine's 32-bit loader now and then fails a start with an
    // internal error (1359) that the next try does not repeat; any other
    // failure, or the same one five times over, is the test's.
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessA(exe.string().c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, block.data(),
                           directory.string().c_str(), &startup, &info))
            break;
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 5)
            throw std::runtime_error("cannot start " + exe.string() + ": error " + std::to_string(error));
        Sleep(200);
    }
    CloseHandle(info.hThread);
    return Process(KernelHandle(info.hProcess), info.dwProcessId);
}

std::vector<HWND> WindowsOf(DWORD processId, const char* className)
{
    WindowQuery query{processId, className, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

HWND WaitForWindow(DWORD processId, const char* className, std::chrono::milliseconds limit)
{
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND w : WindowsOf(processId, className))
                if (IsWindowVisible(w)) found = w;
            return found != nullptr;
        },
        limit);
    return found;
}

std::string DescribeWindows(DWORD processId)
{
    std::string text;
    for (HWND w : WindowsOf(processId)) {
        char name[128] = {}, title[256] = {};
        GetClassNameA(w, name, sizeof name);
        GetWindowTextA(w, title, sizeof title);
        text += std::string(name) + " \"" + title + "\"" + (IsWindowVisible(w) ? " visible" : "");
        if (std::string_view(name) == "#32770") text += " saying \"" + MessageBoxText(w) + "\"";
        text += "; ";
    }
    return text;
}

namespace {

// Processes whose executable lies under `folder`, opened for ending. A
// process still in Wine's start-up cannot tell its image yet; one named like a
// program this project starts counts too.
std::vector<KernelHandle> ProcessesUnder(const fs::path& folder)
{
    std::vector<KernelHandle> found;
    const std::string prefix = folder.string();
    KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry)) {
        KernelHandle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (!process) continue;
        char image[MAX_PATH * 2] = {};
        DWORD size = sizeof image;
        const bool known = QueryFullProcessImageNameA(process.get(), 0, image, &size) != FALSE;
        if (known ? _strnicmp(image, prefix.c_str(), prefix.size()) == 0 : _stricmp(entry.szExeFile, "UpdateMgr.exe") == 0)
            found.push_back(std::move(process));
    }
    return found;
}

}  // namespace

void EndProcessesUnder(const fs::path& folder)
{
    for (auto& process : ProcessesUnder(folder)) {
        TerminateProcess(process.get(), 99);
        WaitForSingleObject(process.get(), 5000);
    }
}

std::string DescribeProcessesUnder(const fs::path& folder)
{
    std::string text;
    for (auto& process : ProcessesUnder(folder)) {
        char image[MAX_PATH * 2] = "(image unknown)";
        DWORD size = sizeof image;
        QueryFullProcessImageNameA(process.get(), 0, image, &size);
        text += std::to_string(GetProcessId(process.get())) + " " + image + "; ";
    }
    return text;
}

bool WaitForProcessesUnder(const fs::path& folder, std::chrono::milliseconds limit)
{
    return WaitUntil([&] { return ProcessesUnder(folder).empty(); }, limit);
}

std::string MessageBoxText(HWND box)
{
    char text[1024] = {};
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    return text;
}

void PressOk(HWND box)
{
    if (HWND button = GetDlgItem(box, IDOK)) PostMessageA(button, BM_CLICK, 0, 0);
    else PostMessageA(box, WM_COMMAND, IDOK, 0);
}

std::vector<HWND> TrayIconWindows()
{
    std::vector<HWND> icons;
    HWND tray = FindWindowA("__winex11_standalone_tray", nullptr);
    if (!tray || !IsWindowVisible(tray)) return icons;
    for (HWND child = FindWindowExA(tray, nullptr, "__winex11_tray_icon", nullptr); child;
         child = FindWindowExA(tray, child, "__winex11_tray_icon", nullptr))
        if (IsWindowVisible(child)) icons.push_back(child);
    return icons;
}

TrayColors ReadTrayColors()
{
    TrayColors colors;
    HDC screen = GetDC(nullptr);
    for (HWND icon : TrayIconWindows()) {
        RECT r;
        GetWindowRect(icon, &r);
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x) {
                COLORREF pixel = GetPixel(screen, x, y);
                if (Near(pixel, 0x1f, 0x7a, 0x8c)) ++colors.appIcon;
                if (Near(pixel, 0xd9, 0x8e, 0x04)) ++colors.retryIcon;
            }
    }
    ReleaseDC(nullptr, screen);
    return colors;
}

void RightClickTray()
{
    for (HWND icon : TrayIconWindows()) {
        PostMessageA(icon, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(8, 8));
        PostMessageA(icon, WM_RBUTTONUP, 0, MAKELPARAM(8, 8));
    }
}

Sandbox::Sandbox()
    : root_("e2e"),
      install_(root_.path() / "Tallowfin Beta"),
      served_(root_.path() / "server"),
      temp_(root_.path() / "temp"),
      server_(served_)
{
    fs::create_directories(install_);
    fs::create_directories(served_ / "software" / "Tallowfin");
    fs::create_directories(temp_);
    fs::copy_file(UpdaterExe(), Updater());
    fs::copy_file(StandInExe(), install_ / "TallowfinMain.exe");
}

Sandbox::~Sandbox()
{
    server_.Stop();
    EndProcessesUnder(root_.path());
    std::error_code ignored;
    for (const char* base : {kBaseUrl, kHttpsBaseUrl})
        fs::remove_all(UserCacheFolder(install_.string(), base), ignored);
}

fs::path Sandbox::CacheFolder() const
{
    return UserCacheFolder(install_.string(), tls_ ? kHttpsBaseUrl : kBaseUrl);
}

fs::path Sandbox::DigestCacheFile() const { return CacheFolder() / kDigestCacheFile; }
fs::path Sandbox::KeptListFile() const { return CacheFolder() / kKeptListFile; }
fs::path Sandbox::PartsFolder() const { return CacheFolder() / kKeptPartsFolder; }

std::map<std::string, std::uint64_t> Sandbox::KeptParts() const
{
    std::map<std::string, std::uint64_t> parts;
    std::error_code error;
    for (auto& entry : fs::directory_iterator(PartsFolder(), error))
        if (entry.path().extension() == ".part") parts[entry.path().stem().string()] = fs::file_size(entry.path());
    return parts;
}
fs::path Sandbox::InstallationSerialFile() const { return install_ / kInstallationSerialFile; }

void Sandbox::InstallUpdater(const fs::path& exe) { fs::copy_file(exe, Updater(), fs::copy_options::overwrite_existing); }

TlsProxy& Sandbox::ServeHttps(const std::map<std::string, std::string>& certificates)
{
    tls_ = std::make_unique<TlsProxy>(server_, certificates);
    return *tls_;
}

fs::path Sandbox::Served(const std::string& relative) const
{
    return served_ / "software" / "Tallowfin" / relative;
}

void Sandbox::Publish(const std::string& relative, const std::string& bytes)
{
    fs::path path = Served(relative);
    fs::create_directories(path.parent_path());
    WriteBytes(path, bytes);
}

void Sandbox::PublishList(const std::vector<Entry>& entries, const std::optional<std::string>& serial,
                          const std::optional<std::string>& expires)
{
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<filelist";
    if (serial) xml << " serial=\"" << *serial << "\"";
    if (expires) xml << " expires=\"" << *expires << "\"";
    xml << ">\n";
    for (auto& e : entries) {
        xml << "  <file>\n    <path>" << e.path << "</path>\n    <name>" << e.name << "</name>\n    <hash>" << e.hash
            << "</hash>\n    <downurl>" << e.downurl << "</downurl>\n";
        if (e.regist) xml << "    <regist>" << *e.regist << "</regist>\n";
        if (e.sha256) xml << "    <sha256>" << *e.sha256 << "</sha256>\n";
        if (e.size) xml << "    <size>" << *e.size << "</size>\n";
        for (const Patch& patch : e.patches) {
            xml << "    <patch";
            const std::pair<const char*, const std::optional<std::string>*> attributes[] = {
                {"base", &patch.base}, {"base_sha256", &patch.baseSha256}, {"size", &patch.size}, {"sha256", &patch.sha256}};
            for (const auto& [name, value] : attributes)
                if (*value) xml << ' ' << name << "=\"" << **value << '"';
            xml << '>' << patch.url << "</patch>\n";
        }
        xml << "  </file>\n";
    }
    xml << "</filelist>\n";
    Publish("filelist.xml", xml.str());
}

void Sandbox::SignList(const std::string& key)
{
    Publish("filelist.xml.sig", SignatureWith(key, ReadBytes(Served("filelist.xml"))));
}

Sandbox::Entry Sandbox::Changed(const std::string& name, const std::string& bytes)
{
    Publish(name, bytes);
    return {"%PROGRAM%", name, Md5Hex(bytes), name, std::nullopt};
}

Sandbox::Patch Sandbox::PublishPatch(const std::string& relative, const std::string& base, const std::string& result,
                                     bool withSha256)
{
    const std::string bytes = PatchBytes(base, result);
    Publish(relative, bytes);
    Patch patch{relative, Md5Hex(base), std::nullopt, std::to_string(bytes.size()), std::nullopt};
    if (withSha256) {
        patch.baseSha256 = Sha256Hex(base);
        patch.sha256 = Sha256Hex(bytes);
    }
    return patch;
}

Process Sandbox::StartUpdater(const std::string& arguments, std::optional<fs::path> directory,
                              const std::map<std::string, std::string>& environment)
{
    const std::string proxy = tls_ ? tls_->ProxyAddress() : server_.ProxyAddress();
    std::map<std::string, std::string> variables = {{"http_proxy", proxy}, {"TMP", temp_.string()}, {"TEMP", temp_.string()}};
    variables.insert(environment.begin(), environment.end());
    return Start(Updater(), arguments, directory.value_or(install_), variables);
}

std::vector<std::string> Sandbox::StandInLog() const
{
    return ReadLines(install_ / "TallowfinMain.log");
}

std::vector<std::string> Sandbox::LeftTemporaryFiles() const
{
    std::vector<std::string> paths;
    std::error_code error;
    for (const fs::path& folder : {temp_, PartsFolder()})
        for (auto& entry : fs::directory_iterator(folder, error))
            if (entry.path().filename().string().rfind("~wu", 0) == 0) paths.push_back(entry.path().string());
    return paths;
}

std::string PatchBytes(const std::string& base, const std::string& result)
{
    const std::size_t shared = std::min(base.size(), result.size());
    std::string diff(shared, '\0');
    for (std::size_t i = 0; i < shared; ++i) diff[i] = static_cast<char>(result[i] - base[i]);
    const auto record = patch::EncodeRecord({shared, result.size() - shared, 0});
    auto compressed = [](std::string_view bytes) {
        std::string out(compressBound(static_cast<uLong>(bytes.size())), '\0');
        uLongf length = static_cast<uLongf>(out.size());
        compress2(reinterpret_cast<Bytef*>(out.data()), &length, reinterpret_cast<const Bytef*>(bytes.data()),
                  static_cast<uLong>(bytes.size()), 6);
        out.resize(length);
        return out;
    };
    const std::string control = compressed({reinterpret_cast<const char*>(record.data()), record.size()});
    const std::string diffStream = compressed(diff), extra = compressed(std::string_view(result).substr(shared));
    patch::PatchHeader header;
    header.sections = 1;
    header.baseSize = base.size();
    header.resultSize = result.size();
    header.controlBytes = control.size();
    header.diffBytes = diffStream.size();
    header.extraBytes = extra.size();
    header.baseMd5 = *patch::Md5FromText(Md5Hex(base));
    header.baseSha256 = *patch::Sha256FromText(Sha256Hex(base));
    header.resultMd5 = *patch::Md5FromText(Md5Hex(result));
    header.resultSha256 = *patch::Sha256FromText(Sha256Hex(result));
    const auto headerBytes = patch::EncodeHeader(header);
    const auto section = patch::EncodeSection({1, static_cast<std::uint32_t>(control.size()),
                                               static_cast<std::uint32_t>(diffStream.size()),
                                               static_cast<std::uint32_t>(extra.size())});
    return std::string(headerBytes.begin(), headerBytes.end()) + std::string(section.begin(), section.end()) + control +
           diffStream + extra;
}

std::string Md5Hex(const std::string& bytes) { return Md5Text(bytes); }

std::string Sha256Hex(const std::string& bytes) { return DigestText(Sha256Of(bytes)); }

std::string SignatureWith(const std::string& key, const std::string& bytes)
{
    // The private key as openssl writes it in DER (SEC1): a version, the
    // secret, the curve, and the point as a bit string (no unused bits, 0x04,
    // X, Y).
    const std::string sec1 = ReadBytes(FromBuild((std::string(TALLOWFIN_TEST_KEYS) + "/" + key + ".der").c_str()));
    der::Reader fields(der::Only(sec1, der::kSequence).value_or(""));
    const auto version = fields.Take(der::kInteger);
    const auto secret = fields.Take(der::kOctetString);
    const auto curve = fields.TakeAny();
    const auto point = fields.TakeAny();
    const auto bits = point ? der::Only(point->value, der::kBitString) : std::nullopt;
    if (!version || !secret || secret->size() != 32 || !curve || !bits || bits->size() != 66)
        throw std::runtime_error("the test key " + key + " is not a P-256 key in DER");
    std::string blob(sizeof(BCRYPT_ECCKEY_BLOB), '\0');
    const BCRYPT_ECCKEY_BLOB head{BCRYPT_ECDSA_PRIVATE_P256_MAGIC, 32};
    std::memcpy(blob.data(), &head, sizeof head);
    blob.append(bits->substr(2)).append(*secret);

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0)
        throw std::runtime_error("no ECDSA in the system's cryptography");
    const BCryptAlgorithm ecdsa(algorithm);
    if (BCryptImportKeyPair(ecdsa.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, &handle,
                            reinterpret_cast<UCHAR*>(blob.data()), static_cast<ULONG>(blob.size()), 0) < 0)
        throw std::runtime_error("the test key " + key + " cannot be imported");
    const BCryptKey privateKey(handle);
    Sha256Digest digest = Sha256Of(bytes);
    P256Signature signature{};
    ULONG size = 0;
    if (BCryptSignHash(privateKey.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()), signature.data(),
                       static_cast<ULONG>(signature.size()), &size, 0) < 0 ||
        size != signature.size())
        throw std::runtime_error("signing with the test key " + key + " failed");
    return DerFromP256Signature(signature);
}

void ForgetAcceptedSerial() { RegDeleteKeyValueA(HKEY_CURRENT_USER, kAcceptedSerialKey, kAcceptedSerialValue); }

std::optional<std::uint64_t> SizeOf(const fs::path& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.string().c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

bool HoldsBytes(const fs::path& path, const std::string& bytes)
{
    try {
        return ReadBytes(path) == bytes;
    } catch (const std::exception&) {
        return false;
    }
}

bool IsUpdatersOwnName(const std::string& name) { return name.rfind("~TallowfinUpdate.", 0) == 0; }

}  // namespace tallowfin::test
