#include <gtest/gtest.h>

#include <string>

#include "support/GXSError.h"

namespace {

// One sequence through every state: empty, unread text (a second text is
// dropped), read text (reading again gives the same, a new text replaces it,
// an empty one clears it).
TEST(LastError, KeepsTheFirstTextUntilItHasBeenRead) {
    GXSError::ERROR_STRING.clear();
    GXSError::WAS_READ = false;
    EXPECT_EQ("", GXSError::getErrorString());
    EXPECT_EQ("", GXSError::getErrorString());
    GXSError::setErrorString("first");
    GXSError::setErrorString("second");
    EXPECT_EQ("first", GXSError::getErrorString());
    EXPECT_EQ("first", GXSError::getErrorString());
    GXSError::setErrorString("third");
    EXPECT_EQ("third", GXSError::getErrorString());
    GXSError::setErrorString("");
    EXPECT_EQ("", GXSError::getErrorString());
    GXSError::setErrorString("later");
    EXPECT_EQ("later", GXSError::getErrorString());
}

}  // namespace
