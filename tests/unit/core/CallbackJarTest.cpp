#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/core/CallbackJarData.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes embeddedArchive() {
  Bytes archive;
  for (int32_t i = 0; i < callbackJarChunkCount; i++) {
    archive.insert(archive.end(), callbackJarChunks[i], callbackJarChunks[i] + callbackJarChunkSizes[i]);
  }
  return archive;
}

struct ZipEntry {
  std::string name;
  Bytes data;
};

// Reads a ZIP archive from its format alone: the end-of-central-directory record, then each central
// directory entry and the local header it points to. Every entry must be stored, with equal sizes and a
// CRC-32 that matches its data, and the local header must agree with the central one. Every read is
// checked against the archive's bounds; the first problem ends the reading with `error` set.
class StoredZipReader {
 public:
  explicit StoredZipReader(const Bytes& archive) : archive(archive) { read(); }

  std::vector<ZipEntry> entries;
  std::string error;

 private:
  static constexpr uint32_t endSignature = 0x06054b50;
  static constexpr uint32_t centralSignature = 0x02014b50;
  static constexpr uint32_t localSignature = 0x04034b50;
  static constexpr size_t endSize = 22;
  static constexpr size_t centralSize = 46;
  static constexpr size_t localSize = 30;

  bool has(size_t at, size_t length) const { return at <= archive.size() && length <= archive.size() - at; }
  uint32_t u16(size_t at) const { return archive[at] | archive[at + 1] << 8; }
  uint32_t u32(size_t at) const { return u16(at) | u16(at + 2) << 16; }
  bool fail(const std::string& message) {
    error = message;
    return false;
  }

  bool read() {
    if (archive.size() < endSize) return fail("shorter than an end record");
    // The end record lies at the end, before a comment of at most 65535 bytes.
    size_t end = archive.size() - endSize;
    const size_t lowest = end > 0xFFFF ? end - 0xFFFF : 0;
    while (u32(end) != endSignature) {
      if (end == lowest) return fail("no end of central directory");
      end--;
    }
    if (end + endSize + u16(end + 20) != archive.size()) return fail("end record and comment do not end the archive");
    if (u16(end + 4) != 0 || u16(end + 6) != 0) return fail("multi-disk archive");
    const uint32_t count = u16(end + 10);
    if (u16(end + 8) != count) return fail("entry counts differ");
    const size_t directorySize = u32(end + 12);
    const size_t directory = u32(end + 16);
    if (!has(directory, directorySize) || directory + directorySize != end) {
      return fail("central directory out of place");
    }

    size_t at = directory;
    for (uint32_t i = 0; i < count; i++) {
      if (!readEntry(at, directory)) return false;
    }
    if (at != end) return fail("central directory holds more than its entries");
    return true;
  }

  // One central entry at `at`, which moves past it; local data must lie before `directory`.
  bool readEntry(size_t& at, size_t directory) {
    if (!has(at, centralSize) || u32(at) != centralSignature) return fail("bad central entry");
    const uint32_t flags = u16(at + 8), method = u16(at + 10), crc = u32(at + 16);
    const size_t compressedSize = u32(at + 20), size = u32(at + 24);
    const size_t nameLength = u16(at + 28), extraLength = u16(at + 30), commentLength = u16(at + 32);
    const size_t local = u32(at + 42);
    if (!has(at + centralSize, nameLength + extraLength + commentLength)) return fail("central entry overruns");
    ZipEntry entry;
    entry.name.assign(archive.begin() + at + centralSize, archive.begin() + at + centralSize + nameLength);
    at += centralSize + nameLength + extraLength + commentLength;
    const std::string where = " (" + entry.name + ")";
    if (method != 0) return fail("entry not stored" + where);
    if (compressedSize != size) return fail("stored sizes differ" + where);

    if (!has(local, localSize) || local + localSize > directory || u32(local) != localSignature) {
      return fail("bad local header" + where);
    }
    const size_t localNameLength = u16(local + 26), localExtraLength = u16(local + 28);
    const size_t data = local + localSize + localNameLength + localExtraLength;
    if (!has(local + localSize, localNameLength) ||
        std::string(archive.begin() + local + localSize, archive.begin() + local + localSize + localNameLength) !=
            entry.name) {
      return fail("local name differs" + where);
    }
    if (u16(local + 6) != flags || u16(local + 8) != method || u32(local + 14) != crc ||
        u32(local + 18) != compressedSize || u32(local + 22) != size) {
      return fail("local header differs from the central one" + where);
    }
    if (data > directory || size > directory - data) return fail("entry data overruns" + where);
    entry.data.assign(archive.begin() + data, archive.begin() + data + size);
    if (crc32(crc32(0, Z_NULL, 0), entry.data.data(), uInt(size)) != crc) return fail("CRC-32 differs" + where);
    entries.push_back(std::move(entry));
    return true;
  }

  const Bytes& archive;
};

const ZipEntry* findEntry(const std::vector<ZipEntry>& entries, const std::string& name) {
  for (const ZipEntry& entry : entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

// A class file and the model parsed from it, which refers to its bytes.
struct ParsedClass {
  YVector<uint8_t> bytes;
  std::unique_ptr<DataInput> input;
  std::unique_ptr<ClassFile> classFile;
};

// A class of the embedded archive parsed with the agent's class-file model; null, with a test failure,
// when the archive does not hold it.
std::unique_ptr<ParsedClass> parseEmbeddedClass(const std::string& name) {
  StoredZipReader zip(embeddedArchive());
  EXPECT_EQ(zip.error, "");
  const ZipEntry* entry = findEntry(zip.entries, name);
  if (entry == nullptr) {
    ADD_FAILURE() << name << " is not in the archive";
    return nullptr;
  }
  auto parsed = std::make_unique<ParsedClass>();
  parsed->bytes.addRange(entry->data.data(), int32_t(entry->data.size()));
  parsed->input = std::make_unique<DataInput>(parsed->bytes);
  parsed->classFile = std::make_unique<ClassFile>(*parsed->input);
  EXPECT_FALSE(parsed->classFile->isParseFailed()) << name;
  return parsed;
}

using Signature = std::pair<std::string, std::string>;  // name, descriptor

// The natives that the agent registers on Callback, in its table's order.
const Signature registeredNatives[] = {
    {"addProbePath", "(Ljava/lang/String;)V"},
    {"addSnapshotInfo", "(Ljava/lang/String;J)V"},
    {"advanceGeneration", "(Ljava/lang/String;)V"},
    {"callObjectMethod", "(Ljava/lang/Class;Ljava/lang/Object;JJ[Ljava/lang/Object;[J)Ljava/lang/Object;"},
    {"callPrimOrVoidMethod", "(Ljava/lang/Class;Ljava/lang/Object;JJI[Ljava/lang/Object;[J)J"},
    {"captureSnapshot", "(Ljava/lang/String;IJ)Ljava/lang/String;"},
    {"clearAllocationData", "()V"},
    {"clearCpuData", "()V"},
    {"clearEventTables", "(Ljava/lang/String;)V"},
    {"clearExceptions", "()V"},
    {"clearMonitorData", "()V"},
    {"closeEventTableRow", "(IIZLjava/lang/String;)V"},
    {"correctUptimeMs", "(J)V"},
    {"createEventTable", "(Ljava/lang/String;Ljava/lang/String;)I"},
    {"createEventTableRow", "(I)I"},
    {"createMarker", "(II)V"},
    {"createObjectMap", "()J"},
    {"deleteEventTableRow", "(II)V"},
    {"deleteObjectMap", "(J)V"},
    {"dispatchLong", "(Ljava/lang/String;)J"},
    {"dispatchNullable", "(Ljava/lang/String;[Ljava/lang/String;)Ljava/lang/Object;"},
    {"excludeThreadFromAsyncSampling", "()V"},
    {"findLoadedClass", "(Ljava/lang/String;)Ljava/lang/Class;"},
    {"findPropertyRecordIndex", "(I)I"},
    {"findSnapshot", "(Ljava/lang/String;)Z"},
    {"forceGarbageCollectionJvmti", "()Z"},
    {"getAllocationRecordingSettingsRecordEach", "()I"},
    {"getAllocationRecordingSettingsSizeLimit", "()I"},
    {"getCapabilities", "()J"},
    {"getDatabaseStatistics", "()Ljava/lang/String;"},
    {"getEventTableDescription", "(I)Ljava/lang/String;"},
    {"getExitedProcesses", "()[I"},
    {"getFieldId", "(Ljava/lang/Class;Ljava/lang/String;Ljava/lang/String;Z)J"},
    {"getFieldObjectValue", "(Ljava/lang/Class;Ljava/lang/Object;J)Ljava/lang/Object;"},
    {"getFieldPrimValue", "(Ljava/lang/Class;Ljava/lang/Object;JI)J"},
    {"getFreePorts", "(II)[I"},
    {"getFrozenThreadsImpl", "(J)[I"},
    {"getMethodId", "(Ljava/lang/Class;Ljava/lang/String;Ljava/lang/String;Z)J"},
    {"getNativeAllocationCounterResult", "()J"},
    {"getPhase", "()I"},
    {"getProbes", "(I)[Ljava/lang/String;"},
    {"getProcessCpuTimeNs", "()J"},
    {"getProcessCpuTimeSplitNs", "()[J"},
    {"getProcessID", "(J)I"},
    {"getProcessMemoryUsage", "()J"},
    {"getProcessPhysicalMemoryUsage", "()J"},
    {"getStatus", "()J"},
    {"getStrID", "(Ljava/lang/String;)I"},
    {"getSystemCpuTimeNs", "()J"},
    {"getTelemetryPeriodMs", "()I"},
    {"getTimeNsForTracing", "()J"},
    {"getTopEventTableNames", "()Ljava/lang/String;"},
    {"getTotalCreatedObjectSize", "()J"},
    {"getTotalExceptionsThrown", "()J"},
    {"getUptimeMs", "()J"},
    {"isLiveObjectId", "(J)Z"},
    {"isProbeOn", "(Ljava/lang/String;)Z"},
    {"message", "(Ljava/lang/String;Ljava/lang/String;)V"},
    {"messageToLogFile", "(Ljava/lang/String;)V"},
    {"messageToStderr", "(Ljava/lang/String;)V"},
    {"messageToStdout", "(Ljava/lang/String;)V"},
    {"messageToTable", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V"},
    {"objectGetId", "(Ljava/lang/Object;)J"},
    {"objectMapGet", "(JLjava/lang/Object;)I"},
    {"objectMapPut", "(JLjava/lang/Object;IZI)I"},
    {"onLoadNativeLibrary", "()V"},
    {"onUncaughtException", "()V"},
    {"patchTemplateClass", "([Ljava/lang/String;)[B"},
    {"registerProbesByBytecode", "([[BZZ)Ljava/lang/String;"},
    {"registerProbesByName", "([Ljava/lang/String;)Ljava/lang/String;"},
    {"registerProcessExitListener", "(JI)V"},
    {"retransformClassesLoadedBeforeAgentAttached", "()V"},
    {"setEventTableInt32Column", "(IIII)V"},
    {"setEventTableLongColumn", "(IIIJ)V"},
    {"setEventTableStringColumn", "(IIILjava/lang/String;)V"},
    {"setFieldObjectValue", "(Ljava/lang/Class;Ljava/lang/Object;JLjava/lang/Object;)V"},
    {"setMinimumRecordedLastingEventTime", "(II)V"},
    {"setProbeActivityModes", "([Ljava/lang/String;[I)Ljava/lang/String;"},
    {"setProperty", "(Ljava/lang/String;Ljava/lang/String;)I"},
    {"setPropertyByRecordIndex", "(II)V"},
    {"shouldSkipThread", "()Z"},
    {"startAllocationRecording", "(IIJLjava/lang/String;)Ljava/lang/String;"},
    {"startCpuProfiling", "(JLjava/lang/String;)Ljava/lang/String;"},
    {"startExceptionProfiling", "()V"},
    {"startMonitorProfiling", "()Ljava/lang/String;"},
    {"startStackTelemetry", "()V"},
    {"stopAllocationRecording", "()V"},
    {"stopCpuProfiling", "(Z)V"},
    {"stopExceptionProfiling", "()V"},
    {"stopMonitorProfiling", "()V"},
    {"stopStackTelemetry", "()V"},
    {"storeTelemetryRecord", "([I[I[I[I)V"},
    {"throwException", "(Ljava/lang/Class;)V"},
    {"unregisterProbes", "([Ljava/lang/String;)V"},
    {"validateMethodPattern", "(Ljava/lang/String;)Ljava/lang/String;"},
    {"writeTables", "(II[I)V"},
    {"bzpInit0", "(Ljava/lang/Object;IIS)I"},
    {"bzpMethodEntry0", "(I)J"},
    {"bzpMethodExit0", "(IJ)V"},
    {"bzpMethodLine0", "(I)V"},
};

std::string nameOf(const MethodInfo* method) { return method->getName().data; }
std::string descriptorOf(const MethodInfo* method) { return method->getDescriptor().data; }

}  // namespace

TEST(CallbackJar, ChunksAreFullExceptTheLastAndAligned) {
  ASSERT_GT(callbackJarChunkCount, 0);
  for (int32_t i = 0; i < callbackJarChunkCount; i++) {
    SCOPED_TRACE(i);
    if (i < callbackJarChunkCount - 1) {
      EXPECT_EQ(callbackJarChunkSizes[i], 10240u);
    } else {
      EXPECT_GT(callbackJarChunkSizes[i], 0u);
      EXPECT_LE(callbackJarChunkSizes[i], 10240u);
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(callbackJarChunks[i]) % 16, 0u);
  }
}

TEST(CallbackJar, EveryEntryIsStoredWithItsCrcAndEveryClassIsForJava8) {
  StoredZipReader zip(embeddedArchive());
  ASSERT_EQ(zip.error, "");
  for (const char* name :
       {"META-INF/MANIFEST.MF", "com/brantel/runtime/Callback.class", "com/brantel/runtime/Core.class"}) {
    EXPECT_NE(findEntry(zip.entries, name), nullptr) << name;
  }
  std::set<std::string> names;
  for (const ZipEntry& entry : zip.entries) {
    EXPECT_TRUE(names.insert(entry.name).second) << "duplicate entry " << entry.name;
    if (entry.name.size() < 6 || entry.name.compare(entry.name.size() - 6, 6, ".class") != 0) continue;
    // CAFEBABE, minor version, major version 52.
    ASSERT_GE(entry.data.size(), 8u) << entry.name;
    EXPECT_EQ(std::memcmp(entry.data.data(), "\xCA\xFE\xBA\xBE", 4), 0) << entry.name;
    EXPECT_EQ(entry.data[6] << 8 | entry.data[7], 52) << entry.name;
  }
}

TEST(CallbackJar, CallbackDeclaresExactlyTheRegisteredNativesAsStatic) {
  std::unique_ptr<ParsedClass> callback = parseEmbeddedClass("com/brantel/runtime/Callback.class");
  ASSERT_NE(callback, nullptr);
  EXPECT_EQ(callback->classFile->getMajorVersion(), 52);

  const std::set<Signature> expected(std::begin(registeredNatives), std::end(registeredNatives));
  ASSERT_EQ(expected.size(), 100u);
  std::set<Signature> declared;
  const YVector<MethodInfo*>& methods = callback->classFile->getMethods();
  for (int32_t i = 0; i < methods.size; i++) {
    const MethodInfo* method = methods.data[i];
    if (!method->isNative()) continue;
    EXPECT_TRUE(method->isStatic()) << nameOf(method);
    EXPECT_TRUE(declared.insert({nameOf(method), descriptorOf(method)}).second) << nameOf(method);
  }
  for (const Signature& native : expected) {
    EXPECT_EQ(declared.count(native), 1u) << "missing native " << native.first << native.second;
  }
  for (const Signature& native : declared) {
    EXPECT_EQ(expected.count(native), 1u) << "native not registered: " << native.first << native.second;
  }
}

// Instrumented code calls the four entry methods; the agent copies the bodies over them as modes change,
// and calls the last two itself.
TEST(CallbackJar, CallbackHasTheEntryMethodsTheirBodiesAndTheAgentsCallbacks) {
  struct JavaMethod {
    const char* name;
    const char* descriptor;
    bool isPublic;
  };
  const JavaMethod javaMethods[] = {
      {"bzpMethodEntry", "(IJ)J", true},
      {"bzpMethodExit", "(IJ)V", true},
      {"bzpMethodLine", "(IJ)V", true},
      {"bzpInit", "(Ljava/lang/Object;IISJ)I", true},
      {"methodEntry_A", "(IJ)J", false},
      {"methodEntry_NA", "(IJ)J", false},
      {"methodEntry_CF4", "(IJ)J", false},
      {"methodEntry_CF8", "(IJ)J", false},
      {"methodExit_A", "(IJ)V", false},
      {"methodExit_NA", "(IJ)V", false},
      {"methodLine", "(IJ)V", false},
      {"init_A", "(Ljava/lang/Object;IISJ)I", false},
      {"init_CF4", "(Ljava/lang/Object;IISJ)I", false},
      {"init_CF8", "(Ljava/lang/Object;IISJ)I", false},
      {"ensureUnsafeCreated", "()Z", true},
      {"excludeByAdaptiveTracing", "(I)V", true},
  };
  std::unique_ptr<ParsedClass> callback = parseEmbeddedClass("com/brantel/runtime/Callback.class");
  ASSERT_NE(callback, nullptr);
  for (const JavaMethod& expected : javaMethods) {
    SCOPED_TRACE(expected.name);
    const MethodInfo* method = callback->classFile->findMethod(expected.name, expected.descriptor);
    ASSERT_NE(method, nullptr);
    EXPECT_TRUE(method->isStatic());
    EXPECT_FALSE(method->isNative());
    EXPECT_EQ(method->isPublic(), expected.isPublic);
    EXPECT_NE(method->getCodeAttribute(), nullptr);
  }
}

TEST(CallbackJar, CoreHasTheMethodsTheAgentCalls) {
  const Signature coreMethods[] = {
      {"init",
       "(IILjava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;"
       "IJIIZLjava/lang/String;)Z"},
      {"runOnJvmExitTriggers", "()V"},
      {"notifyTsOnJvmExit", "()V"},
      {"captureSnapshotOnExit", "(J)V"},
  };
  std::unique_ptr<ParsedClass> core = parseEmbeddedClass("com/brantel/runtime/Core.class");
  ASSERT_NE(core, nullptr);
  EXPECT_EQ(core->classFile->getMajorVersion(), 52);
  for (const Signature& expected : coreMethods) {
    SCOPED_TRACE(expected.first);
    const MethodInfo* method = core->classFile->findMethod(expected.first.c_str(), expected.second.c_str());
    ASSERT_NE(method, nullptr);
    EXPECT_TRUE(method->isStatic());
    EXPECT_TRUE(method->isPublic());
    EXPECT_FALSE(method->isNative());
  }
}
