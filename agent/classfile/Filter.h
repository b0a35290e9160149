#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Filters made of method pattern lines: the lists of methods that settings files name, and the CPU
// settings' wall-time methods.

// What a matching filter says of a method.
enum FilterType : int32_t {
  filterWallTime = 1,  // the global wall-time list alone
  filterListed = 2,
  filterExcepted = 3,  // a line written with a leading "+": wins over every listed line
};

// One parsed filter line. A null pattern was "*" or "**" and matches every text. The return-type and
// annotation patterns are checked when the line is parsed, but not kept.
struct Filter {
  // Each pattern is copied, or left null when it is "*" or "**".
  Filter(const YString& classPattern, const YString& methodPattern, const YString& parameterListPattern, int32_t type);
  ~Filter();
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  // Whether all three patterns match (wildcard "*", case-sensitive). The texts must not be null.
  bool matches(const char* className, const char* methodName, const char* parameters) const;

  char* classPattern;          // against the dotted class name
  char* methodPattern;         // against the method name
  char* parameterListPattern;  // against the "(int, java.lang.String)" form
  int32_t type;
};

// A new filter of the method pattern line, or null when the line is invalid: then the warning
// "warning: invalid filter specification '<line>': <error>" is logged. A line without ":" is a class
// pattern alone and names every method of its classes. Under the debug category "filters" the parsed
// patterns are logged.
Filter* parseFilterSpec(const YString& line, int32_t type);

// Appends a filter for each valid line: filterExcepted for a line beginning with "+" (which is removed),
// else filterListed. Lines that are empty once the "+" is gone are skipped; lines are not trimmed here.
// Null arguments are fatal.
void parseFilterList(const YVector<YString>* lines, YVector<Filter*>* filters);

// The filters of a settings text's lines (empty lines and "#" lines left out). Complete once made, then
// read without a lock by any thread.
class FilterList {
 public:
  explicit FilterList(const YString& settingsText);
  ~FilterList();
  FilterList(const FilterList&) = delete;
  FilterList& operator=(const FilterList&) = delete;

  // Listed: some listed filter matches and no excepted one does, in whatever order they come; false for
  // an empty list.
  bool matchesMethod(const char* className, const char* methodName, const char* parameters) const;
  // The same rule over the class patterns alone.
  bool matchesName(const char* name) const;

  YVector<Filter*> filters;  // owned
};
