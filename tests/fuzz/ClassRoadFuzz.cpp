// Arbitrary bytes as a class the JVM loads, taken down the whole class road through the load hook: the
// skip rules, native wrapping, the weaving of registered probes (every compiled weaving probe, one of
// them applying to every method of every class, and the own classes of an Off and an Auto probe getting
// stub callbacks), the tracing and allocation instrumentation, the redo without it, and the hand-back.
// No JVM runs here: the main environment is a table of three functions (JVMTI memory from the C heap, the
// live phase). The database, whose method records the road makes, is made anew every thousand inputs,
// so that the records of mutated names do not pile up; making one for every input would take most of
// the time.
//
// The class's minor version, which nothing on the road reads, chooses the recording permissions (bits 0
// and 1: tracing and allocation instrumentation left out) and bit 2 gives the hook no name, as for a
// hidden class, so that the compiled seeds (minor version 0) take the richest road.
//
// Whatever comes in, the hook returns; a class comes back whole or not at all, and what comes back
// parses again with its frames expanded, writes back to the very same bytes and keeps its name.
#include <jvmti.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/core/JavaVersion.h"
#include "agent/db/DB.h"
#include "agent/instrumentation/ClassTransformer.h"
#include "agent/probes/ProbeCreationResult.h"
#include "agent/probes/ProbeEligibility.h"
#include "agent/probes/ProbeRegistration.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/probes/ProbeValidation.h"
#include "agent/support/BZPRuntimeException.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void discard(const YString&) {}

jvmtiError JNICALL allocate(jvmtiEnv*, jlong size, unsigned char** memory) {
  *memory = static_cast<unsigned char*>(std::malloc(size_t(size > 0 ? size : 1)));
  return *memory != nullptr ? JVMTI_ERROR_NONE : JVMTI_ERROR_OUT_OF_MEMORY;
}

jvmtiError JNICALL deallocate(jvmtiEnv*, unsigned char* memory) {
  std::free(memory);
  return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL livePhase(jvmtiEnv*, jvmtiPhase* phase) {
  *phase = JVMTI_PHASE_LIVE;
  return JVMTI_ERROR_NONE;
}

jvmtiEnv* mainEnvironment() {
  static jvmtiInterface_1_ table = [] {
    jvmtiInterface_1_ functions;
    std::memset(&functions, 0, sizeof(functions));
    functions.Allocate = &allocate;
    functions.Deallocate = &deallocate;
    functions.GetPhase = &livePhase;
    return functions;
  }();
  static _jvmtiEnv environment{&table};
  return &environment;
}

// Registers every probe class of the directory that validates, each on its own, in name order.
void registerProbes(const std::filesystem::path& directory) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const std::filesystem::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    YVector<uint8_t> classBytes;
    classBytes.addRange(reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()));
    ProbeCreationResult result;
    try {
      createProbeFromClass(classBytes, PROBE_STATE_APPLIED, result, nullptr);
      checkProbeNotRegistered(result);
    } catch (const BZPRuntimeException&) {
    }
  }
}

void setMode(const char* name, PROBE_ACTIVITY_MODE mode) {
  TopProbe* probe = findTopProbe(YString(name));
  if (probe != nullptr) probe->mode = mode;
}

// The internal name of the class, or null when it does not parse.
std::unique_ptr<YString> classNameOf(const YVector<uint8_t>& bytes) {
  try {
    DataInput in(bytes);
    const ClassFile model(in, FrameExpansion::onRequest);
    if (model.isParseFailed()) return nullptr;
    return std::make_unique<YString>(model.getThisClassName());
  } catch (const BZPRuntimeException&) {
    return nullptr;
  }
}

// What the hook handed back must be a class the model reads with its frames and writes unchanged.
void checkHandedBack(const unsigned char* data, jint length, const YString& name) {
  YVector<uint8_t> bytes;
  bytes.addRange(data, length);
  YVector<uint8_t> again;
  try {
    DataInput in(bytes);
    const ClassFile model(in, FrameExpansion::atParse);
    require(!model.isParseFailed());
    require(model.getThisClassName().equals(name));
    DataOutput out(again);
    model.write(out);
  } catch (const BZPRuntimeException&) {
    require(false);
  }
  require(again.size == bytes.size && std::memcmp(again.data, bytes.data, size_t(bytes.size)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setLogSink(&discard);  // fatal errors are expected here, by the thousand
  mainJvmti = mainEnvironment();
  ourJavaVersion = 17;
  // Not a probe prefix list of a settings directory: the built-in one.
  setenv("BRANTEL_HOME", "/nonexistent/tallyscope-fuzz", 1);
  loadProbeIgnoredPrefixes();
  registerProbes(std::filesystem::path(TALLYSCOPE_FUZZ_CLASSES) / "weaving" / "probes");
  require(ourProbeDescriptors.size > 0);
  setMode("weaving.probes.ThreadProbe", PROBE_OFF);
  setMode("weaving.probes.ClassRefProbe", PROBE_AUTO);  // CPU recording is off: inactive too
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > 0x7FFFFFFF) return 0;
  YVector<uint8_t> input;
  input.addRange(bytes, int32_t(size));
  const int32_t minor = size >= 6 ? bytes[4] << 8 | bytes[5] : 0;
  uint64_t flags = AGENT_FLAGS_INITIAL;
  if ((minor & 1) != 0) flags &= ~AGENT_TRACING_INSTRUMENTATION;
  if ((minor & 2) != 0) flags &= ~AGENT_ALLOCATION_INSTRUMENTATION;
  agentFlags.store(flags);
  const std::unique_ptr<YString> name = classNameOf(input);

  YCriticalSectionLock held(&ourLock(), "Fuzz:1");
  static int32_t inputs = 0;
  if (inputs++ % 1000 == 0) {
    if (db != nullptr) destroyDatabaseForTest();
    createDatabase(3600);
  }
  jint length = -1;
  unsigned char* data = reinterpret_cast<unsigned char*>(&length);
  const bool named = name != nullptr && (minor & 4) == 0;
  ClassFileLoadHook(mainJvmti, nullptr, nullptr, nullptr, named ? name->data : nullptr, nullptr, jint(size),
                    input.data, &length, &data);

  require((data == nullptr) == (length == 0));
  if (data == nullptr) return 0;
  require(length > 0 && name != nullptr);
  checkHandedBack(data, length, *name);
  jvmtiDeallocate(data);
  return 0;
}
