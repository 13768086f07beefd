// How long the updater takes to read a list of many entries whose files all
// match: the parse with the platform's XML parser, a folder check and a digest
// for each entry. Makes the installation and the list itself.
//   list_bench.exe FOLDER [--entries N] [--repeat N]
// Prints "key value" lines for bench/run.sh.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/com_ptr.h"
#include "control/main_form.h"
#include "control/md5.h"

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
    const fs::path folder = argv[1];
    int entries = 10000, repeat = 3;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--entries") entries = std::stoi(argv[i + 1]);
        else if (std::string(argv[i]) == "--repeat") repeat = std::stoi(argv[i + 1]);
    }

    // The installation: files of 1 KB in 100 folders, and a list naming them
    // all with their digests.
    std::string list = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<filelist>\n";
    for (int i = 0; i < entries; ++i) {
        const std::string sub = "dir" + std::to_string(i % 100);
        const std::string name = "file" + std::to_string(i) + ".dat";
        fs::create_directories(folder / sub);
        std::string bytes(1024, static_cast<char>('a' + i % 26));
        bytes.replace(0, name.size(), name);
        const fs::path file = folder / sub / name;
        if (!fs::exists(file)) std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        list += "  <file>\n    <path>%PROGRAM%\\" + sub + "</path>\n    <name>" + name + "</name>\n    <hash>" +
                Md5Text(bytes) + "</hash>\n    <downurl>" + sub + "/" + name + "</downurl>\n    <regist>no</regist>\n  </file>\n";
    }
    list += "</filelist>\n";

    ComApartment com;
    MainThreadDoor door;
    NoView view;
    TMainForm form(view, door, SystemInternet(), {"", (folder / "TallowfinUpdate.exe").string(), "", nullptr});
    double best = 1e9;
    std::size_t records = 0;
    for (int round = 0; round < repeat; ++round) {
        // The list is deleted once read, as a fetched one is.
        const fs::path listFile = folder / "filelist.xml";
        std::ofstream(listFile, std::ios::binary).write(list.data(), static_cast<std::streamsize>(list.size()));
        const auto started = std::chrono::steady_clock::now();
        records = form.CollectChangedFiles(listFile.string()).size();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    std::printf("entries %d\nlist_bytes %zu\nrecords %zu\nseconds %.3f\npeak_working_set_kib %zu\n", entries,
                list.size(), records, best, static_cast<std::size_t>(counters.PeakWorkingSetSize / 1024));
    return records == 0 ? 0 : 1;
}
