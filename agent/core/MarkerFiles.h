#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Marker files: the marker of an agent that cannot reach the machine-wide section, as "<pid>.txt" with
// the lines "port=", "type=" and "name=" in the "Brantel/Markers" folder of the machine's data
// directory. A file lives as long as its process; one whose process has ended counts as absent.

// The folder, found on the first call; empty when the machine has no data directory.
YString getMarkersDirectory();
// "<folder>/<pid>.txt"; empty when there is no folder.
YString getMarkerFilePath(int32_t pid);
// Appends the pid of every "<pid>.txt" in the folder (names whose number reads as 0 are left out).
// A null vector is a broken invariant.
void listMarkerFilePids(YVector<int32_t>* pids);
// Sets each given output to 0 or empty, then to the file's values: a later line wins. Nothing is read
// when the file is missing, cannot be opened, or belongs to a process that has ended (such a leftover
// is removed).
void readMarkerFile(int32_t pid, int32_t* port, int32_t* type, YString* name);
// Writes this process's marker file, creating it (and its folder) on the first call and rewriting it on
// later ones. Each failure is logged.
void writeOwnMarkerFile(int32_t port, int32_t type, const YString& name);

// Forgets the folder and the own file, so that a test can point the markers elsewhere.
void resetMarkerFilesForTest();
