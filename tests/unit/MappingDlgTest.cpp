// The main window run modally inside the test program, with its own resources.
#include "../../app/MappingDlg.h"
#include "../../framework/App.h"
#include "../../framework/Path.h"
#include "TestApp.h"
#include <gtest/gtest.h>
#include <ctime>
#include <fstream>
#include <sstream>

namespace {

std::string TodaysLog()
{
    time_t now = time(nullptr);
    char date[16];
    strftime(date, sizeof date, "%Y-%m-%d", localtime(&now));
    std::ifstream in(GetExecutableFolder() + "\\logs\\" + date + ".log", std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// A main window whose discovery worker cannot be started, closed as soon as it is up.
class WorkerlessDlg : public CMappingDlg {
protected:
    bool StartDiscoveryWorker() override { return false; }
    BOOL OnInitDialog() override
    {
        BOOL result = CMappingDlg::OnInitDialog();
        PostMessage(WM_CLOSE);
        return result;
    }
};

TEST(MappingDlg, WorkerThatCannotStartIsReportedAndTheWindowCanStillClose)
{
    WorkerlessDlg dialog;
    TheTestApp().m_pMainWnd = &dialog;
    // A refused close would show a message box and never return.
    EXPECT_EQ(IDCANCEL, dialog.DoModal());
    TheTestApp().m_pMainWnd = nullptr;
    EXPECT_NE(std::string::npos, TodaysLog().find("错误: 无法启动搜索网关的线程，请重新启动本程序。\r\n"));
}

}
