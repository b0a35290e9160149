#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/instrumentation/Retransformation.h"
#include "tests/support/LogCapture.h"

// The classes that are never recorded for a retransformation.

TEST(Retransformation, LambdaFormsAndLambdaClassesAreSpecialAndSaidToBe) {
  struct Case {
    const char* javaName;
    bool special;
  };
  const Case cases[] = {
      {"app.Main$$Lambda$14/0x0000000800c03000", true},
      {"app.Main$$Lambda$14", true},
      {"java.lang.invoke.LambdaForm", true},
      {"java.lang.invoke.LambdaForm$MH/0x0000000800c04400", true},
      {"java.lang.invoke.LambdaFormEditor", true},
      {"java.lang.invoke.MethodHandle", false},
      {"app.java.lang.invoke.LambdaForm", false},
      {"app.Main$$Lambda", false},
      {"app.Main$Lambda$14", false},
      {"app.Main", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.javaName);
    LogCapture log;
    EXPECT_EQ(isSpecialClassNotToRetransform(YString(c.javaName)), c.special);
    const std::vector<std::string> expected =
        c.special ? std::vector<std::string>{std::string("warning: special class will not be retransformed: ") +
                                             c.javaName}
                  : std::vector<std::string>{};
    EXPECT_EQ(log.entries(), expected);
  }
}
