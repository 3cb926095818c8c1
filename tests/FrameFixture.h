// A main window on the display, with a private settings store and the modal
// questions answered by the test.
#pragma once

#include "app/MainFrame.h"
#include "app/Status.h"
#include "local/LeftView.h"
#include "platform/registry/Registry.h"
#include "platform/ui/Modal.h"
#include "remote/RightView.h"
#include "tests/GuiTest.h"
#include "tests/TempDir.h"

#include <gtest/gtest.h>
#include <wx/dialog.h>

#include <deque>
#include <string>
#include <vector>

class FrameTest : public ::testing::Test {
protected:
    TempDir dir;
    CMainFrame* frame = nullptr;
    std::vector<ui::MessageBoxRequest> asked; // every message box shown, in order
    std::deque<int> answers;                  // answers to give, in order (default OK/Yes)
    std::vector<std::string> dialogs;         // titles of the dialogs run
    std::function<int(wxDialog&)> dialogAnswer;
    std::vector<int> quitCodes;

    void SetUp() override {
        setenv("ORVANE_REGISTRY", (dir.path() + "/registry.db").c_str(), 1);
        reg::RegResetStore();
        ui::SetMessageBoxHook([this](const ui::MessageBoxRequest& r) {
            asked.push_back(r);
            int a = ui::kYes;
            if (!answers.empty()) {
                a = answers.front();
                answers.pop_front();
            } else if (r.buttons == ui::kButtonsOk) {
                a = ui::kOk;
            }
            return a;
        });
        ui::SetDialogHook([this](wxDialog& d) {
            dialogs.push_back(d.GetTitle().utf8_string());
            return dialogAnswer ? dialogAnswer(d) : wxID_CANCEL;
        });
        frame = new CMainFrame;
        frame->m_quit = [this](int code) { quitCodes.push_back(code); };
        frame->SetSize(1100, 800);
        frame->Show();
        Pump(30);
    }

    void TearDown() override {
        if (frame) // a test may have closed it itself
            frame->Destroy();
        Pump(20);
        ui::SetMessageBoxHook(nullptr);
        ui::SetDialogHook(nullptr);
        reg::RegResetStore();
        unsetenv("ORVANE_REGISTRY");
    }

    CStatus* status() { return frame->GetStatusPane(); }
    CLeftView* left() { return frame->GetLeftView(); }
    CRightView* right() { return frame->GetRightView(); }

    // The log's lines after its first (always empty) line.
    std::vector<std::string> LogLines() {
        Pump(10);
        std::string text = status()->m_wndLog->GetValue().utf8_string();
        std::vector<std::string> lines;
        size_t start = 0;
        while (true) {
            size_t nl = text.find('\n', start);
            lines.push_back(text.substr(start, nl == std::string::npos ? nl : nl - start));
            if (nl == std::string::npos)
                break;
            start = nl + 1;
        }
        if (!lines.empty())
            lines.erase(lines.begin());
        return lines;
    }
};
