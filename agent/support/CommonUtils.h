#pragma once

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Whether the whole text matches the pattern, in which only "*" is special: it stands for any run of
// characters, the empty one included. Everything else matches itself alone, case-sensitively. A null
// pattern matches every text; the empty pattern matches only the empty text.
bool matchesWildcard(const char* pattern, const char* text);
bool matchesWildcardStrings(const YString& pattern, const YString& text);
bool matchesWildcardW(const char16_t* pattern, const char16_t* text);

// The whole text of a settings file: `explicitPath` when it is not empty (it wins even when the file is
// missing), else `fileName` in the settings directory. When the file cannot be opened the result is
// `defaultText`; nothing is ever written, and an empty file gives the empty text. A directory at the path
// is logged as an error.
YString readSettingsFile(const YString& explicitPath, const char* fileName, const char* defaultText);

// How a loaded settings text is logged: " (default)" when it is empty or the built-in text, else a
// newline and the text itself.
void appendSettingsText(YString& line, const YString& text, const char* builtInText);

// Empties `out`, then appends the text's lines (cut at "\n" and "\r"), each trimmed, leaving out blank
// lines and lines whose trimmed text begins with "#".
void parseLines(YVector<YString>* out, const YString& text);

// Appends the non-empty pieces of the text between any of the delimiter characters, untrimmed; `out` is
// not emptied first.
void splitByDelimiters(const YString& text, const char* delimiters, YVector<YString>& out);

// A copy with "A" to "Z" turned to lower case; every other byte, UTF-8 sequences included, stays.
YString toLowerAscii(const YString& text);

// A heap copy released with free(); null for a null text.
char* copyString(const char* text);

// Lines of the form key "=" value.
// When the text begins with the prefix byte for byte: the rest goes to `rest` and the result is true.
// Otherwise `rest` becomes empty and the result is false. A null `rest` is a broken invariant.
bool startsWithRest(const YString& text, const YString& prefix, YString* rest);
// When the text begins with the prefix: the rest read as an optional "-" and decimal digits goes to
// `value` (0 for anything else, an empty rest included) and the result is true. Otherwise `value` is 0
// and the result false. A null `value` is a broken invariant.
bool getIntAfterPrefix(const YString& text, const YString& prefix, int32_t* value);
