#pragma once

// True when the per-user Run value "Gatewright" exists, whatever it holds.
bool IsAutostartEnabled();
// Writes the Run value with the running executable's quoted path, or deletes it.
void SetAutostart(bool enabled);
