/* IGD version 2's port listing (the NewPortListing of GetListOfPortMappings),
 * parsed as the library parses it before the program takes its entries. */
#include <portlistingparse.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    struct PortMappingParserData listing;
    const struct PortMapping* m;
    /* The listing is a copy of the answer's text, no zero after it. */
    char* text = malloc(size ? size : 1);
    memcpy(text, data, size);
    ParsePortListing(text, (int)size, &listing);
    for (m = listing.l_head; m; m = m->l_next) {
        if (strlen(m->protocol) >= sizeof m->protocol || strlen(m->internalClient) >= sizeof m->internalClient
            || strlen(m->remoteHost) >= sizeof m->remoteHost || strlen(m->description) >= sizeof m->description)
            __builtin_trap();
    }
    FreePortListing(&listing);
    free(text);
    return 0;
}
