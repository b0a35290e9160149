#pragma once

#include "agent/classfile/ClassFile.h"
#include "agent/probes/ProbeRegistry.h"

// The woven calls stay in the application's methods whatever the probe's mode; an inactive probe is
// silenced in its own class instead. Each static callback with code of `classFile` (the probe's own
// class, its frames expanded) gets a body that does nothing observable and leaves the woven method as it
// would be without the probe: onEnter returns a neutral value, onReturn and onExit hand back the
// method's own return value, and a discarding onUncaughtException or onExit rethrows the method's own
// exception. Their debug tables, frames and exception tables go with the old code. False, with one log
// line and the class unchanged, when the class has none of the four callbacks. A class that disagrees
// with its validated descriptor (a callback's parameter missing from it, an unknown return type) is a
// fatal error.
bool instrumentProbeCallbacks(const ProbeDescriptor& probe, ClassFile& classFile);
