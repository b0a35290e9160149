#pragma once

#include <jvmti.h>

// The capabilities the main environment asks for, decided against what the JVM can give. Each missing
// capability is logged: a required one as an error (AddCapabilities then fails and the agent does not
// start), an optional one as a notice. Sets the agent flags that tell the rest of the agent what it goes
// without (exception events, suspension, heap sampling already known from the potential capabilities).
// `locationError` and `locationFormat` are GetJLocationFormat's answer; line numbers need byte-code
// indexes.
jvmtiCapabilities chooseMainCapabilities(const jvmtiCapabilities& potential, jvmtiError locationError,
                                         jvmtiJlocationFormat locationFormat);
