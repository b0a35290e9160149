#pragma once

#include <jni.h>
#include <jvmti.h>

#include <thread>
#include <vector>

// A native thread attached to the JVM as "spinner" that calls <entry class>.main(new String[0]), so that
// its Java stack starts at that main, and whose stack ends in the loop of Spinner.run
// (tests/inprocess/java). The constructor returns once the loop runs, with a test failure when it does
// not within ten seconds; stop() and the destructor end the loop and join the thread. Made and ended on
// the thread whose JNIEnv it is given. One at a time: Spinner's flags are static.
class SpinningThread {
 public:
  SpinningThread(JNIEnv* env, const char* entryClass);
  ~SpinningThread();
  SpinningThread(const SpinningThread&) = delete;
  SpinningThread& operator=(const SpinningThread&) = delete;

  bool spinning() const { return started; }
  // The thread's object, a global reference that outlives the thread until the destructor.
  jthread thread() const { return threadObject; }
  // The thread's stack as GetStackTrace gives it, leaf first.
  std::vector<jvmtiFrameInfo> stack() const;
  // Ends the loop and joins the thread; afterwards the thread has ended.
  void stop();

 private:
  JNIEnv* env;
  jclass spinner = nullptr;
  jobject threadObject = nullptr;
  bool started = false;
  std::thread worker;
};

// A stack of `thread` as GetThreadListStackTraces gives it, over `frames` (leaf first).
inline jvmtiStackInfo stackInfoOf(jthread thread, std::vector<jvmtiFrameInfo>& frames) {
  jvmtiStackInfo stack{};
  stack.thread = thread;
  stack.state = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_RUNNABLE;
  stack.frame_buffer = frames.data();
  stack.frame_count = jint(frames.size());
  return stack;
}
