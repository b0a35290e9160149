#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/core/CallbackJar.h"
#include "agent/core/CallbackJarData.h"
#include "agent/probes/ProbeCreationResult.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/probes/ProbeValidation.h"
#include "tests/jvm/AgentRun.h"

// Method-listener probe classes patched from the template by the native patchTemplateClass, defined and
// run under the verifier (tests/jvm/programs/ListenerTemplate.java), and the Java side's ClassTree.

namespace {

const std::string TEMPLATE_FILE = "com/brantel/probes/triggers/MethodListenerProbe.class";

// What a listener hears when the callbacks report a call of Target.run that took 7 ms and threw.
const std::string HEARD =
    " heard: [methodEntered ListenerTemplate$Target run ()V, "
    "methodExited ListenerTemplate$Target run ()V 7 java.lang.IllegalStateException: thrown]\n";
const std::string CALLBACKS = " methods: [public static onEnter, public static onExit]\n";

std::string toString(const YVector<uint8_t>& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data), size_t(bytes.size));
}

// The built-in template with its listener id prefixed by "alternate:", as a replaced Java side might
// bring it.
std::string alternateTemplate() {
  YVector<uint8_t> bytes(methodListenerTemplateSize);
  bytes.addRange(methodListenerTemplateBytes, methodListenerTemplateSize);
  DataInput in(bytes);
  ClassFile classFile(in);
  YVector<YString> searches;
  searches.add(YString("%%LISTENER_ID%%"));
  YVector<YString> replacements;
  replacements.add(YString("alternate:%%LISTENER_ID%%"));
  classFile.replaceUtf8Text(searches, replacements);
  YVector<uint8_t> written(bytes.size + 64);
  DataOutput out(written);
  classFile.write(out);
  return toString(written);
}

class MethodListenerTemplateTest : public AgentRunTest {};

// Macros replaced pair by pair, template methods gone, a null value as the empty text, an odd last element
// ignored, a null array refused; and the class tree's answers.
TEST_F(MethodListenerTemplateTest, BuiltInTemplateIsPatchedIntoWorkingProbes) {
  const fs::path patched = fs::path(work.path()) / "patched.class";
  const ProgramRun run = runUnderAgent({"ListenerTemplate", "builtin", patched.string()}, "", {"-Xverify:all"});
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_TRUE(containsInOrder(
      run.output,
      {"patched: com.brantel.probes.triggers.MethodListenerProbeA\n", "patched" + CALLBACKS,
       "patched texts: false false false\n", "patched" + HEARD,
       // With no pairs only the template methods go, and the macros stay.
       "empty: com.brantel.probes.triggers.MethodListenerProbe\n", "empty" + CALLBACKS,
       "empty texts: true true false\n", "empty" + HEARD, "odd: com.brantel.probes.triggers.MethodListenerProbe\n",
       "odd" + CALLBACKS, "odd texts: true false false\n", "odd" + HEARD,
       "null: java.lang.RuntimeException: macroAndValuePairs is null\n"}));

  const std::string bytes = readWhole(patched);
  const YVector<uint8_t> classBytes(reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()));
  DataInput in(classBytes);
  ClassFile classFile(in);
  ASSERT_FALSE(classFile.isParseFailed());
  EXPECT_STREQ("com/brantel/probes/triggers/MethodListenerProbeA", classFile.getThisClassName().data);
  YVector<YString> patterns;
  YString instanceOf;
  YVector<YString> retransformIfInstanceOf;
  bool discard = false;
  classFile.readProbeClassAnnotations(patterns, instanceOf, retransformIfInstanceOf, discard);
  ASSERT_EQ(1, patterns.size);
  EXPECT_STREQ("ListenerTemplate$Target:run()", patterns[0].data);

  // The patched class is a probe the agent accepts; the template itself is none.
  ProbeCreationResult accepted;
  createProbeFromClass(classBytes, 1, accepted, nullptr);
  EXPECT_TRUE(accepted.isSuccessful()) << accepted.getErrorsText().data;
  ASSERT_EQ(1, accepted.probes.size);
  delete accepted.probes[0];
  const YVector<uint8_t> templateBytes(methodListenerTemplateBytes, methodListenerTemplateSize);
  ProbeCreationResult refused;
  createProbeFromClass(templateBytes, 1, refused, nullptr);
  EXPECT_STREQ(
      "Error: probe class com.brantel.probes.triggers.MethodListenerProbe: no callbacks found (onEnter(), "
      "onExit(), onReturn() or onUncaughtException())",
      refused.getErrorsText().data);

  // Self, super class, interfaces of the super class in either form, and names it does not extend.
  EXPECT_TRUE(containsInOrder(run.output, {"classTree ListenerTemplate$Derived ListenerTemplate$Derived true\n",
                                           "classTree ListenerTemplate$Derived ListenerTemplate$Base true\n",
                                           "classTree ListenerTemplate$Derived ListenerTemplate$Marker true\n",
                                           "classTree ListenerTemplate$Derived java/io/Serializable true\n",
                                           "classTree ListenerTemplate$Derived java.io.Serializable true\n",
                                           "classTree ListenerTemplate$Derived java.lang.Object true\n",
                                           "classTree ListenerTemplate$Derived java.lang.Runnable false\n",
                                           "classTree ListenerTemplate$Derived java.lang.String false\n",
                                           "classTree ListenerTemplate$Base ListenerTemplate$Derived false\n",
                                           "classTree ListenerTemplate$Tagged ListenerTemplate$Marker true\n"}));
}

// The template under "_agent_cp" replaces the built-in one; once it is empty or gone, patching answers an
// exception naming the file. The Java side itself comes from its archive on the boot class path.
TEST_F(MethodListenerTemplateTest, TemplateUnderAgentClassPathIsUsedAndItsAbsenceRefused) {
  const fs::path archive = fs::path(work.path()) / "java-side.jar";
  const YVector<unsigned char> jar = assembleCallbackJar();
  writeWhole(archive, std::string(reinterpret_cast<const char*>(jar.data), size_t(jar.size)));
  const fs::path directory = fs::path(work.path()) / "agent_cp";
  const fs::path templateFile = directory / TEMPLATE_FILE;
  fs::create_directories(templateFile.parent_path());
  writeWhole(templateFile, alternateTemplate());

  const ProgramRun run =
      runUnderAgent({"ListenerTemplate", "agentcp", templateFile.string()}, "_agent_cp=" + directory.string(),
                    {"-Xverify:all", "-Xbootclasspath/a:" + archive.string()});
  ASSERT_EQ(0, run.exitCode) << run.output;
  const std::string refusal =
      "java.lang.RuntimeException: method listener template is missing or empty: " + directory.string() + "/" +
      TEMPLATE_FILE + "\n";
  EXPECT_TRUE(containsInOrder(run.output, {"agent_cp: com.brantel.probes.triggers.MethodListenerProbe\n",
                                           "agent_cp" + HEARD, "empty file: " + refusal, "missing file: " + refusal}));
  const std::string logged =
      "error: method listener template is missing or empty: " + directory.string() + "/" + TEMPLATE_FILE;
  EXPECT_TRUE(containsInOrder(logs(), {logged, logged}));
}

}  // namespace
