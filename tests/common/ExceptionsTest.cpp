#include "common/ArithmeticException.h"
#include "common/DataException.h"
#include "common/MemoryException.h"

#include <gtest/gtest.h>
#include <string>

TEST(Exceptions, LibraryExceptionsAreStandardExceptions)
{
    auto caughtAsStandard = [](auto thrower) {
        try {
            thrower();
        } catch (const std::exception& caught) {
            return std::string(caught.what());
        }
        return std::string("not caught");
    };
    EXPECT_EQ(caughtAsStandard([] { throw DataException("Attempt to read past end of buffer."); }),
              "Attempt to read past end of buffer.");
    EXPECT_EQ(caughtAsStandard([] { throw LumenCryptMini::ArithmeticException("inverseModN"); }),
              "inverseModN");
    EXPECT_EQ(caughtAsStandard([] { LumenCommon::memoryExceptionInstance.raise(); }), "");
}

TEST(Exceptions, MemoryExceptionDescribesItselfWithTheFixedFormat)
{
    LumenCommon::MemoryException exception;
    EXPECT_STREQ(exception.what(), "");
    exception.describe();
    EXPECT_STREQ(exception.what(), "Exception (1) Undefined exception.");
    EXPECT_TRUE(LumenCommon::exceptionDescriptions.empty());
}
