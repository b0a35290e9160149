#pragma once

// Gives a process-wide variable (an option field, a recording time) a value for a test's length and then
// puts the old one back.
template <class T>
class ScopedValue {
 public:
  ScopedValue(T& variable, T value) : variable(variable), old(variable) { variable = value; }
  ~ScopedValue() { variable = old; }
  ScopedValue(const ScopedValue&) = delete;
  ScopedValue& operator=(const ScopedValue&) = delete;

 private:
  T& variable;
  T old;
};
