/* A router's SOAP answer, parsed as the library parses every answer the
 * program asks for (upnpcommands.c), each value the program's requests read
 * looked up, and a port listing parsed on as GetListOfPortMappings does. */
#include <portlistingparse.h>
#include <upnpreplyparse.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static const char* const kNames[] = {
    "NewExternalIPAddress", "NewReservedPort", "NewRemoteHost", "NewExternalPort", "NewProtocol",
    "NewInternalPort", "NewInternalClient", "NewEnabled", "NewPortMappingDescription", "NewLeaseDuration",
    "UniqueID", "FirewallEnabled", "InboundPinholeAllowed", "NewConnectionStatus", "errorCode",
};

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    struct NameValueParserData values;
    size_t i;
    /* The library's HTTP reader hands over the body alone, no zero after it. */
    char* answer = malloc(size ? size : 1);
    memcpy(answer, data, size);
    ParseNameValue(answer, (int)size, &values);
    for (i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
        const char* value = GetValueFromNameValueList(&values, kNames[i]);
        if (value && strlen(value) >= 128)
            __builtin_trap();
    }
    if (values.portListing) {
        struct PortMappingParserData listing;
        ParsePortListing(values.portListing, values.portListingLength, &listing);
        FreePortListing(&listing);
    }
    ClearNameValueList(&values);
    free(answer);
    return 0;
}
