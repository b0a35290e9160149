#pragma once

// Thrown by the fatal-error path once the error is in the log; it carries no text of its own.
// Native entry points catch it and return their failure value.
struct BZPRuntimeException {};
