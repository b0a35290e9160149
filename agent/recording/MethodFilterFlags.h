#pragma once

#include "agent/db/Records.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

class DB;
struct Filter;

// Every method counts as a wall-time method: the CPU settings' wall-time lines are "*" alone.
extern bool allMethodsWallTime;

// Replaces the wall-time filters by those of the method pattern lines (invalid lines are logged and left
// out) and sets allMethodsWallTime when the valid lines are "*" and nothing else, then recomputes the
// filter bits of every method record in row order. Runs under "ourLock"; a null list and a missing
// database are fatal.
void setGlobalFilters(const YVector<YString>* lines);

// Recomputes the record's filter bits: methodWallTime for a wall-time method, methodAllWallTime while
// allMethodsWallTime is set; the adaptive filter's exclusions are cleared. A changed flag word is
// stamped with the current generation. Runs under "ourLock"; a null database is fatal.
void updateMethodFilterFlags(DB* database, MethodRecord& record);

// Whether the filter matches the record's class name, method name and parameter list, read from the
// string table. Fatal without a database and for a negative string id.
bool matchesMethodRecord(const Filter& filter, const MethodRecord& record);
