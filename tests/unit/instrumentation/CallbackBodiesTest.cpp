#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/core/CallbackJarData.h"
#include "agent/instrumentation/CallbackBodies.h"
#include "tests/support/CallbackArchive.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/unit/classfile/ClassTestSupport.h"

// The bodies that a redefinition of the Callback class copies over its entry methods, on the class-file
// model of the class the library carries.

namespace {

using classtest::ParsedClass;

Bytes builtInCallbackClass() { return Bytes(callbackClassBytes, callbackClassBytes + callbackClassSize); }

// What a method writes after its flags, name and descriptor: its attributes, the code among them.
Bytes attributesOf(const MethodInfo& method) {
  YVector<uint8_t> bytes;
  DataOutput out(bytes);
  method.write(out);
  return Bytes(bytes.data + 6, bytes.data + bytes.size);
}

MethodInfo* methodOf(const ClassFile& classFile, const char* name, const char* descriptor) {
  return classFile.findMethod(YString(name), YString(descriptor));
}

struct EntryBodies {
  const char* entry;
  const char* descriptor;
  std::vector<const char*> bodies;
};

// Every body a mode may give an entry method.
const EntryBodies entryBodies[] = {
    {"bzpMethodEntry", "(IJ)J", {"methodEntry_A", "methodEntry_NA", "methodEntry_CF4", "methodEntry_CF8"}},
    {"bzpMethodExit", "(IJ)V", {"methodExit_A", "methodExit_NA"}},
    {"bzpMethodLine", "(IJ)V", {"methodLine"}},
    {"bzpInit", "(Ljava/lang/Object;IISJ)I", {"init_A", "init_CF4", "init_CF8"}},
};

}  // namespace

TEST(CallbackBodies, TheBuiltInClassIsTheArchivesEntry) {
  EXPECT_EQ(builtInCallbackClass(), callbackArchiveEntry("com/brantel/runtime/Callback.class"));
}

TEST(CallbackBodies, EachBodyReplacesItsEntryMethodsAttributesAndStaysAsItWas) {
  for (const EntryBodies& entry : entryBodies) {
    for (const char* body : entry.bodies) {
      SCOPED_TRACE(std::string(entry.entry) + " <- " + body);
      const ParsedClass parsed(builtInCallbackClass());
      const MethodInfo* source = methodOf(*parsed, body, entry.descriptor);
      const MethodInfo* target = methodOf(*parsed, entry.entry, entry.descriptor);
      ASSERT_NE(source, nullptr);
      ASSERT_NE(target, nullptr);
      const Bytes sourceAttributes = attributesOf(*source);
      ASSERT_NE(attributesOf(*target), sourceAttributes);
      const int32_t targetFlags = target->getAccessFlags();
      const int32_t sourceFlags = source->getAccessFlags();

      copyMethodBody(&*parsed, entry.entry, body, entry.descriptor);
      EXPECT_EQ(attributesOf(*target), sourceAttributes);
      EXPECT_EQ(target->getAccessFlags(), targetFlags);
      EXPECT_EQ(attributesOf(*source), sourceAttributes);
      EXPECT_EQ(source->getAccessFlags(), sourceFlags);

      // The class written and read again: the entry method keeps its place, name and descriptor, and its
      // code, stack-map frames among it, is the body's.
      const ParsedClass reread(classtest::writtenClass(*parsed));
      const YVector<MethodInfo*>& before = parsed->getMethods();
      const YVector<MethodInfo*>& after = reread->getMethods();
      ASSERT_EQ(after.size, before.size);
      for (int32_t i = 0; i < after.size; i++) {
        EXPECT_EQ(classtest::text(after[i]->getName()), classtest::text(before[i]->getName()));
      }
      EXPECT_EQ(attributesOf(*methodOf(*reread, entry.entry, entry.descriptor)),
                attributesOf(*methodOf(*reread, body, entry.descriptor)));
    }
  }
}

TEST(CallbackBodies, AMissingClassOrMethodIsFatal) {
  const Bytes unknownTag = {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, 52, 0, 2, 99, 0, 0, 0};
  const ParsedClass unparsed(unknownTag);
  ASSERT_TRUE(unparsed->isParseFailed());
  const ParsedClass parsed(builtInCallbackClass());
  struct Case {
    const char* what;
    ClassFile* classFile;
    const char* target;
    const char* source;
    const char* descriptor;
    const char* error;
  };
  const Case cases[] = {
      {"no class file", nullptr, "bzpMethodEntry", "methodEntry_A", "(IJ)J",
       "error at Instrumentation:1218: assertion failed: value is NULL"},
      {"a class that did not parse", &*unparsed, "bzpMethodEntry", "methodEntry_A", "(IJ)J",
       "error at Instrumentation:1219: assertion failed"},
      {"no target", &*parsed, "bzpMethodEnter", "methodEntry_A", "(IJ)J",
       "error at Instrumentation:1222: assertion failed: value is NULL"},
      {"no source", &*parsed, "bzpMethodEntry", "methodEntry_CF2", "(IJ)J",
       "error at Instrumentation:1225: assertion failed: value is NULL"},
      // The body exists, with the descriptor of another entry method.
      {"the source under another descriptor", &*parsed, "bzpMethodLine", "methodEntry_A", "(IJ)V",
       "error at Instrumentation:1225: assertion failed: value is NULL"},
  };
  const Bytes pristine = classtest::writtenClass(*parsed);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(fatalErrorOf([&] { copyMethodBody(c.classFile, c.target, c.source, c.descriptor); }), c.error);
  }
  EXPECT_EQ(classtest::writtenClass(*parsed), pristine);
}
