#include "IpAddressCtrl.h"
#include "DottedAddress.h"

void CIpAddressCtrl::SetAddressText(const char* text) const
{
    std::uint32_t address;
    if (ParseDottedAddress(text, &address))
        SendMessage(IPM_SETADDRESS, 0, address);
    else
        SendMessage(IPM_CLEARADDRESS);
}

std::string CIpAddressCtrl::GetAddressText() const
{
    if (SendMessage(IPM_ISBLANK))
        return std::string();
    return GetWindowText();
}
