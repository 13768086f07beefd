// A form view that records what the controller asks of its window, icon and
// application, for tests of the controller without a window.
#pragma once

#include <string>
#include <vector>

#include "control/form_view.h"

namespace tallowfin::test {

class FakeView final : public FormView {
public:
    int fontsUnified = 0;
    std::string applicationTitle;
    std::string caption;
    bool timerEnabled = false;
    UINT timerInterval = 0;
    int timerSets = 0;
    int progressMax = 100;
    int progressPosition = -1;
    std::vector<std::pair<int, int>> progress;  // (max, position) at each change of position
    int trayImage = -1;
    int shownFromTray = 0;
    int closed = 0;
    int terminated = 0;
    std::vector<std::string> boxes;
    int messagesProcessed = 0;

    void UnifyFonts() override { ++fontsUnified; }
    void SetApplicationTitle(const std::string& title) override { applicationTitle = title; }
    void SetCaption(const std::string& text) override { caption = text; }
    void SetTimer(bool enabled, UINT interval) override
    {
        timerEnabled = enabled;
        timerInterval = interval;
        ++timerSets;
    }
    void SetProgressMax(int max) override { progressMax = max; }
    void SetProgressPosition(int position) override
    {
        progressPosition = position;
        progress.emplace_back(progressMax, progressPosition);
    }
    void SetTrayImage(int index) override { trayImage = index; }
    void ShowFromTray() override { ++shownFromTray; }
    void Close() override { ++closed; }
    void Terminate() override { ++terminated; }
    int ShowMessageBox(const std::string& text, UINT) override
    {
        boxes.push_back(text);
        return IDOK;
    }
    HWND Handle() const override { return nullptr; }
    void ProcessMessages() override { ++messagesProcessed; }
};

}  // namespace tallowfin::test
