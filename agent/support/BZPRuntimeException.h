#pragma once

// Thrown by the fatal-error path once the error is in the log; it carries no text of its own.
// Native entry points catch it and return their failure value.
struct BZPRuntimeException {};

// Thrown instead, after a plain log line, when the JVM refused a call because it has ended: an exit that
// overtook the work, not a broken invariant. Entry points that tell it apart end their work quietly.
struct JvmEndedException : BZPRuntimeException {};
