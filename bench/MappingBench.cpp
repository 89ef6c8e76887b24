// mapping_bench program|bare ROWS
//
// Finds the gateway once, then times one mapping run over ROWS TCP rows (local
// port 20000+i, external port 30000+i, to this machine's LAN address):
//   program  the main window's own run, in the window run modally as the program
//            runs it (it closes again before it ever shows)
//   bare     the same lookups and adds as a plain loop, no window: the floor
// Prints one line: "rows=N mode=M ms=T".
#include "../app/MappingDlg.h"
#include "../framework/App.h"
#include "../gateway/Discovery.h"
#include "../gateway/GatewayInfo.h"
#include "../mappings/MappingList.h"
#include <winsock2.h>
#include <commctrl.h>
#include <upnpcommands.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
const int kSearchDelayMs = 500;
const unsigned char kMulticastTtl = 2;
const int kFirstLocalPort = 20000;
const int kFirstExternalPort = 30000;
const int kMaxRows = 10000;
const char* kDescription = "Gatewright";

// The dialog needs an application object; the benchmark drives it from main.
class CBenchApp : public CApp {
public:
    BOOL InitInstance() override { return FALSE; }
} g_app;

struct GatewayAddresses {
    std::string lan;
    std::string host;
    std::string external;
};

class CStopwatch {
public:
    CStopwatch() { ::QueryPerformanceCounter(&m_start); }
    double ElapsedMs() const
    {
        LARGE_INTEGER now, frequency;
        ::QueryPerformanceCounter(&now);
        ::QueryPerformanceFrequency(&frequency);
        return 1000.0 * static_cast<double>(now.QuadPart - m_start.QuadPart)
            / static_cast<double>(frequency.QuadPart);
    }

private:
    LARGE_INTEGER m_start;
};

// Fills g_gatewayInfo as the discovery worker does, but on this thread and
// with a shorter search, so that only the run itself is timed.
bool FindGateway(GatewayAddresses* addresses)
{
    int error = 0;
    UPNPDev* devices = upnpDiscover(kSearchDelayMs, nullptr, nullptr, 0, 0, kMulticastTtl, &error);
    if (!devices)
        return false;
    char lan[64] = {};
    int result = UPNP_GetValidIGD(devices, &g_gatewayInfo.urls, &g_gatewayInfo.data, lan, sizeof lan);
    freeUPNPDevlist(devices);
    // Only a connected gateway gives numbers worth comparing.
    if (result != 1)
        return false;
    char external[40] = {};
    UPNP_GetExternalIPAddress(g_gatewayInfo.urls.controlURL, g_gatewayInfo.data.first.servicetype, external);
    addresses->lan = lan;
    addresses->host = HostFromUrl(g_gatewayInfo.urls.controlURL);
    addresses->external = external;
    return true;
}

std::vector<MappingEntry> BenchRows(int count, const std::string& lanAddress)
{
    std::vector<MappingEntry> rows;
    for (int i = 0; i < count; ++i)
        rows.push_back({ "TCP", std::to_string(kFirstLocalPort + i), std::to_string(kFirstExternalPort + i),
                         lanAddress, "" });
    return rows;
}

// The main window with the gateway already found: it lists the rows, times
// one run and closes itself before it is ever shown.
class CBenchDlg : public CMappingDlg {
public:
    CBenchDlg(const std::vector<MappingEntry>& rows, const GatewayAddresses& addresses)
        : m_rows(rows), m_addresses(addresses)
    {
    }
    double ElapsedMs() const { return m_elapsedMs; }
    int ListedRows() const { return m_listedRows; }

protected:
    bool StartDiscoveryWorker() override { return true; }

    BOOL OnInitDialog() override
    {
        BOOL result = CMappingDlg::OnInitDialog();
        ShowAddresses(m_addresses.lan.c_str(), m_addresses.host.c_str(), m_addresses.external.c_str());
        MarkDiscoveryDone();
        for (const MappingEntry& row : m_rows)
            AppendMappingEntry(m_listMappings, row);
        m_listedRows = m_listMappings.GetItemCount();
        // A run belongs to a Start, which takes a new generation.
        LONG generation = ::InterlockedIncrement(&m_nStartGeneration);
        CStopwatch watch;
        RunMappings(generation);
        m_elapsedMs = watch.ElapsedMs();
        EndDialog(IDOK);
        return result;
    }

private:
    const std::vector<MappingEntry>& m_rows;
    const GatewayAddresses& m_addresses;
    double m_elapsedMs = 0;
    int m_listedRows = 0;
};

double TimeProgramRun(const std::vector<MappingEntry>& rows, const GatewayAddresses& addresses,
                      int* listedRows)
{
    INITCOMMONCONTROLSEX classes = { sizeof classes, ICC_LISTVIEW_CLASSES | ICC_INTERNET_CLASSES };
    ::InitCommonControlsEx(&classes);
    CBenchDlg dialog(rows, addresses);
    g_app.m_pMainWnd = &dialog;
    dialog.DoModal();
    g_app.m_pMainWnd = nullptr;
    *listedRows = dialog.ListedRows();
    return dialog.ElapsedMs();
}

bool MappingExists(const MappingEntry& row)
{
    char client[40] = {};
    char port[8] = {};
    char lease[16] = {};
    return UPNP_GetSpecificPortMappingEntry(g_gatewayInfo.urls.controlURL, g_gatewayInfo.data.first.servicetype,
                                            row.externalPort.c_str(), row.protocol.c_str(), nullptr, client,
                                            port, nullptr, nullptr, lease) == UPNPCOMMAND_SUCCESS;
}

void AddMapping(const MappingEntry& row)
{
    UPNP_AddPortMapping(g_gatewayInfo.urls.controlURL, g_gatewayInfo.data.first.servicetype,
                        row.externalPort.c_str(), row.localPort.c_str(), row.internalIp.c_str(), kDescription,
                        row.protocol.c_str(), nullptr, nullptr);
}

double TimeBareLoop(const std::vector<MappingEntry>& rows)
{
    CStopwatch watch;
    for (const MappingEntry& row : rows) {
        if (!MappingExists(row))
            AddMapping(row);
    }
    return watch.ElapsedMs();
}

int Usage()
{
    std::fprintf(stderr, "usage: mapping_bench program|bare ROWS (ROWS 1..%d)\n", kMaxRows);
    return 2;
}
}

int main(int argc, char** argv)
{
    if (argc != 3)
        return Usage();
    std::string mode = argv[1];
    int rowCount = std::atoi(argv[2]);
    if ((mode != "program" && mode != "bare") || rowCount < 1 || rowCount > kMaxRows)
        return Usage();

    WSADATA wsaData;
    if (::WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        std::fprintf(stderr, "mapping_bench: no socket layer\n");
        return 1;
    }
    GatewayAddresses addresses;
    if (!FindGateway(&addresses)) {
        std::fprintf(stderr, "mapping_bench: no connected gateway found\n");
        return 1;
    }
    std::vector<MappingEntry> rows = BenchRows(rowCount, addresses.lan);
    int listedRows = rowCount;
    double ms = mode == "program" ? TimeProgramRun(rows, addresses, &listedRows) : TimeBareLoop(rows);
    std::printf("rows=%d mode=%s ms=%.1f\n", listedRows, mode.c_str(), ms);
    FreeUPNPUrls(&g_gatewayInfo.urls);
    ::WSACleanup();
    return 0;
}
