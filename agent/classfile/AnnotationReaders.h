#pragma once

#include "agent/classfile/AttributeInfo.h"
#include "agent/classfile/CallbackParameter.h"
#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/classfile/SimpleAttributes.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Readers over the annotation attributes of a class, a method or a method's parameters. Each walks the
// attribute's bytes with a cursor of its own and changes nothing. Malformed bytes (a read past the end,
// an index naming the wrong kind of entry, a probe annotation of the wrong shape, nesting deeper than
// any Java source can produce) are fatal errors; the caller abandons the class.

// Whether an annotation in the list's visible or invisible annotations attributes has a type descriptor
// (Ljavax/ejb/Stateless;) that the pattern matches, "*" standing for any run of characters. The empty
// pattern matches at once, also where there are no annotations.
bool hasAnnotationMatching(const YString& pattern, const YVector<AttributeInfo*>& attributes,
                           const ConstantPool& pool);

// The probe annotations on a probe class: the strings of @MethodPattern and @RetransformIfInstanceOf are
// appended to their vectors, @InstanceOf's class name is stored in internal form (java/util/Map), and
// @DiscardThrownException sets the flag. Other annotations are skipped.
void readProbeAnnotations(const AnnotationsAttribute& attribute, const ConstantPool& pool,
                          YVector<YString>& methodPatterns, YString& instanceOf,
                          YVector<YString>& retransformIfInstanceOf, bool& discardThrownException);

// One entry for each parameter the attribute lists (javac may list fewer than the method has, never more;
// more than `argumentTypes` is malformed), with its type from `argumentTypes` and its kind, @Param index
// and @Out flag from its annotations.
void readProbeParameterAnnotations(const ParameterAnnotationsAttribute& attribute, const ConstantPool& pool,
                                   const YVector<YString>& argumentTypes, YVector<CallbackParameter>* out);
