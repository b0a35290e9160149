#include "agent/classfile/Filter.h"

#include <cstdlib>
#include <memory>

#include "agent/classfile/SignatureUtil.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/DebugCategories.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

namespace {

char* patternCopy(const YString& pattern) {
  return pattern.equals("*") || pattern.equals("**") ? nullptr : copyString(pattern.data);
}

// Listed filters say yes, excepted ones say no at once, so a "+" line wins wherever it stands.
template <class Matches>
bool listMatches(const YVector<Filter*>& filters, Matches matches) {
  bool listed = false;
  for (int32_t i = 0; i < filters.size; i++) {
    const Filter& filter = *filters[i];
    if (filter.type == filterExcepted) {
      if (matches(filter)) return false;
    } else if (filter.type == filterListed && !listed) {
      listed = matches(filter);
    }
  }
  return listed;
}

}  // namespace

Filter::Filter(const YString& classText, const YString& methodText, const YString& parametersText, int32_t filterType)
    : classPattern(patternCopy(classText)),
      methodPattern(patternCopy(methodText)),
      parameterListPattern(patternCopy(parametersText)),
      type(filterType) {}

Filter::~Filter() {
  std::free(classPattern);
  std::free(methodPattern);
  std::free(parameterListPattern);
}

bool Filter::matches(const char* className, const char* methodName, const char* parameters) const {
  return matchesWildcard(classPattern, className) && matchesWildcard(methodPattern, methodName) &&
         matchesWildcard(parameterListPattern, parameters);
}

Filter* parseFilterSpec(const YString& line, int32_t type) {
  const YString pattern = line.contains(":") ? line : line + ":*(*)";
  MethodPatternParts parts;
  const YString error = parseMethodPattern(pattern, parts);
  if (error.length > 0) {
    logMessage(YString("warning: invalid filter specification '") + line + "': " + error);
    return nullptr;
  }
  if (isDebugCategoryOn("filters")) {
    YString text("filter: type=");
    text.appendLong(type);
    logMessage(text + " " + parts.classPattern + " " + parts.methodPattern + " " + parts.parameterListPattern);
  }
  return new Filter(parts.classPattern, parts.methodPattern, parts.parameterListPattern, type);
}

void parseFilterList(const YVector<YString>* lines, YVector<Filter*>* filters) {
  if (lines == nullptr || filters == nullptr) assertionFailed("assertion failed: value is NULL", "Filter", __LINE__);
  for (int32_t i = 0; i < lines->size; i++) {
    const YString& line = lines->get(i);
    const bool excepted = line.length > 0 && line.data[0] == '+';
    const YString spec = excepted ? line.substringFrom(1) : line;
    if (spec.length == 0) continue;
    std::unique_ptr<Filter> filter(parseFilterSpec(spec, excepted ? filterExcepted : filterListed));
    if (filter == nullptr) continue;
    filters->add(filter.get());
    filter.release();
  }
}

FilterList::FilterList(const YString& settingsText) : filters(16) {
  YVector<YString> lines;
  parseLines(&lines, settingsText);
  try {
    parseFilterList(&lines, &filters);
  } catch (...) {
    filters.deleteElements();
    throw;
  }
}

FilterList::~FilterList() { filters.deleteElements(); }

bool FilterList::matchesMethod(const char* className, const char* methodName, const char* parameters) const {
  return listMatches(filters, [&](const Filter& filter) { return filter.matches(className, methodName, parameters); });
}

bool FilterList::matchesName(const char* name) const {
  return listMatches(filters, [&](const Filter& filter) { return matchesWildcard(filter.classPattern, name); });
}
