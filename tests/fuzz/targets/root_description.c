/* A router's root description, parsed as the library parses it when the
 * program asks for the IGD (UPNP_GetValidIGD, UPNP_GetIGDFromUrl): the
 * services found, then their URLs made whole against the description's. */
#include <igd_desc_parse.h>
#include <miniupnpc.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    struct IGDdatas igd;
    struct UPNPUrls urls;
    /* The library's HTTP reader hands over the body alone, no zero after it. */
    char* description = malloc(size ? size : 1);
    memcpy(description, data, size);
    memset(&igd, 0, sizeof igd);
    parserootdesc(description, (int)size, &igd);
    GetUPNPUrls(&urls, &igd, "http://198.18.0.1:5000/rootDesc.xml", 0);
    FreeUPNPUrls(&urls);
    free(description);
    return 0;
}
