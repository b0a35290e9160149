#pragma once

class ClassFile;
class MethodInfo;

// Native methods get bytecode bodies, so that the tracing instrumentation, which runs after this on the
// same class, can put its callbacks into them: the native part moves to a native method of the same
// descriptor and flags named generatedNameMarker + the old name, and the old method becomes a Java method
// that calls it. Runs under "ourLock" (the class-file-load hook); a broken invariant is a fatal error,
// after which the caller leaves the class as the JVM gave it.

// Wraps the eligible natives among the class's methods as it came in (the "disable_natives.txt" class
// prefixes, the per-class rules, the intrinsic candidates) and makes each wrapped one's method record.
// Whether at least one native was wrapped.
bool wrapNativeMethods(ClassFile& classFile);

// Wraps one native method of the class unconditionally.
void createNativeWrapper(ClassFile& classFile, MethodInfo* method);

// Under the debug category "bci": "bci: native skipped: <class> <method>(<parameters>)", followed by
// " // <reason>" when a reason is given.
void logSkippedNative(const ClassFile& classFile, const MethodInfo& method, const char* reason);
