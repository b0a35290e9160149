#pragma once

// Whether "debug=" switched a category on, for code below the core, which owns the option store. The
// core installs the check once the start-up options are applied; until then, and after a null check is
// installed, every category is off.
using DebugCategoryCheck = bool (*)(const char* category);

void installDebugCategoryCheck(DebugCategoryCheck check);
bool isDebugCategoryOn(const char* category);
