#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

// Runs `java` (or any program) as a child process of the test, its standard output and error streams
// going to files, with extra "NAME=value" entries added to the test's own environment.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& arguments, const std::string& outputPath,
               const std::vector<std::string>& extraEnvironment = {})
      : outputFile(outputPath) {
    std::vector<std::string> environment = extraEnvironment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int result = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) throw std::runtime_error("cannot start " + arguments[0]);
  }
  ~ChildProcess() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t id() const { return pid; }

  // The exit code; 128 + the signal's number when a signal ended it.
  int wait() {
    int status = 0;
    waitpid(pid, &status, 0);
    pid = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // What the child wrote to its standard streams so far.
  std::string output() const {
    std::ifstream in(outputFile, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  pid_t pid = 0;
  std::string outputFile;
};

struct ProgramRun {
  int exitCode;
  std::string output;
};

// Runs the program to its end.
inline ProgramRun runProgram(const std::vector<std::string>& arguments, const std::string& outputPath,
                             const std::vector<std::string>& extraEnvironment = {}) {
  ChildProcess child(arguments, outputPath, extraEnvironment);
  const int exitCode = child.wait();
  return {exitCode, child.output()};
}
#endif
