#include "agent/core/JavaVersion.h"

#include "agent/core/OptionString.h"

int32_t ourJavaVersion = 0;
bool ourIsIbm = false;
bool isOpenJ9 = false;

int32_t javaFeatureVersion(const YString& vmVersion, const YString& specificationVersion) {
  const int32_t version =
      int32_t(readOptionNumber(vmVersion.substringBefore('-').substringBefore('+').substringBefore('.')).value);
  return version != 0 ? version : int32_t(readOptionNumber(specificationVersion).value);
}
