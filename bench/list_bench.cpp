// How long the updater takes to read a list of many entries whose files all
// match: the parse with the platform's XML parser, a folder check and a digest
// for each entry. Makes the installation and the list itself. With --cache,
// the same again with the digest cache kept in that folder: once with the
// cache empty (every file read, the cache written), then with it warm.
//   list_bench.exe FOLDER [--entries N] [--repeat N] [--cache FOLDER]
// Prints "key value" lines for bench/run.sh.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "common/com_ptr.h"
#include "common/md5.h"
#include "control/main_form.h"

namespace {

using namespace tallowfin;
namespace fs = std::filesystem;

// The form needs a view; reading the list asks nothing of it.
class NoView final : public FormView {
public:
    void UnifyFonts() override {}
    void SetApplicationTitle(const std::string&) override {}
    void SetCaption(const std::string&) override {}
    void SetTimer(bool, UINT) override {}
    void SetProgressMax(int) override {}
    void SetProgressPosition(int) override {}
    void SetTrayImage(int) override {}
    void ShowFromTray() override {}
    void Close() override {}
    void Terminate() override {}
    int ShowMessageBox(const std::string&, UINT) override { return IDOK; }
    HWND Handle() const override { return nullptr; }
    void ProcessMessages() override {}
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: list_bench FOLDER [--entries N] [--repeat N]\n");
        return 2;
    }
    // Backslashes, as the updater names its own folder: the cache answers only
    // for paths written that way.
    const fs::path folder = fs::path(argv[1]).make_preferred();
    int entries = 10000, repeat = 3;
    std::string cacheFolder;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--entries") entries = std::stoi(argv[i + 1]);
        else if (std::string(argv[i]) == "--repeat") repeat = std::stoi(argv[i + 1]);
        else if (std::string(argv[i]) == "--cache") cacheFolder = argv[i + 1];
    }

    // The installation: files of 1 KB in 100 folders, and a list naming them
    // all with their digests.
    std::string list = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<filelist>\n";
    bool made = false;
    for (int i = 0; i < entries; ++i) {
        const std::string sub = "dir" + std::to_string(i % 100);
        const std::string name = "file" + std::to_string(i) + ".dat";
        fs::create_directories(folder / sub);
        std::string bytes(1024, static_cast<char>('a' + i % 26));
        bytes.replace(0, name.size(), name);
        const fs::path file = folder / sub / name;
        if (!fs::exists(file)) {
            std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            made = true;
        }
        list += "  <file>\n    <path>%PROGRAM%\\" + sub + "</path>\n    <name>" + name + "</name>\n    <hash>" +
                Md5Text(bytes) + "</hash>\n    <downurl>" + sub + "/" + name + "</downurl>\n    <regist>no</regist>\n  </file>\n";
    }
    list += "</filelist>\n";

    // The cache remembers only files that have not changed for two seconds.
    if (made && !cacheFolder.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2100));

    ComApartment com;
    MainThreadDoor door;
    NoView view;
    const std::string exe = (folder / "TallowfinUpdate.exe").string();
    std::size_t records = 0;
    // One read by a new form, as in a run: the cache is read when the list is.
    auto readOnce = [&](const std::string& cache) {
        TMainForm form(view, door, SystemInternet(), {"", exe, "", nullptr, cache});
        // The list is deleted once read, as a fetched one is.
        const fs::path listFile = folder / "filelist.xml";
        std::ofstream(listFile, std::ios::binary).write(list.data(), static_cast<std::streamsize>(list.size()));
        const auto started = std::chrono::steady_clock::now();
        records += form.CollectChangedFiles(listFile.string()).size();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    double best = 1e9, cold = 1e9, warm = 1e9;
    for (int round = 0; round < repeat; ++round) {
        best = std::min(best, readOnce(""));
        if (cacheFolder.empty()) continue;
        fs::remove(fs::path(cacheFolder) / "digests.bin");
        cold = std::min(cold, readOnce(cacheFolder));
        warm = std::min(warm, readOnce(cacheFolder));
    }
    if (!cacheFolder.empty())
        std::printf("seconds_cache_cold %.3f\nseconds_cache_warm %.3f\ncache_bytes %ju\n", cold, warm,
                    static_cast<std::uintmax_t>(fs::file_size(fs::path(cacheFolder) / "digests.bin")));
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    std::printf("entries %d\nlist_bytes %zu\nrecords %zu\nseconds %.3f\npeak_working_set_kib %zu\n", entries,
                list.size(), records, best, static_cast<std::size_t>(counters.PeakWorkingSetSize / 1024));
    return records == 0 ? 0 : 1;
}
