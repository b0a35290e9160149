#pragma once

// The event wiring of start-up, after the main environment has its capabilities: the further
// environments, the callback tables, the events enabled from the start and the native method prefix.
// Any JVMTI error here is fatal; a further environment that cannot be made ends the process.
void wireJvmtiEvents();

// Makes a start that failed after the wiring inert: every event the wiring enabled is disabled again and
// no callback stays installed, so the JVM runs on as if the agent were not there. Errors are ignored.
void disarmJvmtiEvents();
