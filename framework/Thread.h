#pragma once

typedef unsigned(__stdcall* WorkerThreadProc)(void* param);

// Starts a worker thread at normal priority with the default stack size and
// lets it run on its own (no handle is kept). False when it could not start.
bool StartWorkerThread(WorkerThreadProc proc, void* param);
