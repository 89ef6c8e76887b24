#pragma once
// The list's rows over PCP or NAT-PMP: what each answer means for a row, and
// the lines that tell it.
#include "PortControl.h"
#include "../mappings/MappingEntry.h"
#include <string>

// What a run does with a row after the router answered its MAP.
enum class PortControlAction {
    Live,          // mapped on the row's own external port
    OtherPort,     // NAT-PMP mapped another port: delete it, the row's port is held
    Held,          // the row's port is another's
    OnlyThisHost,  // the router maps for the host that asks only
    Refused,       // any other refusal: its code and name are told
    Unreached      // no answer: the router is lost
};
// forOtherHost: the row's internal address is not this machine's.
PortControlAction DecidePortControlRow(const MappingEntry& row, const PortControlResult& result, bool forOtherHost);

// True when a delete's answer leaves nothing of the row's mapping on the router.
bool PortControlDeleteDone(const PortControlResult& result, bool forOtherHost);

// The row's MAP, renewing it for lifetime seconds, or deleting it with 0. Its
// ports must be valid.
PortControlResult MapRowOnRouter(CPortControl& router, const MappingEntry& row, DWORD lifetime);
// Deletes the mapping the router made for the row on externalPort.
PortControlResult DeleteRowOnRouter(CPortControl& router, const MappingEntry& row, WORD externalPort);

// The row's internal address is not localAddress, this machine's towards the router.
bool IsForOtherHost(const MappingEntry& row, DWORD localAddress);
// "a.b.c.d"; "" for 0, which no answer names.
std::string DottedText(DWORD address);

std::string FormatPortControlFailed(const MappingEntry& row, const PortControlResult& result);
std::string FormatOnlyThisHost(const MappingEntry& row);
