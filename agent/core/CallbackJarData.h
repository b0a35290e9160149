#pragma once

#include <cstdint>

// The agent's Java side (the classes of resources/java) as a stored JAR in the library's read-only data.
// The build compiles the classes, packs them and generates the definitions (cmake/JavaSide.cmake). The
// archive is the concatenation of the chunks in table order: every chunk but the last holds 10240 bytes,
// and each starts on a 16-byte boundary.
extern const unsigned char* const callbackJarChunks[];
extern const uint32_t callbackJarChunkSizes[];
extern const int32_t callbackJarChunkCount;

// The archive's entry com/brantel/runtime/Callback.class, byte for byte: the pristine class that every
// redefinition of the Callback class starts from.
extern const unsigned char callbackClassBytes[];
extern const int32_t callbackClassSize;

// The archive's entry com/brantel/probes/triggers/MethodListenerProbe.class: the template that the
// method-listener probe classes are patched from.
extern const unsigned char methodListenerTemplateBytes[];
extern const int32_t methodListenerTemplateSize;
