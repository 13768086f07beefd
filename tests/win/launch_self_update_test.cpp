// The self-update launch inside a form: the helper written from the updater's
// own resources (into the current directory, else beside the updater, else a
// folder of the run's own), held so that nobody can swap it, and started for
// the build the release's transaction staged — or not, when it cannot be written.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include "common/file_system.h"
#include "control/main_form.h"
#include "tests/win/fake_view.h"
#include "tests/win/updater_fixture.h"
#include "tests/win/worker_support.h"

namespace tallowfin::test {
namespace {

// Helpers this process started: found by name and parent, then ended so
// that none outlives the test.
std::vector<DWORD> HelpersStartedByUs()
{
    std::vector<DWORD> found;
    KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry))
        if (_stricmp(entry.szExeFile, "UpdateMgr.exe") == 0 && entry.th32ParentProcessID == GetCurrentProcessId())
            found.push_back(entry.th32ProcessID);
    return found;
}

void EndHelpers()
{
    for (DWORD pid : HelpersStartedByUs()) {
        KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
        TerminateProcess(process.get(), 0);
        WaitForSingleObject(process.get(), 5000);
    }
}

class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(const fs::path& to) : old_(fs::current_path()) { fs::current_path(to); }
    ~ScopedCurrentDirectory() { fs::current_path(old_); }

private:
    fs::path old_;
};

class LaunchSelfUpdateTest : public ::testing::Test {
protected:
    LaunchSelfUpdateTest()
    {
        fs::create_directories(program);
        fs::create_directories(elsewhere);
    }
    ~LaunchSelfUpdateTest() override { EndHelpers(); }

    TMainForm MakeForm(const fs::path& ownPath, HMODULE resources)
    {
        return TMainForm(view, door, internet, {"", ownPath.string(), "", resources});
    }
    // The new build as the transaction leaves it: staged beside the updater.
    std::string Staged(const std::string& bytes)
    {
        const fs::path path = program / "TallowfinUpdate.Update";
        WriteBytes(path, bytes);
        return path.string();
    }

    ScratchDir dir{"self"};
    fs::path program = dir.path() / "Program Files" / "Tallowfin.Beta";
    fs::path elsewhere = dir.path() / "started here";
    MainThreadDoor door;
    FakeInternet internet;
    FakeView view;
    // The updater's own resources, where the helper lies.
    LibraryHandle updater{LoadLibraryExA(UpdaterExe().string().c_str(), nullptr,
                                         LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)};
};

TEST_F(LaunchSelfUpdateTest, EmbeddedHelperIsTheBuiltHelperByteForByte)
{
    ASSERT_TRUE(updater);
    HRSRC found = FindResourceA(updater.get(), "VESTRAMOLIN", "EXE");
    ASSERT_TRUE(found);
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(updater.get(), found)));
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::string(bytes, SizeofResource(updater.get(), found)), ReadBytes(HelperExe()));
}

TEST_F(LaunchSelfUpdateTest, NothingHappensWithoutADownloadedCopy)
{
    ScopedCurrentDirectory cd(elsewhere);
    TMainForm form = MakeForm(program / "TallowfinUpdate.exe", updater.get());
    form.LaunchSelfUpdate();
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_EQ(view.messagesProcessed, 0);
    EXPECT_TRUE(HelpersStartedByUs().empty());
}

TEST_F(LaunchSelfUpdateTest, HelperIsWrittenToTheCurrentDirectoryHeldAndStarted)
{
    // Left by an earlier self-update: replaced.
    WriteBytes(elsewhere / "UpdateMgr.exe", "old helper");
    ScopedCurrentDirectory cd(elsewhere);
    TMainForm form = MakeForm(program / "TallowfinUpdate.exe", updater.get());
    form.SetSelfUpdateFile(Staged("new updater build"));
    form.LaunchSelfUpdate();

    EXPECT_EQ(ReadBytes(elsewhere / "UpdateMgr.exe"), ReadBytes(HelperExe()));
    EXPECT_FALSE(fs::exists(program / "UpdateMgr.exe"));
    EXPECT_GE(view.messagesProcessed, 1);
    EXPECT_TRUE(WaitUntil([] { return HelpersStartedByUs().size() == 1; }, std::chrono::seconds(10)));
    // Held while the run lasts: nobody can write it, delete it or rename it.
    const std::string helper = (elsewhere / "UpdateMgr.exe").string();
    FileHandle writer(CreateFileA(helper.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer);
    EXPECT_FALSE(MoveFileExA(helper.c_str(), (elsewhere / "moved.exe").string().c_str(), 0));
}

TEST_F(LaunchSelfUpdateTest, HelperGoesBesideTheUpdaterWhenTheCurrentFolderCannotTakeIt)
{
    fs::create_directories(elsewhere / "UpdateMgr.exe");  // a folder where the helper would go
    ScopedCurrentDirectory cd(elsewhere);
    TMainForm form = MakeForm(program / "TallowfinUpdate.exe", updater.get());
    form.SetSelfUpdateFile(Staged("new"));
    EXPECT_NO_THROW(form.LaunchSelfUpdate());
    EXPECT_EQ(ReadBytes(program / "UpdateMgr.exe"), ReadBytes(HelperExe()));
    EXPECT_TRUE(WaitUntil([] { return HelpersStartedByUs().size() == 1; }, std::chrono::seconds(10)));
    // Nothing of the updater's is left beside the staged file.
    for (auto& entry : fs::directory_iterator(program))
        EXPECT_FALSE(IsUpdatersOwnName(entry.path().filename().string())) << entry.path();
}

TEST_F(LaunchSelfUpdateTest, HelperThatCannotBeWrittenAnywhereLeavesTheStagedFileForALaterRun)
{
    ScratchDir temp("selftmp");
    ScopedEnv tmp("TMP", temp.str());
    ScopedCurrentDirectory cd(elsewhere);
    // The updater's resources without the helper: nowhere can it be written.
    TMainForm form = MakeForm(program / "TallowfinUpdate.exe", GetModuleHandleA("kernel32.dll"));
    form.SetSelfUpdateFile(Staged("new"));
    EXPECT_NO_THROW(form.LaunchSelfUpdate());
    EXPECT_EQ(ReadBytes(program / "TallowfinUpdate.Update"), "new") << "left for a later run";
    EXPECT_FALSE(fs::exists(elsewhere / "UpdateMgr.exe"));
    EXPECT_FALSE(fs::exists(program / "UpdateMgr.exe"));
    EXPECT_TRUE(fs::is_empty(temp.path())) << "the folder made for the helper is removed again";
    Sleep(500);
    EXPECT_TRUE(HelpersStartedByUs().empty());
}

}  // namespace
}  // namespace tallowfin::test
