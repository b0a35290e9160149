#include <gtest/gtest.h>

#include <cerrno>

#include "agent/heap/ErrnoText.h"

TEST(ErrnoText, NamesTheClassicErrorNumbers) {
  const struct {
    int32_t number;
    const char* text;
  } cases[] = {
      {EPERM, "Operation not permitted"},     {ENOENT, "No such file or directory"},
      {EINTR, "Interrupted function"},        {EIO, "I/O error"},
      {EAGAIN, "Resource temporarily unavailable"}, {EACCES, "Permission denied"},
      {EFBIG, "File too large"},              {ENOSPC, "No space left on device"},
      {EPIPE, "Broken pipe"},                 {ERANGE, "Numerical result out of range"},
      {EDEADLK, "Resource deadlock avoided"}, {ENAMETOOLONG, "File name too long"},
      {ENOSYS, "Function not supported"},     {ENOTEMPTY, "Directory not empty"},
  };
  for (const auto& c : cases) EXPECT_STREQ(errnoText(c.number).data, c.text) << c.number;
  EXPECT_STREQ(errnoText(28).data, "No space left on device");
}

TEST(ErrnoText, OtherNumbersHaveNoText) {
  for (const int32_t number : {0, -1, 15, 26, 42, 1000}) EXPECT_STREQ(errnoText(number).data, "") << number;
}

#ifdef _WIN32
// The Windows runtime numbers the later entries as the classic table does.
TEST(ErrnoText, TheWindowsRuntimeNumbersMatchTheTable) {
  EXPECT_STREQ(errnoText(36).data, "Resource deadlock avoided");
  EXPECT_STREQ(errnoText(38).data, "File name too long");
  EXPECT_STREQ(errnoText(39).data, "No locks available");
  EXPECT_STREQ(errnoText(40).data, "Function not supported");
  EXPECT_STREQ(errnoText(41).data, "Directory not empty");
  EXPECT_STREQ(errnoText(35).data, "");
  EXPECT_STREQ(errnoText(37).data, "");
}
#endif
