// The controller's state changes, driven by real workers over a scripted
// internet layer and watched through a recording view: no window, no network.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/com_ptr.h"
#include "control/main_form.h"
#include "tests/support/win_util.h"
#include "tests/win/fake_view.h"
#include "tests/win/updater_fixture.h"
#include "tests/win/worker_support.h"

namespace tallowfin::test {
namespace {

const std::string kBase = "http://updates.test/software/Tallowfin/";

class MainFormTest : public ::testing::Test {
protected:
    MainFormTest() { fs::create_directories(program.path() / "app"); }
    ~MainFormTest() override
    {
        // A worker still running refers to the form: let it finish first.
        PumpUntil([&] { return form.WebThread() == nullptr || view.terminated > 0; }, std::chrono::seconds(10));
        PumpFor(std::chrono::milliseconds(50));
    }

    void ServeList(const std::string& xml) { internet.replies[kBase + "filelist.xml"] = FakeReply::Serving(xml); }
    // Waits until the pass in progress has handed over to the next state.
    bool WaitForPassEnd(TWebThread* pass)
    {
        return PumpUntil([&] { return form.WebThread() != pass; }, std::chrono::seconds(20));
    }

    ComApartment com;  // the list reader's parser
    ScratchDir program{"form"};
    ScratchDir temp{"tmp"};
    ScopedEnv tmp{"TMP", temp.str()};
    MainThreadDoor door;
    FakeInternet internet;
    FakeView view;
    TMainForm form{view, door, internet, {kBase, (program.path() / "app" / "TallowfinUpdate.exe").string(), ""}};
};

TEST_F(MainFormTest, CreationSetsTitleAndFontsAndStartsTheFileListPass)
{
    ServeList("<filelist/>");
    form.FormCreate();
    EXPECT_EQ(view.fontsUnified, 1);
    EXPECT_EQ(view.applicationTitle, "Tallowfin Beta - Auto Update");
    EXPECT_EQ(view.caption, "Tallowfin Beta - Auto Update");
    TWebThread* pass = form.WebThread();
    ASSERT_NE(pass, nullptr);
    ASSERT_TRUE(WaitForPassEnd(pass));
    EXPECT_EQ(internet.opened.front(), kBase + "filelist.xml");
}

TEST_F(MainFormTest, FailedFileListPassWaitsThenRetriesWithoutEnd)
{
    // No reply for the list: every pass reports an error.
    form.FormCreate();
    for (int attempt = 0; attempt < 3; ++attempt) {
        ASSERT_TRUE(WaitForPassEnd(form.WebThread()));
        // First wait: 5000 ms, stage 0, no worker.
        EXPECT_EQ(form.WebThread(), nullptr);
        EXPECT_TRUE(form.Timer().Enabled);
        EXPECT_EQ(form.Timer().Interval, 5000u);
        EXPECT_EQ(form.Timer().Tag, 0);
        EXPECT_TRUE(view.timerEnabled);
        EXPECT_EQ(view.timerInterval, 5000u);

        form.TimerTimer();  // second wait: 1000 ms, stage 1, the icon changes
        EXPECT_EQ(form.Timer().Interval, 1000u);
        EXPECT_EQ(form.Timer().Tag, 1);
        EXPECT_TRUE(view.timerEnabled);
        EXPECT_EQ(view.timerInterval, 1000u);
        EXPECT_EQ(view.trayImage, 1);
        EXPECT_EQ(form.WebThread(), nullptr);

        form.TimerTimer();  // a new file-list pass
        EXPECT_FALSE(form.Timer().Enabled);
        EXPECT_FALSE(view.timerEnabled);
        EXPECT_NE(form.WebThread(), nullptr);
    }
    ASSERT_TRUE(WaitForPassEnd(form.WebThread()));
    EXPECT_EQ(internet.opened.size(), 4u);
    EXPECT_EQ(view.shownFromTray, 0);
    EXPECT_EQ(view.terminated, 0);
}

TEST_F(MainFormTest, TimerStageOtherThanZeroOrOneDoesNothing)
{
    form.FormCreate();
    ASSERT_TRUE(WaitForPassEnd(form.WebThread()));
    form.TimerTimer();
    form.TimerTimer();
    ASSERT_TRUE(WaitForPassEnd(form.WebThread()));
    // Stage 0 again after the second failure; the picture stays image 1.
    EXPECT_EQ(form.Timer().Tag, 0);
    EXPECT_EQ(view.trayImage, 1);
    const int sets = view.timerSets;
    form.TimerTimer();
    form.TimerTimer();
    ASSERT_TRUE(WaitForPassEnd(form.WebThread()));
    EXPECT_GT(view.timerSets, sets);
}

TEST_F(MainFormTest, CheckForUpdatesWhileAPassRunsChangesNothing)
{
    // The pass cannot end while this thread does not pump its messages.
    ServeList("<filelist/>");
    form.FormCreate();
    TWebThread* pass = form.WebThread();
    form.CheckForUpdates();
    form.CheckForUpdates();
    EXPECT_EQ(form.WebThread(), pass);
    ASSERT_TRUE(WaitForPassEnd(pass));
    EXPECT_EQ(std::count(internet.opened.begin(), internet.opened.end(), kBase + "filelist.xml"), 1);
}

TEST_F(MainFormTest, StatusReportsCountErrorsAndMoveTheBarOnly)
{
    form.WebThreadStatus(nullptr, wsConnected, "Connected", 0, 0);
    form.WebThreadStatus(nullptr, wsTransferring, "Start transferring", 10, 0);
    form.WebThreadStatus(nullptr, wsCompleted, "Transfer completed", 10, 10);
    form.WebThreadStatus(nullptr, wsDisconnected, "Disconnected", 10, 10);
    EXPECT_EQ(form.ErrorCount(), 0u);
    EXPECT_TRUE(view.progress.empty());

    form.WebThreadStatus(nullptr, wsProgress, "", 8292, 4096);
    EXPECT_EQ(view.progress.back(), std::make_pair(8292, 4096));
    EXPECT_EQ(view.progressMax, 8292);
    form.WebThreadStatus(nullptr, wsNoNetwork, "a", 0, 0);
    form.WebThreadStatus(nullptr, wsFileError, "b", 0, 0);
    form.WebThreadStatus(nullptr, wsFailed, "c", 0, 0);
    EXPECT_EQ(form.ErrorCount(), 3u);
    EXPECT_EQ(view.progress.size(), 1u);
}

TEST_F(MainFormTest, NothingChangedRunsAnEmptyPassHiddenThenHandsBack)
{
    ServeList("<filelist/>");
    form.FormCreate();
    ASSERT_TRUE(PumpUntil([&] { return view.terminated > 0; }));
    EXPECT_EQ(view.shownFromTray, 0);
    EXPECT_EQ(view.progress.back().second, 0);
    // The download pass only connected and disconnected.
    EXPECT_EQ(internet.opened, std::vector<std::string>{kBase + "filelist.xml"});
    EXPECT_TRUE(WorkerTempFiles().empty());  // the list is deleted once read
}

TEST_F(MainFormTest, ChangedFilesShowTheWindowAndTheBarFollowsEachFile)
{
    const std::string a(10000, 'a'), b(5000, 'b');
    ServeList("<l><f><path>%PROGRAM%</path><name>a.bin</name><hash>" + Md5Hex(a) +
              "</hash><downurl>a.bin</downurl></f><f><path>%PROGRAM%</path><name>b.bin</name>"
              "<hash>" + Md5Hex(b) + "</hash><downurl>b.bin</downurl></f></l>");
    internet.replies[kBase + "a.bin"] = FakeReply::Serving(a);
    internet.replies[kBase + "b.bin"] = FakeReply::Serving(b);
    form.FormCreate();
    ASSERT_TRUE(PumpUntil([&] { return view.terminated > 0; }));
    EXPECT_EQ(view.shownFromTray, 1);
    // The bar went back to 0 when the pass started, then followed each file
    // forward to its whole length.
    const auto start = std::find_if(view.progress.rbegin(), view.progress.rend(), [](auto& p) { return p.second == 0; });
    ASSERT_NE(start, view.progress.rend());
    std::vector<std::pair<int, int>> downloads(start.base(), view.progress.end());
    ASSERT_FALSE(downloads.empty());
    for (std::size_t i = 1; i < downloads.size(); ++i) {
        if (downloads[i].first == downloads[i - 1].first) {
            EXPECT_GE(downloads[i].second, downloads[i - 1].second);
        }
    }
    std::vector<std::pair<int, int>> ends;
    for (std::size_t i = 0; i < downloads.size(); ++i)
        if (i + 1 == downloads.size() || downloads[i + 1].first != downloads[i].first) ends.push_back(downloads[i]);
    EXPECT_EQ(ends, (std::vector<std::pair<int, int>>{{10000, 10000}, {5000, 5000}})) << "each file ends at 100%";
    EXPECT_EQ(ReadBytes(program.path() / "app" / "a.bin"), a);
    EXPECT_EQ(ReadBytes(program.path() / "app" / "b.bin"), b);
}

TEST_F(MainFormTest, UnreadableListGivesAnEmptyDownloadPass)
{
    ServeList("<filelist><!-- a comment is not an entry --></filelist>");
    form.FormCreate();
    ASSERT_TRUE(PumpUntil([&] { return view.terminated > 0; }));
    EXPECT_EQ(view.shownFromTray, 0);
    EXPECT_EQ(internet.opened.size(), 1u);
    EXPECT_TRUE(WorkerTempFiles().empty());
}

TEST_F(MainFormTest, DownloadPassWithAnErrorInstallsNothingAndStops)
{
    const std::string a(100, 'a');
    ServeList("<l><f><path>%PROGRAM%</path><name>a.bin</name><hash>00000000000000000000000000000000</hash>"
              "<downurl>a.bin</downurl></f><f><path>%PROGRAM%</path><name>gone.bin</name>"
              "<hash>00000000000000000000000000000000</hash><downurl>gone.bin</downurl></f></l>");
    internet.replies[kBase + "a.bin"] = FakeReply::Serving(a);
    form.FormCreate();
    ASSERT_TRUE(PumpUntil([&] { return internet.opened.size() == 3 && form.WebThread() == nullptr; }));
    PumpFor(std::chrono::milliseconds(200));
    EXPECT_EQ(view.terminated, 0);
    EXPECT_FALSE(form.Timer().Enabled);  // nothing is retried
    EXPECT_FALSE(fs::exists(program.path() / "app" / "a.bin"));
    EXPECT_TRUE(WorkerTempFiles().empty()) << "the fetched file of a failed pass is deleted";
}

TEST_F(MainFormTest, DownloadWithOtherBytesThanListedFailsThePassBeforeAnythingIsInstalled)
{
    // The second file comes whole, with status 200, and is not the listed one
    // (an error page, a stale copy): neither file is installed.
    const std::string a(100, 'a'), listed(100, 'b'), served = "<html>Service unavailable</html>";
    ServeList("<l><f><path>%PROGRAM%</path><name>a.bin</name><hash>" + Md5Hex(a) +
              "</hash><downurl>a.bin</downurl></f><f><path>%PROGRAM%</path><name>b.bin</name><hash>" +
              Md5Hex(listed) + "</hash><downurl>b.bin</downurl></f></l>");
    internet.replies[kBase + "a.bin"] = FakeReply::Serving(a);
    internet.replies[kBase + "b.bin"] = FakeReply::Serving(served);
    form.FormCreate();
    ASSERT_TRUE(PumpUntil([&] { return internet.opened.size() == 3 && form.WebThread() == nullptr; }));
    PumpFor(std::chrono::milliseconds(200));
    EXPECT_EQ(view.terminated, 0);
    EXPECT_EQ(form.ErrorCount(), 1u);
    EXPECT_FALSE(fs::exists(program.path() / "app" / "a.bin"));
    EXPECT_FALSE(fs::exists(program.path() / "app" / "b.bin"));
    EXPECT_TRUE(WorkerTempFiles().empty()) << "the fetched files of a failed pass are deleted";
}

TEST_F(MainFormTest, ExitClosesTheForm)
{
    form.mnuExitClick();
    EXPECT_EQ(view.closed, 1);
}

}  // namespace
}  // namespace tallowfin::test
