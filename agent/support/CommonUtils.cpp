#include "agent/support/CommonUtils.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "agent/support/AgentDirectories.h"
#include "agent/support/FatalError.h"
#include "agent/support/FileUtils.h"
#include "agent/support/Log.h"

namespace {

// Backtracking over the last star only: when the text after it fails, that star takes one more
// character. This gives the same answers as trying every suffix after every star, in linear space.
template <class T>
bool matches(const T* pattern, const T* text) {
  if (pattern == nullptr) return true;
  const T* resumePattern = nullptr;
  const T* resumeText = nullptr;
  while (*text != 0) {
    if (*pattern == '*') {
      while (*pattern == '*') pattern++;
      if (*pattern == 0) return true;
      resumePattern = pattern;
      resumeText = text;
    } else if (*pattern == *text) {
      pattern++;
      text++;
    } else if (resumePattern != nullptr) {
      pattern = resumePattern;
      text = ++resumeText;
    } else {
      return false;
    }
  }
  while (*pattern == '*') pattern++;
  return *pattern == 0;
}

}  // namespace

bool matchesWildcard(const char* pattern, const char* text) { return matches(pattern, text); }

bool matchesWildcardStrings(const YString& pattern, const YString& text) { return matches(pattern.data, text.data); }

bool matchesWildcardW(const char16_t* pattern, const char16_t* text) { return matches(pattern, text); }

YString readSettingsFile(const YString& explicitPath, const char* fileName, const char* defaultText) {
  if (fileName == nullptr || defaultText == nullptr) {
    assertionFailed("assertion failed: value is NULL", "CommonUtils", __LINE__);
  }
  const YString path = explicitPath.length > 0 ? explicitPath : getSettingsDir() + fileName;
  const FileStreamGuard stream(openFileStream(path, "r"));
  if (stream == nullptr) {
    // A missing file is the usual case; a directory in its place is a mistake the user should hear of.
    if (isDirectory(path)) logMessage(YString("error: settings file ") + path + " is a directory: ignored");
    return YString(defaultText);
  }
  return readTextFile(stream.get());
}

void appendSettingsText(YString& line, const YString& text, const char* builtInText) {
  if (text.length == 0 || text.equals(builtInText)) {
    line.append(" (default)");
    return;
  }
  line.append('\n');
  line.append(text);
}

void parseLines(YVector<YString>* out, const YString& text) {
  if (out == nullptr) assertionFailed("assertion failed: value is NULL", "CommonUtils", 234);
  out->size = 0;
  YVector<YString> pieces;
  splitByDelimiters(text, "\r\n", pieces);
  for (int32_t i = 0; i < pieces.size; i++) {
    const YString line = pieces[i].trim();
    if (line.length > 0 && line.data[0] != '#') out->add(line);
  }
}

void splitByDelimiters(const YString& text, const char* delimiters, YVector<YString>& out) {
  int32_t start = 0;
  for (int32_t i = 0; i <= text.length; i++) {
    const bool end = i == text.length || (text.data[i] != 0 && delimiters != nullptr &&
                                          std::strchr(delimiters, text.data[i]) != nullptr);
    if (!end) continue;
    if (i > start) out.add(text.substring(start, i));
    start = i + 1;
  }
}

char* copyString(const char* text) {
  if (text == nullptr) return nullptr;
  const size_t size = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, text, size);
  return copy;
}

YString toLowerAscii(const YString& text) {
  YString lower(text);
  for (int32_t i = 0; i < lower.length; i++) {
    if (lower.data[i] >= 'A' && lower.data[i] <= 'Z') lower.data[i] = char(lower.data[i] - 'A' + 'a');
  }
  return lower;
}

bool startsWithRest(const YString& text, const YString& prefix, YString* rest) {
  if (rest == nullptr) assertionFailed("assertion failed", "YString", 112);
  if (!text.startsWith(prefix)) {
    *rest = YString();
    return false;
  }
  *rest = text.substringFrom(prefix.length);
  return true;
}

bool getIntAfterPrefix(const YString& text, const YString& prefix, int32_t* value) {
  if (value == nullptr) assertionFailed("assertion failed", "YString", 112);
  *value = 0;
  if (!text.startsWith(prefix)) return false;
  *value = text.substringFrom(prefix.length).parseInt();
  return true;
}
