// Reports the platform a run is for, and checks that this build really has
// the pointer width it was configured for (an i386 build that silently came
// out 64-bit would pass every other test).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "core/frame.h"
#include "core/rtstring.h"
#include "support/process.h"

TEST(Platform, PointerWidthIsTheConfiguredOne) {
  printf("pointer width %d bits; NativeInt %zu bytes; ProgramState %zu bytes; TempStringBuffer %zu bytes;"
         " emulator '%s'; stdin is %sa terminal\n",
         KRT_POINTER_BITS, sizeof(NativeInt), sizeof(ProgramState), sizeof(TempStringBuffer),
         build_emulator(), isatty(0) ? "" : "not ");
  EXPECT_EQ(KRT_POINTER_BITS, KRT_EXPECTED_POINTER_BITS);
  EXPECT_EQ(sizeof(NativeInt), sizeof(void *));
  EXPECT_EQ(sizeof(RtChar), 2u);
}
