#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/support/YString.h"

struct SamplingSettings;

// The work of one sampling cycle, done by the sampler the sampling mode chooses. The samplers live for
// the whole life of the library and are never destroyed.
class Sampler {
 public:
  // Empty when the sampler can run in the mode with the settings, else why not.
  virtual YString getUnsupportedReason(uint64_t mode, const SamplingSettings& settings) const = 0;
  // Called when sampling stops.
  virtual void onStop() = 0;
  // One cycle, on the sampler thread (`env` being its JNI environment) under "ourLock".
  virtual void sample(JNIEnv* env) = 0;

 protected:
  ~Sampler() = default;
};

// Takes every live thread's stack at once with GetAllStackTraces, makes it the thread's last sampled
// frame and, while CPU profiling runs, charges the thread's time since its last sample to it. Threads
// without a record and the agent's own threads are passed over.
class SyncSampler final : public Sampler {
 public:
  YString getUnsupportedReason(uint64_t mode, const SamplingSettings& settings) const override;
  void onStop() override;
  void sample(JNIEnv* env) override;
};

// Asynchronous sampling, which this platform does not offer: it always refuses.
class AsyncSampler final : public Sampler {
 public:
  YString getUnsupportedReason(uint64_t mode, const SamplingSettings& settings) const override;
  void onStop() override;
  void sample(JNIEnv* env) override;
};

// The sampler of the mode word's sampling bits: synchronous for none, asynchronous for one; both bits
// set is a broken invariant.
Sampler* getSampler(uint64_t mode);
