/* An answer to the program's search (M-SEARCH), whose headers the library
 * reads in minissdpc.c's static parseMSEARCHReply, included here whole. */
#include "minissdpc.c"

static const size_t kSearchBufferSize = 1536;

static void CheckInside(const char* field, int length, const char* reply, int size)
{
    if (field && (field < reply || length < 0 || field + length > reply + size))
        __builtin_trap();
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* location = NULL;
    const char* st = NULL;
    const char* usn = NULL;
    int locationSize = 0, stSize = 0, usnSize = 0;
    /* The search reads each answer into its buffer of 1536 bytes, which holds
     * what an earlier one left past it. */
    char* reply;
    if (size > kSearchBufferSize)
        return 0;
    reply = malloc(kSearchBufferSize);
    memset(reply, 'x', kSearchBufferSize);
    memcpy(reply, data, size);
    parseMSEARCHReply(reply, (int)size, &location, &locationSize, &st, &stSize, &usn, &usnSize);
    CheckInside(location, locationSize, reply, (int)size);
    CheckInside(st, stSize, reply, (int)size);
    CheckInside(usn, usnSize, reply, (int)size);
    free(reply);
    return 0;
}
