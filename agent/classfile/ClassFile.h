#pragma once

#include <cstdint>

#include "agent/classfile/AttributeInfo.h"
#include "agent/classfile/ConstantPoolIndex.h"
#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/classfile/FieldInfo.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/support/Arena.h"
#include "agent/support/ClassNameSet.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// When the stack-map frames of a class of version 50 or later are expanded: while it is parsed, or when
// its owner asks (ClassFile::expandFrames), so that a class that nothing edits is spared the work.
enum class FrameExpansion { atParse, onRequest };

// The editable model of one class file: the header, the constant pool, to which editors add the constants
// they need without duplicating any, the fields, the methods and the class's attributes. Members and
// attributes keep a pointer to the model, so a ClassFile is never copied or moved. For classes of version
// 50 and later every method's stack-map frames are expanded while the class is parsed (or on request),
// which may already add entries to the pool. Everything the model makes while the class is parsed,
// edited and written lives in the class file's arena and goes with it.
class ClassFile {
 public:
  // Parses the class. An unknown constant-pool tag stops the parse and sets the parse-failed flag, after
  // which only the flag and the destructor may be used; malformed input is a fatal error.
  explicit ClassFile(DataInput& in, FrameExpansion frames = FrameExpansion::atParse);
  ~ClassFile();
  ClassFile(const ClassFile&) = delete;
  ClassFile& operator=(const ClassFile&) = delete;

  bool isParseFailed() const { return parseFailed; }

  // Expands the frames of a class parsed with FrameExpansion::onRequest exactly as its parse would have;
  // nothing once they are expanded, or for a class that has none to expand. It must come before any
  // edit and before the class is written, so that the result is the same as with frames expanded at the
  // parse: the initial frames add their pool entries ahead of every editor's.
  void expandFrames();

  // Where the model's objects live; they must not outlive the class file.
  Arena& getArena() { return arena; }

  // Appends the class file. A count, a text or a code length that its field in the file cannot hold is a
  // fatal error, and then nothing is appended: the caller keeps whatever it holds, the original class
  // among it. The model is unchanged by a write.
  void write(DataOutput& out) const;

  // Get-or-add: the pool index of the first entry equal to the request, appended at the end of the pool
  // when there is none. Index arguments must be >= 1. Nothing is ever removed or moved, so every index
  // handed out stays valid.
  int32_t getOrAddUtf8(const YString& text) { return getOrAddUtf8(text.data, text.length); }
  int32_t getOrAddUtf8(const char* text, int32_t length);
  // Keyed by the name's index: two Utf8 entries of the same text give two Class entries.
  int32_t getOrAddClass(int32_t nameIndex);
  int32_t getOrAddNameAndType(int32_t nameIndex, int32_t descriptorIndex);
  // The Methodref of a Class entry and of the NameAndType of two Utf8 entries, each added when missing.
  int32_t getOrAddMethodRef(int32_t classIndex, int32_t nameIndex, int32_t descriptorIndex);
  int32_t getOrAddString(const YString& text);
  int32_t getOrAddInteger(int32_t value);
  // A new Long takes two slots; the answer is the first.
  int32_t getOrAddLong(int64_t value);
  // The position in the method list of the method with this name and descriptor, a new method without
  // attributes when there is none. A method whose name lies in a second Utf8 entry of the same text is
  // not found. Flags >= 0.
  int32_t getOrAddMethod(const YString& name, const YString& descriptor, int32_t accessFlags);

  // The first method of that name and descriptor, or null.
  MethodInfo* findMethod(const YString& name, const YString& descriptor) const;
  // The first method of that name, or null; `several` (which must be given) tells whether another method
  // has the name too.
  MethodInfo* findMethodByName(const YString& name, bool* several) const;

  // Internal names (java/lang/Thread) of Class entries.
  const YString& getThisClassName() const;
  const YString& getClassNameAt(int32_t index) const;
  // Null for a class without a super class (java/lang/Object, module-info).
  const YString* getSuperClassName() const;
  // Whether a direct interface has exactly this internal name.
  bool implementsInterface(const YString& name) const;
  bool hasInterfaces() const { return interfaces.size > 0; }
  // The text of the first "SourceFile" attribute, empty without one.
  YString getSourceFileName() const;
  // Whether an annotation of the class matches the pattern ("*" for any run of characters).
  bool hasAnnotationMatching(const YString& pattern) const;
  // The probe annotations of the first "RuntimeInvisibleAnnotations" attribute (readProbeAnnotations);
  // without one the outputs stay as they are.
  void readProbeClassAnnotations(YVector<YString>& methodPatterns, YString& instanceOf,
                                 YVector<YString>& retransformIfInstanceOf, bool& discardThrownException) const;
  // The inner classes of the first "InnerClasses" attribute, in Java form. `out` must be given.
  void getInnerClassNames(YVector<YString>* out) const;

  ConstantPool& getConstantPool() { return constantPool; }
  const ConstantPool& getConstantPool() const { return constantPool; }
  YVector<MethodInfo*>& getMethods() { return methods; }
  const YVector<MethodInfo*>& getMethods() const { return methods; }
  const YVector<FieldInfo*>& getFields() const { return fields; }
  const YVector<AttributeInfo*>& getAttributes() const { return attributes; }
  int32_t getAccessFlags() const { return accessFlags; }
  int32_t getThisClassIndex() const { return thisClassIndex; }
  int32_t getMajorVersion() const { return majorVersion; }
  // For an editor whose code needs a newer class-file version (LDC of a class needs 49). Frames are
  // expanded only for a class of version 50 or later as parsed, so a version raised to 50 or more gains
  // none.
  void setMajorVersion(int32_t version) { majorVersion = version; }
  int32_t getMinorVersion() const { return minorVersion; }

  // Messages that the editors of this class log once per class, however many of its members print alike.
  ClassNameSet& getLoggedTexts() { return loggedTexts; }

  // For each pair k in order, every occurrence of searches[k] in every Utf8 entry becomes replacements[k],
  // left to right; inserted text is not searched again for the same pair. An empty search text changes
  // nothing. A text that grows past 65535 bytes makes the next write fail.
  void replaceUtf8Text(const YVector<YString>& searches, const YVector<YString>& replacements);
  // Removes the template methods (names that begin and end with "$$") and erases their names from every
  // Utf8 text.
  void processTemplateMethods();

 private:
  void parse(DataInput& in);
  void release();
  int32_t append(ConstantPoolInfo* entry);
  AttributeInfo* firstAttributeNamed(const YString& name) const;
  void writeClass(DataOutput& out) const;

  // First, so that it goes last: every object of the model lives in it.
  Arena arena;
  uint32_t magic = 0;
  int32_t majorVersion = 0;
  int32_t minorVersion = 0;
  int32_t accessFlags = 0;
  int32_t thisClassIndex = 0;
  int32_t superClassIndex = 0;
  YVector<int32_t> interfaces;
  ConstantPool constantPool;
  YVector<FieldInfo*> fields;
  YVector<MethodInfo*> methods;
  YVector<AttributeInfo*> attributes;
  ConstantPoolIndex poolIndex{arena};
  ClassNameSet loggedTexts;
  bool parseFailed = false;
  bool framesPending = false;
  // The size of the class as read, a hint for the size of its writes.
  int32_t parsedLength = 0;
};
