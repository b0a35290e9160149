#include "agent/probes/ProbeRegistration.h"

#include <cstdio>

#include "agent/platform/Files.h"
#include "agent/probes/ClassLoadingProbe.h"
#include "agent/probes/ProbePath.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/probes/ProbeValidation.h"
#include "agent/support/FatalError.h"
#include "agent/support/FileUtils.h"
#include "agent/support/ZipReader.h"

namespace {

constexpr const char* classLoadingProbeName = "com.brantel.probes.builtin.ClassLoading";
constexpr int32_t unzipChunkSize = 1024;

bool endsWith(const YString& text, const char* suffix) {
  const YString tail(suffix);
  return text.length >= tail.length && text.substring(text.length - tail.length, text.length).equals(tail);
}

// Whether the class (either form) is the named class (Java form) or one of its inner classes.
bool isClassOrInnerClass(const YString& className, const YString& name) {
  const YString javaName = className.replaceAll("/", ".");
  return javaName.equals(name) || javaName.startsWith(name + "$");
}

void readClassFile(const YString& path, int32_t initialState, ProbeCreationResult& result) {
  const FileStreamGuard stream(openFileStream(path, "rb"));
  YVector<uint8_t> bytes;
  if (stream != nullptr) readStreamBytes(stream.get(), &bytes);
  if (stream == nullptr || std::ferror(stream.get()) != 0) {
    result.addError(YString("failed to read ") + path);
    return;
  }
  createProbeFromClass(bytes, initialState, result, nullptr);
}

// Each name of `wanted` whose class files the directory holds: those files are validated, and the name
// is found.
void searchDirectory(const YString& directory, YVector<YString>& wanted, int32_t initialState,
                     ProbeCreationResult& result) {
  for (int32_t i = 0; i < wanted.size;) {
    YVector<YString> files;
    listClassFiles(directory, wanted[i], &files);
    for (int32_t k = 0; k < files.size; k++) readClassFile(files[k], initialState, result);
    if (files.size > 0) {
      wanted.remove(i);
    } else {
      i++;
    }
  }
}

// The uncompressed bytes of the entry, in chunks: the reader fills whole chunks while more follow, and
// the last one holds what is left of the entry's size.
bool unzipEntry(ZipHandle* archive, int32_t index, YVector<uint8_t>& bytes) {
  ZipEntryInfo info;
  // Listing the entry again closes it, so that a second read starts at its beginning.
  if (getZipEntry(archive, index, &info) != zipOk) return false;
  unsigned char chunk[unzipChunkSize];
  for (;;) {
    const int32_t status = unzipEntryToMemory(archive, index, chunk, unzipChunkSize);
    if (status == zipMoreData && bytes.size + unzipChunkSize <= info.uncompressedSize) {
      bytes.addRange(chunk, unzipChunkSize);
      continue;
    }
    const int32_t last = info.uncompressedSize - bytes.size;
    if (status != zipOk || last < 0 || last > unzipChunkSize) return false;
    bytes.addRange(chunk, last);
    return true;
  }
}

// Validates every entry that is the class file of a name of `wanted` or of one of its inner classes. A
// name counts as found only by its own class file: one met only as inner classes stays wanted.
void searchArchive(const YString& path, YVector<YString>& wanted, int32_t initialState,
                   ProbeCreationResult& result) {
  ZipHandle* archive = openZipFile(toWideString(path).data, nullptr);
  if (archive == nullptr) return;
  ZipEntryInfo info;
  const int32_t count = getZipEntry(archive, -1, &info) == zipOk ? info.index : 0;
  YVector<YString> internalNames;
  YVector<bool> found;
  for (int32_t k = 0; k < wanted.size; k++) {
    internalNames.add(wanted[k].replaceAll(".", "/"));
    found.add(false);
  }
  for (int32_t i = 0; i < count; i++) {
    if (getZipEntry(archive, i, &info) != zipOk) continue;
    const YString entryName = toUtf8String(YWideString(info.name));
    for (int32_t k = 0; k < wanted.size; k++) {
      const YString& internalName = internalNames[k];
      if (entryName.equals(internalName + ".class")) {
        found[k] = true;
      } else if (!entryName.startsWith(internalName + "$") || !endsWith(entryName, ".class")) {
        continue;
      }
      YVector<uint8_t> bytes;
      if (unzipEntry(archive, i, bytes)) {
        createProbeFromClass(bytes, initialState, result, nullptr);
      } else {
        result.addError(YString("unzip failed: ") + entryName + " in " + path);
      }
    }
  }
  closeZip(archive);
  for (int32_t k = wanted.size - 1; k >= 0; k--) {
    if (found[k]) wanted.remove(k);
  }
}

// A name whose classes were all examined without a probe among them fails the registration.
void checkEveryNameHasProbes(const YVector<YString>& names, ProbeCreationResult& result) {
  if (!result.isSuccessful()) return;
  for (int32_t i = 0; i < names.size; i++) {
    const YString& name = names[i];
    if (name.equals(classLoadingProbeName)) continue;
    bool hasProbe = false;
    for (int32_t k = 0; k < result.probes.size && !hasProbe; k++) {
      hasProbe = isClassOrInnerClass(result.probes[k]->className, name);
    }
    if (hasProbe) continue;
    YString examined;
    for (int32_t k = 0; k < result.examinedClasses.size; k++) {
      if (!isClassOrInnerClass(result.examinedClasses[k], name)) continue;
      if (examined.length > 0) examined.append(", ");
      examined.append(result.examinedClasses[k]);
    }
    result.addError(YString("no probes found in classes: ") + examined);
  }
}

}  // namespace

void registerProbesByName(const YVector<YString>& names, int32_t initialState, ProbeCreationResult& result) {
  YVector<YString> wanted;
  for (int32_t i = 0; i < names.size; i++) {
    if (names[i].equals(classLoadingProbeName)) {
      createClassLoadingProbe(names[i]);
    } else {
      wanted.add(names[i]);
    }
  }
  for (int32_t p = 0; p < probePathList.size && wanted.size > 0; p++) {
    const YString& path = probePathList[p];
    if (isDirectory(path)) {
      searchDirectory(path, wanted, initialState, result);
    } else {
      searchArchive(path, wanted, initialState, result);
    }
  }
  for (int32_t i = 0; i < wanted.size; i++) result.addClassError(wanted[i], "class not found");
  result.warnMissingInnerClasses();
  checkEveryNameHasProbes(names, result);
}

void checkProbeNotRegistered(ProbeCreationResult& result) {
  YCriticalSectionLock held(&probeRegistryLock(), "ProbeRegistration:commit");
  for (int32_t i = 0; i < result.probes.size; i++) {
    const YString& className = result.probes[i]->className;
    bool registered = false;
    for (int32_t k = 0; k < ourProbeDescriptors.size && !registered; k++) {
      registered = ourProbeDescriptors[k]->className.equals(className);
    }
    // Two classes of one name in a single registration would weave the same callbacks twice.
    for (int32_t k = 0; k < i && !registered; k++) registered = result.probes[k]->className.equals(className);
    if (registered) result.addClassError(className, "probe class with such name has already been registered");
  }
  if (!result.isSuccessful()) return;
  for (int32_t i = 0; i < result.probes.size; i++) ourProbeDescriptors.add(result.probes[i]);
}

bool unregisterProbe(const YString& name, YVector<YString>* removed) {
  if (removed == nullptr) assertionFailed("assertion failed: value is NULL", "ProbeRegistration", __LINE__);
  const YString javaName = name.replaceAll("/", ".");
  bool retransform = false;
  YCriticalSectionLock held(&probeRegistryLock(), "ProbeRegistration:unregister");
  for (int32_t i = 0; i < ourProbeDescriptors.size;) {
    ProbeDescriptor* probe = ourProbeDescriptors[i];
    if (!isClassOrInnerClass(probe->className, javaName)) {
      i++;
      continue;
    }
    removed->add(probe->className);
    if (probe->state != PROBE_STATE_NEW) {
      probe->state = PROBE_STATE_UNREGISTERING;
      retransform = true;
      i++;
      continue;
    }
    ourProbeDescriptors.remove(i);
    delete probe;
  }
  return retransform;
}

void withdrawCommittedProbes(const ProbeCreationResult& result) {
  YCriticalSectionLock held(&probeRegistryLock(), "ProbeRegistration:withdraw");
  for (int32_t i = ourProbeDescriptors.size - 1; i >= 0; i--) {
    for (int32_t k = 0; k < result.probes.size; k++) {
      if (ourProbeDescriptors[i] != result.probes[k]) continue;
      ourProbeDescriptors.remove(i);
      break;
    }
  }
}
