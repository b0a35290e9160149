#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

// Starts `executable` with `arguments`, its standard streams on /dev/null and the "NAME=value" entries of
// `variables` added to the test's own environment. The child's pid, or -1 when it could not start.
inline pid_t spawnQuietChild(const std::string& executable, const std::vector<std::string>& arguments,
                             const std::vector<std::string>& variables) {
  std::vector<char*> argv{const_cast<char*>(executable.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> environment;
  for (const std::string& variable : variables) environment.push_back(const_cast<char*>(variable.c_str()));
  for (char** entry = environ; *entry != nullptr; entry++) environment.push_back(*entry);
  environment.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int stream = 0; stream < 3; stream++) posix_spawn_file_actions_addopen(&actions, stream, "/dev/null", O_RDWR, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), environment.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}
#endif
