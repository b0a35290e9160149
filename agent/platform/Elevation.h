#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// Whether the process runs with administrator rights: membership of the token in the local
// Administrators group on Windows, effective user id 0 on Linux. Asked afresh on every call.
bool queryAdministratorMembership();

// Starts `file` with `parameters` elevated; with `exitCode` waits for it and stores its exit code.
// Returns whether the start succeeded; a refused elevation prompt is a failure. Linux has no elevated
// launch, so there it always fails.
bool runAsAdministrator(const YString& file, const YString& parameters, int32_t* exitCode, bool hidden);
