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
    bool StartGatewayWorker() override { return false; }
    BOOL OnInitDialog() override
    {
        BOOL result = CMappingDlg::OnInitDialog();
        PostMessage(WM_CLOSE);
        return result;
    }
};

// The minimised window's painting, on a bitmap instead of the screen: Wine
// parks minimised windows outside the screen, where nothing is painted.
class CIconPainter : public CMappingDlg {
public:
    using CMappingDlg::DrawCentredIcon;
};

TEST(MappingDlg, MinimisedPictureIsTheProgramIconInTheMiddle)
{
    HDC screen = ::GetDC(nullptr);
    HDC hdc = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, 161, 100);
    HGDIOBJ old = ::SelectObject(hdc, bitmap);
    RECT client = { 0, 0, 161, 100 };
    ::FillRect(hdc, &client, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));

    CIconPainter painter;
    painter.DrawCentredIcon(hdc, client);
    // (161 - 32 + 1) / 2 = 65 and (100 - 32 + 1) / 2 = 34: the icon's middle, an
    // arrow in orange, lies at (65 + 16, 34 + 16); its rounded corner stays clear.
    COLORREF middle = ::GetPixel(hdc, 81, 50);
    EXPECT_GT(GetRValue(middle), 200);
    EXPECT_LT(GetBValue(middle), 80);
    EXPECT_EQ(RGB(255, 255, 255), ::GetPixel(hdc, 65, 34));
    EXPECT_EQ(RGB(255, 255, 255), ::GetPixel(hdc, 64, 50));

    ::SelectObject(hdc, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(hdc);
    ::ReleaseDC(nullptr, screen);
}

TEST(MappingDlg, WorkerThatCannotStartIsReportedAndTheWindowCanStillClose)
{
    WorkerlessDlg dialog;
    TheTestApp().m_pMainWnd = &dialog;
    // A refused close would show a message box and never return.
    EXPECT_EQ(IDCANCEL, dialog.DoModal());
    TheTestApp().m_pMainWnd = nullptr;
    EXPECT_NE(std::string::npos, TodaysLog().find("错误: 无法启动搜索网关的线程，请重新启动本程序。\r\n"));
}

TEST(MappingDlg, TheTipCountsLiveMappingsOnlyWhileMapping)
{
    EXPECT_EQ("青岚网络路由映射程序 " GATEWRIGHT_HOME_PAGE, TrayTipText(false, 2, 3));
    EXPECT_EQ("青岚网络路由映射程序 " GATEWRIGHT_HOME_PAGE " 3/4 个映射有效", TrayTipText(true, 3, 4));
    std::string largest = TrayTipText(true, 2147483647, 2147483647);
    EXPECT_LT(largest.size(), sizeof(NOTIFYICONDATAA::szTip));

    EXPECT_EQ("青岚网络路由映射程序 " GATEWRIGHT_HOME_PAGE " 3/4 个映射有效（无公网IP）", TrayTipText(true, 3, 4, true));
    EXPECT_EQ("青岚网络路由映射程序 " GATEWRIGHT_HOME_PAGE, TrayTipText(false, 3, 4, true)) << "only while mapping";
    // Cut by whole characters: no lead byte is left without its trail byte.
    std::string cut = TrayTipText(true, 2147483647, 2147483647, true);
    EXPECT_LT(cut.size(), sizeof(NOTIFYICONDATAA::szTip));
    EXPECT_LT(0, ::MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, cut.c_str(), -1, nullptr, 0)) << cut;
}

}
