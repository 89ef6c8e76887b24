#pragma once
// The library's parsed table listing (IGD version 2's GetListOfPortMappings).
// The library, built as C99, lists lease times as unsigned long long; in C++
// its header would take unsigned int and misplace every field after it.
#include <miniupnpctypes.h>
#undef UNSIGNED_INTEGER
#define UNSIGNED_INTEGER unsigned long long
#include <portlistingparse.h>
