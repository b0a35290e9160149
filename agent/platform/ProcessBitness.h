#pragma once

#include <cstdint>

// The bitness of a process: 64 or 32, or a negative code. -1: the means of asking are missing (Windows
// only; looked up again on the next call). -2: the process does not exist or cannot be opened. -3: it was
// opened but could not be asked. Linux reads the ELF class of the process's executable; Windows asks
// whether the process runs under WOW64.
int32_t getProcessBitness(uint32_t pid);
